"""tavik.utils.parser: the module namespace, the two classes, their function
objects and the formatter's constructor."""

import argparse
import importlib
import inspect
import sys

import pytest

import tavik.utils.parser as P


# Python functions of the same signatures, for the interpreter's own binding
# errors.
class ArgsPropagationParser:
    def parse_args(self, args=None, namespace=None): ...


class Tavik_HelpFormatter:
    def __init__(self, *args, **kwargs): ...
    def _format_usage(self, usage, actions, groups, prefix): ...
    def _format_action_invocation(self, action): ...


def test_namespace_order_and_reexports():
    names = list(vars(P))
    start = names.index("__builtins__")
    assert names[start + 1:] == ["sys", "gettext", "re", *argparse.__all__,
                                 "ArgsPropagationParser", "Tavik_HelpFormatter"]
    for name in argparse.__all__:
        assert getattr(P, name) is getattr(argparse, name), name
    import gettext
    import re
    assert (P.sys, P.gettext, P.re) == (sys, gettext.gettext, re)
    assert P.__doc__ is None
    assert sys.modules["tavik.utils.parser"] is P


def test_import_again_and_reload_keep_the_module():
    del sys.modules["tavik.utils.parser"]
    try:
        again = importlib.import_module("tavik.utils.parser")
    finally:
        sys.modules["tavik.utils.parser"] = P
    assert again is P
    assert importlib.reload(P) is P
    assert P.Tavik_HelpFormatter("p")._max_help_position == 30


@pytest.mark.parametrize("cls, base, own", [
    (P.ArgsPropagationParser, argparse.ArgumentParser, ["parse_args"]),
    (P.Tavik_HelpFormatter, argparse.RawTextHelpFormatter,
     ["__init__", "_format_usage", "_format_action_invocation"]),
])
def test_classes(cls, base, own):
    assert cls.__bases__ == (base,)
    assert type(cls) is type
    assert (cls.__module__, cls.__qualname__, cls.__name__, cls.__doc__) == (
        "tavik.utils.parser", cls.__name__, cls.__name__, None)
    assert [k for k in vars(cls) if k not in ("__module__", "__qualname__", "__doc__")] == own


@pytest.mark.parametrize("cls, name, signature, defaults, doc", [
    (P.ArgsPropagationParser, "parse_args", "(self, args=None, namespace=None)", (None, None), None),
    (P.Tavik_HelpFormatter, "__init__", "(self, *args, **kwargs)", None, None),
    (P.Tavik_HelpFormatter, "_format_usage", "(self, usage, actions, groups, prefix)", None,
     "_format_usage\n\n        Basically the exact same as parent class's _format_usage - except the\n"
     "        positional arguments now show up before optional arguments in the usage\n"
     "        text.\n\n        This is needed as Calvex parser is a multiple stack/stage parser.\n\n        "),
    (P.Tavik_HelpFormatter, "_format_action_invocation", "(self, action)", None,
     "\n        fix for usage from\n            -X [FILE], --xxx [FILE]\n        to\n"
     "            -X, --xxx [FILE]\n\n        "),
])
def test_function_objects(cls, name, signature, defaults, doc):
    f = vars(cls)[name]
    assert getattr(cls, name) is f
    assert (f.__name__, f.__qualname__, f.__module__) == (name, f"{cls.__name__}.{name}", "tavik.utils.parser")
    assert (str(inspect.signature(f)), f.__defaults__, f.__kwdefaults__, f.__doc__) == (
        signature, defaults, None, doc)
    instance = cls.__new__(cls)
    assert getattr(instance, name).__self__ is instance


@pytest.mark.parametrize("name, args, kwargs", [
    ("parse_args", (), {}),
    ("parse_args", (1, 2, 3, 4), {}),
    ("parse_args", (1,), {"nmespace": 2}),
    ("__init__", (), {"prog": "p"}),
    ("_format_usage", (1, 2, 3, 4, 5, 6), {}),
    ("_format_usage", (1,), {"usage": 1, "actions": 2, "groupz": 3}),
    ("_format_action_invocation", (1, 2), {"action": 3}),
])
def test_binding_errors_match_python_functions(name, args, kwargs):
    ours = getattr(P.ArgsPropagationParser if name == "parse_args" else P.Tavik_HelpFormatter, name)
    theirs = getattr(ArgsPropagationParser if name == "parse_args" else Tavik_HelpFormatter, name)
    with pytest.raises(TypeError) as expected:
        theirs(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        ours(*args, **kwargs)
    assert str(got.value) == str(expected.value)


class Spy(argparse.RawTextHelpFormatter):
    """Next after Tavik_HelpFormatter in a subclass's MRO: sees the base call."""

    calls = []

    def __init__(self, *args, **kwargs):
        Spy.calls.append((args, list(kwargs.items())))
        super().__init__(*args, **kwargs)


class Spied(P.Tavik_HelpFormatter, Spy):
    pass


class Chained(Spied):
    def __init__(self, prog):
        super().__init__(prog)


@pytest.mark.parametrize("cls, args, kwargs, expected", [
    (Spied, ("prog",), {}, (("prog",), [("max_help_position", 30)])),
    (Spied, (), {"prog": "p", "width": 100}, ((), [("max_help_position", 30), ("prog", "p"), ("width", 100)])),
    (Chained, ("p",), {}, (("p",), [("max_help_position", 30)])),
])
def test_init_passes_help_position_first(cls, args, kwargs, expected):
    Spy.calls.clear()
    formatter = cls(*args, **kwargs)
    assert Spy.calls == [expected]
    assert formatter._max_help_position == 30
    assert formatter._prog == (args or (kwargs["prog"],))[0]


def test_init_rejects_help_position_before_calling_base():
    Spy.calls.clear()
    with pytest.raises(TypeError) as e:
        Spied("p", max_help_position=10)
    assert str(e.value) == "function() got multiple values for keyword argument 'max_help_position'"
    assert Spy.calls == []
    with pytest.raises(TypeError, match=r"__init__\(\) got multiple values for argument 'max_help_position'"):
        P.Tavik_HelpFormatter("p", 2, 10)

