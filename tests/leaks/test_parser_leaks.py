"""Reference-leak checks of tavik.utils.parser: every method, on success and
on error."""

import functools
import sys
from types import SimpleNamespace

import pytest

import tavik.utils.parser as P
from leakcheck import assert_no_leak


def real_parser(width):
    p = P.ArgsPropagationParser(prog="prog", color=False,
                                formatter_class=functools.partial(P.Tavik_HelpFormatter, width=width))
    p.add_argument("src")
    p.add_argument("-v", "--verbose", action="store_true")
    p.add_argument("-X", "--xxx", nargs="?", metavar="FILE")
    return p


class Fixed(P.Tavik_HelpFormatter):
    def _format_actions_usage(self, actions, groups):
        return " ".join(a.text for a in actions)


def actions(*texts):
    return [SimpleNamespace(text=t, option_strings=[t] if t.startswith("[") else []) for t in texts]


def stage(result):
    """A parser whose parse_known_args gives `result`."""
    p = P.ArgsPropagationParser(prog="prog")
    p.parse_known_args = lambda args, namespace: result
    return p


def parse_in_stages():
    sys.argv = ["prog", "s", "-v", "--other", "x"]
    real_parser(80).parse_args()
    real_parser(80).parse_args(["t", "--zzz"])


def invocation(**action):
    return P.Tavik_HelpFormatter("p")._format_action_invocation(SimpleNamespace(dest="d", **action))


CASES = {
    # Success paths of __init__, _format_usage (one line, short and long
    # program name) and _format_action_invocation run through these.
    "help_wide": lambda: real_parser(100).format_help(),
    "help_wrapped": lambda: real_parser(30).format_help(),
    "usage_long_prog": lambda: Fixed("a_rather_long_prog", width=20)._format_usage(
        None, actions("src", "[-h]", "[--long LONG]"), [], ""),
    "usage_given": lambda: Fixed("prog", width=20)._format_usage("%(prog)s x", [], [], None),
    "init_keyword_twice": lambda: P.Tavik_HelpFormatter("p", max_help_position=3),
    "init_positional_twice": lambda: P.Tavik_HelpFormatter("p", 2, 10),
    "init_unbound": lambda: P.Tavik_HelpFormatter.__init__(),
    "usage_bad_template": lambda: Fixed("prog", width=20)._format_usage("%(prog)s %", [], [], None),
    "usage_regroup_assert": lambda: Fixed("p" * 12, width=24)._format_usage(None, actions("(foo)bar"), [], None),
    "usage_no_option_strings": lambda: Fixed("p", width=20)._format_usage(None, [object()], [], None),
    "invocation_too_many": lambda: invocation(option_strings=[], metavar=("A", "B"), choices=None),
    "invocation_bad_strings": lambda: invocation(option_strings=["-a", 1], nargs=0),
    "parse_stages": parse_in_stages,
    "parse_too_many": lambda: stage((1, [], 3)).parse_args(),
    "parse_unsliceable": lambda: (setattr(sys, "argv", 5), stage((1, ["u"])).parse_args()),
    "parse_exit": lambda: P.ArgsPropagationParser(prog="p", exit_on_error=False).parse_args(["-h"]),
}


@pytest.mark.parametrize("name", CASES)
def test_no_leak(name, monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["prog"])
    assert_no_leak(CASES[name], times=100)
