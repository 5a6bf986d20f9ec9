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
    group = p.add_mutually_exclusive_group()
    group.add_argument("--json")
    group.add_argument("--kv")
    return p


class Fixed(P.Tavik_HelpFormatter):
    def _format_actions_usage(self, actions, groups):
        return " ".join(a.text for a in actions)


def action(text, optional):
    return SimpleNamespace(text=text, option_strings=[text] if optional else [], nargs=None,
                           metavar=None, choices=None, dest="d")


ACTIONS = [action("src", False), action("[-h]", True), action("[--long LONG]", True)]
ODD = [action("(foo)bar", False)]


class Stage(P.ArgsPropagationParser):
    def __init__(self, result):
        super().__init__(prog="prog")
        self.result = result

    def parse_known_args(self, args=None, namespace=None):
        return self.result


def parse_in_stages():
    sys.argv = ["prog", "-a", "1", "--other", "x", "y"]
    first = P.ArgsPropagationParser(prog="prog")
    first.add_argument("-a")
    first.parse_args()
    P.ArgsPropagationParser(prog="prog").parse_args(["--zzz"])


CASES = {
    "init": lambda: P.Tavik_HelpFormatter("prog", width=40),
    "init_keyword_twice": lambda: P.Tavik_HelpFormatter("p", max_help_position=3),
    "init_positional_twice": lambda: P.Tavik_HelpFormatter("p", 2, 10),
    "init_unbound": lambda: P.Tavik_HelpFormatter.__init__(),
    "help_wide": lambda: real_parser(100).format_help(),
    "help_wrapped": lambda: real_parser(30).format_help(),
    "usage_fixed_wrapped": lambda: Fixed("prog", width=12)._format_usage(None, ACTIONS, [], None),
    "usage_long_prog": lambda: Fixed("a_rather_long_prog", width=20)._format_usage(None, ACTIONS, [], ""),
    "usage_given": lambda: Fixed("prog", width=20)._format_usage("%(prog)s x", [], [], None),
    "usage_bad_template": lambda: Fixed("prog", width=20)._format_usage("%(prog)s %", [], [], None),
    "usage_regroup_assert": lambda: Fixed("p" * 12, width=24)._format_usage(None, ODD, [], None),
    "usage_no_option_strings": lambda: Fixed("p", width=20)._format_usage(None, [object()], [], None),
    "invocation_positional": lambda: P.Tavik_HelpFormatter("p")._format_action_invocation(action("s", False)),
    "invocation_option": lambda: P.Tavik_HelpFormatter("p")._format_action_invocation(action("-o", True)),
    "invocation_too_many": lambda: P.Tavik_HelpFormatter("p")._format_action_invocation(
        SimpleNamespace(option_strings=[], metavar=("A", "B"), choices=None, dest="d")),
    "invocation_bad_strings": lambda: P.Tavik_HelpFormatter("p")._format_action_invocation(
        SimpleNamespace(option_strings=["-a", 1], nargs=0)),
    "parse_stages": parse_in_stages,
    "parse_too_many": lambda: Stage((1, [], 3)).parse_args(),
    "parse_unsliceable": lambda: (setattr(sys, "argv", 5), Stage((1, ["u"])).parse_args()),
    "parse_exit": lambda: P.ArgsPropagationParser(prog="p", exit_on_error=False).parse_args(["-h"]),
}


@pytest.mark.parametrize("name", CASES)
def test_no_leak(name, monkeypatch, capsys):
    monkeypatch.setattr(sys, "argv", ["prog"])
    assert_no_leak(CASES[name], times=100)
