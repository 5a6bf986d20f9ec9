"""tavik.utils.parser against its plain-Python rendering: usage and help of
random parsers, option invocations, the formatter's constructor and staged
parsing of random command lines."""

import argparse
import collections
import functools
import re
import sys
import types

import pytest
from hypothesis import given, strategies as st

from differential import DELETE, Recording, RecList, RecWidth, compare, describe, namespace_like, record

POSITIONALS = ["src", "dst", "files", "extra"]
OPTIONS = [["-a"], ["--alpha"], ["-b", "--beta"], ["-c", "--config", "--configuration-location"], ["-v", "--verbose"],
           ["--long-option-name"], ["-x"]]
NARGS = [None, None, "?", "*", "+", 1, 2, argparse.REMAINDER]
METAVARS = [None, None, None, "X", "FILE", "(foo)bar", "[x]", "a b", "", ("A", "B")]

positional = st.tuples(st.just("pos"), st.integers(0, 3), st.sampled_from(NARGS[:-1]), st.sampled_from(METAVARS),
                       st.integers(0, 2))
optional = st.tuples(st.just("opt"), st.integers(0, len(OPTIONS) - 1),
                     st.sampled_from(["store", "store", "store_true", "count", "append"]), st.sampled_from(NARGS[:-1]),
                     st.sampled_from(METAVARS), st.booleans(), st.sampled_from([None, None, 0, 1]))


@pytest.fixture(autouse=True, scope="module")
def colour_allowed():
    """A parser's `color` takes effect, as on a user's colour terminal."""
    with pytest.MonkeyPatch.context() as mp:
        for name in ("NO_COLOR", "PYTHON_COLORS"):
            mp.delenv(name, raising=False)
        mp.setenv("FORCE_COLOR", "1")
        yield


parsers = st.fixed_dictionaries({
    "prog": st.sampled_from(["", "p", "prog", "a_rather_long_prog_x", "x" * 40, "my tool"]),
    "width": st.integers(5, 100),
    "usage": st.sampled_from([None] * 6 + ["%(prog)s FILE", "tool [opts]", "%(prog)s %", "%(prog)s %(x)s"]),
    "prefix_chars": st.sampled_from(["-", "-", "+", "-+"]),
    "add_help": st.booleans(),
    "color": st.booleans(),
    "arguments": st.lists(st.one_of(positional, optional), max_size=7),
    "groups": st.lists(st.booleans(), max_size=2),  # mutually exclusive groups, required or not
})


def make_parser(spec, parser_class, formatter_class, **extra):
    p = parser_class(prog=spec["prog"], usage=spec["usage"], prefix_chars=spec["prefix_chars"],
                     add_help=spec["add_help"], color=spec["color"],
                     formatter_class=functools.partial(formatter_class, width=spec["width"]), **extra)
    groups = [p.add_mutually_exclusive_group(required=r) for r in spec["groups"]]
    pc = spec["prefix_chars"][-1]
    for a in spec["arguments"]:
        # argparse refuses some combinations; it refuses them on both sides.
        try:
            if a[0] == "pos":
                _, name, nargs, metavar, help_kind = a
                kw = {"nargs": nargs, "metavar": metavar, "help": [None, "the %(dest)s", argparse.SUPPRESS][help_kind]}
                p.add_argument(POSITIONALS[name], **{k: v for k, v in kw.items() if v is not None})
            else:
                _, which, action, nargs, metavar, required, group = a
                strings = [pc * (len(s) - len(s.lstrip("-"))) + s.lstrip("-") for s in OPTIONS[which]]
                kw = {"action": action, "required": required, "help": "help text"}
                if action in ("store", "append"):
                    kw.update({k: v for k, v in (("nargs", nargs), ("metavar", metavar)) if v is not None})
                target = groups[group % len(groups)] if groups and group is not None else p
                target.add_argument(*strings, **kw)
        except (ValueError, TypeError, argparse.ArgumentError):
            pass
    return p


