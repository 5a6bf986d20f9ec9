"""No references, blocks or file descriptors left behind by the loaders."""

import base64
import os

import pytest

import tavik.utils.dicts as dicts
from differential import collector_callbacks_set_aside
from leakcheck import assert_no_leak

ENCODED = base64.urlsafe_b64encode(b'{"a": {"b": [1, 2]}}').decode()

CASES = {
    "json": lambda f: dicts.load_dict_from_json_string(ENCODED),
    "json-not-object": lambda f: dicts.load_dict_from_json_string("[1, 2]"),
    "json-malformed": lambda f: dicts.load_dict_from_json_string("{a"),
    "kv": lambda f: dicts.load_dict_from_kv_string("a=1 b='x y' a=2 c=1,2", True),
    "kv-no-pair": lambda f: dicts.load_dict_from_kv_string("a=1 b"),
    "kv-unclosed": lambda f: dicts.load_dict_from_kv_string("a='x y"),
    "kv-escape-at-end": lambda f: dicts.load_dict_from_kv_string('a="\\"x\\ é" b=\\'),
    "kv-str-subclass": lambda f: kv_through(lambda text: type("Text", (str,), {})(text), "a='x y' b=2"),
    "yaml-file": lambda f: dicts.load_dict_from_yaml(f / "good.yaml"),
    "yaml-undecodable": lambda f: dicts.load_dict_from_yaml(str(f / "bad.yaml")),
    "yaml-malformed": lambda f: dicts.load_dict_from_yaml("a: [1, 2"),
    "yaml-number": lambda f: dicts.load_dict_from_yaml(0),
    # Read natively: every kind of node, a recursive anchor, merges, and
    # texts declined after part of the result was built.
    "yaml-native": lambda f: dicts.load_dict_from_yaml(
        "d: &d {a: 1, t: 2001-12-14 21:59:43.10 -5}\ne: {<<: [*d], b: !!int '0x1F'}\nr: &r [*r, .nan]\n"
        "s: |\n  x\n  y\nq: \"\\u00e9\"\n"),
    "yaml-native-merged": lambda f: dicts.load_dict_from_yaml("a: &a\n  x: 1\nb:\n  <<: *a\n  y: [1, {z: 2}]\n"),
    "yaml-declined-late": lambda f: dicts.load_dict_from_yaml("a: [1, {b: 2}, &x c]\nb: 2001-02-30\n"),
    "list": lambda f: dicts.load_dict_from_list(repr(['{"a": 1}', '{"a": 2}', ENCODED]), False),
    "list-bad-element": lambda f: dicts.load_dict_from_list("""['{"a": 1}', '[1]']"""),
    "list-not-iterable": lambda f: dicts.load_dict_from_list("None"),
}


def kv_through(decode, text):
    """The loader with decode_cli_string replaced, e.g. to hand the real
    shlex.split a text that is not an exact str."""
    saved = dicts.decode_cli_string
    dicts.decode_cli_string = decode
    try:
        return dicts.load_dict_from_kv_string(text)
    finally:
        dicts.decode_cli_string = saved


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_leak(name, tmp_path):
    (tmp_path / "good.yaml").write_text("a: 1\nb: [x, y]\n")
    (tmp_path / "bad.yaml").write_bytes(b"a: \xff\n")
    # While the collector has a callback (Hypothesis registers one), YAML
    # text goes the original way: the native cases would measure that.
    with collector_callbacks_set_aside():
        fds = len(os.listdir("/proc/self/fd"))
        assert_no_leak(lambda: CASES[name](tmp_path))
        assert len(os.listdir("/proc/self/fd")) == fds
