"""load_dict_from_yaml reads YAML text natively when PyYAML is untouched: the
results must be yaml.safe_load's in types, values, dict order and sharing,
and every error must end as the original's does."""

import contextlib
import datetime
import functools
import gc
import logging
import os
import subprocess
import sys
import textwrap
import tracemalloc
import types

import pytest
import yaml
from hypothesis import given, strategies as st

from differential import collector_callbacks_set_aside
from tavik.utils import dicts

YAML_DIR = os.path.dirname(os.path.abspath(yaml.__file__)) + os.sep


@contextlib.contextmanager
def watching_original_calls():
    """Collects a mark for each load that ran PyYAML's own code (see
    check()). Neither a tool nor an event sees it: any would send every load
    the original way."""
    yield []


def ran_pyyaml(load):
    """load() and whether PyYAML's own code ran in it, seen through
    tracemalloc, which nothing guarded stands on: what such a load leaves
    alive (the objects it made, or its error's traceback, which the log
    handler keeps) was allocated in one of PyYAML's frames."""
    tracemalloc.start()
    try:
        result = load()
        traces = tracemalloc.take_snapshot().traces
    finally:
        tracemalloc.stop()
    return result, any(t.traceback[0].filename.startswith(YAML_DIR) for t in traces)


@pytest.fixture
def original_calls():
    with watching_original_calls() as calls:
        yield calls


def same(a, b, pairs=None):
    """Equal types and values, and the same sharing: an object met twice in
    `a` is met twice, as one object, at the same places in `b`."""
    pairs = {} if pairs is None else pairs
    if type(a) is not type(b):
        return False
    if isinstance(a, (dict, list)):
        if id(a) in pairs:
            return pairs[id(a)] is b
        if any(v is b for v in pairs.values()):
            return False
        pairs[id(a)] = b
        if isinstance(a, dict):
            return (list(a) == list(b) or all(same(x, y, pairs) for x, y in zip(a, b))) and len(a) == len(b) and \
                all(same(x, y, pairs) for x, y in zip(a.values(), b.values()))
        return len(a) == len(b) and all(same(x, y, pairs) for x, y in zip(a, b))
    if isinstance(a, float) and a != a:
        return b != b and (a is b) == (a is yaml.SafeLoader.nan_value)
    if isinstance(a, datetime.datetime):
        return a == b and a.tzinfo == b.tzinfo
    return a == b


class Records(logging.Handler):
    def __init__(self):
        super().__init__()
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())
        self.error = sys.exception()  # its traceback holds the frames that raised it


def check(text, calls=None):
    """load_dict_from_yaml(text) against yaml.safe_load(text); true when it
    ran no safe_load (`calls` from original_calls)."""
    try:
        expected, failed = yaml.safe_load(text), False
    except Exception:
        expected, failed = None, True
    handler = Records()
    logger = logging.getLogger("tavik.utils.dicts")
    logger.addHandler(handler)
    level = logger.level
    logger.setLevel(logging.DEBUG)
    try:
        load = functools.partial(dicts.load_dict_from_yaml, text)
        with collector_callbacks_set_aside():
            got, original = ran_pyyaml(load) if calls is not None else (load(), False)
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)
    assert handler.messages == (["Unable to load the yaml file"] if failed else []), text
    assert same(expected, got), (text, expected, got)
    if original:
        calls.append(text)  # only when counted
    return not original


CONFIG = """\
# service configuration
---
defaults: &defaults
  timeout: 30
  retries: 3
  tags: [core, eu]
services:
  api:
    <<: *defaults
    image: "registry/api:1.2"
    replicas: 0x10
    ratio: 1_000.5
    enabled: yes
    started: 2024-01-31
    at: 2001-12-14 21:59:43.10 -5
    motto: 'it''s
      folded'
    ports:
    - 80
    - 443
    env: ~
  worker:
    <<: [*defaults, {retries: 9}]
    queue: jobs
...
"""

