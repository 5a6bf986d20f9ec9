"""The loaders: JSON, key=value, YAML and list-of-JSON texts."""

import base64
import io
import json
import logging
import os
import sys
import types

import pytest

import tavik.utils.dicts as dicts

UNABLE = "Unable to load the yaml file"
NESTED = '{"a": 1, "b": {"c": [1, 2]}}'


def b64(text):
    return base64.urlsafe_b64encode(text.encode()).decode()


@pytest.fixture
def records(caplog):
    caplog.set_level(logging.DEBUG, logger="tavik.utils.dicts")
    return lambda: [r.getMessage() for r in caplog.records if r.name == "tavik.utils.dicts"]


@pytest.mark.parametrize("text,expected", [
    ("{}", {}), (NESTED, json.loads(NESTED)), (b64(NESTED), json.loads(NESTED)), ('{"a": 1, "a": 2}', {"a": 2})])
def test_json(text, expected):
    assert dicts.load_dict_from_json_string(text) == expected


@pytest.mark.parametrize("text,error,message", [
    ("[1, 2]", ValueError, "<class 'list'>.\n\nLoaded JSON Data:\n[1, 2]"),
    ('"abc"', ValueError, "<class 'str'>.\n\nLoaded JSON Data:\nabc"),
    ("null", ValueError, "<class 'NoneType'>.\n\nLoaded JSON Data:\nNone"),
    ("true", ValueError, "<class 'bool'>.\n\nLoaded JSON Data:\nTrue"),
    ("{a: 1}", json.JSONDecodeError, None), ("", json.JSONDecodeError, None), (None, TypeError, None),
])
def test_json_errors(text, error, message):
    with pytest.raises(error) as info:
        dicts.load_dict_from_json_string(text)
    assert type(info.value) is error
    if message:
        assert info.value.args == (
            "The meta JSON data did not load into a dictionary. \nExpected <class 'dict'>, received " + message,)


def test_json_uses_module_attributes(monkeypatch):
    seen, result = [], type("Sub", (dict,), {})(a=1)
    monkeypatch.setattr(dicts, "decode_cli_string", lambda t: seen.append(t) or "decoded")
    monkeypatch.setattr(dicts, "json", types.SimpleNamespace(loads=lambda t: seen.append(t) or result))
    assert dicts.load_dict_from_json_string(loadable="raw") is result
    assert seen == ["raw", "decoded"]


@pytest.mark.parametrize("text,process,expected", [
    ("a=1 b=2", False, {"a": "1", "b": "2"}),
    ("a=1=2 c= =x", False, {"a": "1=2", "c": "", "": "x"}),
    ('a="x y" \'b c\'=2', False, {"a": "x y", "b c": "2"}),
    ("a=1 b=2 a=3", False, {"a": "3", "b": "2"}),
    (" \t\n ", False, {}),
    ("a=1,2,3 b=#1", False, {"a": "1,2,3", "b": "#1"}),
    ("a=1,,2 b=1, c=1", 1, {"a": ["1", "", "2"], "b": ["1", ""], "c": "1"}),
    (b64("a=1 b='x y'"), False, {"a": "1", "b": "x y"}),
])
def test_kv(text, process, expected):
    assert list(dicts.load_dict_from_kv_string(text, process).items()) == list(expected.items())


@pytest.mark.parametrize("text,match", [
    ("a=1 b", "need more than 1 value to unpack"), ("a='x", "No closing quotation"), ("a=x\\", "No escaped character")])
def test_kv_errors(text, match):
    with pytest.raises(ValueError, match=match):
        dicts.load_dict_from_kv_string(text)


def test_kv_calls_on_items_and_flag(monkeypatch):
    calls = []
    flag = type("Flag", (), {"__bool__": lambda self: calls.append("bool") or True})()
    item = lambda parts: types.SimpleNamespace(split=lambda *a, **k: calls.append((a, k)) or parts)
    items = [item(["k", "1,2"]), item(("k", "w")), item([1, "x"])]
    monkeypatch.setattr(dicts, "shlex", types.SimpleNamespace(split=lambda text: iter(items)))
    assert dicts.load_dict_from_kv_string("ignored", flag) == {"k": "w", 1: "x"}
    assert calls == [(("=",), {"maxsplit": 1}), "bool"] * 3


class Value(str):
    """A value whose release is recorded."""

    def __new__(cls, text, calls):
        self = super().__new__(cls, text)
        self.calls = calls
        return self

    def __del__(self):
        self.calls.append(("released", str(self)))


def generated(values, calls):
    try:
        for v in values:
            calls.append(("next", v))
            yield Value(v, calls)
        calls.append("exhausted")
    except GeneratorExit:
        calls.append("closed")
        raise


