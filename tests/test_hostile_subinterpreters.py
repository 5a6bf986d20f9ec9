"""Only one interpreter per process may load the modules: an isolated
sub-interpreter is refused by the interpreter itself, a legacy one by the
modules, and the main interpreter's module keeps working. Each scenario runs
in a fresh process, which nothing has imported the modules into yet."""

import pytest

CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."

PRELUDE = """
import importlib, _interpreters
from concurrent import interpreters

def in_isolated(name):
    interp = interpreters.create()
    try:
        interp.exec(f"import {name}")
    except interpreters.ExecutionFailed as e:
        return e.excinfo.type.__name__, e.excinfo.msg
    finally:
        interp.close()
    return "imported", ""

def in_legacy(name):
    interp = _interpreters.create(_interpreters.new_config("legacy"))
    try:
        failed = _interpreters.exec(interp, f"import {name}")
    finally:
        _interpreters.destroy(interp)
    return (failed.type.__name__, failed.msg) if failed else ("imported", "")

def in_main(name):
    try:
        module = importlib.import_module(name)
    except ImportError as e:
        return "ImportError", str(e)
    if name.endswith("dicts"):
        assert module.recursive_update({"a": {"b": 1}}, {"a": {"c": 2}}) == {"a": {"b": 1, "c": 2}}
        assert module.load_dict_from_list(repr(['{"a": 1}', '{"a": 2}'])) == {"a": 1, "a_1": 2}
    else:
        p = module.ArgsPropagationParser(prog="prog", formatter_class=module.Tavik_HelpFormatter)
        p.add_argument("-a", "--all")
        assert p.format_usage() == "usage: prog [-h] [-a ALL]\\n", p.format_usage()
    return "imported", ""
"""

REFUSED = ("ImportError", "module {} does not support loading in subinterpreters")

# Steps in order, each with the outcome it must have.
SCENARIOS = {
    "isolated first": [("in_isolated", REFUSED), ("in_main", ("imported", "")), ("in_isolated", REFUSED),
                       ("in_main", ("imported", ""))],
    "legacy after main": [("in_main", ("imported", "")), ("in_legacy", ("ImportError", CHANGE)),
                          ("in_legacy", ("ImportError", CHANGE)), ("in_main", ("imported", ""))],
    # The first interpreter to load a module keeps it; the main one is then refused.
    "legacy first": [("in_legacy", ("imported", "")), ("in_main", ("ImportError", CHANGE))],
}


@pytest.mark.parametrize("module", ["tavik.utils.dicts", "tavik.utils.parser"])
@pytest.mark.parametrize("scenario", sorted(SCENARIOS))
def test_one_interpreter_per_process(run_python, module, scenario):
    steps = SCENARIOS[scenario]
    code = PRELUDE + "".join(f"print(repr({step}({module!r})))\n" for step, _ in steps)
    found = run_python(code).splitlines()
    expected = [repr((kind, text.format(module))) for _, (kind, text) in steps]
    assert found == expected
