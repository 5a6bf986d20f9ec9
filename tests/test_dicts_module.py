"""The module surface of tavik.utils.dicts: import, attributes, function objects."""

import collections.abc
import importlib
import inspect
import json
import re
import sys

import pytest

import tavik.utils.dicts as dicts

FUNCTIONS = [
    "recursive_update", "recursive_setdefault", "recursive_cast", "set_dict_by_key_path",
    "create_extended_dict", "generate_unique_key_name", "enforce_max_key_value_length",
    "load_dict_from_json_string", "load_dict_from_kv_string", "load_dict_from_yaml",
    "load_dict_from_list",
]


def test_attributes_bound_in_order():
    names = [n for n in vars(dicts) if not n.startswith("__")]
    assert names == ["re", "os", "sys", "json", "yaml", "shlex", "logging", "literal_eval",
                     "Mapping", "MutableSequence", "decode_cli_string", "cfg", "logger",
                     "LIST_EXTEND_PATTERN", "MAX_KEY_LENGTH", "MAX_VALUE_LENGTH", *FUNCTIONS]
    assert dicts.re is re and dicts.json is json and dicts.Mapping is collections.abc.Mapping
    assert dicts.__builtins__ is __import__("builtins")
    assert dicts.__doc__ is None
    assert dicts.logger.name == "tavik.utils.dicts"
    assert (dicts.MAX_KEY_LENGTH, dicts.MAX_VALUE_LENGTH) == (40, 512)


def test_pattern():
    assert dicts.LIST_EXTEND_PATTERN.match("%EXTEND_LIST{ foo bar }").groups()[0] == "foo bar"
    assert dicts.LIST_EXTEND_PATTERN.match("%EXTEND_LIST{}") is None


SIGNATURES = {
    "recursive_update": "(a, b, *, list_extend=False)",
    "recursive_setdefault": "(a, b)",
    "recursive_cast": "(d, type_)",
    "set_dict_by_key_path": "(d, keys, val, *, append_list=False)",
    "create_extended_dict": "(source_dict, dest_dict={}, rename_keys=True)",
    "generate_unique_key_name": "(key, value, dictionary, allow_match=False) -> 'str'",
    "enforce_max_key_value_length": "(dict_to_check, max_key_length=40, max_value_length=512)",
    "load_dict_from_json_string": "(loadable) -> 'dict'",
    "load_dict_from_kv_string": "(loadable, process_values=False) -> 'dict'",
    "load_dict_from_yaml": "(loadable: 'str') -> 'dict'",
    "load_dict_from_list": "(loadable, unique_keys=True) -> 'dict'",
}


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    f = getattr(dicts, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "tavik.utils.dicts")
    assert f.__globals__ is vars(dicts)
    assert str(inspect.signature(f)) == SIGNATURES[name]
    assert isinstance(f.__doc__, str) and f.__doc__
    f.__dict__["tag"] = 1  # functions carry attributes
    assert f.tag == 1
    del f.tag


def test_defaults_and_annotations():
    ced = dicts.create_extended_dict
    assert ced.__defaults__[0] is ced.__defaults__[0] and ced.__defaults__ == ({}, True)
    assert dicts.recursive_update.__kwdefaults__ == {"list_extend": False}
    assert dicts.recursive_update.__defaults__ is None
    assert dicts.enforce_max_key_value_length.__defaults__ == (dicts.MAX_KEY_LENGTH, dicts.MAX_VALUE_LENGTH)
    assert dicts.generate_unique_key_name.__annotations__ == {"return": "str"}
    assert list(dicts.load_dict_from_yaml.__annotations__.items()) == [("loadable", "str"), ("return", "dict")]
    assert dicts.recursive_cast.__annotations__ == {}
    assert dicts.recursive_update.__doc__.startswith("recursive_update\n\n    Recursively updates")


def _py_twin(name):
    """A Python function with the same signature, to compare binding errors."""
    sig = SIGNATURES[name].split(" ->")[0].replace(": 'str'", "")
    sig = sig.replace("max_key_length=40", "max_key_length=1").replace("={}", "=None")
    namespace = {}
    exec(f"def {name}{sig}: pass", namespace)
    return namespace[name]


BAD_CALLS = [
    ("recursive_update", (1, 2, True), {}),
    ("recursive_update", (1, 2, 3), {"list_extend": 1}),
    ("recursive_update", (), {}),
    ("recursive_update", (1,), {"lst_extend": 1}),
    ("recursive_update", (1, 2), {"zzz": 1}),
    ("recursive_update", (1,), {"a": 2}),
    ("set_dict_by_key_path", ({}, [], 1, True), {}),
    ("set_dict_by_key_path", (), {}),
    ("set_dict_by_key_path", ({},), {}),
    ("create_extended_dict", (), {}),
    ("create_extended_dict", (1, 2, 3, 4), {}),
    ("create_extended_dict", (1, 2), {"dest_dict": 3}),
    ("generate_unique_key_name", (1,), {"allow_match": True}),
    ("load_dict_from_kv_string", ("a", 1, 2), {}),
    ("load_dict_from_list", (), {"loadable": "[]", "unique": 1}),
]


