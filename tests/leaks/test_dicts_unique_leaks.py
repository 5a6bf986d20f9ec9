"""No references or blocks left behind by the unique-key functions."""

import types

import pytest

import tavik.utils.dicts as dicts
from leakcheck import assert_no_leak

pairs = types.SimpleNamespace(items=lambda: [("a", 2), ["b", 3]])
bad_pairs = types.SimpleNamespace(items=lambda: [("a", 1, 2)])
bad_eq = type("BadEq", (), {"__eq__": lambda s, o: 1 / 0, "__ne__": lambda s, o: 1 / 0, "__hash__": object.__hash__})

CASES = {
    "name-free": lambda: dicts.generate_unique_key_name(5, 1, {"5_1": 0}),
    "name-match": lambda: dicts.generate_unique_key_name("a", 1, {"a_1": 1}),
    "name-eq-error": lambda: dicts.generate_unique_key_name("a", 1, {"a_1": bad_eq()}),
    "name-bad-dictionary": lambda: dicts.generate_unique_key_name("a", 1, 5),
    "extend": lambda: dicts.create_extended_dict({"a": 2, "a_1": 3, "b": [1]}, {"a": 1}),
    "extend-default": lambda: dicts.create_extended_dict({"a": 1}),
    "extend-pairs": lambda: dicts.create_extended_dict(pairs, [("a", 1)], False),
    "extend-unpack-error": lambda: dicts.create_extended_dict(bad_pairs),
    "extend-none": lambda: dicts.create_extended_dict(None),
    "extend-ne-error": lambda: dicts.create_extended_dict({"a": bad_eq()}, {"a": 1}),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_leak(name):
    assert_no_leak(CASES[name])