# Each resolver rule, its quirks and near misses, as safe_load reads them.
SCALARS = [
    "", "~", "null", "Null", "NULL", "nul", "yes", "Yes", "YES", "yEs", "no", "on", "Off", "OFF", "true", "True",
    "tRUE", "y", "n", "0", "-0", "+0", "012", "08", "0o17", "0b101", "-0b1_0", "0b", "0b_", "0x1F", "0X1F", "0x_",
    "0xg", "1_000", "1__0", "_1", "1:30", "-1:30:59", "1:60", "1:5:7", "0:30", "190:20:30.15", "1:30.", "1.5",
    "1.", ".5", "._5", "-.5", "1e3", "1.0e3", "1.0e+3", "1.0E-3", "1.e+3", "+.inf", "-.Inf", ".INF", ".inF",
    ".nan", ".NaN", "-.nan", "12345678901234567890123", "1" * 5000, "=", "<<", "<", "2001-12-14", "2001-1-4",
    "2001-12-14t21:59:43.10-05:00", "2001-12-14 21:59:43.10 -5", "2001-12-14 21:59:43Z", "2001-12-14 21:59:43.",
    "2001-12-14 21:59:43 +5:3", "2001-02-30", "2001-12-14 25:00:00", "2001-12-14 1:00:00 +24", "20011-12-14",
    "a b", "a:b", "a#b", "a #b", "-a", "?a", ":a", "'q'", '"\\x41\\u00e9\\U0001F600\\N\\_"', '"\\q"',
    '"\\uD800"', "'multi\n\n  line'", '"esc\\\n  aped"', "é ü", "3.14159265358979323846264338327950288",
]


@pytest.mark.parametrize("form", ["{}", "k: {}", "- {}", "{}: v", "k:\n  {}", "k:\n- {}\n- {}"])
def test_scalars_resolve_as_safe_load_does(form):
    for scalar in SCALARS:
        check(form.replace("{}", scalar))


def test_config_is_read_natively(original_calls):
    assert check(CONFIG, original_calls)
    assert not check("a: [1, 2", original_calls)  # an error goes the original way


STRUCTURES = [
    CONFIG, "a: 1\n---\nb: 2", "--- 1\n...\n", "---\n...\n", "...\na: 1", "a: 1\n...\n# end\n", "a: 1\n...\nb: 2",
    "a:\n  b: 1\n c: 2", "a:\n    b: 1\n  c: 2", "- a\n  b", "- a\n  b: c", "a: 1\n  b", "a: b: c", "a: - b",
    "key: &a\n  - 1\n  - *a\n", "a: &x 1\nb: &x 2", "a: *x", "&a a: 1", "a: &a\nb: *a", "- &a\n  x: 1\n- *a",
    "a: 1\na: 2\nb: 3\na: 4", "1: a\n1.0: b\ntrue: c", ".nan: 1\n.nan: 2", "- .nan\n- .nan", "x: &m {a: 1}\ny:\n  <<: *m\n  <<: *m",
    "b:\n  <<:\n    a: 1", "b:\n  <<: 1", "<<: 1", "- <<", "k: =", "=: v", "a: &r\n  b: *r\n  <<: *r",
    "a:\n- 1\n-\n- - 2\n  - 3\nb: 4", "  a: 1\n  b: 2\n", "  a: 1\nb: 2", "? a\n: b", "a: |\n  x\n", "a: !!str 1",
    "%YAML 1.1\n---\na: 1", "a: 'x'y", "a: 'x' # c\n", "'a' : 1", "\"a\": 1\n'b': 2", "a:\n  - x\n- y",
    "'unterminated", "a: |\n  x\n   y\n\n  z\n\n", "a: >-\n  x\n  y\n\n   z\n  w\nb: 1", "- |+\n  x\n\n- >2\n   y\n",
    "a: |\n\n   \n  x", "a: |0\n x", "a: |x", "a: | x\n", "a: |", "a: >-", "a: | # c\n  x\n# d\n", "|\n x\n", "a: >\n\n  b\n  c\n\n\n", "a: |\nb: 1",
    "a: !!int '0x1F'\nb: !!str 12\nc: !!float '1.5'\nd: !!bool 'TRUE'\ne: !!null 'x'\nf: !!map {a: 1}\ng: !!seq [1]",
    "a: !!int 'x'\n", "a: !!set {x}", "a: !!binary aGk=", "a: !foo x", "[!!str 1, &a !!int '2', !!timestamp 2001-01-01, *a]",
    "a: !!str\n", "a: &x !!str b\nc: *x", "{a: !!str}", "!!str a: b", "- !!str\n  a: b", "a: \"x\n  ---\n  y\"", "a: b\n# c\n  d", "a: b\n  # c\nd: e", "a: b\n\n\n  c\n\n  d",
    "a" * 1030 + ": 1", "a" * 900 + ": 1", "- - - - x", "-\n-\n", "- -", "key:    value   ", "a:\tb", "\ufeffa: 1",
    "a: 1\r\nb: 2\r\n", "a: 1\rb: 2", "a: \x85", "a: \x07", "a: b\u2028c", "- [a, {b: c}]\n", "[" * 50 + "]" * 50,
    "key: !!str &a\n  - 1\n  - *a\n", "key: !!bool &a\n 123\nafter: *a", "a: 1\nkey: !!int &a\n   |\n    x\nb: [*a]",
    "- !!seq &a\n   ~\n- *a", "k: !!timestamp '0001-09-28  1:00:00  '",
]


