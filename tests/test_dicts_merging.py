"""recursive_update, recursive_setdefault, recursive_cast."""

import collections
import collections.abc

import pytest

from tavik.utils.dicts import recursive_cast, recursive_setdefault, recursive_update


class Recorder(collections.abc.MutableMapping):
    """A mapping that is no dict and logs the calls the functions make."""

    def __init__(self, *args, log=None, **kwargs):
        self.data = dict(*args, **kwargs)
        self.log = [] if log is None else log

    def __getitem__(self, k):
        self.log.append(("getitem", k))
        return self.data[k]

    def __setitem__(self, k, v):
        self.log.append(("setitem", k))
        self.data[k] = v

    def __delitem__(self, k):
        del self.data[k]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)

    def get(self, k, default=None):
        self.log.append(("get", k, type(default).__name__))
        return self.data.get(k, default)

    def setdefault(self, k, default=None):
        self.log.append(("setdefault", k))
        return self.data.setdefault(k, default)

    def items(self):
        self.log.append(("items",))
        return list(self.data.items())


def test_update_merges_in_place():
    inner = {"y": 1}
    a = {"x": inner}
    assert recursive_update(a, {"x": {"z": 2}}) is a
    assert a == {"x": {"y": 1, "z": 2}} and a["x"] is inner


def test_update_shares_and_copies():
    b = {"x": {"y": 2}}
    a = {"x": 1}
    recursive_update(a, b)
    assert a["x"] is b["x"]
    b = {"x": {"y": {"z": 1}}}
    a = recursive_update({}, b)
    assert a == b and a["x"] is not b["x"] and a["x"]["y"] is not b["x"]["y"]
    lst = [2]
    a = recursive_update({"l": [1]}, {"l": lst})
    assert a["l"] is lst


@pytest.mark.parametrize("a,b,expected", [(5, {"x": 1}, "b"), ({"x": 1}, 5, "b"), (None, None, "b")])
def test_update_type_gate(a, b, expected):
    assert recursive_update(a, b) is b


def test_update_keeps_source_classes():
    a = recursive_update({}, {"o": collections.OrderedDict(y=1),
                              "d": collections.defaultdict(list, y=2)})
    assert type(a["o"]) is collections.OrderedDict and a["o"] == {"y": 1}
    assert type(a["d"]) is collections.defaultdict and a["d"].default_factory is None


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
    held = [1]
    a = {"l": held}
    src = [2, 3]
    recursive_update(a, {"%EXTEND_LIST{l}": src}, list_extend=True)
    assert a["l"] is held and held == [1, 2, 3]
    a = {}
    recursive_update(a, {"%EXTEND_LIST{l}": src}, list_extend=True)
    assert a["l"] == src and a["l"] is not src
    a = {"l": "text"}
    recursive_update(a, {"%EXTEND_LIST{l}": src}, list_extend=True)
    assert a["l"] is src
    a = {"l": [1]}
    recursive_update(a, {"%EXTEND_LIST{l}": src})
    assert a == {"l": [1], "%EXTEND_LIST{l}": src} and a["%EXTEND_LIST{l}"] is src
    # a plain key first stores the source's list, which the marker then extends
    b = {"l": [1], "%EXTEND_LIST{l}": [2]}
    a = recursive_update({}, b, list_extend=True)
    assert a["l"] is b["l"] and b["l"] == [1, 2]


def test_update_truth_of_list_extend_tested_per_entry():
    class Flag:
        calls = 0

        def __bool__(self):
            Flag.calls += 1
            return True

    recursive_update({}, {"a": [1], "b": 2, "c": {"d": [3]}}, list_extend=Flag())
    assert Flag.calls == 2


def test_update_calls_on_general_mappings():
    log = []
    a = Recorder({"n": {}}, log=log)
    b = Recorder({"n": {"x": 1}, "%EXTEND_LIST{l}": [1], "v": 2}, log=log)
    assert recursive_update(a, b, list_extend=True) is a
    assert log == [
        ("items",),
        ("get", "n", "dict"), ("setitem", "n"),
        ("setdefault", "l"), ("getitem", "l"),
        ("setitem", "v"),
    ]


def test_update_self_alias_changes_size():
    a = {"%EXTEND_LIST{new}": [1]}
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        recursive_update(a, a, list_extend=True)


@pytest.mark.parametrize("items,error", [([(1, 2, 3)], ValueError), ([5], TypeError), ([(1,)], ValueError)])
def test_update_bad_items(items, error):
    class Odd(Recorder):
        def items(self):
            return items

    with pytest.raises(error):
        recursive_update({}, Odd())


def test_update_errors_pass_through_and_keep_work():
    class NoArgs(dict):
        def __init__(self, x):
            super().__init__()

    a = {"x": {}}
    with pytest.raises(TypeError):
        recursive_update(a, {"k": 1, "x": NoArgs(1)})
    assert a["k"] == 1
    import types
    with pytest.raises(TypeError):
        recursive_update(types.MappingProxyType({}), {"k": 1})


def test_deep_and_self_containing_inputs():
    deep = {}
    node = deep
    for _ in range(5000):  # far past the interpreter's recursion limit
        node["k"] = {}
        node = node["k"]
    copy = recursive_update({}, deep)
    for _ in range(5000):
        copy = copy["k"]
    assert copy == {}
    with pytest.raises(RecursionError):
        loop = {}
        loop["me"] = loop
        recursive_update({}, loop)
    with pytest.raises(RecursionError):
        loop = {}
        loop["me"] = loop
        recursive_setdefault({}, loop)
    with pytest.raises(RecursionError):
        loop = {}
        loop["me"] = loop
        recursive_cast(loop, dict)


def test_setdefault():
    inner = {"y": 1}
    a = {"x": inner}
    assert recursive_setdefault(a, {"x": {"y": 2, "z": 3}}) is a
    assert a == {"x": {"y": 1, "z": 3}} and a["x"] is inner
    assert recursive_setdefault({"x": 1}, {"x": {"y": 2}}) == {"x": 1}
    assert recursive_setdefault({"x": {"y": 1}}, {"x": 5}) == {"x": {"y": 1}}
    src = collections.OrderedDict(y=1)
    a = recursive_setdefault({}, {"x": src})
    assert type(a["x"]) is dict and a["x"] == {"y": 1} and a["x"] is not src
    lst = [1]
    assert recursive_setdefault({}, {"l": lst})["l"] is lst


@pytest.mark.parametrize("a,b", [({}, None), ([], {"x": 1})])
def test_setdefault_attribute_errors(a, b):
    with pytest.raises(AttributeError):
        recursive_setdefault(a, b)


def test_setdefault_calls_on_general_mappings():
    log = []
    a = Recorder({"n": {}}, log=log)
    recursive_setdefault(a, Recorder({"n": {"x": 1}, "m": 1, "o": {}}, log=log))
    assert log == [
        ("items",),
        ("get", "n", "dict"), ("get", "n", "dict"), ("setitem", "n"),
        ("setdefault", "m"),
        ("get", "o", "dict"), ("get", "o", "dict"), ("setitem", "o"),
    ]


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
