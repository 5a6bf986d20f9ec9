"""Runs a call on the native module and on its plain-Python rendering and
describes everything a caller could observe: the outcome (result or
exception type and text), the final state of the arguments with their
identities and aliasing, and the calls made into instrumented objects,
log records and constructors included.

Inputs are built twice from one description, once per side, so neither
side sees what the other did to its objects. Each comparison is made again
with a Rewriter at work: from inside one callback of the inputs, it puts
objects of other types into containers the call has made, found through the
collector; a side must then fail or go on exactly as the other does.
"""

import collections
import collections.abc
import contextlib
import gc
import io
import math
import os
import re
import sys
import types
import zlib

import tavik.utils.dicts as native_dicts
import tavik.utils.parser as native_parser
from plain import dicts as plain_dicts
from plain import parser as plain_parser

SIDES = {
    "dicts": (("native", native_dicts), ("plain", plain_dicts)),
    "parser": (("native", native_parser), ("plain", plain_parser)),
}


class State:
    """What one side's call did, shared by all instrumented objects."""

    def __init__(self):
        self.events = []
        self.created = 0
        self.recording = True

    def record(self, *event):
        if self.recording:
            if REWRITER is not None:
                REWRITER.visit(event)
            self.events.append(event)

    def new_label(self, kind):
        self.created += 1
        return f"new{self.created}:{kind}"


STATE = State()
REWRITER = None


class _Alien:
    """What a rewritten container holds in place of an object that is
    neither text nor a number."""

    def __repr__(self):
        return "<alien>"


def _other_type(x):
    if type(x) is str:
        return x.encode("utf-8", "surrogatepass")
    if type(x) is bytes:
        return x.decode("latin-1")
    if type(x) is int:
        return str(x)
    return _Alien()


class Rewriter:
    """A caller that, from inside one callback of its inputs (the event
    numbered `at`), reaches through gc.get_objects() the lists, dicts and
    sets the call has made, and puts objects of other types in those that
    `pick` chooses by their shape (see _shape), so that both sides lose the
    same ones. The test's own objects (made before the call, or recorded as
    events) are left alone; what a callback handed back to the call is the
    call's to read with care. `shapes` lists what was found."""

    KINDS = (list, dict, set)

    def __init__(self, at, pick):
        self.at, self.pick = at, pick
        self.seen = 0
        self.known = {}  # id -> object, held so that no id is reused
        self.shapes = []

    def __enter__(self):
        global REWRITER
        # With the collector off, everything made from here on stays young.
        self.was_enabled = gc.isenabled()
        gc.disable()
        for o in gc.get_objects(0):
            self.known[id(o)] = o
        REWRITER = self
        return self

    def __exit__(self, *exc):
        global REWRITER
        REWRITER = None
        if self.was_enabled:
            gc.enable()
        self.known.clear()

    def visit(self, event):
        self.seen += 1
        if self.seen - 1 != self.at:
            return
        young = gc.get_objects(0)
        ours = _reachable((event, STATE.events))
        for o in young:
            if type(o) in self.KINDS and id(o) not in self.known and id(o) not in ours and o is not young:
                shape = _shape(o)
                self.shapes.append(shape)
                if self.pick(shape):
                    _rewrite(o)


def _shape(o):
    """A container told by its type, size and first few plain items, without
    running code of the objects in it."""
    head = list(dict.keys(o) if type(o) is dict else o)[:4] if type(o) is not set else []
    return type(o).__name__, len(o), [x if type(x) in (str, bytes, int) else type(x).__name__ for x in head]


def _rewrite(o):
    if type(o) is list:
        o[:] = [_other_type(x) for x in list.__iter__(o)]
    elif type(o) is dict:
        items = list(dict.items(o))
        o.clear()
        o.update((_other_type(k), _other_type(v)) for k, v in items)
    else:
        items = list(o)
        o.clear()
        o.update(_other_type(x) for x in items)


def _reachable(root):
    seen, stack = set(), [root]
    while stack:
        o = stack.pop()
        if id(o) in seen or type(o) not in (tuple, list, dict):
            continue
        seen.add(id(o))
        stack.extend(dict.items(o) if type(o) is dict else o)
    return seen