def recorded_parts(values, calls):
    class Parts(list):
        def __iter__(self):
            calls.append("iter")
            return generated(list.__iter__(self), calls)

        def __len__(self):
            calls.append("len")
            return super().__len__()

        def __getitem__(self, i):
            calls.append(("getitem", i))
            return super().__getitem__(i)
    return Parts(values)


SHAPES = {"list": lambda values, calls: list(values), "tuple": lambda values, calls: tuple(values),
          "list subclass": recorded_parts, "generator": generated, "int": lambda values, calls: len(values)}


@pytest.mark.parametrize("shape, n", [(s, n) for s in sorted(set(SHAPES) - {"int"}) for n in range(4)] + [("int", 0)])
def test_kv_pair_unpacks_as_python(monkeypatch, shape, n):
    """A split into other than two values unpacks as `key, value = parts`
    does: the same calls and releases, in the same order, and its error;
    only the one-element list of a pair without "=" has the loader's text."""
    def unpacked(calls):
        try:
            key, value = SHAPES[shape](["k", "v", "w"][:n], calls)
            return "ok", {key: value}
        except Exception as e:
            return type(e), str(e)
    python_calls, native_calls = [], []
    expected = unpacked(python_calls)
    if shape == "list" and n == 1:
        expected = ValueError, "need more than 1 value to unpack"
    token = types.SimpleNamespace(split=lambda *a, **k: SHAPES[shape](["k", "v", "w"][:n], native_calls))
    monkeypatch.setattr(dicts, "shlex", types.SimpleNamespace(split=lambda text: [token]))
    try:
        outcome = "ok", dicts.load_dict_from_kv_string("ignored")
    except Exception as e:
        outcome = type(e), str(e)
    assert (outcome, native_calls) == (expected, python_calls)


@pytest.mark.parametrize("content,expected", [
    ("a: 1\nb: [x, y]\n", {"a": 1, "b": ["x", "y"]}), ("- 1\n- 2\n", [1, 2]), ("", None)])
def test_yaml_from_file(tmp_path, content, expected, records):
    path = tmp_path / "data.yaml"
    path.write_text(content)
    named = type("Named", (), {"__fspath__": lambda self: str(path)})()
    for loadable in (str(path), path, os.fsencode(path), named):
        assert dicts.load_dict_from_yaml(loadable) == expected
    assert dicts.load_dict_from_yaml(str(tmp_path)) == str(tmp_path)  # a directory is no file
    assert records() == []


# Neither a name nor a number: os.path.isfile rejects it with TypeError, as
# the steps say, though safe_load could read it.
STREAM = io.StringIO("a: 1")


@pytest.mark.parametrize("loadable,expected", [
    ("a: 1", {"a": 1}), ("missing.yaml", "missing.yaml"), ("hello", "hello"), ("", None), (b"a: 2", {"a": 2}),
    *[(bad, UNABLE) for bad in ("a: [1, 2", "a: 1\n---\nb: 2\n", "!!python/object:os.stat_result {}", None, 3.5,
                                b"\xff: 1", "bad.yaml", STREAM)],
])
def test_yaml_from_text(loadable, expected, records, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "bad.yaml").write_bytes(b"a: \xff\xfe\n")  # a file the default encoding cannot read
    failed = expected is UNABLE
    assert dicts.load_dict_from_yaml(loadable) == (None if failed else expected)
    assert records() == ([UNABLE] if failed else [])


# Whatever has __index__ is a descriptor to os.stat and open() just as an int is.
@pytest.mark.parametrize("as_number", [lambda fd: fd, lambda fd: True,
                                       lambda fd: type("Index", (), {"__index__": lambda self: fd})()])
def test_yaml_never_takes_a_number_as_file_descriptor(as_number, monkeypatch, records):
    checked = []
    monkeypatch.setattr(dicts, "os", types.SimpleNamespace(
        path=types.SimpleNamespace(isfile=lambda p: checked.append(p) or True)))
    read_fd, write_fd = os.pipe()
    try:
        os.write(write_fd, b"a: 1\n")
        assert dicts.load_dict_from_yaml(as_number(read_fd)) is None
        assert records() == [UNABLE] and checked == []
        assert os.read(read_fd, 100) == b"a: 1\n"  # still open, nothing read
    finally:
        os.close(read_fd)
        os.close(write_fd)


def test_yaml_passes_what_is_no_exception(monkeypatch):
    monkeypatch.setattr(dicts, "yaml", types.SimpleNamespace(safe_load=sys.exit))
    with pytest.raises(SystemExit):
        dicts.load_dict_from_yaml("a: 1")
    monkeypatch.undo()
    monkeypatch.setattr(dicts, "logger", types.SimpleNamespace(debug=lambda m: 1 / 0))
    with pytest.raises(ZeroDivisionError) as info:
        dicts.load_dict_from_yaml("a: [")
    assert type(info.value.__context__).__module__.startswith("yaml")


