"""Tavik_HelpFormatter._format_action_invocation: an option's placeholder is
written once, after all of its option strings."""

from types import SimpleNamespace

import pytest

import tavik.utils.parser as P


@pytest.mark.parametrize("names, kwargs, expected", [
    (("src",), {}, "src"),
    (("src",), {"metavar": "SOURCE", "nargs": "+"}, "SOURCE"),
    (("-v", "--verbose"), {"action": "store_true"}, "-v, --verbose"),
    (("-X", "--xxx"), {"nargs": "?", "metavar": "FILE"}, "-X, --xxx [FILE]"),
    (("--out",), {"metavar": "OUT"}, "--out OUT"),
    (("-o", "--out", "--output"), {"nargs": 2}, "-o, --out, --output OUT OUT"),
    (("--level",), {"choices": [1, 2]}, "--level {1,2}"),
])
def test_real_actions(names, kwargs, expected):
    action = P.ArgumentParser(prog="prog", add_help=False).add_argument(*names, **kwargs)
    assert P.Tavik_HelpFormatter("prog")._format_action_invocation(action) == expected


class Stub(P.Tavik_HelpFormatter):
    """Overridden inherited members are honoured."""

    def _format_args(self, action, default):
        return getattr(action, "args_text", f"<{default}>")

    def _metavar_formatter(self, action, default):
        return lambda size: action.metavar


def stub(option_strings, nargs=None, **extra):
    return SimpleNamespace(option_strings=option_strings, nargs=nargs, dest="dest", **extra)


@pytest.mark.parametrize("action, expected", [
    (stub(("-q", "--quiet"), nargs=0.0), "-q, --quiet"),
    (stub(["-q"], nargs="0"), "-q <DEST>"),
    (stub(["-e", "--empty"], args_text=""), "-e, --empty "),
    (stub(["-n"], args_text=7), "-n 7"),
    (stub([], metavar=("A",)), "A"),
    (stub([], metavar=["A"]), "A"),
    (stub([], metavar=iter(["A"])), "A"),
    (stub([], metavar=("A", "B")), (ValueError, "too many values to unpack (expected 1)")),
    (stub([], metavar=iter(["x", "y"])), (ValueError, "too many values to unpack (expected 1)")),
    (stub([], metavar=()), (ValueError, "need more than 0 values to unpack")),
    (stub([], metavar=5), (TypeError, None)),
    (stub(["-a", 3], nargs=0), (TypeError, None)),
    (stub(["-a", None]), (TypeError, None)),
])
def test_stub_actions(action, expected):
    formatter = Stub("prog")
    if isinstance(expected, str):
        assert formatter._format_action_invocation(action) == expected
    else:
        with pytest.raises(expected[0]) as e:
            formatter._format_action_invocation(action)
        assert expected[1] in (None, str(e.value))