@pytest.mark.parametrize("name,args,kwargs", BAD_CALLS)
def test_binding_errors_match_python(name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        _py_twin(name)(*args, **kwargs)
    with pytest.raises(TypeError) as actual:
        getattr(dicts, name)(*args, **kwargs)
    assert str(actual.value) == str(expected.value)


def test_reimport_gives_same_module():
    del sys.modules["tavik.utils.dicts"]
    again = importlib.import_module("tavik.utils.dicts")
    sys.modules["tavik.utils.dicts"] = dicts
    assert again is dicts
    assert importlib.reload(dicts) is dicts


def test_exec_slot_guard(run_python):
    out = run_python("""
        import importlib.util, _imp
        spec = importlib.util.find_spec('tavik.utils.dicts')
        first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        print(first is second)
        _imp.exec_dynamic(first)
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as e:
            print(e)
        _imp.exec_dynamic(first)
        import tavik.utils.dicts as d
        print(d is first, _imp.create_dynamic(spec) is first)
    """)
    assert out.splitlines() == [
        "False",
        "Module 'dicts' has already been imported. Re-initialisation is not supported.",
        "True True",
    ]


@pytest.mark.parametrize("env,expected", [
    ({"TAVIK_CFG__LIMITS__DICTS__MAX_KEY_LENGTH": "100"}, "'100' 512 '100'"),
    ({"TAVIK_CFG__LIMITS__DICTS__MAX_VALUE_LENGTH": "7"}, "40 '7' 40"),
])
def test_limits_from_configuration(run_python, env, expected):
    out = run_python("""
        import tavik.utils.dicts as d
        f = d.enforce_max_key_value_length
        print(repr(d.MAX_KEY_LENGTH), repr(d.MAX_VALUE_LENGTH), repr(f.__defaults__[0]))
    """, **env)
    assert out.strip() == expected


@pytest.mark.parametrize("setup,error", [
    ("import tavik.configuration as c\n"
     "def boom(*a): raise KeyError('cfg down')\n"
     "c.configuration.get = boom", "KeyError 'cfg down'"),
    ("import tavik.utils.strings as s\ndel s.decode_cli_string",
     "ImportError cannot import name decode_cli_string"),
    ("import sys\nsys.modules['yaml'] = None", "ModuleNotFoundError"),
])
def test_import_failures_propagate(run_python, setup, error):
    out = run_python(setup + """
try:
    import tavik.utils.dicts
except Exception as e:
    print(type(e).__name__, e)
""")
    assert out.startswith(error)


def test_failed_import_retries_with_new_module(run_python):
    out = run_python("""
        import sys, tavik.configuration as c
        real = c.configuration.get
        c.configuration.get = lambda *a: 1 / 0
        try:
            import tavik.utils.dicts
        except ZeroDivisionError:
            pass
        first = sys.modules.pop('tavik.utils.dicts', None)
        c.configuration.get = real
        import tavik.utils.dicts as d
        print(d is not first, d.MAX_KEY_LENGTH)
    """)
    assert out.strip() == "True 40"


def test_name_lookup_at_each_use(monkeypatch):
    monkeypatch.setattr(dicts, "Mapping", dict)
    # an OrderedDict is a dict, a MappingProxy is no longer a mapping
    assert dicts.recursive_update(dict(x=1), {"x": 2}) == {"x": 2}
    proxy = __import__("types").MappingProxyType({"x": 1})
    assert dicts.recursive_update(proxy, {"x": 2}) == {"x": 2}
    monkeypatch.delattr(dicts, "Mapping")
    with pytest.raises(NameError, match="^name 'Mapping' is not defined$"):
        dicts.recursive_update({}, {})


def test_open_taken_once_at_import(monkeypatch, tmp_path):
    path = tmp_path / "f.yaml"
    path.write_text("a: 1\n")
    monkeypatch.setattr("builtins.open", lambda *a, **k: 1 / 0)
    assert dicts.load_dict_from_yaml(str(path)) == {"a": 1}


def test_functions_pickle_and_copy_by_reference():
    import copy
    import pickle

    f = dicts.recursive_update
    assert pickle.loads(pickle.dumps(f)) is f
    assert copy.deepcopy(f) is f and copy.copy(f) is f
    assert repr(f).startswith("<function recursive_update at 0x")
