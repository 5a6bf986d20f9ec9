"""recursive_update, recursive_setdefault, recursive_cast."""

import collections
import collections.abc
import types

import pytest

import tavik.utils.dicts as dicts
from tavik.utils.dicts import recursive_cast, recursive_setdefault, recursive_update


class Recorder(collections.abc.MutableMapping):
    """A mapping that is no dict and logs the calls the functions make."""

    def __init__(self, data, log):
        self.data, self.log = data, log

    __iter__ = lambda self: iter(self.data)
    __len__ = lambda self: len(self.data)
    __delitem__ = lambda self, k: self.data.__delitem__(k)
    __getitem__ = lambda self, k: self.log.append(("getitem", k)) or self.data[k]
    get = lambda self, k, default=None: (self.log.append(("get", k, type(default).__name__))
                                         or self.data.get(k, default))
    setdefault = lambda self, k, default=None: self.log.append(("setdefault", k)) or self.data.setdefault(k, default)
    items = lambda self: self.log.append(("items",)) or list(self.data.items())
    __setitem__ = lambda self, k, v: self.log.append(("setitem", k)) or self.data.__setitem__(k, v)


def test_update_identity_of_merged_shared_and_copied_values():
    inner = {"y": 1}
    a = {"x": inner}
    assert recursive_update(a, {"x": {"z": 2}}) is a
    assert a == {"x": {"y": 1, "z": 2}} and a["x"] is inner
    b = {"x": {"y": 2}, "l": [2]}
    a = recursive_update({"x": 1, "l": [1]}, b)  # non-mappings and lists are replaced by b's own objects
    assert a["x"] is b["x"] and a["l"] is b["l"]
    b = {"x": {"y": {"z": 1}}}
    a = recursive_update({}, b)  # missing mapping levels are copied
    assert a == b and a["x"] is not b["x"] and a["x"]["y"] is not b["x"]["y"]
    a = recursive_update({}, {"o": collections.OrderedDict(y=1), "d": collections.defaultdict(list, y=2)})
    assert type(a["o"]) is collections.OrderedDict and a["o"] == {"y": 1}
    assert type(a["d"]) is collections.defaultdict and a["d"].default_factory is None


@pytest.mark.parametrize("a,b", [(5, {"x": 1}), ({"x": 1}, 5), (None, None)])
def test_update_type_gate_returns_b(a, b):
    assert recursive_update(a, b) is b


@pytest.mark.parametrize("a,b,expected", [
    ({"l": [1]}, {"%EXTEND_LIST{l}": [2, 3]}, {"l": [1, 2, 3]}),
    ({}, {"%EXTEND_LIST{ l }": [2]}, {"l": [2]}),
    ({}, {"%EXTEND_LIST{ foo bar }": [2]}, {"foo bar": [2]}),
    ({}, {"%EXTEND_LIST{ }": [1], "%EXTEND_LIST{  }": [2]}, {" ": [1, 2]}),
    ({}, {"%EXTEND_LIST{}": [1]}, {"%EXTEND_LIST{}": [1]}),
    ({}, {"%EXTEND_LIST{l}": (1,)}, {"%EXTEND_LIST{l}": (1,)}),
    ({}, {"%EXTEND_LIST{l}": "ab"}, {"%EXTEND_LIST{l}": "ab"}),
    ({}, {"%EXTEND_LIST{l}": {"k": 1}}, {"%EXTEND_LIST{l}": {"k": 1}}),
    ({"x": {"l": [0]}}, {"x": {"%EXTEND_LIST{l}": [1]}}, {"x": {"l": [0, 1]}}),
    ({}, {1: [1], ("t",): [2]}, {1: [1], ("t",): [2]}),
    ({"l": [0]}, {"%EXTEND_LIST{l}": [1], "%EXTEND_LIST{l} ": [2]}, {"l": [0, 1], "%EXTEND_LIST{l} ": [2]}),
    ({"l": [0]}, {"%extend_list{l}": [1]}, {"l": [0], "%extend_list{l}": [1]}),
])
def test_update_list_extension(a, b, expected):
    assert recursive_update(a, b, list_extend=True) == expected


def test_update_list_extension_identity():
    held, src = [1], [2, 3]
    a = {"l": held}
    recursive_update(a, {"%EXTEND_LIST{l}": src}, list_extend=True)
    assert a["l"] is held and held == [1, 2, 3]
    a = recursive_update({}, {"%EXTEND_LIST{l}": src}, list_extend=True)
    assert a["l"] == src and a["l"] is not src
    a = recursive_update({"l": "text"}, {"%EXTEND_LIST{l}": src}, list_extend=True)
    assert a["l"] is src
    a = recursive_update({"l": [1]}, {"%EXTEND_LIST{l}": src})
    assert a == {"l": [1], "%EXTEND_LIST{l}": src} and a["%EXTEND_LIST{l}"] is src
    # a plain key first stores the source's list, which the marker then extends
    b = {"l": [1], "%EXTEND_LIST{l}": [2]}
    a = recursive_update({}, b, list_extend=True)
    assert a["l"] is b["l"] and b["l"] == [1, 2]


