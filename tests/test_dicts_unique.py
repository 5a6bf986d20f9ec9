"""Unique key naming: generate_unique_key_name and create_extended_dict."""

import logging
import types

import pytest

import tavik.utils.dicts as dicts

NAN = float("nan")


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger="tavik.utils.dicts")
    return lambda: [r.getMessage() for r in caplog.records if r.name == "tavik.utils.dicts"]


class Recorder(dict):
    """Not an exact dict, so every `in` and `[]` reaches these methods."""

    def __init__(self, data):
        super().__init__(data)
        self.calls = []

    __contains__ = lambda self, k: self.calls.append(("in", k)) or dict.__contains__(self, k)
    __getitem__ = lambda self, k: self.calls.append(("get", k)) or dict.__getitem__(self, k)


@pytest.mark.parametrize("key,value,dictionary,allow,expected", [
    ("a", 1, {}, False, "a_1"),
    ("a", 1, {"a": 0, "a_1": 2}, False, "a_2"),
    ("a", 1, {"a_1": 1}, False, None),
    ("a", 1, {"a_1": 1}, "yes", "a_2"),
    ("a", 1, {"a_1": 2, "a_2": 1}, 0, None),
    ("a", 1, {"a": 1}, False, "a_1"),
    (5, "x", {}, False, "5_1"),
    ("a", 1, {"a_2": 1}, False, "a_1"),
    ("a", NAN, {"a_1": NAN}, False, "a_2"),  # == is asked, not identity
    ("é", 1, {}, False, "é_1"), ("ключ", 1, {}, False, "ключ_1"), ("😀", 1, {"😀_1": 0}, False, "😀_2"),
])
@pytest.mark.parametrize("wrap", [dict, Recorder])
def test_generate_unique_key_name(key, value, dictionary, allow, expected, wrap, records):
    assert dicts.generate_unique_key_name(key, value, wrap(dictionary), allow) == expected
    assert records() == ([] if expected is None else [f"Renaming repeated key from {key} to {expected}"])


def test_generate_unique_key_name_call_order():
    d = Recorder({"a_1": 2, "a_2": 1})
    assert dicts.generate_unique_key_name("a", 1, d) is None
    assert d.calls == [("in", "a_1"), ("get", "a_1"), ("in", "a_1"), ("in", "a_2"), ("get", "a_2")]


@pytest.mark.parametrize("maxsize,expected", [(3, "a_2"), (2, None), (-5, None), (1.5, TypeError)])
def test_generate_unique_key_name_reads_sys_maxsize(maxsize, expected, monkeypatch):
    monkeypatch.setattr(dicts, "sys", types.SimpleNamespace(maxsize=maxsize))
    if expected is TypeError:
        with pytest.raises(TypeError):
            dicts.generate_unique_key_name("a", 1, {})
    else:
        assert dicts.generate_unique_key_name("a", 1, {"a_1": 0}) == expected


@pytest.mark.parametrize("source,dest,rename,expected,logged", [
    ({"a": 1}, None, True, {"a": 1}, []),
    ({"a": 2}, {"a": 1}, True, {"a": 1, "a_1": 2}, ["a to a_1"]),
    ({"a": 2}, {"a": 1, "a_1": 2}, True, {"a": 1, "a_1": 2}, []),
    ({"a": 2}, {"a": 1}, "", {"a": 1}, ["a to a_1"]),
    ({"a": 2, "a_1": 3}, {"a": 1}, True, {"a": 1, "a_1": 2, "a_1_1": 3}, ["a to a_1", "a_1 to a_1_1"]),
    ({"c": 3, "a": 2, "b": 1}, {"b": 1, "a": 1}, True, {"b": 1, "a": 1, "c": 3, "a_1": 2}, ["a to a_1"]),
    ({"a": True}, {"a": 1}, True, {"a": True}, []),
    (types.SimpleNamespace(items=lambda: iter([("a", 2), ["b", 3]])), [("a", 1)], True,
     {"a": 1, "a_1": 2, "b": 3}, ["a to a_1"]),
])
def test_create_extended_dict(source, dest, rename, expected, logged, records):
    dest_before = None if dest is None else list(dest)
    result = dicts.create_extended_dict(source) if dest is None else dicts.create_extended_dict(source, dest, rename)
    assert list(result.items()) == list(expected.items())
    assert type(result["a"]) is type(expected["a"])  # an equal value is re-stored from the source
    assert result is not dest and (dest is None or list(dest) == dest_before)
    assert records() == [f"Renaming repeated key from {m}" for m in logged]
    assert dicts.create_extended_dict.__defaults__[0] == {}


@pytest.mark.parametrize("source,dest,error,match", [
    (None, {}, AttributeError, "items"),
    ({"a": 1}, None, TypeError, None),
    (types.SimpleNamespace(items=lambda: [("a", 1, 2)]), {}, ValueError, r"too many values to unpack \(expected 2, got 3\)"),
    (types.SimpleNamespace(items=lambda: [("a",)]), {}, ValueError, r"not enough values to unpack \(expected 2, got 1\)"),
])
def test_create_extended_dict_errors(source, dest, error, match):
    with pytest.raises(error, match=match):
        dicts.create_extended_dict(source, dest)


def test_create_extended_dict_calls_module_attribute(monkeypatch):
    calls = []
    monkeypatch.setattr(dicts, "generate_unique_key_name",
                        lambda *args, **kwargs: calls.append((args[:2], dict(args[2]), kwargs)) or "renamed")
    assert dicts.create_extended_dict({"a": 2, "b": 1}, {"a": 1}) == {"a": 1, "renamed": 2, "b": 1}
    assert calls == [(("a", 2), {"a": 1}, {})]


@pytest.mark.parametrize("defaults,expected", [((True,), "a_2"), (("unused", 1), "a_2"), (None, TypeError)])
def test_create_extended_dict_binds_current_defaults(defaults, expected, monkeypatch):
    monkeypatch.setattr(dicts.generate_unique_key_name, "__defaults__", defaults)
    if expected is TypeError:
        with pytest.raises(TypeError, match="missing 1 required positional argument: 'allow_match'"):
            dicts.create_extended_dict({"a": 2}, {"a": 1, "a_1": 2})
    else:
        assert dicts.create_extended_dict({"a": 2}, {"a": 1, "a_1": 2}) == {"a": 1, "a_1": 2, expected: 2}


@pytest.mark.parametrize("same", [False, True])
def test_stored_value_is_left_operand(same):
    log = []
    probe = lambda tag: type("Probe", (), {  # logs which side of a comparison it was on
        "__eq__": lambda self, other: log.append(("==", tag)) or same,
        "__ne__": lambda self, other: log.append(("!=", tag)) or not same, "__hash__": object.__hash__})()
    dicts.generate_unique_key_name("a", probe("new"), {"a_1": probe("old")})
    dicts.create_extended_dict({"a": probe("new")}, {"a": probe("old")})
    assert log == [("==", "old"), ("!=", "old")]


class Loud(str):
    """What a key's __str__ returns: `+` with it goes through its own methods."""

    __add__ = lambda self, other: Loud(str.__add__(self, other).upper())
    __radd__ = lambda self, other: Loud(str.__add__(other, self).upper())


def test_message_of_a_key_whose_text_has_its_own_plus(records):
    key = type("Key", (), {"__str__": lambda self: Loud("k")})()
    assert dicts.generate_unique_key_name(key, 1, {}) == "K_1"
    assert records() == ["RENAMING REPEATED KEY FROM K TO K_1"]
