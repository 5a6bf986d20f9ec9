"""set_dict_by_key_path"""

import collections

import pytest

from tavik.utils.dicts import set_dict_by_key_path


@pytest.mark.parametrize("start,keys,val,expected", [
    *[({"a": 1}, empty, 5, {"a": 1}) for empty in ([], None, "", ())],
    ({}, ["a", "b", "c"], 1, {"a": {"b": {"c": 1}}}),
    ({"a": {"b": {"c": 1}}}, ["a", "b", "d"], 0, {"a": {"b": {"c": 1, "d": 0}}}),
    ({}, ["x"], 1, {"x": 1}),
    ({}, "abc", 1, {"a": {"b": {"c": 1}}}),
    ({"a": {"z": 9}}, ("a", "b"), 2, {"a": {"z": 9, "b": 2}}),
    ({"l": [1]}, ["l"], 3, {"l": 3}),
])
def test_overwrite(start, keys, val, expected):
    # an empty path stores nothing and returns None
    assert set_dict_by_key_path(start, keys, val) is (val if keys else None)
    assert start == expected


@pytest.mark.parametrize("keys,append_list,error,match", [
    (["a", "b", "c"], False, AttributeError, None),
    (["a", "b"], False, TypeError, None),
    (["a", "b"], True, AttributeError, None),
    (5, False, TypeError, "^'int' object is unsliceable$"),
    # Indexed but not sliced: the interpreter's own error.
    (collections.deque(["a", "b"]), False, TypeError, "^sequence index must be integer, not 'slice'$"),
])
def test_errors_leave_dict_unchanged(keys, append_list, error, match):
    d = {"a": 1}
    with pytest.raises(error, match=match):
        set_dict_by_key_path(d, keys, 0, append_list=append_list)
    assert d == {"a": 1}


def test_list_mode():
    d = {}
    first = object()
    assert set_dict_by_key_path(d, ["a", "l"], first, append_list=True) is first
    held = d["a"]["l"]
    set_dict_by_key_path(d, ["a", "l"], 2, append_list=True)
    assert d["a"]["l"] is held and held == [first, 2]
    d = {"l": None}
    set_dict_by_key_path(d, ["l"], 1, append_list=True)
    assert d == {"l": [1]}
    d = {"l": type("Spy", (list,), {"append": lambda self, v: list.append(self, ("spy", v))})()}
    set_dict_by_key_path(d, ["l"], 1, append_list=True)
    assert d["l"] == [("spy", 1)]


@pytest.mark.parametrize("held", [(1,), "s", {}, 5])
def test_list_mode_refuses_other_values(held):
    d = {"a": {"b": held}}
    with pytest.raises(ValueError) as err:
        set_dict_by_key_path(d, ["a", "b"], 1, append_list=True)
    assert err.value.args == (f"expected list for element given by key ['a', 'b']. Got {type(held)}",)
    assert d["a"]["b"] is held


def test_general_mapping_calls():
    log = []

    class Level(dict):
        setdefault = lambda self, k, v: log.append(("setdefault", k, v)) or dict.setdefault(self, k, Level())
        get = lambda self, k, default: log.append(("get", k, default)) or dict.get(self, k, default)
        __setitem__ = lambda self, k, v: log.append(("setitem", k, v)) or dict.__setitem__(self, k, v)

    set_dict_by_key_path(Level(), ["a", "b"], 1, append_list=True)
    assert log == [("setdefault", "a", {}), ("get", "b", None), ("setitem", "b", [1])]


def test_walk_ends_when_user_code_clears_the_path(run_python):
    # Hashing a key clears the private copy of keys[:-1]: the walk ends there,
    # as `for k in keys[:-1]` would.
    out = run_python("""
        import gc
        import tavik.utils.dicts as D
        class K(str):
            def __hash__(self):
                for r in gc.get_referrers(self):
                    if type(r) is list and r is not keys: r.clear()
                return str.__hash__(self)
        keys = [K('a'), K('b'), K('c')]
        d = {}
        print(D.set_dict_by_key_path(d, keys, 1), d)
    """)
    assert out.strip() == "1 {'a': {'c': 1}}"
