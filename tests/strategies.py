"""Descriptions of inputs for the property tests, and the builder that makes
the same objects from one description for each side.

A description is plain data (tuples), so hypothesis can shrink it and both
sides get objects of the same shape, identities and aliasing included."""

import collections
import types

from hypothesis import strategies as st

from differential import KO, KS, V, BadItems, Flag, ReadOnlyMapping, RecDict, RecList, RecMapping, VirtualMapping, \
    VirtualSeq

MAPPING_CLASSES = ["dict", "dict", "RecDict", "OrderedDict", "defaultdict", "RecMapping", "VirtualMapping",
                   "ReadOnly", "proxy"]
SEQUENCE_CLASSES = ["list", "list", "RecList", "VirtualSeq", "tuple"]


class Builder:
    def __init__(self, force=None):
        self.built = []  # finished containers, for aliases
        self.count = 0
        self.force = force  # one mapping class for every level

    def label(self, kind):
        self.count += 1
        return f"{kind}{self.count}"

    def __call__(self, spec):
        kind = spec[0]
        if kind == "scalar":
            return spec[1]
        if kind == "nan":
            return float("nan")
        if kind == "V":
            return V(spec[1], spec[2], self.label("V"))
        if kind == "KS":
            return KS(spec[1])
        if kind == "KO":
            return KO(spec[1])
        if kind == "flag":
            return Flag(spec[1], self.label("flag"))
        if kind == "alias":
            return self.built[spec[1] % len(self.built)] if self.built else None
        if kind == "tuple":
            return tuple(self(x) for x in spec[1])
        if kind == "map":
            items = [(self(k), self(v)) for k, v in spec[2]]
            obj = self.mapping(self.force or spec[1], items)
        elif kind == "seq":
            obj = self.sequence(spec[1], [self(x) for x in spec[2]])
        elif kind == "bad":
            obj = BadItems(self.pairs(spec[1]), self.label("bad"))
        else:
            raise AssertionError(spec)
        self.built.append(obj)
        return obj

    def mapping(self, cls, items):
        label = self.label(cls)
        if cls == "dict":
            return dict(items)
        if cls == "RecDict":
            return RecDict(items, _label=label)
        if cls == "OrderedDict":
            return collections.OrderedDict(items)
        if cls == "defaultdict":
            return collections.defaultdict(None, items)
        if cls == "RecMapping":
            return RecMapping(items, _label=label)
        if cls == "VirtualMapping":
            return VirtualMapping(items, _label=label)
        if cls == "ReadOnly":
            return ReadOnlyMapping(items, _label=label)
        if cls == "proxy":
            return types.MappingProxyType(dict(items))
        raise AssertionError(cls)

    def sequence(self, cls, items):
        if cls == "list":
            return items
        if cls == "RecList":
            return RecList(items, _label=self.label("RecList"))
        if cls == "VirtualSeq":
            return VirtualSeq(items, _label=self.label("VirtualSeq"))
        if cls == "tuple":
            return tuple(items)
        raise AssertionError(cls)

    def pairs(self, specs):
        """items() of a mapping: good pairs and bad ones."""
        out = []
        for shape, k, v in specs:
            k, v = self(k), self(v)
            out.append({
                "pair": (k, v), "list": [k, v], "iter": iter([k, v]), "one": (k,), "three": (k, v, v),
                "none": (), "int": 5, "str2": "ab", "str3": "abc", "iter3": iter([k, v, v]), "iter1": iter([k]),
            }[shape])
        return out


def weighted(*choices):
    """One of the strategies, picked by weight: weighted((3, a), (1, b))."""
    table = [strategy for weight, strategy in choices for _ in range(weight)]
    return st.integers(0, len(table) - 1).flatmap(lambda i: table[i])


def scalar(x):
    return ("scalar", x)


TEXTS = ["a", "b", "l", "1", "a_1", "a_2", "True", "1.0", "", "x y"]

marker_keys = st.builds(
    lambda head, left, name, right, tail: head + left + name + right + tail,
    st.sampled_from(["%EXTEND_LIST{", "%EXTEND_LIST{", "%extend_list{", "%Extend_List{", "EXTEND_LIST{"]),
    st.sampled_from(["", "", " ", "  "]),
    st.sampled_from(["l", "a", "foo bar", " ", "", "l\nm", "}"]),
    st.sampled_from(["", "", " ", "  "]),
    st.sampled_from(["}", "}", "}", "}\n", "} ", "", "}}"]),
)

# Hashable keys: colliding str() (1, '1', KO('1'), KS('1')), equal across
# types (1, 1.0, True), markers.
keys = st.one_of(
    st.sampled_from(TEXTS).map(scalar),
    marker_keys.map(scalar),
    st.sampled_from([0, 1, 2, 1.0, True, False, None]).map(scalar),
    st.sampled_from(["a", "1", "l", "%EXTEND_LIST{l}"]).map(lambda t: ("KS", t)),
    st.sampled_from(["a", "1", "True"]).map(lambda t: ("KO", t)),
    st.just(("tuple", [scalar("t"), scalar(1)])),
)

scalars = st.one_of(
    st.integers(-1, 3).map(scalar),
    st.sampled_from([1.0, 0.5, True, False, None, "", "text", "a,b", "x" * 45]).map(scalar),
    st.just(("nan",)),
    st.tuples(st.sampled_from(["v", "w", "a long value text"]), st.integers(0, 2)).map(lambda t: ("V",) + t),
    st.just(("tuple", [scalar("a"), scalar("b")])),
)


def sequences(elements, classes=SEQUENCE_CLASSES):
    return st.tuples(st.sampled_from(classes), st.lists(elements, max_size=3)).map(lambda t: ("seq",) + t)


def mappings(values, classes=MAPPING_CLASSES, max_size=4, keys=keys, min_size=0):
    return st.tuples(st.sampled_from(classes), st.lists(st.tuples(keys, values), min_size=min_size,
                                                        max_size=max_size)).map(lambda t: ("map",) + t)


aliases = st.integers(0, 20).map(lambda i: ("alias", i))

bad_pairs = st.lists(
    st.tuples(st.sampled_from(["pair", "pair", "list", "iter", "one", "three", "none", "int", "str2", "str3",
                               "iter3", "iter1"]), keys, scalars),
    min_size=1, max_size=3).map(lambda pairs: ("bad", pairs))


def nested(classes=MAPPING_CLASSES, with_bad=True, keys=keys):
    """Nested mappings whose values are scalars, sequences, aliases and
    further mappings (a few levels deep)."""
    leaves = st.one_of(scalars, scalars, sequences(scalars), aliases)
    extend = (lambda inner: st.one_of(mappings(inner, classes, keys=keys), bad_pairs)) if with_bad else \
        (lambda inner: mappings(inner, classes, keys=keys))
    return st.recursive(leaves, extend, max_leaves=12).flatmap(
        lambda v: mappings(st.one_of(st.just(v), leaves, mappings(leaves, classes, keys=keys, min_size=1)),
                           classes, keys=keys, min_size=1, max_size=5))


flags = st.one_of(st.sampled_from([False, True, 0, 1, "", "x", None]).map(scalar),
                  st.booleans().map(lambda b: ("flag", b)))
