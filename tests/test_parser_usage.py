"""Tavik_HelpFormatter._format_usage: positional arguments first, and its own
wrapping rules."""

import functools
import os
from types import SimpleNamespace

import pytest

import tavik.utils.parser as P

# The usage text of each stand-in action, as _format_actions_usage gives it.
TEXT = {"src": "src", "dst": "dst", "alpha": "alpha", "beta": "beta", "gamma": "gamma",
        "odd": "(foo)bar", "-h": "[-h]", "-v": "[-v]", "--long": "[--long LONG]", "--other": "[--other OTHER]"}
STANDARD = ["-h", "src", "-v", "dst", "--long"]
IND12 = " " * 12


def actions(names):
    return [SimpleNamespace(name=n, option_strings=[n] if n.startswith("-") else []) for n in names]


class Fixed(P.Tavik_HelpFormatter):
    """Usage texts from a table, so that only the layout is under test."""

    def _format_actions_usage(self, actions, groups):
        return " ".join(filter(None, (TEXT.get(a.name, "") for a in actions)))


@pytest.mark.parametrize("prog, width, usage, names, expected", [
    ("tool", 10, "%(prog)s FILE", STANDARD, "usage: tool FILE\n\n"),
    ("tool", 10, "tool [opts]", STANDARD, "usage: tool [opts]\n\n"),
    ("tool", 10, None, [], "usage: tool\n\n"),
    # At the edges: 43 columns is the widest one-line usage, 35 fits a part
    # exactly, 23 + 7 is 0.75 of 40.
    ("prog", 43, None, STANDARD, "usage: prog src dst [-h] [-v] [--long LONG]\n\n"),
    ("prog", 34, None, STANDARD, f"usage: prog src dst\n{IND12}[-h] [-v]\n{IND12}[--long LONG]\n\n"),
    ("prog", 35, None, STANDARD, f"usage: prog src dst\n{IND12}[-h] [-v] [--long LONG]\n\n"),
    ("a_rather_long_prog_x", 30, None, STANDARD,
     "usage: a_rather_long_prog_x\n       src dst\n       [-h] [-v] [--long LONG]\n\n"),
    ("p" * 23, 40, None, STANDARD, f"usage: {'p' * 23} src dst\n{' ' * 31}[-h] [-v]\n{' ' * 31}[--long LONG]\n\n"),
    ("p" * 24, 40, None, STANDARD, f"usage: {'p' * 24}\n       src dst [-h] [-v] [--long LONG]\n\n"),
    ("prog", 30, None, ["-h", "-v", "--long", "--other"],
     f"usage: prog [-h] [-v]\n{IND12}[--long LONG]\n{IND12}[--other OTHER]\n\n"),
    ("prog", 20, None, ["alpha", "beta", "gamma"], f"usage: prog alpha\n{IND12}beta\n{IND12}gamma\n\n"),
    ("prog", 10, None, ["-x", "y"], "usage: prog\n\n"),
    # An empty program name is left out of the one-line form with its blank.
    ("", 10, None, ["src"], "usage: src\n\n"),
    ("", 78, None, STANDARD, "usage: src dst [-h] [-v] [--long LONG]\n\n"),
    ("", 10, None, ["src", "dst"], "usage: \n        src\n        dst\n\n"),
])
def test_worked_examples(prog, width, usage, names, expected):
    assert Fixed(prog, width=width)._format_usage(usage, actions(names), [], None) == expected


@pytest.mark.parametrize("prefix, indent, width, expected", [
    ("", 0, 30, "prog src dst\n     [-h] [-v] [--long LONG]\n\n"),
    ("run: ", 0, 78, "run: prog src dst [-h] [-v] [--long LONG]\n\n"),
    (None, 2, 45, "Usage> prog src dst [-h] [-v] [--long LONG]\n\n"),
    (None, 3, 45, f"Usage> prog src dst\n{IND12}[-h] [-v] [--long LONG]\n\n"),
])
def test_prefix_and_current_indent(monkeypatch, prefix, indent, width, expected):
    calls = []
    monkeypatch.setattr(P, "gettext", lambda text: calls.append(text) or "Usage> ")
    formatter = Fixed("prog", width=width)
    formatter._current_indent = indent
    assert formatter._format_usage(None, actions(STANDARD), [], prefix) == expected
    assert calls == (["usage: "] if prefix is None else [])