def formatter_subclass(module, usage_texts=None, metavar_results=None):
    """Tavik_HelpFormatter, optionally with the methods argparse would call
    overridden (recording their calls)."""
    body = {}
    if usage_texts is not None:
        def _format_actions_usage(self, actions, groups):
            record("formatter", "_format_actions_usage", describe([a.dest for a in actions], len(groups)))
            return " ".join(usage_texts[sum(map(ord, str(a.dest))) % len(usage_texts)] for a in actions)
        body["_format_actions_usage"] = _format_actions_usage
    if metavar_results is not None:
        def _metavar_formatter(self, action, default):
            record("formatter", "_metavar_formatter", describe(action.dest, default))
            return lambda n: metavar_results(n)
        body["_metavar_formatter"] = _metavar_formatter
    return type("Formatter", (module.Tavik_HelpFormatter,), body) if body else module.Tavik_HelpFormatter


USAGE_TEXTS = ["[-a A]", "(foo)bar", "src", "", "[x y]", "a  b", " lead", "[-v | -q]", "(a | b)"]


@given(spec=parsers, what=st.sampled_from(["usage", "help", "usage", "help", "error"]),
       texts=st.one_of(st.none(), st.lists(st.sampled_from(USAGE_TEXTS), min_size=1, max_size=4)))
def test_usage_and_help(spec, what, texts):
    def build(m):
        return {"parser": make_parser(spec, argparse.ArgumentParser, formatter_subclass(m, texts))}

    def invoke(m, x):
        p = x["parser"]
        if what == "error":
            p.exit_on_error = True
            return p.error("bad")
        return p.format_usage() if what == "usage" else p.format_help()
    compare("parser", build, invoke, stdio=True)


PREFIXES = [None, None, "", "usage: ", "Usage of the program: ", "x" * 30]
GETTEXTS = {
    "recorded": lambda g: Recording("gettext", g),
    "upper": lambda g: lambda s: s.upper(),
    "list": lambda g: lambda s: ["u"],
    "int": lambda g: lambda s: 5,
}


@given(spec=parsers, prefix=st.sampled_from(PREFIXES), usage=st.sampled_from([None, None, "%(prog)s X", "plain"]),
       indent=st.sampled_from([0, 0, 2, 4, 200]), gettext=st.sampled_from([None, None] + sorted(GETTEXTS)),
       findall=st.sampled_from([None, None, "recorded", "tuple", "delete"]),
       texts=st.one_of(st.none(), st.lists(st.sampled_from(USAGE_TEXTS), min_size=1, max_size=4)),
       recorded_width=st.booleans())
def test_format_usage_directly(spec, prefix, usage, indent, gettext, findall, texts, recorded_width):
    """_format_usage called as argparse calls it, with prefixes, indents, a
    width compared through its own methods and its module names (gettext,
    re) rebound."""
    def build(m):
        p = make_parser(spec, argparse.ArgumentParser, formatter_subclass(m, texts))
        f = p._get_formatter()
        f._current_indent = indent
        if recorded_width:
            f._width = RecWidth(f._width)
        return {"formatter": f, "actions": p._actions, "groups": p._mutually_exclusive_groups}

    def patches(m):
        out = {}
        if gettext:
            out["gettext"] = GETTEXTS[gettext](m.gettext)
        if findall == "delete":
            out["re"] = DELETE
        elif findall:
            fn = Recording("findall", re.findall) if findall == "recorded" else lambda p, s: tuple(re.findall(p, s))
            out["re"] = namespace_like(re, "re", findall=fn)
        return out
    compare("parser", build, lambda m, x: x["formatter"]._format_usage(usage, x["actions"], x["groups"], prefix),
            patches)


@pytest.mark.parametrize("prog, width, arguments", [
    ("prog", 30, [("pos", i, None, None, 0) for i in range(4)] + [("opt", 6, "store", None, None, False, None)]),
    ("prog", 24, [("opt", i, "store", None, None, False, None) for i in (1, 2, 5)]),
    ("a_rather_long_prog_x", 30, [("pos", 0, None, None, 0), ("opt", 3, "store", None, None, False, None)]),
])
def test_wrapped_usage_with_its_lists_rewritten(prog, width, arguments):
    """The wrapped layouts, with each kind of list the call makes rewritten
    alone from inside each comparison of the width."""
    spec = {"prog": prog, "width": width, "usage": None, "prefix_chars": "-", "add_help": True, "color": False,
            "arguments": arguments, "groups": []}

    def build(m):
        p = make_parser(spec, argparse.ArgumentParser, formatter_subclass(m, ["[-a A]", "src dst", "cccc"]))
        f = p._get_formatter()
        f._width = RecWidth(f._width)
        return {"formatter": f, "actions": p._actions}
    compare("parser", build, lambda m, x: x["formatter"]._format_usage(None, x["actions"], [], None), thorough=True)


