"""tavik.utils.parser: the namespace, the two classes, their function objects
and the formatter's constructor."""

import argparse
import gettext
import importlib
import inspect
import re
import sys

import pytest

import tavik.utils.parser as P


def test_namespace_reexports_and_reimport():
    names = list(vars(P))
    assert names[names.index("__builtins__") + 1:] == [
        "sys", "gettext", "re", *argparse.__all__, "ArgsPropagationParser", "Tavik_HelpFormatter"]
    assert all(getattr(P, name) is getattr(argparse, name) for name in argparse.__all__)
    assert (P.sys, P.gettext, P.re, P.__doc__) == (sys, gettext.gettext, re, None)
    del sys.modules["tavik.utils.parser"]
    try:
        assert importlib.import_module("tavik.utils.parser") is P
    finally:
        sys.modules["tavik.utils.parser"] = P
    assert importlib.reload(P) is P


@pytest.mark.parametrize("cls, base, own", [
    (P.ArgsPropagationParser, argparse.ArgumentParser, ["parse_args"]),
    (P.Tavik_HelpFormatter, argparse.RawTextHelpFormatter,
     ["__init__", "_format_usage", "_format_action_invocation"]),
])
def test_classes(cls, base, own):
    assert (cls.__bases__, type(cls), cls.__module__, cls.__qualname__, cls.__doc__) == (
        (base,), type, "tavik.utils.parser", cls.__name__, None)
    assert [k for k in vars(cls) if k not in ("__module__", "__qualname__", "__doc__")] == own


@pytest.mark.parametrize("cls, name, signature, defaults, doc, bad_call", [
    (P.ArgsPropagationParser, "parse_args", "(self, args=None, namespace=None)", (None, None), None,
     ((1, 2, 3, 4), {})),
    (P.Tavik_HelpFormatter, "__init__", "(self, *args, **kwargs)", None, None, ((), {"prog": "p"})),
    (P.Tavik_HelpFormatter, "_format_usage", "(self, usage, actions, groups, prefix)", None,
     "_format_usage\n\n        Basically the exact same as parent class's _format_usage - except the\n"
     "        positional arguments now show up before optional arguments in the usage\n"
     "        text.\n\n        This is needed as Calvex parser is a multiple stack/stage parser.\n\n        ",
     ((1,), {"usage": 1, "actions": 2, "groupz": 3})),
    (P.Tavik_HelpFormatter, "_format_action_invocation", "(self, action)", None,
     "\n        fix for usage from\n            -X [FILE], --xxx [FILE]\n        to\n"
     "            -X, --xxx [FILE]\n\n        ", ((1, 2), {"action": 3})),
])
def test_function_objects(cls, name, signature, defaults, doc, bad_call):
    f = vars(cls)[name]
    assert (f.__name__, f.__qualname__, f.__module__) == (name, f"{cls.__name__}.{name}", "tavik.utils.parser")
    assert (str(inspect.signature(f)), f.__defaults__, f.__kwdefaults__, f.__doc__) == (
        signature, defaults, None, doc)
    instance = cls.__new__(cls)
    assert getattr(cls, name) is f and getattr(instance, name).__self__ is instance
    # A bad call fails as it would on a Python function of the same signature.
    twin = {}
    exec(f"def twin{signature}: pass", twin)
    twin["twin"].__qualname__ = f.__qualname__
    with pytest.raises(TypeError) as expected:
        twin["twin"](*bad_call[0], **bad_call[1])
    with pytest.raises(TypeError, match=f"^{re.escape(str(expected.value))}$"):
        f(*bad_call[0], **bad_call[1])


class Spy(argparse.RawTextHelpFormatter):
    """Next after Tavik_HelpFormatter in a subclass's MRO: records the base call."""
    calls = []

    def __init__(self, *args, **kwargs):
        Spy.calls.append((args, list(kwargs.items())))
        super().__init__(*args, **kwargs)


class Spied(P.Tavik_HelpFormatter, Spy):
    pass


class Chained(Spied):
    def __init__(self, prog):
        super().__init__(prog)


HELP30 = ("max_help_position", 30)


@pytest.mark.parametrize("cls, args, kwargs, base_calls, error", [
    (Spied, ("prog",), {}, [(("prog",), [HELP30])], None),
    (Spied, (), {"prog": "prog", "width": 100}, [((), [HELP30, ("prog", "prog"), ("width", 100)])], None),
    (Chained, ("prog",), {}, [(("prog",), [HELP30])], None),
    (Spied, ("prog",), {"max_help_position": 10}, [],
     "function() got multiple values for keyword argument 'max_help_position'"),
    (Spied, ("prog", 2, 10), {}, [(("prog", 2, 10), [HELP30])],
     "HelpFormatter.__init__() got multiple values for argument 'max_help_position'"),
])
def test_init_puts_help_position_first_and_alone(cls, args, kwargs, base_calls, error):
    Spy.calls.clear()
    if error:
        with pytest.raises(TypeError, match=f"^{re.escape(error)}$"):
            cls(*args, **kwargs)
    else:
        formatter = cls(*args, **kwargs)
        assert (formatter._max_help_position, formatter._prog) == (30, "prog")
    assert Spy.calls == base_calls
