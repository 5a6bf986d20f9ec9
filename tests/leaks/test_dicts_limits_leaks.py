"""No references or blocks left behind by the length enforcement."""

import collections

import pytest

import tavik.utils.dicts as dicts
from leakcheck import assert_no_leak

enforce = dicts.enforce_max_key_value_length
loop = {}
loop["me"] = loop

CASES = {
    "pass": lambda: enforce({"a": {"b": ["c", {"d": 1}]}, "e": (1, 2)}),
    "pass-list": lambda: enforce([{"a": 1}, collections.OrderedDict(b=collections.UserDict(c=2))]),
    "too-long": lambda: enforce({"a": {"bbbb": 1}}, 3),
    "huge-limits": lambda: enforce({"a": 1}, 2 ** 80, -(2 ** 80)),
    "bad-limit": lambda: enforce({"a": 1}, None),
    "no-items": lambda: enforce(["text"]),
    "skipped": lambda: enforce((1, 2)),
    "recursion": lambda: enforce(loop),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_no_leak(name):
    assert_no_leak(CASES[name])