@pytest.mark.parametrize("text", STRUCTURES)
def test_structures_and_errors_as_safe_load(text):
    check(text)


def test_deep_nesting_ends_as_the_original_does():
    for depth in (150, 450, 2000):
        check("".join(" " * i + "k:\n" for i in range(depth)) + " " * depth + "v\n")


def test_nesting_near_a_low_recursion_limit_ends_as_python_does(run_python):
    """Called a few frames below a low limit, native reads what the plain
    rendering (a Python function, so one frame more) reads and fails where it
    fails: natively or by the real safe_load. The texts: a block chain, the
    kind that takes PyYAML the most frames (an anchor above a quoted scalar
    over lines) and one of those that take the fewest (a flow chain)."""
    out = run_python(f"""
        import sys
        sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
        import plain.dicts as plain
        from tavik.utils import dicts
        KINDS = [lambda d: "".join(" " * i + "k:\\n" for i in range(d)) + " " * d + "v\\n",
                 lambda d: "".join(" " * i + "k:\\n" for i in range(d - 1)) + " " * (d - 1) + "k: &z\\n"
                           + " " * d + "'a\\n" + " " * d + " b'\\n",
                 lambda d: "[" * d + "v" + "]" * d]
        def down(n, load, text):
            return load(text) if n == 0 else down(n - 1, load, text)
        differ = []
        for limit in (100, 116, 117):
            sys.setrecursionlimit(limit)
            for n in range(3):
                for kind in KINDS:
                    for d in range(25, 55):
                        got = [down(n, m.load_dict_from_yaml, kind(d)) is None for m in (dicts, plain)]
                        if got[0] != got[1]:
                            differ.append((limit, n, KINDS.index(kind), d, got))
        print(differ)
    """)
    assert out == "[]\n"


# ---- documents from random values, dumped in every style ---------------------

words = st.sampled_from(SCALARS[:60] + ["name", "a b", "x: y", "- z", "#", "é", "tab\there", "line\nbreak",
                                        " lead", "trail ", "'", '"', "\\", "&a", "*a", "!t", "|", ">", "[", "{"])
leaves = (st.none() | st.booleans() | st.integers(-2**70, 2**70) | st.floats(allow_nan=True) | words | st.text(max_size=12)
          | st.dates() | st.datetimes(timezones=st.none() | st.just(datetime.timezone.utc)))


