"""set_dict_by_key_path"""

import pytest

from tavik.utils.dicts import set_dict_by_key_path


@pytest.mark.parametrize("keys", [[], None, "", ()])
def test_empty_path_does_nothing(keys):
    d = {"a": 1}
    assert set_dict_by_key_path(d, keys, 5) is None
    assert d == {"a": 1}


@pytest.mark.parametrize("start,keys,val,expected", [
    ({}, ["a", "b", "c"], 1, {"a": {"b": {"c": 1}}}),
    ({"a": {"b": {"c": 1}}}, ["a", "b", "d"], 0, {"a": {"b": {"c": 1, "d": 0}}}),
    ({}, ["x"], 1, {"x": 1}),
    ({}, "abc", 1, {"a": {"b": {"c": 1}}}),
    ({"a": {"z": 9}}, ("a", "b"), 2, {"a": {"z": 9, "b": 2}}),
    ({"l": [1]}, ["l"], 3, {"l": 3}),
])
def test_overwrite(start, keys, val, expected):
    assert set_dict_by_key_path(start, keys, val) is val
    assert start == expected


@pytest.mark.parametrize("keys,append_list,error", [
    (["a", "b", "c"], False, AttributeError),
    (["a", "b"], False, TypeError),
    (["a", "b"], True, AttributeError),
])
def test_path_through_non_dict(keys, append_list, error):
    d = {"a": 1}
    with pytest.raises(error):
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

    class Spy(list):
        def append(self, v):
            super().append(("spy", v))

    d = {"l": Spy()}
    set_dict_by_key_path(d, ["l"], 1, append_list=True)
    assert d["l"] == [("spy", 1)]


@pytest.mark.parametrize("held,type_text", [((1,), "<class 'tuple'>"), ("s", "<class 'str'>"),
                                            ({}, "<class 'dict'>"), (5, "<class 'int'>")])
def test_list_mode_refuses_other_values(held, type_text):
    d = {"a": {"b": held}}
    with pytest.raises(ValueError) as err:
        set_dict_by_key_path(d, ["a", "b"], 1, append_list=True)
    assert err.value.args == (f"expected list for element given by key ['a', 'b']. Got {type_text}",)
    assert d["a"]["b"] is held


def test_unsliceable_keys():
    with pytest.raises(TypeError, match="^'int' object is unsliceable$"):
        set_dict_by_key_path({}, 5, 1)


def test_general_mapping_calls():
    log = []

    class Level(dict):
        def setdefault(self, k, v):
            log.append(("setdefault", k, v))
            return super().setdefault(k, Level())

        def get(self, k, default):
            log.append(("get", k, default))
            return super().get(k, default)

        def __setitem__(self, k, v):
            log.append(("setitem", k, v))
            super().__setitem__(k, v)

    d = Level()
    set_dict_by_key_path(d, ["a", "b"], 1, append_list=True)
    assert log == [("setdefault", "a", {}), ("get", "b", None), ("setitem", "b", [1])]


def test_fourth_positional_refused():
    with pytest.raises(TypeError):
        set_dict_by_key_path({}, ["a"], 1, True)