def record(*event):
    """Records an event of the call being observed."""
    STATE.record(*event)


@contextlib.contextmanager
def quiet():
    """No events while the harness itself looks at objects."""
    before, STATE.recording = STATE.recording, False
    try:
        yield
    finally:
        STATE.recording = before


# ---- describing objects -----------------------------------------------------

# Object addresses in texts (reprs of generators, for example) differ
# between the sides' objects.
_ADDRESS = re.compile(r" at 0x[0-9a-f]+")


def snapshot(obj, memo=None, depth=0):
    """A structural description: values, classes, insertion order, and which
    objects are the same (a mutable object met again is ("ref", n))."""
    memo = {} if memo is None else memo
    with quiet():
        return _snap(obj, memo, depth)


def _snap(obj, memo, depth):
    if obj is None or obj is True or obj is False:
        return obj
    t = type(obj)
    if t is str:
        return ("str", _ADDRESS.sub(" at 0x?", obj))
    if t in (int, bytes):
        return (t.__name__, obj)
    if t is float:
        if obj != obj:
            key = id(obj)
            if key in memo:
                return ("ref", memo[key][0])
            memo[key] = (len(memo), obj)
            return ("nan", memo[key][0])
        return ("float", repr(obj))
    if t is tuple:
        return ("tuple", tuple(_snap(x, memo, depth + 1) for x in obj))
    if callable(obj) and hasattr(obj, "__qualname__"):  # classes and functions, native ones included
        return ("callable", obj.__qualname__)
    key = id(obj)
    if key in memo:
        return ("ref", memo[key][0])
    memo[key] = (len(memo), obj)  # keeps obj alive, so ids stay unique
    n = memo[key][0]
    if depth > 12:
        return ("deep", t.__name__, n)
    label = getattr(obj, "_label", None) if hasattr(t, "_instrumented") else None
    if isinstance(obj, Recorded):
        return ("rec", t.__name__, label, n, _snap_contents(obj._contents(), memo, depth))
    if isinstance(obj, str):
        return ("strsub", t.__name__, str.__str__(obj))
    if isinstance(obj, dict):
        extra = (obj.default_factory,) if isinstance(obj, collections.defaultdict) else ()
        return ("dict", t.__name__, label, n, extra, _snap_contents(obj, memo, depth))
    if isinstance(obj, list):
        return ("list", t.__name__, label, n, [_snap(x, memo, depth + 1) for x in list.__iter__(obj)])
    if label is not None:
        return ("inst", t.__name__, label, n)
    if isinstance(obj, types.MappingProxyType):
        return ("proxy", n, _snap_contents(obj, memo, depth))
    if isinstance(obj, types.SimpleNamespace) or t.__name__ == "Namespace":
        return ("ns", t.__name__, n, _snap_contents(vars(obj), memo, depth))
    if isinstance(obj, BaseException):
        return ("exc", t.__name__, str(obj))
    return ("obj", t.__name__, n)


def _snap_contents(mapping, memo, depth):
    items = dict.items(mapping) if isinstance(mapping, dict) else list(mapping.items())
    return [(_snap(k, memo, depth + 1), _snap(v, memo, depth + 1)) for k, v in items]


def describe(*args):
    return snapshot(args)


# ---- instrumented objects ---------------------------------------------------

class Recorded:
    """Base of the instrumented containers: records each call with its
    arguments, under a label given at build time (or new<n> when a function
    under test made the object)."""

    _instrumented = True

    def _rec(self, method, *args):
        STATE.record(self._label, method, describe(*args))

    def _contents(self):
        return self._d


class _MappingMethods(Recorded):
    def __init__(self, *args, _label=None):
        if _label is None:
            _label = STATE.new_label(type(self).__name__)
            STATE.record("ctor", type(self).__name__, _label, describe(*args))
        self._label = _label
        self._d = dict(*args)

    def __getitem__(self, k):
        self._rec("getitem", k)
        return self._d[k]

    def __iter__(self):
        self._rec("iter")
        return iter(list(self._d))

    def __len__(self):
        self._rec("len")
        return len(self._d)

    def __contains__(self, k):
        self._rec("contains", k)
        return k in self._d

    def items(self):
        self._rec("items")
        return list(self._d.items())

    def keys(self):
        self._rec("keys")
        return list(self._d)

    def get(self, k, default=None):
        self._rec("get", k, default)
        return self._d.get(k, default)


