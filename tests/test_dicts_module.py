"""The module surface of tavik.utils.dicts: import, attributes, function objects."""

import collections.abc
import copy
import importlib
import inspect
import json
import pickle
import re
import sys
import types

import pytest

import tavik.utils.dicts as dicts

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


def test_attributes_bound_in_order():
    names = [n for n in vars(dicts) if not n.startswith("__")]
    assert names == ["re", "os", "sys", "json", "yaml", "shlex", "logging", "literal_eval",
                     "Mapping", "MutableSequence", "decode_cli_string", "cfg", "logger",
                     "LIST_EXTEND_PATTERN", "MAX_KEY_LENGTH", "MAX_VALUE_LENGTH", *SIGNATURES]
    assert dicts.re is re and dicts.json is json and dicts.Mapping is collections.abc.Mapping
    assert dicts.__builtins__ is __import__("builtins") and dicts.__doc__ is None
    assert dicts.logger.name == "tavik.utils.dicts"
    assert (dicts.MAX_KEY_LENGTH, dicts.MAX_VALUE_LENGTH) == (40, 512)
    assert dicts.LIST_EXTEND_PATTERN.match("%EXTEND_LIST{ foo bar }").groups()[0] == "foo bar"
    assert dicts.LIST_EXTEND_PATTERN.match("%EXTEND_LIST{}") is None


@pytest.mark.parametrize("name", SIGNATURES)
def test_function_objects(name, monkeypatch):
    f = getattr(dicts, name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, name, "tavik.utils.dicts")
    assert f.__globals__ is vars(dicts)
    assert str(inspect.signature(f)) == SIGNATURES[name]
    assert isinstance(f.__doc__, str) and f.__doc__
    monkeypatch.setattr(f, "tag", 1, raising=False)  # functions carry attributes
    assert f.__dict__ == {"tag": 1}
    assert pickle.loads(pickle.dumps(f)) is f and copy.deepcopy(f) is f and copy.copy(f) is f
    assert repr(f).startswith(f"<function {name} at 0x")


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
    namespace = {}
    exec(f"def {name}{sig.replace('={}', '=None')}: pass", namespace)
    return namespace[name]


@pytest.mark.parametrize("name,args,kwargs", [
    ("recursive_update", (1, 2, True), {}), ("recursive_update", (1, 2, 3), {"list_extend": 1}),
    ("recursive_update", (), {}), ("recursive_update", (1,), {"lst_extend": 1}),
    ("recursive_update", (1, 2), {"zzz": 1}), ("recursive_update", (1,), {"a": 2}),
    ("set_dict_by_key_path", ({}, [], 1, True), {}), ("set_dict_by_key_path", (), {}),
    ("set_dict_by_key_path", ({},), {}), ("create_extended_dict", (), {}),
    ("create_extended_dict", (1, 2, 3, 4), {}), ("create_extended_dict", (1, 2), {"dest_dict": 3}),
    ("generate_unique_key_name", (1,), {"allow_match": True}), ("load_dict_from_kv_string", ("a", 1, 2), {}),
    ("load_dict_from_list", (), {"loadable": "[]", "unique": 1}),
])
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
    assert again is dicts and importlib.reload(dicts) is dicts


def test_exec_slot_guard(run_python):
    out = run_python("""
        import importlib.util, _imp
        spec = importlib.util.find_spec('tavik.utils.dicts')
        first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        _imp.exec_dynamic(first)
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as e:
            print(first is second, e)
        _imp.exec_dynamic(first)
        import tavik.utils.dicts as d
        print(d is first, _imp.create_dynamic(spec) is first)
    """)
    assert out.splitlines() == [
        "False Module 'dicts' has already been imported. Re-initialisation is not supported.", "True True"]


@pytest.mark.parametrize("env,expected", [
    ({"TAVIK_CFG__LIMITS__DICTS__MAX_KEY_LENGTH": "100"}, "'100' 512 '100'"),
    ({"TAVIK_CFG__LIMITS__DICTS__MAX_VALUE_LENGTH": "7"}, "40 '7' 40"),
])
def test_limits_from_configuration(run_python, env, expected):
    out = run_python("""
        import tavik.utils.dicts as d
        print(repr(d.MAX_KEY_LENGTH), repr(d.MAX_VALUE_LENGTH), repr(d.enforce_max_key_value_length.__defaults__[0]))
    """, **env)
    assert out.strip() == expected


@pytest.mark.parametrize("setup,restore,expected", [
    ("import tavik.configuration as c\nreal = c.configuration.get\n"
     "def boom(*a):\n    global first\n    first = sys.modules['tavik.utils.dicts']\n    raise KeyError('cfg down')\n"
     "c.configuration.get = boom", "c.configuration.get = real", "KeyError 'cfg down'\nTrue 40 True"),
    ("import tavik.utils.strings as s\nreal = s.decode_cli_string\ndel s.decode_cli_string",
     "s.decode_cli_string = real", "ImportError cannot import name decode_cli_string\nTrue 40 None"),
    ("sys.modules['yaml'] = None", "del sys.modules['yaml']",
     "ModuleNotFoundError import of yaml halted; None in sys.modules\nTrue 40 None"),
])
def test_failed_import_propagates_then_retries_with_new_module(run_python, setup, restore, expected):
    # the half-built first module keeps the names bound before the failure
    out = run_python(f"""
import sys
first = None
{setup}
try:
    import tavik.utils.dicts
except Exception as e:
    print(type(e).__name__, e)
{restore}
import tavik.utils.dicts as d
print(d is not first, d.MAX_KEY_LENGTH, first and "cfg" in vars(first) and "MAX_KEY_LENGTH" not in vars(first))
""")
    assert out.strip() == expected


def test_name_lookup_at_each_use(monkeypatch):
    monkeypatch.setattr(dicts, "Mapping", dict)
    # a dict is still a mapping, a MappingProxy no longer is
    assert dicts.recursive_update(dict(x=1), {"x": 2}) == {"x": 2}
    assert dicts.recursive_update(types.MappingProxyType({"x": 1}), {"x": 2}) == {"x": 2}
    monkeypatch.delattr(dicts, "Mapping")
    with pytest.raises(NameError, match="^name 'Mapping' is not defined$"):
        dicts.recursive_update({}, {})


def test_open_taken_once_at_import(monkeypatch, tmp_path):
    path = tmp_path / "f.yaml"
    path.write_text("a: 1\n")
    monkeypatch.setattr("builtins.open", lambda *a, **k: 1 / 0)
    assert dicts.load_dict_from_yaml(str(path)) == {"a": 1}


def test_signature_keeps_the_defaults_it_started_with(run_python):
    # inspect's constructors run Python code, which may replace the defaults.
    out = run_python("""
        import inspect
        import tavik.utils.dicts as D
        f, real = D.create_extended_dict, inspect.Parameter
        class Replacing(real):
            def __init__(self, *args, **kwargs):
                f.__defaults__ = None
                super().__init__(*args, **kwargs)
        inspect.Parameter = Replacing
        print(f.__signature__)
    """)
    assert out.strip() == "(source_dict, dest_dict={}, rename_keys=True)"