def values(leaf):
    return st.recursive(leaf, lambda inner: st.lists(inner, max_size=4)
                        | st.dictionaries(words | st.integers() | st.booleans(), inner, max_size=4), max_leaves=20)


@given(value=values(leaves), flow=st.sampled_from([False, None, True]), indent=st.integers(2, 5),
       width=st.sampled_from([12, 40, 80, 10**6]), style=st.sampled_from([None, None, "'", '"', "|", ">"]),
       start=st.booleans(), end=st.booleans(), unicode=st.booleans(), share=st.booleans())
def test_dumped_documents(value, flow, indent, width, style, start, end, unicode, share):
    if share and isinstance(value, (dict, list)):
        value = {"first": value, "again": value, "list": [value]}
    text = yaml.safe_dump(value, default_flow_style=flow, indent=indent, width=width, default_style=style,
                          explicit_start=start, explicit_end=end, allow_unicode=unicode)
    check(text)


MUTATIONS = [" ", "  ", "\t", "\r\n", "\r", "\ufeff", ":", "-", "#", "'", '"', "\n", "x", "&a ", "*a", "|", "[", "\\",
             "\x00"]


# Explicit tags: each standard tag on each kind of node, with an anchor before
# or after it and a space or a line break between tag, anchor and node; the
# values are the constructors' near misses.
TAGS = ["!!str", "!!int", "!!float", "!!bool", "!!null", "!!timestamp", "!!map", "!!seq"]
TAGGED = ["- 1\n{i}- *a", "x: 1\n{i}y: *a", "|\n{i} x", ">-\n{i} 1", "[1, 2]", "{x: 1}", "", "~", "123", "0x_1", "1:60",
          "1.5", "._5", "yes", "'On'", "x", "2001-12-14", "'2001-1-4'", "2001-12-14 21:59:43.1 -5",
          "'0001-09-28  1:00:00  '", "'2001-12-14 21:59:43 '", "'2001-12-14 21:59:43Z '", '"2001-12-14\\n"']
IN = {"value": ("a: 1\nkey: ", "\nafter: *a\n"), "entry": ("- ", "\n- *a\n"), "flow": ("[", ", *a]"),
      "root": ("", "\n")}


@st.composite
def tagged_nodes(draw):
    where = draw(st.sampled_from(list(IN)))
    props = draw(st.sampled_from([["{t}", "&a"], ["{t}", "&a"], ["&a", "{t}"], ["{t}"]]))
    text, column = "", 2
    for part in props + ["{node}"]:
        if text:
            # Mostly: the properties on one line, the node on the next.
            gap = draw(st.sampled_from([1, 2, 3, 0] if part == "{node}" else [0, 0, 0, 1, 2]))
            text += " " if gap == 0 else "\n" + " " * gap
            column = column if gap == 0 else gap
        text += part
    head, tail = IN[where]
    tail = tail if "&a" in props else tail.replace("*a", "1")
    node = draw(st.sampled_from(TAGGED)).replace("{i}", " " * column)
    return head + text.format(t=draw(st.sampled_from(TAGS)), node=node) + tail


@given(data=st.data())
def test_mutated_texts(data):
    # The tagged nodes are also read as they are.
    text, least = data.draw(st.sampled_from([CONFIG] + STRUCTURES[:40] + [s + ": " + s for s in SCALARS[:40]]).map(
        lambda t: (t, 1)) | tagged_nodes().map(lambda t: (t, 0)))
    for _ in range(data.draw(st.integers(least, 3))):
        at = data.draw(st.integers(0, len(text)))
        how = data.draw(st.sampled_from(["insert", "drop", "indent", "dedent"]))
        if how == "insert":
            text = text[:at] + data.draw(st.sampled_from(MUTATIONS)) + text[at:]
        elif how == "drop":
            text = text[:at] + text[at + 1:]
        else:
            lines = text.split("\n")
            i = at % len(lines)
            lines[i] = " " + lines[i] if how == "indent" else lines[i][1:]
            text = "\n".join(lines)
    check(text)


