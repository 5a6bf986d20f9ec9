"""The host stand-ins that the modules are run against in tests and the demo."""

import base64

import pytest

from tavik.configuration import Configuration, configuration
from tavik.utils.strings import decode_cli_string

LIMIT = "limits.dicts.max_key_length"
ENV_LIMIT = "TAVIK_CFG__LIMITS__DICTS__MAX_KEY_LENGTH"


@pytest.mark.parametrize("text", ["{}", '{"a": 1, "b": [1, 2]}', 'a=1 b="x y"', "line one\nline two\t",
                                  "Grüße ✓", ">>>?"])
@pytest.mark.parametrize("padded", [True, False])
def test_decodes_urlsafe_base64_text(text, padded):
    encoded = base64.urlsafe_b64encode(text.encode("utf-8")).decode("ascii")
    assert decode_cli_string(encoded if padded else encoded.rstrip("=")) == text


@pytest.mark.parametrize("value", [
    '{"a": 1}', "a=1 b=2", "a=", "=x", "", "abc", "hello",
    "OK",  # decodes, but only by ignoring leftover bits
    "Pj4+Pw==",  # standard alphabet, not URL-safe
    "e30==",  # '{}' with one "=" too many
    base64.urlsafe_b64encode(b"\xff\xfe\xfd").decode(),  # not UTF-8
    base64.urlsafe_b64encode(b"\x00\x01ab").decode(),  # control characters
    None, 5, b"e30=", ["e30="],  # no text at all
])
def test_returns_everything_else_unchanged(value):
    assert decode_cli_string(value) is value


@pytest.fixture
def config_file(tmp_path, monkeypatch):
    monkeypatch.delenv(ENV_LIMIT, raising=False)
    monkeypatch.setenv("TAVIK_CONFIG", str(tmp_path / "config.yaml"))
    return lambda text: (tmp_path / "config.yaml").write_text(text, encoding="utf-8")


@pytest.mark.parametrize("yaml_text, expected", [
    ("limits:\n  dicts:\n    max_key_length: 100\n", 100),
    ("limits:\n  dicts:\n    max_key_length: not a number\n", "not a number"),
    ("limits:\n  dicts:\n    max_key_length: 2.5\n", 2.5),
    ("limits:\n  dicts: {}\n", 40),
    ("limits: 7\n", 40),  # a scalar on the way: not configured
    ("", 40),
])
def test_file_values_by_dotted_key(config_file, yaml_text, expected):
    config_file(yaml_text)
    assert configuration.get(LIMIT, 40) == expected


def test_environment_wins_over_file(config_file, monkeypatch):
    config_file("limits:\n  dicts:\n    max_key_length: 100\n")
    monkeypatch.setenv(ENV_LIMIT, "7")
    assert configuration.get(LIMIT, 40) == "7"
    assert configuration.get("limits.dicts.max_value_length", 512) == 512
    assert Configuration(environ={}).get(LIMIT, 40) == 40  # nothing configured


@pytest.mark.parametrize("text, error", [(None, FileNotFoundError), ("- a\n- b\n", ValueError)])
def test_bad_configuration_file_is_an_error(config_file, text, error):
    if text is not None:
        config_file(text)
    with pytest.raises(error):
        configuration.get(LIMIT, 40)