def fake_action(strings, nargs, dest, metavar):
    return types.SimpleNamespace(option_strings=strings, nargs=nargs, dest=dest, metavar=metavar, choices=None,
                                 help=None, required=False)


METAVAR_RESULTS = {
    "tuple1": lambda n: ("M",), "tuple0": lambda n: (), "tuple2": lambda n: ("M", "N"), "list1": lambda n: ["L"],
    "gen1": lambda n: (x for x in ["G"]), "gen2": lambda n: (x for x in ["G", "H"]), "int": lambda n: 5,
    "str1": lambda n: "s", "str2": lambda n: "st",
}


@given(strings=st.sampled_from(["none", "list", "tuple", "reclist", "ints"]), which=st.integers(0, len(OPTIONS) - 1),
       nargs=st.sampled_from([0, 0.0, None, "?", "*", "+", 1, 2, "0", False]),
       metavar=st.sampled_from([None, "FILE", ("A", "B"), ""]),
       results=st.sampled_from([None, None] + sorted(METAVAR_RESULTS)))
def test_format_action_invocation(strings, which, nargs, metavar, results):
    def build(m):
        names = OPTIONS[which]
        option_strings = {"none": [], "list": list(names), "tuple": tuple(names),
                          "reclist": RecList(names, _label="strings"), "ints": [1, 2]}[strings]
        f = formatter_subclass(m, metavar_results=METAVAR_RESULTS.get(results))("prog")
        return {"formatter": f, "action": fake_action(option_strings, nargs, "dest", metavar)}
    compare("parser", build, lambda m, x: x["formatter"]._format_action_invocation(x["action"]))


class Mixin(argparse.RawTextHelpFormatter):
    """After Tavik_HelpFormatter in a subclass's MRO: records what reaches it."""

    def __init__(self, *args, **kwargs):
        record("mixin", "__init__", describe(args), tuple(kwargs))
        super().__init__(*args, **kwargs)


@given(args=st.lists(st.sampled_from(["prog", 2, 40, 50, True]), max_size=4),
       kwargs=st.dictionaries(st.sampled_from(["prog", "indent_increment", "width", "max_help_position", "color",
                                               "bogus"]), st.sampled_from(["p", 3, 60]), max_size=3),
       through=st.sampled_from(["direct", "mixin", "super-prog"]))
def test_formatter_constructor(args, kwargs, through):
    def build(m):
        if through == "direct":
            cls = m.Tavik_HelpFormatter
        elif through == "mixin":
            cls = type("WithMixin", (m.Tavik_HelpFormatter, Mixin), {})
        else:
            def __init__(self, *a, **k):
                super(cls, self).__init__(*a[:1])
            cls = type("SuperProg", (m.Tavik_HelpFormatter,), {"__init__": __init__})
        return {"cls": cls}

    def invoke(m, x):
        f = x["cls"](*args, **kwargs)
        return f._prog, f._indent_increment, f._max_help_position, f._width
    compare("parser", build, invoke)


# ---- staged parsing -------------------------------------------------------------

stage_arguments = st.lists(st.one_of(
    st.tuples(st.just("pos"), st.integers(0, 3), st.sampled_from([None, "?", "?", "*"]), st.just(None), st.just(0)),
    st.tuples(st.just("opt"), st.integers(0, len(OPTIONS) - 1), st.sampled_from(["store", "store_true", "append"]),
              st.sampled_from([None, "?"]), st.just(None), st.booleans(), st.just(None))), max_size=4)
TOKENS = ["-a", "1", "--alpha", "x", "-b", "--beta=2", "-v", "--verbose", "--other", "-q", "--", "-", "file",
          "--long", "-vx", "--zzz=3", "+a", "-c"]
KNOWN_RESULTS = {
    "pair": lambda ns, unknown: (ns, unknown), "list": lambda ns, unknown: [ns, unknown],
    "one": lambda ns, unknown: (ns,), "three": lambda ns, unknown: (ns, unknown, 1),
    "iter": lambda ns, unknown: iter([ns, unknown]), "gen3": lambda ns, unknown: (x for x in [ns, unknown, 3]),
    "int": lambda ns, unknown: 5, "tuple-unknowns": lambda ns, unknown: (ns, tuple(unknown)),
    "empty": lambda ns, unknown: [],
}
ARGVS = {
    "list": lambda tokens: ["prog"] + tokens, "empty": lambda tokens: [], "tuple": lambda tokens: ("prog", *tokens),
    "int": lambda tokens: 5, "none": lambda tokens: None, "str": lambda tokens: "prog",
    "reclist": lambda tokens: RecList(["prog"] + tokens, _label="argv"),
    "deque": lambda tokens: collections.deque(["prog"] + tokens),
}


