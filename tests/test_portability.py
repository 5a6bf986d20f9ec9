"""Spots where a build for another machine could part from this one: names
compared byte by byte (plain char is unsigned on 64-bit ARM, signed on
x86_64) and ints narrowed to 64 bits on a fast path."""

import inspect
import types

import pytest

import tavik.utils.dicts as dicts
import tavik.utils.parser as P

NATIVE = [f for mod in (dicts, P) for obj in [mod, *(v for v in vars(mod).values() if isinstance(v, type))]
          for f in vars(obj).values() if type(f).__name__ == "native_function"]


def twin(f):
    """A plain Python function with the parameters of `f`."""
    params = [p.replace(annotation=p.empty, default=None if p.default is not p.empty else p.empty)
              for p in inspect.signature(f).parameters.values()]
    ns = {}
    exec(f"def {f.__name__}{inspect.Signature(params)}: pass", ns)
    return ns[f.__name__]


def misspellings(name):
    """Keywords a byte away from `name`, most of them with UTF-8 bytes above 0x7f."""
    out = {name.upper(), name[:-1], "ключ", "😀" + name}
    for i in (0, len(name) // 2, len(name) - 1):
        for c in ("é", "ß", "İ", "\u00ff", "😀", name[i].upper()):
            out.add(name[:i] + c + name[i + 1:])
    return sorted(out)


def named(f):
    params = inspect.signature(f).parameters.values()
    if any(p.kind == p.VAR_KEYWORD for p in params):
        return []  # takes any keyword
    return [p.name for p in params if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)]


CASES = [(f, kw) for f in NATIVE for name in named(f) for kw in misspellings(name) if kw not in named(f)]


def test_native_functions_are_found():
    assert len({f for f, _ in CASES}) >= 12


@pytest.mark.parametrize("f, keyword", CASES, ids=lambda v: getattr(v, "__qualname__", v))
def test_unexpected_keyword_is_worded_as_the_interpreter_does(f, keyword):
    py = twin(f)
    required = [None] * sum(p.default is p.empty and p.kind == p.POSITIONAL_OR_KEYWORD
                            for p in inspect.signature(f).parameters.values())
    with pytest.raises(TypeError) as expected:
        py(*required, **{keyword: 1})
    with pytest.raises(TypeError) as native:
        f(*required, **{keyword: 1})
    assert str(native.value) == str(expected.value).replace(py.__qualname__, f.__qualname__, 1)


# Limits either side of the 64-bit range: the fast path takes what fits, the
# rest is compared as Python ints.
@pytest.mark.parametrize("limit", [2 ** 63 - 1, 2 ** 63, 2 ** 64, 2 ** 64 + 1, 0, -1, -2 ** 63, -2 ** 63 - 1, -2 ** 64])
@pytest.mark.parametrize("which", ["max_key_length", "max_value_length"])
def test_length_limits_at_the_64_bit_edges(limit, which):
    data = {"key": "value"}
    if len("key" if which == "max_key_length" else "value") > limit:
        with pytest.raises(Exception, match=f"characters long .yours is {len('key') if 'key' in which else 5}"):
            dicts.enforce_max_key_value_length(data, **{which: limit})
    else:
        assert dicts.enforce_max_key_value_length(data, **{which: limit}) is None


@pytest.mark.parametrize("maxsize", [2 ** 63 - 1, 2 ** 63, 2 ** 64, 10 ** 30])
def test_unique_key_counter_beyond_64_bits(maxsize, monkeypatch):
    monkeypatch.setattr(dicts, "sys", types.SimpleNamespace(maxsize=maxsize))
    assert dicts.generate_unique_key_name("a", 3, {"a_1": 1, "a_2": 1, "a_3": 2}) == "a_4"
    assert dicts.generate_unique_key_name("a", 2, {"a_1": 1, "a_2": 2}) is None


class Fixed(P.Tavik_HelpFormatter):
    def _format_actions_usage(self, actions, groups):
        return " ".join(a.name for a in actions)


USAGE_ACTIONS = [types.SimpleNamespace(name=n, option_strings=[n] if n.startswith("-") else [])
                 for n in ["-h", "src", "-v", "dst", "--long"]]


@pytest.mark.parametrize("huge, plain", [(w, 10 ** 6) for w in (2 ** 63 - 1, 2 ** 63 + 2, 2 ** 64 + 2, 10 ** 30)]
                         + [(w, -10 ** 6) for w in (-2 ** 63 + 2, -2 ** 63 - 1, -2 ** 64, -10 ** 30)])
def test_usage_width_beyond_64_bits_wraps_as_any_width_that_far_out(huge, plain):
    def usage(width):
        return Fixed("prog", width=width)._format_usage(None, USAGE_ACTIONS, [], None)

    assert usage(huge) == usage(plain)
