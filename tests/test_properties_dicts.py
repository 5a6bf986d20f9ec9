"""tavik.utils.dicts against its plain-Python rendering, on generated input:
results, identities, final argument state, exceptions, calls into the
objects given and log records must all be the same."""

import base64
import collections.abc
import json
import os
import re
import shlex
import tempfile

import pytest
from hypothesis import given, strategies as st

from differential import DELETE, Flag, RecList, RecLogger, Recording, RecMapping, compare, namespace_like
from strategies import Builder, aliases, flags, keys, mappings, nested, scalar, scalars, sequences, weighted

LOGGER = {"logger": RecLogger()}
FORCED = [None, "dict", "RecMapping", "RecDict"]  # the exact-dict fast paths and their fallbacks


def build_all(force=None, **specs):
    def build(module):
        b = Builder(force)
        return {name: b(spec) for name, spec in specs.items()}
    return build


MUTABLE = ["dict", "dict", "RecDict", "OrderedDict", "defaultdict", "RecMapping", "VirtualMapping"]
# Mostly mappings that take assignments; read-only ones and non-mappings now and then.
targets = weighted((6, nested(MUTABLE)), (2, nested()), (1, st.sampled_from([scalar(5), scalar(None),
                                                                               ("seq", "list", [])])))
sources = weighted((6, nested()), (1, aliases), (1, scalars))


@pytest.mark.parametrize("force", FORCED)
@given(a=targets, b=sources, flag=flags)
def test_recursive_update(force, a, b, flag):
    compare("dicts", build_all(force, a=a, b=b, flag=flag),
            lambda m, x: m.recursive_update(x["a"], x["b"], list_extend=x["flag"]), LOGGER)


@pytest.mark.parametrize("force", FORCED)
@given(a=targets, b=sources)
def test_recursive_setdefault(force, a, b):
    compare("dicts", build_all(force, a=a, b=b), lambda m, x: m.recursive_setdefault(x["a"], x["b"]), LOGGER)


def cast_types(module):
    def identity(d):
        return d
    return [dict, collections.OrderedDict, RecMapping, identity, dict.fromkeys, Recording("type_", dict)]


@pytest.mark.parametrize("force", FORCED)
@given(d=st.one_of(nested(), st.sampled_from([scalar(None), ("seq", "list", [("tuple", [scalar("a"), scalar(1)])])])),
       which=st.integers(0, 5))
def test_recursive_cast(force, d, which):
    compare("dicts", build_all(force, d=d),
            lambda m, x: m.recursive_cast(x["d"], cast_types(m)[which]), LOGGER)


# Paths mostly over a few keys, so that they meet the levels and values of d.
few_keys = st.sampled_from(["a", "b", "l"]).map(scalar)
path_keys = st.sampled_from(
    [0] * 8 + [1, 1, 2]).flatmap(lambda i: [few_keys, keys, st.just(("seq", "list", []))][i])


def key_paths():
    """Lists (mostly), tuples, strings, iterators, custom sequences and
    non-sequences."""
    def shape(kind, ks, text, other):
        return {"list": ("seq", "list", ks), "tuple": ("tuple", ks), "RecList": ("seq", "RecList", ks),
                "str": scalar(text), "iter": ("iter", ks), "other": other}[kind]
    return st.builds(shape, st.sampled_from(["list"] * 6 + ["tuple", "RecList", "str", "iter", "other"]),
                     st.one_of(st.lists(path_keys, min_size=1, max_size=2), st.lists(path_keys, max_size=4)),
                     st.text(alphabet="abl", max_size=4),
                     st.sampled_from([scalar(None), scalar(5), scalar(0)]))


@pytest.mark.parametrize("force", [None, "RecMapping"])
@given(d=st.one_of(nested(MUTABLE, with_bad=False, keys=few_keys), nested(MUTABLE, with_bad=False, keys=few_keys),
                   nested(MUTABLE, with_bad=False), st.just(scalar(3))), path=key_paths(), val=st.one_of(scalars, aliases),
       append=st.one_of(st.just(scalar(True)), flags))  # list mode more often than not
def test_set_dict_by_key_path(force, d, path, val, append):
    def build(module):
        b = Builder(force)
        x = {"d": b(d), "val": b(val), "append": b(append)}
        x["keys"] = iter([b(k) for k in path[1]]) if path[0] == "iter" else b(path)
        return x
    compare("dicts", build,
            lambda m, x: m.set_dict_by_key_path(x["d"], x["keys"], x["val"], append_list=x["append"]), LOGGER)