class _Mutable:
    def setdefault(self, k, default=None):
        self._rec("setdefault", k, default)
        return self._d.setdefault(k, default)

    def __setitem__(self, k, v):
        self._rec("setitem", k, v)
        self._d[k] = v


class RecMapping(_Mutable, _MappingMethods, collections.abc.Mapping):
    """A Mapping subclass that is no dict."""


class ReadOnlyMapping(_MappingMethods, collections.abc.Mapping):
    """A mapping without setdefault or item assignment."""


class VirtualMapping(_Mutable, _MappingMethods):
    """No Mapping subclass: registered with the ABC."""


collections.abc.Mapping.register(VirtualMapping)


class BadItems(ReadOnlyMapping):
    """A mapping whose items() yields what it is given, pairs or not."""

    def __init__(self, pairs, _label):
        super().__init__({}, _label=_label)
        self._pairs = pairs

    def items(self):
        self._rec("items")
        return self._pairs

    def _contents(self):
        return {}


class RecDict(dict):
    """A dict subclass that records the methods the functions call."""

    _instrumented = True

    def __init__(self, *args, _label=None):
        if _label is None:
            _label = STATE.new_label(type(self).__name__)
            STATE.record("ctor", type(self).__name__, _label, describe(*args))
        self._label = _label
        super().__init__(*args)

    def _rec(self, method, *args):
        STATE.record(self._label, method, describe(*args))

    def __getitem__(self, k):
        self._rec("getitem", k)
        return super().__getitem__(k)

    def __setitem__(self, k, v):
        self._rec("setitem", k, v)
        super().__setitem__(k, v)

    def __contains__(self, k):
        self._rec("contains", k)
        return super().__contains__(k)

    def get(self, k, default=None):
        self._rec("get", k, default)
        return super().get(k, default)

    def setdefault(self, k, default=None):
        self._rec("setdefault", k, default)
        return super().setdefault(k, default)

    def items(self):
        self._rec("items")
        return super().items()


class RecList(list):
    _instrumented = True

    def __init__(self, items=(), _label="list"):
        self._label = _label
        super().__init__(items)

    def _rec(self, method, *args):
        STATE.record(self._label, method, describe(*args))

    def extend(self, other):
        self._rec("extend", other)
        super().extend(other)

    def append(self, x):
        self._rec("append", x)
        super().append(x)

    def __iter__(self):
        self._rec("iter")
        return super().__iter__()

    def __getitem__(self, i):
        self._rec("getitem", i)
        return super().__getitem__(i)


class VirtualSeq(Recorded):
    """No MutableSequence subclass: registered with the ABC."""

    def __init__(self, items=(), _label="vseq"):
        self._label = _label
        self._items = list(items)

    def _contents(self):
        return dict(enumerate(self._items))

    def __iter__(self):
        self._rec("iter")
        return iter(list(self._items))

    def __len__(self):
        self._rec("len")
        return len(self._items)

    def __getitem__(self, i):
        self._rec("getitem", i)
        return self._items[i]

    def __setitem__(self, i, v):
        self._rec("setitem", i, v)
        self._items[i] = v

    def __delitem__(self, i):
        del self._items[i]

    def insert(self, i, v):
        self._items.insert(i, v)

    def extend(self, other):
        self._rec("extend", other)
        self._items.extend(other)

    def append(self, x):
        self._rec("append", x)
        self._items.append(x)


collections.abc.MutableSequence.register(VirtualSeq)


class KS(str):
    """A str key that records hashing, comparison and conversion."""

    _instrumented = True

    def __new__(cls, text):
        return super().__new__(cls, text)

    @property
    def _label(self):
        return "KS:" + str.__str__(self)

    def __hash__(self):
        STATE.record(self._label, "hash")
        return str.__hash__(self)

    def __eq__(self, other):
        STATE.record(self._label, "eq", describe(other))
        return str.__eq__(self, other)

    def __ne__(self, other):
        STATE.record(self._label, "ne", describe(other))
        return str.__ne__(self, other)

    def __str__(self):
        STATE.record(self._label, "str")
        return str.__str__(self)


