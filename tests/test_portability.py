"""Spots where a build for another machine could part from this one: names
compared byte by byte (plain char is unsigned on 64-bit ARM, signed on
x86_64) and ints narrowed to 64 bits on a fast path; and what tools of the
host see of the modules: their linking, profilers, function attributes."""

import builtins
import cProfile
import functools
import inspect
import os
import shutil
import subprocess
import sys
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


def test_shared_objects_need_only_the_c_library_and_export_only_their_init():
    if not (shutil.which("readelf") and shutil.which("nm")):
        pytest.skip("binutils not installed")
    for module in (dicts, P):
        dynamic = subprocess.run(["readelf", "-d", module.__file__], capture_output=True, text=True, check=True).stdout
        needed = {line.split("[")[1].rstrip("]") for line in dynamic.splitlines() if "(NEEDED)" in line}
        if any(n.startswith("libasan") for n in needed):
            pytest.skip("the sanitizer build keeps the shared runtimes")
        assert needed and all(n == "libc.so.6" or n.startswith("ld-linux") for n in needed), needed
        exported = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True,
                                  check=True).stdout.split()[2::3]
        assert exported == ["PyInit_" + module.__name__.rsplit(".", 1)[1]]


def test_profilers_name_each_call():
    formatter = P.Tavik_HelpFormatter("prog")
    parser = P.ArgsPropagationParser(prog="prog", add_help=False)
    action = parser.add_argument("-x", "--xx", metavar="X")

    def calls():
        dicts.recursive_update({}, {"a": {"b": 1}}, list_extend=True)
        dicts.recursive_setdefault({}, {"a": 1})
        dicts.recursive_cast({"a": {}}, dict)
        dicts.set_dict_by_key_path({}, ["a", "b"], 1)
        dicts.create_extended_dict({"a": 1}, {"a": 2})
        dicts.generate_unique_key_name("a", 1, {"a": 2})
        dicts.enforce_max_key_value_length({"a": {"b": "c"}})
        dicts.load_dict_from_json_string('{"a": 1}')
        dicts.load_dict_from_kv_string("a=b")
        dicts.load_dict_from_yaml("a: 1")
        dicts.load_dict_from_list("""['{"a": 1}']""")
        P.Tavik_HelpFormatter.__init__(formatter, "prog")
        formatter._format_usage(None, [action], [], None)
        formatter._format_action_invocation(action)
        parser.parse_args([])

    profiler = cProfile.Profile()
    argv = sys.argv
    try:
        profiler.runcall(calls)
    finally:
        sys.argv = argv
    # Each called once from Python; the calls among them run natively, unseen.
    counts = {entry.code: entry.callcount for entry in profiler.getstats() if isinstance(entry.code, str)}
    assert {f"<{f.__module__}.{f.__qualname__}>": counts.get(f"<{f.__module__}.{f.__qualname__}>") for f in NATIVE} \
        == {f"<{f.__module__}.{f.__qualname__}>": 1 for f in NATIVE}
    # The Python code that native readers stand in for runs for real while a profiler watches.
    ran = {(os.path.basename(e.code.co_filename), e.code.co_name) for e in profiler.getstats() if hasattr(e.code, "co_name")}
    assert {("shlex.py", "split"), ("__init__.py", "safe_load")} <= ran, sorted(ran)
    # profile and other sys.setprofile users: a c_call event with the function.
    seen = []
    sys.setprofile(lambda frame, event, arg: seen.append((event, arg)) if event.startswith("c_") else None)
    try:
        dicts.recursive_cast({}, dict)
    finally:
        sys.setprofile(None)
    assert seen[:2] == [("c_call", dicts.recursive_cast), ("c_return", dicts.recursive_cast)]


DELETE = object()


@pytest.mark.parametrize("f", NATIVE, ids=lambda f: f.__qualname__)
def test_function_attributes_are_a_python_functions(f):
    py = twin(f)
    assert set(dir(py)) - set(dir(f)) == {"__code__"}
    assert f.__type_params__ == py.__type_params__ == ()
    assert f.__builtins__ is py.__builtins__ is vars(builtins)
    assert f.__closure__ is py.__closure__ is f.__annotate__ is py.__annotate__ is None
    py.__annotations__ = dict(f.__annotations__)  # stored as they are, not made by __annotate__
    wrapped = [functools.update_wrapper(lambda: None, g) for g in (f, py)]
    assert [(w.__name__, w.__type_params__, w.__annotate__, w.__annotations__) for w in wrapped] == [
        (f.__name__, (), None, {})] * 2

    def outcome(obj, name, value):
        try:
            if value is DELETE:
                delattr(obj, name)
            else:
                setattr(obj, name, value)
            return getattr(obj, name)
        except (TypeError, AttributeError) as error:
            return type(error), str(error)

    saved = f.__annotations__
    try:
        for name, value in [("__type_params__", [1]), ("__type_params__", DELETE), ("__builtins__", {}),
                            ("__closure__", None), ("__annotate__", 1), ("__annotate__", DELETE),
                            ("__type_params__", ("T",)), ("__annotations__", {"y": "str"}), ("__annotate__", None),
                            ("__annotate__", lambda format: {"return": "str"})]:
            assert outcome(f, name, value) == outcome(py, name, value), name
            assert (f.__annotate__ is None, f.__annotations__) == (py.__annotate__ is None, py.__annotations__)
        assert inspect.signature(f).return_annotation == "str"  # read through __annotate__
    finally:
        f.__type_params__ = ()
        f.__annotations__ = saved