flat_values = st.one_of(scalars, st.sampled_from([scalar(1), scalar(1.0), scalar(True), scalar("1")]))
flat = st.tuples(st.sampled_from(["dict", "dict", "RecDict", "RecMapping", "VirtualMapping"]),
                 st.lists(st.tuples(keys, flat_values), min_size=1, max_size=5)).map(lambda t: ("map",) + t)


@given(key=keys, value=st.one_of(flat_values, aliases), dictionary=flat, allow=flags,
       maxsize=st.sampled_from([None, None, 1, 2, 3, "x"]))
def test_generate_unique_key_name(key, value, dictionary, allow, maxsize):
    patches = dict(LOGGER)
    if maxsize is not None:
        patches["sys"] = namespace_like(__import__("sys"), "sys", maxsize=maxsize)
    compare("dicts", build_all(key=key, dictionary=dictionary, value=value, allow=allow),
            lambda m, x: m.generate_unique_key_name(x["key"], x["value"], x["dictionary"], x["allow"]), patches)


@given(source=st.one_of(flat, flat, st.just(scalar(None)), nested()), dest=st.one_of(flat, st.just(None)),
       rename=flags)
def test_create_extended_dict(source, dest, rename):
    def invoke(m, x):
        if x["dest"] is None:
            return m.create_extended_dict(x["source"], rename_keys=x["rename"])
        return m.create_extended_dict(x["source"], x["dest"], x["rename"])
    compare("dicts", build_all(source=source, dest=dest if dest is not None else scalar(None), rename=rename),
            invoke, LOGGER)


limits = st.one_of(st.integers(0, 12), st.sampled_from([40, None, "3", 2.5]))


@pytest.mark.parametrize("force", [None, "RecMapping"])
@given(target=st.one_of(nested(), sequences(st.one_of(nested(), scalars), ["list", "RecList", "VirtualSeq"]),
                        scalars), key_limit=limits, value_limit=limits, defaults=st.booleans())
def test_enforce_max_key_value_length(force, target, key_limit, value_limit, defaults):
    def invoke(m, x):
        if defaults:
            return m.enforce_max_key_value_length(x["t"])
        return m.enforce_max_key_value_length(x["t"], key_limit, value_limit)
    compare("dicts", build_all(force, t=target), invoke, LOGGER)


# ---- loaders ------------------------------------------------------------------

def encoded(text):
    return base64.urlsafe_b64encode(text.encode()).decode()


kv_words = st.sampled_from(["a=1", "b=2", "a=", "=x", "a=1=2", "a=1,2", "k=1,,2", "k=1,", "x", "'a b'=c",
                            'a="x y"', "a=#1", "c=\\'", "d=\"", "e='unclosed", "\\", "t\t=u", "é=ü", ""])


@given(words=st.lists(kv_words, max_size=5), sep=st.sampled_from([" ", "  ", "\t", "\n"]), b64=st.booleans(),
       process=flags)
def test_load_dict_from_kv_string(words, sep, b64, process):
    text = sep.join(words)
    compare("dicts", build_all(process=process),
            lambda m, x: m.load_dict_from_kv_string(encoded(text) if b64 else text, x["process"]), LOGGER)


json_values = st.recursive(st.none() | st.booleans() | st.integers(-3, 3) | st.floats(allow_nan=False) |
                           st.text(max_size=3),
                           lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=2), inner,
                                                                                      max_size=3),
                           max_leaves=8)
json_texts = st.one_of(json_values.map(json.dumps), st.sampled_from(["", "{a: 1}", '{"a": 1, "a": 2}', "[1, 2]",
                                                                     "null", '"abc"', "NaN", "{", "  {}  "]))


@given(text=json_texts, b64=st.booleans())
def test_load_dict_from_json_string(text, b64):
    compare("dicts", build_all(), lambda m, x: m.load_dict_from_json_string(encoded(text) if b64 else text), LOGGER)


yaml_texts = st.sampled_from(["a: 1", "a: 1\nb: [x, y]\n", "- 1\n- 2\n", "hello", "", "a: [1, 2", "a: 1\n---\nb: 2",
                              "!!python/object:os.system x", "missing.yaml", "{a: {b: c}}", "~", "3.5", "\t"])


