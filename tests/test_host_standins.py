"""The host stand-ins that the modules are run against in tests and the demo."""

import base64

import pytest

from tavik.configuration import Configuration, configuration
from tavik.utils.strings import decode_cli_string


def b64(text, padded=True):
    encoded = base64.urlsafe_b64encode(text.encode("utf-8")).decode("ascii")
    return encoded if padded else encoded.rstrip("=")


@pytest.mark.parametrize(
    "text",
    ["{}", '{"a": 1, "b": [1, 2]}', 'a=1 b="x y"', "line one\nline two\t", "Grüße ✓", ">>>?"],
)
@pytest.mark.parametrize("padded", [True, False])
def test_decodes_urlsafe_base64_text(text, padded):
    assert decode_cli_string(b64(text, padded)) == text


@pytest.mark.parametrize(
    "text",
    [
        '{"a": 1}',
        "a=1 b=2",
        "a=",
        "=x",
        "",
        "abc",
        "hello",
        "OK",  # decodes, but only by ignoring leftover bits
        "Pj4+Pw==",  # standard alphabet, not URL-safe
        "e30==",  # '{}' with one "=" too many
        base64.urlsafe_b64encode(b"\xff\xfe\xfd").decode(),  # not UTF-8
        base64.urlsafe_b64encode(b"\x00\x01ab").decode(),  # control characters
    ],
)
def test_returns_other_text_unchanged(text):
    assert decode_cli_string(text) is text


@pytest.mark.parametrize("value", [None, 5, b"e30=", ["e30="]])
def test_non_text_comes_back_unchanged(value):
    assert decode_cli_string(value) is value


LIMIT = "limits.dicts.max_key_length"
ENV_LIMIT = "TAVIK_CFG__LIMITS__DICTS__MAX_KEY_LENGTH"


@pytest.fixture
def config_file(tmp_path, monkeypatch):
    def write(text):
        path = tmp_path / "config.yaml"
        path.write_text(text, encoding="utf-8")
        monkeypatch.setenv("TAVIK_CONFIG", str(path))
        return path

    monkeypatch.delenv("TAVIK_CONFIG", raising=False)
    monkeypatch.delenv(ENV_LIMIT, raising=False)
    return write


@pytest.mark.parametrize(
    "yaml_text, expected",
    [
        ("limits:\n  dicts:\n    max_key_length: 100\n", 100),
        ("limits:\n  dicts:\n    max_key_length: not a number\n", "not a number"),
        ("limits:\n  dicts:\n    max_key_length: 2.5\n", 2.5),
        ("limits:\n  dicts: {}\n", 40),
        ("limits: 7\n", 40),  # a scalar on the way: not configured
        ("", 40),
    ],
)
def test_file_values_by_dotted_key(config_file, yaml_text, expected):
    config_file(yaml_text)
    assert configuration.get(LIMIT, 40) == expected


def test_environment_wins_over_file(config_file, monkeypatch):
    config_file("limits:\n  dicts:\n    max_key_length: 100\n")
    monkeypatch.setenv(ENV_LIMIT, "7")
    assert configuration.get(LIMIT, 40) == "7"
    assert configuration.get("limits.dicts.max_value_length", 512) == 512


def test_nothing_configured_gives_default():
    assert Configuration(environ={}).get(LIMIT, 40) == 40


@pytest.mark.parametrize(
    "setup, error",
    [("missing", FileNotFoundError), ("- a\n- b\n", ValueError)],
)
def test_bad_configuration_file_is_an_error(config_file, monkeypatch, tmp_path, setup, error):
    if setup == "missing":
        monkeypatch.setenv("TAVIK_CONFIG", str(tmp_path / "missing.yaml"))
    else:
        config_file(setup)
    with pytest.raises(error):
        configuration.get(LIMIT, 40)
