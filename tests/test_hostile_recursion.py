"""Input nested a million levels deep, or containing itself, ends every
recursive function in RecursionError, on the main thread and on a thread with
a small stack. They run in an interpreter of their own, so that a native
stack overflow fails the test instead of ending the test run."""

import json

SCRIPT = """
import json, os, sys, threading
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

CALLS = {
    "recursive_update": [lambda x: dicts.recursive_update({}, x),
                         lambda x: dicts.recursive_update(x, x, list_extend=True)],
    "recursive_setdefault": [lambda x: dicts.recursive_setdefault({}, x),
                             lambda x: dicts.recursive_setdefault(x, x)],
    "recursive_cast": [lambda x: dicts.recursive_cast(x, dict)],
    "enforce_max_key_value_length": [lambda x: dicts.enforce_max_key_value_length(x),
                                     lambda x: dicts.enforce_max_key_value_length([x])],
}

def outcomes():
    found = {}
    for function, calls in CALLS.items():
        original = getattr(dicts, function)
        # The second time round, the recursion passes through a Python frame
        # at every level.
        for wrapped in (original, lambda *args, **kwargs: original(*args, **kwargs)):
            setattr(dicts, function, wrapped)
            for i, call in enumerate(calls):
                for name, arg in (("deep", nested), ("loop", loop)):
                    case = f"{function} {name} {i} {'wrapped' if wrapped is not original else 'direct'}"
                    print(case, file=sys.stderr, flush=True)
                    try:
                        call(arg)
                        found[case] = "returned"
                    except BaseException as e:
                        found[case] = type(e).__name__
        setattr(dicts, function, original)
    return found

main = outcomes()
threading.stack_size(256 * 1024)
small = {}
worker = threading.Thread(target=lambda: small.update(outcomes()))
worker.start()
worker.join()
# The module still works after all of that.
assert dicts.recursive_update({"a": {"b": 1}}, {"a": {"c": 2}}) == {"a": {"b": 1, "c": 2}}
print(json.dumps({"main": main, "small stack": small}), flush=True)
os._exit(0)  # a million levels take a while to free, to no purpose here
"""


def test_deep_and_self_containing_input_raise_recursion_error(run_python):
    found = json.loads(run_python(SCRIPT))
    for thread, outcomes in found.items():
        assert len(outcomes) == 28 and set(outcomes.values()) == {"RecursionError"}, (thread, outcomes)