@given(text=yaml_texts, as_file=st.sampled_from(["text", "file", "bytes-name", "bad-encoding", "dir", "int", "none"]))
def test_load_dict_from_yaml(text, as_file):
    with tempfile.TemporaryDirectory() as where:
        path = os.path.join(where, "input.yaml")
        with open(path, "wb") as f:
            f.write(b"\xff\xfe a: \x81" if as_file == "bad-encoding" else text.encode())
        arg = {"text": text, "file": path, "bytes-name": path.encode(), "bad-encoding": path, "dir": where,
               "int": 5, "none": None}[as_file]
        out = compare("dicts", build_all(), lambda m, x: m.load_dict_from_yaml(arg), LOGGER)
    if as_file == "dir":
        assert out["outcome"] == ("ok",)


list_elements = st.one_of(
    st.dictionaries(st.sampled_from(["a", "b", "a_1"]), st.sampled_from([1, 2, 1.0, True, "x", None, [1]]),
                    max_size=3).map(json.dumps),
    st.sampled_from(["[1]", "{", "3", '"s"']))


@given(elements=st.lists(st.tuples(list_elements, st.booleans()), max_size=4), shape=st.sampled_from(["[]", "()"]),
       unique=flags, raw=st.sampled_from([None, None, None, "", "abc", "a b", "None", "'{\"a\": 1}'", "[1]"]))
def test_load_dict_from_list(elements, shape, unique, raw):
    items = [encoded(e) if b64 else e for e, b64 in elements]
    text = raw if raw is not None else (repr(items) if shape == "[]" else repr(tuple(items)))
    compare("dicts", build_all(unique=unique), lambda m, x: m.load_dict_from_list(text, x["unique"]), LOGGER)


# ---- module attributes rebound or deleted -------------------------------------

def recording(name):
    return lambda m: {name: Recording(name, getattr(m, name)), **LOGGER}


def rebound(name, value):
    return lambda m: {name: value, **LOGGER}


def deleted(name):
    return lambda m: {name: DELETE, **LOGGER}


def fake_module(name, attr, replacement):
    return lambda m: {name: namespace_like(getattr(m, name), name, **{attr: replacement(getattr(getattr(m, name),
                                                                                                attr))}), **LOGGER}


def split_into(shape):
    """Tokens whose own split gives their parts reshaped."""
    class Token(str):
        def split(self, *args, **kwargs):
            return shape(str.split(self, *args, **kwargs))
    return lambda split: lambda text: [Token(w) for w in split(text)]


PART_SHAPES = {"short": lambda p: p[:-1], "long": lambda p: p + ["z"], "tuple": tuple,
               "generator": lambda p: (x for x in p), "list subclass": RecList}
SPLITS = {
    "recorded": lambda split: Recording("split", split),
    "tuple": lambda split: lambda text: tuple(split(text)),
    "generator": lambda split: lambda text: (w for w in split(text)),
    "words": lambda split: lambda text: text.split(),
    **{f"parts {k}": split_into(shape) for k, shape in PART_SHAPES.items()},
}

