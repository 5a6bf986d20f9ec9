"""Key and value length enforcement."""

import collections
import logging

import pytest

import tavik.utils.dicts as dicts

enforce = dicts.enforce_max_key_value_length


class Formatted:
    __str__ = lambda self: "12345678"
    __format__ = lambda self, spec: "formatted"


@pytest.mark.parametrize("data,limits", [
    ({}, ()), ({"k" * 40: "v" * 512}, ()), ({"abc": "xyz"}, (3, 3)), ([{"a": 1}, {"b": [1, 2]}], (1, 1)),
    (collections.OrderedDict(a=collections.UserDict(b="c")), (1, 1)), ({"k": 1}, (2 ** 70, 1)),
])
def test_passes(data, limits):
    assert enforce(data, *limits) is None


@pytest.mark.parametrize("data,limits,kind,item,length", [
    ({"abcd": 1}, (3,), "key", "abcd", 4),
    ({100: 1}, (2,), "key", "100", 3),
    ({"k": None}, (40, 3), "value", "None", 4),
    ({"k": ["abc", "defg"]}, (40, 3), "value", "defg", 4),
    ({"k": ["ab", {"k": "v"}]}, (40, 5), "value", "{'k': 'v'}", 10),
    ({"a": {"bb": "c"}}, (1, 1), "key", "bb", 2),
    ({"k": ("a", "b")}, (40, 9), "value", "('a', 'b')", 10),
    ([{"a": "x"}, {"b": "yy"}], (40, 1), "value", "yy", 2),
    ({"long": "longer"}, (3, 3), "key", "long", 4),
    ({"k": "v" * 513}, (), "value", "v" * 513, 513),
    ({"k": 1}, (-(2 ** 70),), "key", "k", 1),
    ({"k": Formatted()}, (1, 7), "value", "formatted", 8),
])
def test_first_offender_raises(data, limits, kind, item, length):
    with pytest.raises(Exception) as info:
        enforce(data, *limits)
    limit = (limits + (40, 512)[len(limits):])[kind == "value"]
    assert type(info.value) is Exception
    assert info.value.args == (f"\nThe following {kind} has a length that is too long.\n{kind.title()}:\n {item}\n"
                               f"Maximum length for {kind}s is {limit} characters long (yours is {length})",)


@pytest.mark.parametrize("data", [(1, 2), "text", None])
def test_other_objects_skipped_with_debug_record(data, caplog):
    caplog.set_level(logging.DEBUG, logger="tavik.utils.dicts")
    assert enforce(data, 0, 0) is None
    assert [r.getMessage() for r in caplog.records] == [
        f"Not a dictionary or list, got {type(data)}, skipping length enforcement check"]


@pytest.mark.parametrize("data,limits,error", [
    (["text"], (), AttributeError), ({"k": "v"}, (None,), TypeError), ({"k": "v"}, (40, "100"), TypeError)])
def test_errors_pass_through(data, limits, error):
    with pytest.raises(error):
        enforce(data, *limits)


def test_walk_order_and_nested_calls(monkeypatch):
    calls = []
    tracked = type("Tracked", (collections.UserDict,), {
        "items": lambda self: calls.append(self["name"]) or collections.UserDict.items(self)})
    inner = tracked(name="inner")
    enforce([tracked(name="first", a=inner), tracked(name="second")], 9, 9)
    assert calls == ["first", "inner", "second"]
    monkeypatch.setattr(dicts, "enforce_max_key_value_length", lambda *a, **k: calls.append((a, k)))
    enforce({"a": inner, "b": [inner]}, 7, 99)
    assert calls[3:] == [((inner,), {"max_key_length": 7, "max_value_length": 99})]


def test_deep_nesting_raises_recursion_error():
    data = {}
    for _ in range(100_000):
        data = {"k": data}
    with pytest.raises(RecursionError):
        enforce(data)


@pytest.mark.parametrize("value", [0, 7, 9, 10, -1, -9, -10, 99, 2 ** 30 - 1, 2 ** 30, -(2 ** 30) + 1, -(2 ** 30),
                                   -(2 ** 31), 10 ** 18, -(10 ** 19), True, False])
def test_int_lengths_are_their_texts(value):
    """Ints as keys, values and list elements measure as their decimal text,
    on both sides of the sizes an int keeps in one digit."""
    n = len(str(value))
    assert enforce({value: [value], "k": value}, n, n) is None
    for data, limits, kind in [({value: 1}, (n - 1, 1), "key"), ({"k": value}, (1, n - 1), "value"),
                               ({"k": [value]}, (1, n - 1), "value")]:
        with pytest.raises(Exception, match=rf"\(yours is {n}\)$") as info:
            enforce(data, *limits)
        assert f"{kind.title()}:\n {value}\n" in info.value.args[0]
