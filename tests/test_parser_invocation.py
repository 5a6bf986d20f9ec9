"""Tavik_HelpFormatter._format_action_invocation: an option's placeholder is
written once, after all of its option strings."""

from types import SimpleNamespace

import pytest

import tavik.utils.parser as P


def invocation(*names, **kwargs):
    parser = P.ArgumentParser(prog="prog", add_help=False, color=False)
    action = parser.add_argument(*names, **kwargs)
    return P.Tavik_HelpFormatter("prog")._format_action_invocation(action)


@pytest.mark.parametrize("names, kwargs, expected", [
    (("src",), {}, "src"),
    (("src",), {"metavar": "SOURCE", "nargs": "+"}, "SOURCE"),
    (("mode",), {"choices": ["a", "b"]}, "{a,b}"),
    (("-v", "--verbose"), {"action": "store_true"}, "-v, --verbose"),
    (("-X", "--xxx"), {"nargs": "?", "metavar": "FILE"}, "-X, --xxx [FILE]"),
    (("-X", "--xxx"), {"metavar": "FILE"}, "-X, --xxx FILE"),
    (("--out",), {"metavar": "OUT"}, "--out OUT"),
    (("-o", "--out", "--output"), {"nargs": 2}, "-o, --out, --output OUT OUT"),
    (("--level",), {"choices": [1, 2]}, "--level {1,2}"),
])
def test_real_actions(names, kwargs, expected):
    assert invocation(*names, **kwargs) == expected


class Stub(P.Tavik_HelpFormatter):
    """Inherited members that are overridden stay honoured."""

    def _get_default_metavar_for_optional(self, action):
        return "VALUE"

    def _format_args(self, action, default):
        return action.args_text if hasattr(action, "args_text") else f"<{default}>"


def stub_action(option_strings, nargs=None, metavar=None, **extra):
    return SimpleNamespace(option_strings=option_strings, nargs=nargs, metavar=metavar, choices=None,
                           dest="dest", **extra)


@pytest.mark.parametrize("action, expected", [
    (stub_action(["-q"]), "-q <VALUE>"),
    (stub_action(("-q", "--quiet"), nargs=0.0), "-q, --quiet"),
    (stub_action(["-q"], nargs="0"), "-q <VALUE>"),
    (stub_action(["-e", "--empty"], args_text=""), "-e, --empty "),
    (stub_action(["-n"], args_text=7), "-n 7"),
    (stub_action([], metavar=("A",)), "A"),
])
def test_stub_actions(action, expected):
    assert Stub("prog")._format_action_invocation(action) == expected


class BadPlaceholders(P.Tavik_HelpFormatter):
    def _metavar_formatter(self, action, default):
        return lambda size: action.placeholder


@pytest.mark.parametrize("formatter, action, error, message", [
    (Stub, stub_action([], metavar=("A", "B")), ValueError, "too many values to unpack (expected 1)"),
    (Stub, stub_action([], metavar=()), ValueError, "need more than 0 values to unpack"),
    (BadPlaceholders, stub_action([], placeholder=iter(["x", "y"])), ValueError,
     "too many values to unpack (expected 1)"),
    (BadPlaceholders, stub_action([], placeholder=5), TypeError, None),
    (Stub, stub_action(["-a", 3], nargs=0), TypeError, None),
    (Stub, stub_action(["-a", None]), TypeError, None),
    (Stub, SimpleNamespace(option_strings=["-a"]), AttributeError, None),
])
def test_errors(formatter, action, error, message):
    with pytest.raises(error) as e:
        formatter("prog")._format_action_invocation(action)
    assert message is None or str(e.value) == message