# (function, call, patches): each name a function looks up, rebound to a
# recording or another object, or deleted.
REBINDINGS = {
    "update/Mapping": ("recursive_update", rebound("Mapping", collections.abc.MutableMapping)),
    "update/Mapping=dict": ("recursive_update", rebound("Mapping", dict)),
    "update/no Mapping": ("recursive_update", deleted("Mapping")),
    "update/MutableSequence": ("recursive_update", rebound("MutableSequence", collections.abc.Sequence)),
    "update/no MutableSequence": ("recursive_update", deleted("MutableSequence")),
    "update/pattern": ("recursive_update", rebound("LIST_EXTEND_PATTERN", re.compile("^%(.+)$"))),
    "update/no pattern": ("recursive_update", deleted("LIST_EXTEND_PATTERN")),
    "update/self": ("recursive_update", recording("recursive_update")),
    "update/no self": ("recursive_update", deleted("recursive_update")),
    "setdefault/self": ("recursive_setdefault", recording("recursive_setdefault")),
    "setdefault/no self": ("recursive_setdefault", deleted("recursive_setdefault")),
    "setdefault/Mapping": ("recursive_setdefault", rebound("Mapping", RecMapping)),
    "cast/self": ("recursive_cast", recording("recursive_cast")),
    "cast/no Mapping": ("recursive_cast", deleted("Mapping")),
    "cast/no self": ("recursive_cast", deleted("recursive_cast")),
    "enforce/self": ("enforce_max_key_value_length", recording("enforce_max_key_value_length")),
    "enforce/no self": ("enforce_max_key_value_length", deleted("enforce_max_key_value_length")),
    "enforce/MutableSequence": ("enforce_max_key_value_length", rebound("MutableSequence", tuple)),
    "enforce/no logger": ("enforce_max_key_value_length", deleted("logger")),
    "unique/generate": ("create_extended_dict", recording("generate_unique_key_name")),
    "unique/generate None": ("create_extended_dict", rebound("generate_unique_key_name", lambda *a: None)),
    "unique/no generate": ("create_extended_dict", deleted("generate_unique_key_name")),
    "unique/no sys": ("generate_unique_key_name", deleted("sys")),
    "json/decode": ("load_dict_from_json_string", recording("decode_cli_string")),
    "json/no decode": ("load_dict_from_json_string", deleted("decode_cli_string")),
    "json/loads": ("load_dict_from_json_string", fake_module("json", "loads", lambda f: Recording("loads", f))),
    "json/loads list": ("load_dict_from_json_string", fake_module("json", "loads", lambda f: lambda s: [s])),
    "json/no json": ("load_dict_from_json_string", deleted("json")),
    "kv/decode": ("load_dict_from_kv_string", recording("decode_cli_string")),
    "kv/no shlex": ("load_dict_from_kv_string", deleted("shlex")),
    **{f"kv/shlex {k}": ("load_dict_from_kv_string", fake_module("shlex", "split", f)) for k, f in SPLITS.items()},
    "yaml/no os": ("load_dict_from_yaml", deleted("os")),
    "yaml/isfile": ("load_dict_from_yaml", fake_module("os", "path", lambda p: namespace_like(
        p, "path", isfile=Recording("isfile", p.isfile)))),
    "yaml/safe_load": ("load_dict_from_yaml", fake_module("yaml", "safe_load", lambda f: Recording("safe_load", f))),
    "yaml/no yaml": ("load_dict_from_yaml", deleted("yaml")),
    "yaml/no logger": ("load_dict_from_yaml", deleted("logger")),
    "list/literal_eval": ("load_dict_from_list", recording("literal_eval")),
    "list/literal_eval gen": ("load_dict_from_list", lambda m: {
        "literal_eval": (lambda f: lambda s: (x for x in f(s)))(m.literal_eval), **LOGGER}),
    "list/json": ("load_dict_from_list", recording("load_dict_from_json_string")),
    "list/merge": ("load_dict_from_list", recording("create_extended_dict")),
    "list/no merge": ("load_dict_from_list", deleted("create_extended_dict")),
}


_TEXTS = st.sampled_from(["a=1 b=2,3", "a='x y' c", "", '{"a": 1}', "a: [1, 2", "a: 1", "[1]",
                          repr(['{"a": 1}', '{"a": 2}']), "()", "abc"])
# Arguments of each function that a rebinding calls (descriptions, or texts);
# a dict holds keyword arguments.
REBINDING_ARGUMENTS = {
    "recursive_update": st.tuples(nested(), st.one_of(nested(), aliases), flags.map(lambda f: {"list_extend": f})),
    "recursive_setdefault": st.tuples(nested(), nested()),
    "recursive_cast": st.tuples(nested(), st.just(scalar(dict))),
    "enforce_max_key_value_length": st.tuples(st.one_of(nested(), sequences(nested(), ["list"]), scalars),
                                              st.integers(1, 6), st.integers(1, 6)),
    "create_extended_dict": st.tuples(mappings(st.one_of(scalars, st.just(scalar(1)))),
                                      mappings(st.one_of(scalars, st.just(scalar(1)))), flags),
    "generate_unique_key_name": st.tuples(keys, scalars, mappings(scalars)),
    "load_dict_from_kv_string": st.tuples(_TEXTS, flags),
    "load_dict_from_list": st.tuples(_TEXTS, flags),
    "load_dict_from_json_string": st.tuples(_TEXTS),
    "load_dict_from_yaml": st.tuples(_TEXTS),
}


@pytest.mark.parametrize("case", sorted(set(REBINDINGS) - {"update/no self"}))
@given(data=st.data())
def test_rebound_module_names(case, data):
    function, patches = REBINDINGS[case]
    specs = data.draw(REBINDING_ARGUMENTS[function])

    def build(module):
        b = Builder()
        # The function is taken before the rebinding, which may delete it.
        args = [b(s) if isinstance(s, tuple) else s for s in specs if not isinstance(s, dict)]
        kwargs = {k: b(v) for s in specs if isinstance(s, dict) for k, v in s.items()}
        return {"fn": getattr(module, function), "args": args, "kwargs": kwargs}
    compare("dicts", build, lambda m, x: x["fn"](*x["args"], **x["kwargs"]), patches)