@given(arguments=stage_arguments, tokens=st.lists(st.sampled_from(TOKENS), max_size=6),
       explicit=st.one_of(st.none(), st.lists(st.sampled_from(TOKENS), max_size=4)),
       argv=st.sampled_from(["list"] * 20 + sorted(ARGVS)),
       known=st.sampled_from(["inherited"] * 20 + sorted(KNOWN_RESULTS)),
       module_sys=st.sampled_from(["real"] * 8 + ["fake", "delete"]), namespace=st.booleans(),
       exit_on_error=st.booleans())
def test_parse_args(arguments, tokens, explicit, argv, known, module_sys, namespace, exit_on_error):
    spec = {"prog": "stage", "width": 60, "usage": None, "prefix_chars": "-", "add_help": False, "color": False,
            "arguments": arguments, "groups": []}
    saved = sys.argv

    def build(m):
        cls = m.ArgsPropagationParser
        if known != "inherited":
            def parse_known_args(self, args=None, namespace=None):
                record("parser", "parse_known_args", describe(args, namespace))
                ns, unknown = argparse.ArgumentParser.parse_known_args(self, args, namespace)
                return KNOWN_RESULTS[known](ns, unknown)
            cls = type("Stage", (cls,), {"parse_known_args": parse_known_args})
        sys.argv = ARGVS[argv](list(tokens)) if module_sys == "real" else ["prog"] + list(tokens)
        fake = types.SimpleNamespace(argv=ARGVS[argv](list(tokens))) if module_sys == "fake" else None
        return {"parser": make_parser(spec, cls, m.Tavik_HelpFormatter, exit_on_error=exit_on_error),
                "argv_before": sys.argv, "fake_sys": fake, "args": None if explicit is None else list(explicit),
                "namespace": argparse.Namespace(given=True) if namespace else None}

    def patches(m):
        return {"sys": DELETE} if module_sys == "delete" else {}

    def invoke(m, x):
        if x["fake_sys"] is not None:
            m.sys = x["fake_sys"]
        try:
            return x["parser"].parse_args(x["args"], x["namespace"])
        finally:
            if x["fake_sys"] is not None:
                m.sys = sys
            x["argv_after"] = sys.argv
    try:
        compare("parser", build, invoke, patches, stdio=True)
    finally:
        sys.argv = saved


@given(arguments=stage_arguments, first=st.lists(st.sampled_from(TOKENS), max_size=5),
       second=stage_arguments)
def test_stages_in_sequence(arguments, first, second):
    """Two stages one after the other: the second parses what the first
    left in sys.argv."""
    saved = sys.argv
    base = {"prog": "stage", "width": 60, "usage": None, "prefix_chars": "-", "add_help": False, "color": False,
            "groups": []}

    def build(m):
        sys.argv = ["prog"] + list(first)
        return {"stages": [make_parser(dict(base, arguments=a), m.ArgsPropagationParser, m.Tavik_HelpFormatter)
                           for a in (arguments, second)], "argv": sys.argv}

    def invoke(m, x):
        out = []
        for p in x["stages"]:
            out.append((p.parse_args(), sys.argv))
        return out
    try:
        compare("parser", build, invoke, stdio=True)
    finally:
        sys.argv = saved


@given(method=st.sampled_from(["_format_usage", "_format_action_invocation", "__init__"]), nargs=st.integers(0, 6),
       names=st.lists(st.sampled_from(["self", "usage", "actions", "groups", "prefix", "action", "args", "kwargs",
                                       "prog", "bogus"]), max_size=3, unique=True), bound=st.booleans())
def test_method_binding(method, nargs, names, bound):
    """Calls of every shape, bound and unbound: the same binding errors."""
    def build(m):
        return {"formatter": m.Tavik_HelpFormatter("prog", width=40)}

    def invoke(m, x):
        fn = getattr(x["formatter"] if bound else m.Tavik_HelpFormatter, method)
        return fn(*[None] * nargs, **dict.fromkeys(names))
    compare("parser", build, invoke)
