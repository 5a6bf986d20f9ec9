"""Input nested a million levels deep, or containing itself, ends every
recursive function in RecursionError, on the main thread and on a thread with
a small stack. Each function runs in its own interpreter, so a native stack
overflow fails its test instead of ending the test run."""

import json

import pytest

SCRIPT = """
import json, sys, threading
import tavik.utils.dicts as dicts

DEPTH = 10 ** 6

def deep():
    top = level = {}
    for _ in range(DEPTH):
        level["k"] = level = {}
    return top

loop = {}
loop["me"] = loop
nested = deep()
original = getattr(dicts, FUNCTION)

def through_python(*args, **kwargs):
    # Recursion that passes through a Python frame at every level.
    return original(*args, **kwargs)

CALLS = {
    "recursive_update": [lambda x: dicts.recursive_update({}, x),
                         lambda x: dicts.recursive_update(x, x, list_extend=True)],
    "recursive_setdefault": [lambda x: dicts.recursive_setdefault({}, x),
                             lambda x: dicts.recursive_setdefault(x, x)],
    "recursive_cast": [lambda x: dicts.recursive_cast(x, dict)],
    "enforce_max_key_value_length": [lambda x: dicts.enforce_max_key_value_length(x),
                                     lambda x: dicts.enforce_max_key_value_length([x])],
}[FUNCTION]

def outcomes():
    found = {}
    for wrapped in (False, True):
        setattr(dicts, FUNCTION, through_python if wrapped else original)
        for i, call in enumerate(CALLS):
            for name, arg in (("deep", nested), ("loop", loop)):
                try:
                    call(arg)
                    found[f"{name}-{i}-{wrapped}"] = "returned"
                except BaseException as e:
                    found[f"{name}-{i}-{wrapped}"] = type(e).__name__
    setattr(dicts, FUNCTION, original)
    return found

main = outcomes()
threading.stack_size(256 * 1024)
small = {}
worker = threading.Thread(target=lambda: small.update(outcomes()))
worker.start()
worker.join()
# The module still works after all of that.
assert dicts.recursive_update({"a": {"b": 1}}, {"a": {"c": 2}}) == {"a": {"b": 1, "c": 2}}
print(json.dumps({"main": main, "small stack": small}))
"""

FUNCTIONS = ["recursive_update", "recursive_setdefault", "recursive_cast", "enforce_max_key_value_length"]


@pytest.mark.parametrize("function", FUNCTIONS)
def test_deep_and_self_containing_input_raise_recursion_error(run_python, function):
    found = json.loads(run_python(f"FUNCTION = {function!r}\n" + SCRIPT))
    for thread, outcomes in found.items():
        assert outcomes and set(outcomes.values()) == {"RecursionError"}, (thread, outcomes)