@given(a=nested(), b=nested(), flag=flags)
def test_names_rebound_between_calls(a, b, flag):
    """A rebinding reaches the very next call, and its undoing the one after
    (nothing is cached across calls)."""
    def invoke(m, x):
        first = m.recursive_update(x["a"], x["b"], list_extend=x["flag"])
        saved = m.Mapping
        m.Mapping = dict
        try:
            second = m.recursive_update(x["a"], x["b"], list_extend=x["flag"])
        finally:
            m.Mapping = saved
        third = m.recursive_setdefault(x["a"], x["b"])
        return first, second, third
    compare("dicts", build_all(a=a, b=b, flag=flag), invoke, LOGGER)


@given(words=st.lists(kv_words, max_size=4), how=st.sampled_from(sorted(SPLITS)))
def test_patched_shlex_split(words, how):
    """shlex.split replaced on the module itself (not a rebinding of the
    module attribute) reaches both sides."""
    text = " ".join(words)
    real = shlex.split
    shlex.split = SPLITS[how](real)
    try:
        compare("dicts", build_all(), lambda m, x: m.load_dict_from_kv_string(text, True), LOGGER)
    finally:
        shlex.split = real


def test_abc_registration_reaches_builtin_types(run_python):
    """Registering a built-in type with an ABC after calls that asked about
    it changes later answers, on both sides alike."""
    out = run_python("""
        import collections.abc, sys
        sys.path.insert(0, "tests")
        import tavik.utils.dicts as native
        from plain import dicts as plain
        def both(f, *make):
            results = []
            for m in (native, plain):
                args = [mk() for mk in make]
                try:
                    results.append((getattr(m, f)(*args, list_extend=True) if f == "recursive_update"
                                    else getattr(m, f)(*args), args))
                except Exception as e:
                    results.append((type(e).__name__, str(e)))
            return results
        cases = [("recursive_update", lambda: {"l": [0]}, lambda: {"%EXTEND_LIST{l}": (1, 2), "t": ("x",)}),
                 ("enforce_max_key_value_length", lambda: {"k": ("abc", "de")}, lambda: 3, lambda: 3),
                 ("recursive_setdefault", lambda: {}, lambda: {"s": "ab"})]
        before = [both(*c) for c in cases]
        collections.abc.MutableSequence.register(tuple)
        collections.abc.Mapping.register(str)
        after = [both(*c) for c in cases]
        for b, a in zip(before, after):
            print(b[0] == b[1], a[0] == a[1], b[0] != a[0])
    """)
    # Same on both sides before and after, and the registration changed
    # the first two answers (the third: a str is no mapping with items).
    assert out.split("\n")[:3] == ["True True True", "True True True", "True True True"], out


@pytest.mark.parametrize("name, call", [
    ("recursive_update", lambda fn, a, b: fn(a, b)),
    ("recursive_setdefault", lambda fn, a, b: fn(a, b)),
    ("recursive_cast", lambda fn, a, b: fn(b, type(a))),
])
def test_recursion_looks_its_own_name_up_at_the_recursive_call(name, call):
    """For a nested source mapping the default is made and get is called,
    and only then is the function's own name looked up (and found missing)."""
    def build(module):
        b = Builder()
        return {"fn": getattr(module, name), "a": b(("map", "RecMapping", [])),
                "b": b(("map", "dict", [(scalar("x"), ("map", "RecMapping", []))]))}
    compare("dicts", build, lambda m, x: call(x["fn"], x["a"], x["b"]), deleted(name))


DICTS_FUNCTIONS = ["recursive_update", "recursive_setdefault", "recursive_cast", "set_dict_by_key_path",
                   "create_extended_dict", "generate_unique_key_name", "enforce_max_key_value_length",
                   "load_dict_from_json_string", "load_dict_from_kv_string", "load_dict_from_yaml",
                   "load_dict_from_list"]
PARAMETER_NAMES = ["a", "b", "d", "keys", "val", "list_extend", "append_list", "type_", "source_dict", "dest_dict",
                   "rename_keys", "key", "value", "dictionary", "allow_match", "dict_to_check", "max_key_length",
                   "loadable", "process_values", "unique_keys", "bogus"]


@given(function=st.sampled_from(DICTS_FUNCTIONS), nargs=st.integers(0, 5),
       names=st.lists(st.sampled_from(PARAMETER_NAMES), max_size=3, unique=True))
def test_argument_binding(function, nargs, names):
    """Calls of every shape: the binding errors (and whatever the calls that
    bind do) are the same."""
    compare("dicts", build_all(), lambda m, x: getattr(m, function)(*["a"] * nargs, **dict.fromkeys(names, "a")),
            LOGGER)