# ---- the guard -----------------------------------------------------------------

def _int_constructor(loader, node):
    return 42


def _replace(obj, name, value):
    old = getattr(obj, name)
    setattr(obj, name, value)
    return lambda: setattr(obj, name, old)


def _set_item(d, key, value):
    missing = object()
    old = d.get(key, missing)
    d[key] = value
    return lambda: d.pop(key) if old is missing else d.__setitem__(key, old)


def _add_constructor_on_loader():
    yaml.SafeLoader.add_constructor("tag:yaml.org,2002:int", _int_constructor)
    return lambda: delattr(yaml.SafeLoader, "yaml_constructors")


def _add_implicit_resolver():
    yaml.resolver.Resolver.add_implicit_resolver("tag:yaml.org,2002:int", yaml.resolver.re.compile("^x$"), ["x"])
    return lambda: yaml.resolver.Resolver.yaml_implicit_resolvers.pop("x")


def _append_to_resolver_list():
    lst = yaml.resolver.Resolver.yaml_implicit_resolvers["1"]
    lst.insert(0, ("tag:yaml.org,2002:str", yaml.resolver.re.compile("^1$")))
    return lambda: lst.pop(0)


def _add_path_resolver():
    yaml.resolver.BaseResolver.add_path_resolver("tag:yaml.org,2002:str", ["a"], str)
    return lambda: yaml.resolver.BaseResolver.yaml_path_resolvers.clear()


def _code(function, other):
    old = function.__code__
    function.__code__ = other.__code__
    return lambda: setattr(function, "__code__", old)


def _scan_plain(self):
    return _scan_plain.original(self)


_scan_plain.original = yaml.scanner.Scanner.scan_plain


def _bool_word():
    return _set_item(yaml.constructor.SafeConstructor.bool_values, "yes", "Y")


def _foreign_key():
    # A key that is not a str, in place of the name its hash meets: no lookup
    # of the load reaches it, so neither may the guard's.
    ns, calls = vars(yaml.constructor), []
    key = type("Key", (), {"__hash__": lambda self: hash("datetime"),
                           "__eq__": lambda self, other: calls.append(other) or False})()
    saved = ns.pop("datetime")
    ns[key] = saved

    def restore():
        del ns[key]
        ns["datetime"] = saved
        assert not calls, calls
    return restore


def _collector_callback():
    # A collection that PyYAML's own allocations trigger runs it mid-load.
    callback = lambda phase, info: None  # noqa: E731
    gc.callbacks.append(callback)
    return lambda: gc.callbacks.remove(callback)


def _plain_module_subclass():
    module = __import__("datetime")
    module.__class__ = type("Module", (types.ModuleType,), {"__getattribute__": types.ModuleType.__getattribute__})
    return lambda: setattr(module, "__class__", types.ModuleType)


def _closure_cell():
    # The __class__ cell that super() reads in SafeConstructor.construct_mapping.
    cell = yaml.constructor.SafeConstructor.construct_mapping.__closure__[0]
    old, cell.cell_contents = cell.cell_contents, yaml.constructor.BaseConstructor
    return lambda: setattr(cell, "cell_contents", old)


def _hashable_asked():
    # The constructor asks isinstance(key, collections.abc.Hashable) of every
    # mapping key; ABCMeta's answer goes through this name.
    import abc
    real = abc._abc_instancecheck
    return _replace(abc, "_abc_instancecheck", lambda cls, instance: real(cls, instance))