@pytest.mark.parametrize("text,unique,expected", [
    ("[]", True, {}),
    ("""['{"a": 1}', '{"b": 2}']""", True, {"a": 1, "b": 2}),
    ("""['{"a": 1}', '{"a": 1}']""", True, {"a": 1}),
    ("""['{"a": 1}', '{"a": 2}', '{"a": 3}']""", True, {"a": 1, "a_1": 2, "a_2": 3}),
    ("""['{"a": 1}', '{"a": 2}', '{"a": 3}']""", False, {"a": 1}),
    ("""['{"a": 1}', '{"a": 2}', '{"a": 2}']""", True, {"a": 1, "a_1": 2}),
    (f"('{b64(NESTED)}',)", True, json.loads(NESTED)),
])
def test_list(text, unique, expected):
    assert list(dicts.load_dict_from_list(text, unique).items()) == list(expected.items())


@pytest.mark.parametrize("loadable,error,match", [
    ("", SyntaxError, None), ("None", TypeError, None), ("['[1]']", ValueError, "received <class 'list'>"),
    ("""'{"a": 1}'""", json.JSONDecodeError, "Expecting property name"),
    ("abc", ValueError, "malformed"), (['{"a": 1}'], ValueError, "malformed"),
])
def test_list_errors(loadable, error, match):
    with pytest.raises(error, match=match):
        dicts.load_dict_from_list(loadable)


def test_list_calls_module_attributes_in_order(monkeypatch):
    calls = []
    monkeypatch.setattr(dicts, "load_dict_from_json_string", lambda e: calls.append(("load", e)) or {"n": e})
    monkeypatch.setattr(dicts, "create_extended_dict",
                        lambda s, d, **k: calls.append(("merge", s, dict(d), k)) or {**d, **s})
    assert dicts.load_dict_from_list("['x', 'y']", unique_keys=0) == {"n": "y"}
    assert calls == [("load", "x"), ("merge", {"n": "x"}, {}, {"rename_keys": 0}),
                     ("load", "y"), ("merge", {"n": "y"}, {"n": "x"}, {"rename_keys": 0})]


def python_yaml_loader(loadable):
    """The loader's guard as Python code, for what it leaves behind."""
    try:
        if isinstance(loadable, str) and os.path.isfile(loadable):
            with open(loadable) as file:
                content = file.read()
        else:
            content = loadable
        return dicts.yaml.safe_load(content)
    except Exception as e:
        dicts.logger.debug(UNABLE)


class FailingRead(str):
    """A file name whose file cannot be read: the `with` block's error path."""


@pytest.mark.parametrize("load", [dicts.load_dict_from_yaml, python_yaml_loader])
@pytest.mark.parametrize("loadable", ["a: [1, 2", "unreadable"])
def test_yaml_leaves_the_handled_exception_as_found(load, loadable, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "unreadable").write_bytes(b"a: \xff\xfe\n")

    def gen():
        load(loadable)
        yield
        yield sys.exception()

    try:
        raise KeyError("outer")
    except KeyError:
        g = gen()
        next(g)
    assert next(g) is None
    assert sys.exception() is None


def test_yaml_handler_sees_the_loading_error_as_python_would(run_python, tmp_path):
    # __exit__ and the logger run while the error is handled: they see it as
    # sys.exception(), and what they raise carries it as its context.
    path = tmp_path / "bad.yaml"
    path.write_bytes(b"a: \xff\xfe\n")
    out = run_python(f"""
        import builtins, sys, types
        real_open = open
        class Closing:
            def __init__(self, *args): self.file = real_open(*args)
            def __enter__(self): return self.file
            def __exit__(self, *exc):
                self.file.close()
                print('exit sees', type(sys.exception()).__name__)
                1 / 0
        builtins.open = Closing
        import tavik.utils.dicts as D
        builtins.open = real_open
        def debug(message):
            e = sys.exception()
            print('logger sees', type(e).__name__, type(e.__context__).__name__,
                  type(e.__context__.__context__).__name__)
        D.logger = types.SimpleNamespace(debug=debug)
        try:
            raise KeyError('outer')
        except KeyError as outer:
            print(D.load_dict_from_yaml({str(path)!r}), sys.exception() is outer)
        D.logger = types.SimpleNamespace(debug=lambda m: 1 / 0)
        try:
            D.load_dict_from_yaml('a: [')
        except ZeroDivisionError as e:
            print('raised', type(e.__context__).__module__.split('.')[0], e.__context__.__context__)
    """)
    assert out.splitlines() == [
        "exit sees UnicodeDecodeError", "logger sees ZeroDivisionError UnicodeDecodeError KeyError", "None True",
        "raised yaml None"]