def test_regroup_check_needs_assertions(run_python):
    with pytest.raises(AssertionError) as e:
        Fixed("p" * 12, width=24)._format_usage(None, actions(["odd"]), [], None)
    assert e.value.args == ()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = run_python(f"""
        import sys; sys.path.insert(0, {root!r})
        from tests.test_parser_usage import Fixed, actions
        print(repr(Fixed('p' * 12, width=24)._format_usage(None, actions(['odd']), [], None)))
    """, PYTHONOPTIMIZE="1")
    assert out.strip() == repr(f"usage: {'p' * 12}\n       (foo) bar\n\n")


# ---- real parsers: argparse of this interpreter supplies the usage parts ----

def parser(width, *flags, prog="prog", color=False, add_help=True):
    """A parser with the given store_true flags or positionals."""
    formatter = functools.partial(P.Tavik_HelpFormatter, width=width)
    p = P.ArgumentParser(prog=prog, formatter_class=formatter, color=color, add_help=add_help)
    for name in flags:
        p.add_argument(name, **({"action": "store_true"} if name.startswith("-") else {}))
    return p


def standard(width, color=False):
    p = parser(width, "-v", "src", color=color)
    group = p.add_mutually_exclusive_group()
    group.add_argument("-a", action="store_true")
    group.add_argument("-b", action="store_true")
    p.add_argument("-X", "--xxx", nargs="?", metavar="FILE")
    p.add_argument("dst")
    return p


WRAPPED = f"usage: prog src dst\n{IND12}[-h] [-v]\n{IND12}[-a | -b]\n{IND12}[-X [FILE]]\n"
LONG = "--a-rather-long-option-name"


def empty_metavar(width, color, option):
    """A positional whose usage part is empty, or colour codes alone."""
    p = parser(width, "src", color=color)
    p.add_argument("dst", metavar="")
    p.add_argument(option)
    return p


# A user's terminal decides whether argparse colours the parts.
@pytest.mark.parametrize("color", [False, True])
@pytest.mark.parametrize("build, width, expected", [
    (standard, 78, "usage: prog src dst [-h] [-v] [-a | -b] [-X [FILE]]\n"),
    (standard, 30, WRAPPED),
    (lambda width, color: parser(width, "-v", color=color), 78, "usage: prog [-h] [-v]\n"),
    (lambda width, color: parser(width, "src", add_help=False, color=color), 78, "usage: prog src\n"),
    (lambda width, color: parser(width, prog="", color=color), 78, "usage: [-h]\n"),
    (functools.partial(empty_metavar, option="--o"), 40, "usage: prog src [-h] [--o O]\n"),
    (functools.partial(empty_metavar, option=LONG), 40,
     f"usage: prog src\n{IND12}[-h]\n{IND12}[{LONG} A_RATHER_LONG_OPTION_NAME]\n"),
])
def test_real_parser_usage(monkeypatch, build, width, expected, color):
    for name in ("NO_COLOR", "PYTHON_COLORS"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("FORCE_COLOR", "1")
    p = build(width, color)
    assert p.format_usage() == expected
    # Colour codes in the usage parts must not count as width.
    assert ("\x1b[" in p.format_help()) == color


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


def test_usage_parts_survive_user_code_clearing_lists(run_python):
    # Each truth test of a part clears every list that holds it; the text is
    # laid out from the parts as they were returned.
    out = run_python("""
        import gc
        import tavik.utils.parser as P
        class Part(str):
            def __bool__(self):
                for r in gc.get_referrers(self):
                    if type(r) is list: r.clear()
                return True
        class F(P.Tavik_HelpFormatter):
            def _get_actions_usage_parts(self, actions, groups):
                return [Part('[-a A]'), Part('pos'), Part('x')], 1
        p = P.ArgsPropagationParser(prog='prog', formatter_class=F)
        p.add_argument('-a'); p.add_argument('pos')
        print(repr(p.format_usage()))
    """)
    assert out.strip() == repr("usage: prog pos x [-a A]\n")
