"""No references or blocks left behind by the merging and key-path functions,
nor by argument binding, on success and error paths."""

import collections

import pytest

import tavik.utils.dicts as dicts
from leakcheck import assert_no_leak


class NoArgs(dict):
    def __init__(self, x):
        super().__init__()


def self_loop():
    loop = {}
    loop["me"] = loop
    return loop


CASES = {
    "update": lambda: dicts.recursive_update({"x": {"y": 1}, "l": [0]},
                                             {"x": {"z": [1]}, "%EXTEND_LIST{l}": [1], "n": {"o": {}}},
                                             list_extend=True),
    "update-ordered": lambda: dicts.recursive_update({}, collections.OrderedDict(a=collections.OrderedDict(b=1))),
    "update-ctor-error": lambda: dicts.recursive_update({"k": {}}, {"a": 1, "k": NoArgs(1)}),
    "update-bad-items": lambda: dicts.recursive_update({}, collections.UserDict({1: 2})) or
                                dicts.recursive_update({}, type("M", (collections.UserDict,), {"items": lambda s: [(1,)]})()),
    "update-recursion": lambda: dicts.recursive_update({}, self_loop()),
    "update-changed-size": lambda: (lambda a: dicts.recursive_update(a, a, list_extend=True))({"%EXTEND_LIST{n}": [1]}),
    "setdefault": lambda: dicts.recursive_setdefault({"x": {"y": 1}}, {"x": {"y": 2, "z": {"w": 3}}, "l": [1]}),
    "setdefault-error": lambda: dicts.recursive_setdefault([], {"x": 1}),
    "cast": lambda: dicts.recursive_cast({"a": {"b": {"c": 1}}, "l": [{}]}, collections.OrderedDict),
    "cast-error": lambda: dicts.recursive_cast({"a": {"b": 1}}, lambda d: 1 / 0),
    "path": lambda: dicts.set_dict_by_key_path({}, ["a", "b", "c"], 1),
    "path-append": lambda: dicts.set_dict_by_key_path({"a": {"b": [1]}}, ["a", "b"], 2, append_list=True),
    "path-refused": lambda: dicts.set_dict_by_key_path({"a": (1,)}, ["a"], 2, append_list=True),
    "path-unsliceable": lambda: dicts.set_dict_by_key_path({}, 5, 1),
    "path-walk-error": lambda: dicts.set_dict_by_key_path({"a": 1}, ["a", "b", "c"], 1),
    "bind-too-many": lambda: dicts.recursive_update(1, 2, 3, list_extend=4),
    "bind-missing": lambda: dicts.set_dict_by_key_path(),
    "bind-unexpected": lambda: dicts.recursive_update(1, 2, lst_extend=1),
    "bind-twice": lambda: dicts.recursive_update(1, a=2),
    "bind-kwdefaults": lambda: dicts.recursive_update(a={}, b={"k": 1}),
    "signature": lambda: __import__("inspect").signature(dicts.recursive_update),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_leak(name):
    assert_no_leak(CASES[name])