class KO:
    """A key of its own class whose str() collides with others'."""

    _instrumented = True

    def __init__(self, text):
        self.text = text
        self._label = "KO:" + text

    def __hash__(self):
        STATE.record(self._label, "hash")
        return hash(("KO", self.text))

    def __eq__(self, other):
        STATE.record(self._label, "eq", describe(other))
        return isinstance(other, KO) and other.text == self.text

    def __str__(self):
        STATE.record(self._label, "str")
        return self.text

    def __repr__(self):
        return f"KO({self.text!r})"


class V:
    """A value that records comparisons and conversion; equal to the V of
    the same class, and to nothing else."""

    _instrumented = True

    def __init__(self, text, cls, label):
        self.text, self.cls, self._label = text, cls, label

    def __eq__(self, other):
        STATE.record(self._label, "eq", describe(other))
        return isinstance(other, V) and other.cls == self.cls

    def __ne__(self, other):
        STATE.record(self._label, "ne", describe(other))
        return not (isinstance(other, V) and other.cls == self.cls)

    def __hash__(self):
        STATE.record(self._label, "hash")
        return hash(self.cls)

    def __str__(self):
        STATE.record(self._label, "str")
        return self.text

    def __repr__(self):
        STATE.record(self._label, "repr")
        return "V(" + self.text + ")"


class Flag:
    """A truth value that records each test."""

    _instrumented = True

    def __init__(self, truth, label="flag"):
        self.truth, self._label = truth, label

    def __bool__(self):
        STATE.record(self._label, "bool")
        return self.truth


class RecWidth:
    """A text width that is no int: each comparison with it is recorded."""

    _instrumented = True
    _label = "width"

    def __init__(self, n):
        self.n = n

    def __sub__(self, other):
        return RecWidth(self.n - other)

    def __rmul__(self, other):
        return other * self.n

    def __lt__(self, other):
        STATE.record("width", "lt", other)
        return self.n < other

    def __gt__(self, other):
        STATE.record("width", "gt", other)
        return self.n > other


class RecLogger:
    """Stands in for `logger`; each record is an event."""

    _instrumented = True
    _label = "logger"

    def debug(self, *args, **kwargs):
        STATE.record("log", "debug", args, tuple(sorted(kwargs)))


class Recording:
    """Wraps a callable (a module's function, json.loads, ...) and records
    each call before passing it on."""

    def __init__(self, label, target):
        self.label, self.target = label, target

    def __call__(self, *args, **kwargs):
        STATE.record(self.label, "call", describe(*args), tuple(kwargs))
        return self.target(*args, **kwargs)


def namespace_like(module, label, **replaced):
    """A stand-in module: the given attributes replaced, every other one
    that of `module`."""
    ns = types.SimpleNamespace(**{k: getattr(module, k) for k in dir(module) if not k.startswith("__")})
    for name, value in replaced.items():
        setattr(ns, name, value)
    return ns


# ---- running both sides ------------------------------------------------------

DELETE = object()


@contextlib.contextmanager
def patched(module, patches):
    """Rebinds (or, for DELETE, deletes) module attributes for one call."""
    saved = {}
    try:
        for name, value in patches.items():
            saved[name] = module.__dict__.get(name, DELETE)
            if value is DELETE:
                module.__dict__.pop(name, None)
            else:
                setattr(module, name, value)
        yield
    finally:
        for name, value in saved.items():
            if value is DELETE:
                module.__dict__.pop(name, None)
            else:
                setattr(module, name, value)


