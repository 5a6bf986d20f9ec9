"""ArgsPropagationParser.parse_args: each stage takes its own arguments and
leaves the rest in sys.argv."""

import argparse
import collections
import sys
from types import SimpleNamespace

import pytest

import tavik.utils.parser as P


def stage(option, required=False):
    parser = P.ArgsPropagationParser(prog="prog", color=False)
    parser.add_argument(option, required=required)
    return parser


@pytest.mark.parametrize("argv, args, a, rest", [
    (["prog", "-a", "1", "--other", "x"], None, "1", ["prog", "--other", "x"]),
    (["prog", "-a", "1"], None, "1", ["prog"]),
    (["prog", "x", "-a", "1", "y"], None, "1", ["prog", "x", "y"]),
    (["prog", "-a", "1"], ["--zzz"], None, ["prog", "--zzz"]),
    ([], ["-q"], None, ["-q"]),
])
def test_stage_leaves_the_rest(monkeypatch, argv, args, a, rest):
    monkeypatch.setattr(sys, "argv", argv)
    old = list(argv)
    assert vars(stage("-a").parse_args(args)) == {"a": a}
    assert sys.argv == rest and type(sys.argv) is list
    assert argv == old  # rebound, never changed in place


def test_stages_in_turn(monkeypatch):
    monkeypatch.setattr(sys, "argv", ["prog", "-a", "1", "--other", "x"])
    first = stage("-a").parse_args()
    second = stage("--other").parse_args()
    assert (first.a, second.other, sys.argv) == ("1", "x", ["prog"])


def returns(result):
    """A parser whose parse_known_args records its arguments and gives `result`."""
    parser = P.ArgsPropagationParser(prog="prog")
    parser.seen = []
    parser.parse_known_args = lambda *args: parser.seen.append(args) or result
    return parser


def test_namespace_is_passed_on_and_returned(monkeypatch):
    monkeypatch.setattr(sys, "argv", ["prog"])
    target = argparse.Namespace(kept=True)
    assert stage("-a").parse_args(namespace=target, args=["-a", "2"]) is target
    assert vars(target) == {"kept": True, "a": "2"}
    parser = returns(("ns", ["u"]))
    assert parser.parse_args("A", "N") == "ns"
    assert parser.seen == [("A", "N")] and sys.argv == ["prog", "u"]


@pytest.mark.parametrize("argv, result, error, message", [
    (["prog", "x"], (1, [], 3), ValueError, "too many values to unpack (expected 2)"),
    (["prog", "x"], (1,), ValueError, "need more than 1 value to unpack"),
    (["prog", "x"], iter([]), ValueError, "need more than 0 values to unpack"),
    (["prog", "x"], None, TypeError, None),
    (["prog", "x"], (1, ("t",)), TypeError, None),
    (5, (1, ["u"]), TypeError, "'int' object is unsliceable"),
    (collections.deque(["prog", "x"]), (1, ["u"]), TypeError, "sequence index must be integer, not 'slice'"),
    ({"a": 1}, (1, ["u"]), KeyError, None),
])
def test_failures_leave_argv(monkeypatch, argv, result, error, message):
    monkeypatch.setattr(sys, "argv", argv)
    with pytest.raises(error) as e:
        returns(result).parse_args()
    assert message in (None, str(e.value))
    assert sys.argv is argv


def test_argparse_errors_leave_argv(monkeypatch, capsys):
    argv = ["prog", "--other"]
    monkeypatch.setattr(sys, "argv", argv)
    with pytest.raises(SystemExit):
        stage("-a", required=True).parse_args()
    assert sys.argv is argv
    assert "the following arguments are required: -a" in capsys.readouterr().err


def test_sys_is_looked_up_in_the_module(monkeypatch):
    fake = SimpleNamespace(argv=["fake", "-a", "1", "x"])
    monkeypatch.setattr(P, "sys", fake)
    assert stage("-a").parse_args(fake.argv[1:]).a == "1"
    assert fake.argv == ["fake", "x"]
    monkeypatch.delattr(P, "sys")
    with pytest.raises(NameError, match="^name 'sys' is not defined$"):
        stage("-a").parse_args([])