GUARDED = {
    "foreign key in a namespace": _foreign_key,
    "method": lambda: _replace(yaml.scanner.Scanner, "scan_plain", _scan_plain),
    "method in a base": lambda: _replace(yaml.constructor.BaseConstructor, "construct_object",
                                         lambda self, node, deep=False: 42),
    "constructor on the loader": _add_constructor_on_loader,
    "constructor table in place": lambda: _set_item(yaml.constructor.SafeConstructor.yaml_constructors,
                                                    "tag:yaml.org,2002:int", _int_constructor),
    "multi constructor": lambda: _set_item(yaml.constructor.BaseConstructor.yaml_multi_constructors, "!x",
                                           _int_constructor),
    "implicit resolver": _add_implicit_resolver,
    "resolver list": _append_to_resolver_list,
    "path resolver": _add_path_resolver,
    "code": lambda: _code(yaml.constructor.SafeConstructor.construct_yaml_int, _int_constructor),
    "defaults": lambda: _replace(yaml.scanner.Scanner.scan_plain, "__defaults__", (1,)),
    "module name": lambda: _replace(yaml, "SafeLoader", yaml.FullLoader),
    "constructor's module name": lambda: _replace(yaml.constructor, "datetime", __import__("types").SimpleNamespace()),
    "builtin": lambda: _replace(__import__("builtins"), "isinstance", functools.partial(isinstance)),
    "datetime": lambda: _replace(datetime, "date", type("date", (datetime.date,), {})),
    "class attribute": _bool_word,
    "node class": lambda: _replace(yaml.nodes.Node, "__repr__", lambda self: "node"),
    "float nan": lambda: _replace(yaml.constructor.SafeConstructor, "nan_value", float("nan")),
    "bases": lambda: _replace(yaml.SafeLoader, "__bases__", yaml.SafeLoader.__bases__ + (type("Mixin", (), {}),)),
    "data table in place": lambda: _set_item(yaml.scanner.Scanner.ESCAPE_REPLACEMENTS, "n", " / "),
    "closure cell": _closure_cell,
    "module class": _plain_module_subclass,
    "collector callback": _collector_callback,
    "Hashable": _hashable_asked,
}


@pytest.mark.parametrize("piece", GUARDED)
def test_replaced_piece_goes_the_original_way(piece, original_calls):
    text = "a: 1\nb: yes\nc:\n- x\n"
    assert check(text, original_calls)
    restore = GUARDED[piece]()
    try:
        assert not check(text, original_calls)
    finally:
        restore()
    assert check(text, original_calls)


# One piece for each way of hearing a change: the dict watcher, and what is
# taken at import (a function's code, the builtins, a resolver list); and one
# made before the import, as an application's start-up makes it.
BEFORE_IMPORT = """
    import yaml
    yaml.add_constructor("tag:yaml.org,2002:timestamp", lambda loader, node: loader.construct_scalar(node),
                         Loader=yaml.SafeLoader)
"""


@pytest.mark.parametrize("piece", ["constructor table in place", "code", "builtin", "resolver list", "before import"])
def test_piece_replaced_before_the_first_load_is_heard(piece):
    """What PyYAML ships is what the guard holds it to, also when the first
    load comes after a change, or the change came before the import: in a
    fresh interpreter."""
    before = BEFORE_IMPORT if piece == "before import" else ""
    change, restore = ("pass", "pass") if before else (f"restore = t.GUARDED[{piece!r}]()", "restore()")
    code = textwrap.dedent(before) + f"""if True:
        import sys
        sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
        import test_properties_yaml as t
        text = "a: 1\\nb: yes\\nc:\\n- x\\nday: 2024-01-31\\n"
        with t.watching_original_calls() as calls:
            {change}
            assert not t.check(text, calls)
            {restore}
            t.check(text)
        """
    subprocess.run([sys.executable, "-c", code], check=True)


def test_guard_copies_are_out_of_reach_of_gc():
    """A callback walking gc.get_objects() must not find the guard's copy of a
    namespace: editing it would make the guard vouch for a changed PyYAML."""
    dicts.load_dict_from_yaml("a: 1")
    real = gc.get_referents(vars(yaml.constructor.SafeConstructor))[0]
    target = dict(real)
    assert not [o for o in gc.get_objects() if type(o) is dict and o is not real and o is not target and o == target]