def observe(module, build, invoke, patches=None, stdio=False, rewriting=None):
    """Builds the inputs for `module`, runs invoke(module, inputs) and
    describes what could be seen; `rewriting`: (at, pick) of a Rewriter at
    work, whose shapes found are kept."""
    global STATE
    STATE = State()
    out = io.StringIO()
    patches = patches(module) if callable(patches) else (patches or {})
    inputs = build(module)
    STATE.events.clear()
    with patched(module, patches):
        try:
            with contextlib.redirect_stdout(out) if stdio else contextlib.nullcontext(), \
                    contextlib.redirect_stderr(out) if stdio else contextlib.nullcontext(), \
                    Rewriter(*rewriting) if rewriting else contextlib.nullcontext() as rewriter:
                result = invoke(module, inputs)
            outcome = ("ok",)
        except (Exception, SystemExit) as e:
            code = e.code if isinstance(e, SystemExit) else None
            outcome = ("raised", type(e).__name__, _ADDRESS.sub(" at 0x?", str(e)), code)
            result = None
    # The result is described together with the inputs, so "the result is
    # the argument" shows as a reference.
    state = snapshot((result, inputs))
    return {"outcome": outcome, "state": state, "events": STATE.events, "output": out.getvalue(),
            "shapes": rewriter.shapes if rewriting else None}


# Rewriting runs per call compared: at each callback of the call, or at so
# many spread over it.
REWRITES = int(os.environ.get("PROPERTY_REWRITES", "16"))


def compare(family, build, invoke, patches=None, stdio=False, thorough=False):
    """Asserts that both sides are indistinguishable, also when some of the
    call's containers are rewritten from inside one of its callbacks (chosen
    from what the first run did); returns the native observation.
    `thorough`: at every callback, each kind of container the native side
    has made, alone."""
    first = _compare_once(family, build, invoke, patches, stdio, None)
    # Where a side gave up on deep input is its own choice, and so is what
    # it had done by then.
    n = len(first["events"]) if first["outcome"][1:2] != ("RecursionError",) else 0
    seed = zlib.crc32(repr((first["events"], first["outcome"])).encode())
    for k in range(n) if n <= REWRITES or thorough else \
            sorted({(seed + i * n // REWRITES) % n for i in range(REWRITES)}):
        # About half of them, chosen anew at each callback.
        shapes = _compare_once(family, build, invoke, patches, stdio,
                               (k, lambda shape: zlib.crc32(repr((seed + k, shape)).encode()) % 2))["shapes"]
        for alone in sorted(set(map(repr, shapes))) if thorough else ():
            _compare_once(family, build, invoke, patches, stdio, (k, lambda shape: repr(shape) == alone))
    return first


@contextlib.contextmanager
def collector_callbacks_set_aside():
    """Hypothesis's own gc.callbacks entry (it times collections) taken out
    meanwhile: while the collector has a callback, load_dict_from_yaml reads
    no text natively (a collection that PyYAML's own allocations trigger
    would run it mid-load), so the native side would be PyYAML too. A
    callback a test registers stays."""
    ours = [cb for cb in gc.callbacks if getattr(cb, "__module__", "").startswith("hypothesis.")]
    for cb in ours:
        gc.callbacks.remove(cb)
    try:
        yield
    finally:
        gc.callbacks[:0] = ours


def _compare_once(family, build, invoke, patches, stdio, rewriting):
    (_, n_mod), (_, p_mod) = SIDES[family]
    with collector_callbacks_set_aside():
        native = observe(n_mod, build, invoke, patches, stdio, rewriting)
    plain = observe(p_mod, build, invoke, patches, stdio, rewriting)
    if native["outcome"][1:2] == plain["outcome"][1:2] == ("RecursionError",):
        # Input that contains itself (made so by the call, for example):
        # where each side gives up, with what text and what state, is its
        # own choice.
        return native
    for what in ("outcome", "state", "events", "output"):
        assert native[what] == plain[what], _difference(what, native, plain, rewriting)
    return native


def _difference(what, native, plain, rewriting):
    lines = [f"{what} differs" + (f" with the call's containers rewritten at event {rewriting[0]}" if rewriting else ""),
             f"  native: {native[what]!r}", f"  plain:  {plain[what]!r}"]
    if what != "outcome":
        lines.append(f"  (outcome: {native['outcome']!r})")
    if what == "events":
        for i, (a, b) in enumerate(zip(native["events"], plain["events"])):
            if a != b:
                lines.append(f"  first difference at event {i}: {a!r} vs {b!r}")
                break
    return "\n".join(lines)


def is_nan(x):
    return isinstance(x, float) and math.isnan(x)