def test_update_calls_on_general_mappings():
    log = []
    a = Recorder({"n": {}}, log)
    b = Recorder({"n": {"x": [0]}, "%EXTEND_LIST{l}": [1], "v": 2}, log)
    # the flag's truth is asked afresh for each list value, nested ones included
    flag = type("Flag", (), {"__bool__": lambda self: log.append(("bool",)) or True})()
    assert recursive_update(a, b, list_extend=flag) is a
    assert log == [("items",), ("get", "n", "dict"), ("bool",), ("setitem", "n"),
                   ("bool",), ("setdefault", "l"), ("getitem", "l"), ("setitem", "v")]


def python_unpacking_error(item):
    try:
        k, v = item
    except Exception as e:
        return type(e), str(e)


def bad_items():
    """Items of every kind and length 0 to 3 that do not unpack into two."""
    for n in (0, 1, 3):
        values = list(range(n))
        yield from (lambda: tuple(values), lambda: list(values), lambda: "abc"[:n], lambda: iter(values),
                    lambda: dict.fromkeys(values))
    yield from (lambda: 5, lambda: None, lambda: 2.5, lambda: object())


@pytest.mark.parametrize("make", list(bad_items()))
@pytest.mark.parametrize("call", [
    lambda b: recursive_update({}, b), lambda b: recursive_setdefault({}, b),
    lambda b: recursive_cast(b, lambda m: m), lambda b: dicts.create_extended_dict(b),
    lambda b: dicts.enforce_max_key_value_length(b)])
def test_bad_items_raise_the_interpreters_unpacking_error(make, call):
    expected = python_unpacking_error(make())
    odd = type("Odd", (Recorder,), {"items": lambda self: [make()]})({}, [])
    with pytest.raises(expected[0]) as info:
        call(odd)
    assert (type(info.value), str(info.value)) == expected


def test_update_errors_pass_through_and_keep_work():
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        a = {"%EXTEND_LIST{new}": [1]}
        recursive_update(a, a, list_extend=True)
    no_args = type("NoArgs", (dict,), {"__init__": lambda self, x: None})
    a = {"x": {}}
    with pytest.raises(TypeError):
        recursive_update(a, {"k": 1, "x": no_args(1)})
    assert a["k"] == 1
    with pytest.raises(TypeError):
        recursive_update(types.MappingProxyType({}), {"k": 1})


def test_update_deeper_than_recursion_limit():
    deep = node = {}
    for _ in range(5000):
        node = node.setdefault("k", {})
    copy = recursive_update({}, deep)
    for _ in range(5000):
        copy = copy["k"]
    assert copy == {}


@pytest.mark.parametrize("call", [recursive_update, recursive_setdefault, lambda a, b: recursive_cast(b, dict)])
def test_self_containing_input_raises_recursion_error(call):
    loop = {}
    loop["me"] = loop
    with pytest.raises(RecursionError):
        call({}, loop)


def test_setdefault():
    inner = {"y": 1}
    a = {"x": inner}
    assert recursive_setdefault(a, {"x": {"y": 2, "z": 3}}) is a
    assert a == {"x": {"y": 1, "z": 3}} and a["x"] is inner
    assert recursive_setdefault({"x": 1}, {"x": {"y": 2}}) == {"x": 1}
    assert recursive_setdefault({"x": {"y": 1}}, {"x": 5}) == {"x": {"y": 1}}
    src, lst = collections.OrderedDict(y=1), [1]
    a = recursive_setdefault({}, {"x": src, "l": lst})
    assert type(a["x"]) is dict and a["x"] == {"y": 1} and a["x"] is not src and a["l"] is lst
    for a, b in [({}, None), ([], {"x": 1})]:
        with pytest.raises(AttributeError):
            recursive_setdefault(a, b)


def test_setdefault_calls_on_general_mappings():
    log = []
    recursive_setdefault(Recorder({"n": {}}, log), Recorder({"n": {"x": 1}, "m": 1, "o": {}}, log))
    assert log == [("items",), ("get", "n", "dict"), ("get", "n", "dict"), ("setitem", "n"),
                   ("setdefault", "m"), ("get", "o", "dict"), ("get", "o", "dict"), ("setitem", "o")]


def test_cast():
    src = {"a": {"b": 1}, "l": [{"x": 1}]}
    out = recursive_cast(src, collections.OrderedDict)
    assert type(out) is collections.OrderedDict and type(out["a"]) is collections.OrderedDict
    assert type(out["l"][0]) is dict and src == {"a": {"b": 1}, "l": [{"x": 1}]}
    empty = {}
    assert recursive_cast(empty, dict) == {} and recursive_cast(empty, dict) is not empty
    assert recursive_cast([("a", {"b": 1})], dict) == {"a": {"b": 1}}
    same = {"a": {"b": 1}}
    assert recursive_cast(same, lambda d: d) is same
    with pytest.raises(AttributeError):
        recursive_cast(None, lambda d: d)


def test_abc_registration_seen_after_earlier_calls(run_python):
    out = run_python("""
        import collections.abc
        from tavik.utils.dicts import recursive_update
        print(recursive_update({}, {"%EXTEND_LIST{l}": "xy"}, list_extend=True))
        collections.abc.MutableSequence.register(str)
        print(recursive_update({}, {"%EXTEND_LIST{l}": "xy"}, list_extend=True))
    """)
    assert out.splitlines() == ["{'%EXTEND_LIST{l}': 'xy'}", "{'l': ['x', 'y']}"]
