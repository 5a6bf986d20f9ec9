"""Tavik_HelpFormatter._format_usage: positional arguments first, and its own
wrapping rules."""

import functools
import os
import subprocess
import sys
from types import SimpleNamespace

import pytest

import tavik.utils.parser as P

# The usage text of each stand-in action, as _format_actions_usage gives it.
TEXT = {"src": "src", "dst": "dst", "alpha": "alpha", "beta": "beta", "gamma": "gamma",
        "odd": "(foo)bar", "-h": "[-h]", "-v": "[-v]", "--long": "[--long LONG]",
        "--other": "[--other OTHER]"}


def action(name):
    return SimpleNamespace(name=name, option_strings=[name] if name.startswith("-") else [])


class Fixed(P.Tavik_HelpFormatter):
    """Usage texts from a table, so that only the layout is under test."""

    def __init__(self, prog, width):
        super().__init__(prog, width=width)
        self.calls = []

    def _format_actions_usage(self, actions, groups):
        self.calls.append([a.name for a in actions])
        return " ".join(filter(None, (TEXT.get(a.name, "") for a in actions)))


STANDARD = ["-h", "src", "-v", "dst", "--long"]
IND12 = " " * 12


@pytest.mark.parametrize("prog, width, usage, names, expected", [
    ("tool", 10, "%(prog)s FILE", STANDARD, "usage: tool FILE\n\n"),
    ("tool", 10, "tool [opts]", STANDARD, "usage: tool [opts]\n\n"),
    ("tool", 10, None, [], "usage: tool\n\n"),
    ("prog", 78, None, STANDARD, "usage: prog src dst [-h] [-v] [--long LONG]\n\n"),
    ("prog", 43, None, STANDARD, "usage: prog src dst [-h] [-v] [--long LONG]\n\n"),
    ("prog", 30, None, STANDARD, f"usage: prog src dst\n{IND12}[-h] [-v]\n{IND12}[--long LONG]\n\n"),
    ("prog", 34, None, STANDARD, f"usage: prog src dst\n{IND12}[-h] [-v]\n{IND12}[--long LONG]\n\n"),
    ("prog", 35, None, STANDARD, f"usage: prog src dst\n{IND12}[-h] [-v] [--long LONG]\n\n"),
    ("a_rather_long_prog_x", 30, None, STANDARD,
     "usage: a_rather_long_prog_x\n       src dst\n       [-h] [-v] [--long LONG]\n\n"),
    ("p" * 23, 40, None, STANDARD,
     f"usage: {'p' * 23} src dst\n{' ' * 31}[-h] [-v]\n{' ' * 31}[--long LONG]\n\n"),
    ("p" * 24, 40, None, STANDARD, f"usage: {'p' * 24}\n       src dst [-h] [-v] [--long LONG]\n\n"),
    ("prog", 30, None, ["-h", "-v", "--long", "--other"],
     f"usage: prog [-h] [-v]\n{IND12}[--long LONG]\n{IND12}[--other OTHER]\n\n"),
    ("prog", 20, None, ["alpha", "beta", "gamma"], f"usage: prog alpha\n{IND12}beta\n{IND12}gamma\n\n"),
    ("prog", 10, None, ["-x", "y"], "usage: prog\n\n"),
])
def test_worked_examples(prog, width, usage, names, expected):
    formatter = Fixed(prog, width)
    assert formatter._format_usage(usage, [action(n) for n in names], [], None) == expected


def test_format_calls_positionals_first_then_each_kind():
    formatter = Fixed("prog", 30)
    formatter._format_usage(None, [action(n) for n in STANDARD], [], None)
    assert formatter.calls == [["src", "dst", "-h", "-v", "--long"], ["-h", "-v", "--long"], ["src", "dst"]]


@pytest.mark.parametrize("indent, expected", [
    (2, "usage: prog src dst [-h] [-v] [--long LONG]\n\n"),
    (3, f"usage: prog src dst\n{IND12}[-h] [-v] [--long LONG]\n\n"),
])
def test_current_indent_narrows_the_text(indent, expected):
    formatter = Fixed("prog", 45)
    formatter._current_indent = indent
    assert formatter._format_usage(None, [action(n) for n in STANDARD], [], None) == expected


@pytest.mark.parametrize("prefix, expected", [
    (None, "Usage> prog src dst\n\n"),
    ("", "prog src dst\n\n"),
    ("run: ", "run: prog src dst\n\n"),
])
def test_prefix_goes_through_module_gettext(monkeypatch, prefix, expected):
    calls = []
    monkeypatch.setattr(P, "gettext", lambda text: calls.append(text) or "Usage> ")
    formatter = Fixed("prog", 78)
    assert formatter._format_usage(None, [action("src"), action("dst")], [], prefix) == expected
    assert calls == (["usage: "] if prefix is None else [])


def test_regroup_check_needs_assertions():
    formatter = Fixed("p" * 12, 24)
    with pytest.raises(AssertionError) as e:
        formatter._format_usage(None, [action("odd")], [], None)
    assert e.value.args == ()
    code = ("import sys; sys.path[:0] = [sys.argv[1]]; from tests.test_parser_usage import *;"
            "print(repr(Fixed('p' * 12, 24)._format_usage(None, [action('odd')], [], None)))")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-O", "-c", code, root], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == repr(f"usage: {'p' * 12}\n       (foo) bar\n\n")


# ---- real parsers: argparse of this interpreter supplies the usage parts ----

def parser(width, prog="prog", color=False, **kwargs):
    formatter = functools.partial(P.Tavik_HelpFormatter, width=width)
    return P.ArgumentParser(prog=prog, formatter_class=formatter, color=color, **kwargs)


def standard(width, color=False):
    p = parser(width, color=color)
    p.add_argument("-v", "--verbose", action="store_true")
    p.add_argument("src")
    p.add_argument("-X", "--xxx", nargs="?", metavar="FILE")
    p.add_argument("dst")
    p.add_argument("--long")
    return p


def exclusive(width):
    p = parser(width, add_help=False)
    group = p.add_mutually_exclusive_group()
    group.add_argument("-a", action="store_true")
    group.add_argument("-b", action="store_true")
    p.add_argument("name")
    return p


def optionals_only(width):
    p = parser(width)
    p.add_argument("-v", action="store_true")
    return p


def positionals_only(width):
    p = parser(width, add_help=False)
    p.add_argument("src")
    p.add_argument("hidden", help=P.SUPPRESS)
    return p


@pytest.mark.parametrize("build, width, expected", [
    (standard, 78, "usage: prog src dst [-h] [-v] [-X [FILE]] [--long LONG]\n"),
    (standard, 30, f"usage: prog src dst\n{IND12}[-h] [-v]\n{IND12}[-X [FILE]]\n{IND12}[--long LONG]\n"),
    (exclusive, 78, "usage: prog name [-a | -b]\n"),
    (exclusive, 20, f"usage: prog name\n{IND12}[-a | -b]\n"),
    (optionals_only, 78, "usage: prog [-h] [-v]\n"),
    (positionals_only, 78, "usage: prog src\n"),
])
def test_real_parser_usage(build, width, expected):
    assert build(width).format_usage() == expected


def test_colour_codes_do_not_count_as_width(monkeypatch):
    for name in ("NO_COLOR", "PYTHON_COLORS"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("FORCE_COLOR", "1")
    coloured = standard(30, color=True)
    assert "\x1b[" in coloured.format_help()
    assert coloured.format_usage() == standard(30).format_usage()


def test_real_parser_help():
    p = parser(60, prog="stage")
    p.add_argument("src", help="input file")
    p.add_argument("-X", "--xxx", nargs="?", metavar="FILE", help="extra file")
    p.add_argument("--configuration-location", metavar="PATH", help="settings")
    assert p.format_help() == (
        "usage: stage src\n"
        "             [-h] [-X [FILE]]\n"
        "             [--configuration-location PATH]\n"
        "\n"
        "positional arguments:\n"
        "  src                         input file\n"
        "\n"
        "options:\n"
        "  -h, --help                  show this help message and exit\n"
        "  -X, --xxx [FILE]            extra file\n"
        "  --configuration-location PATH\n"
        "                              settings\n"
    )
