"""User code that changes a dict while it is walked: the walk goes on or
stops exactly as `for k, v in d.items()` does, and nothing it is about to
use is freed under it. Run in a fresh process, so that a crash fails the
test; compared with the plain rendering."""

import json

import pytest

SCRIPT = """
import json, sys
import tavik.utils.dicts as native
from plain import dicts as plain


class Key:
    # The first key, once armed, takes itself out of the dict it is walked in
    # when it is hashed (or, for the length check, written out), keeping
    # the size the same; when its last reference goes, it takes the next
    # entry with it, whose value then has no other reference.
    def __init__(self, name, owner=None):
        self.name, self.owner, self.armed = name, owner, False

    def fire(self):
        if self.armed:
            self.armed = False
            del self.owner[self]
            self.owner[Key("c")] = 0

    def __hash__(self):
        self.fire()
        return hash(self.name)

    def __eq__(self, other):
        return isinstance(other, Key) and other.name == self.name

    def __str__(self):
        self.fire()
        return self.name

    def __repr__(self):
        return self.name

    def __del__(self):
        if self.owner is not None:
            owner, self.owner = self.owner, None
            owner.pop(Key("b"), None)


def walked():
    d = {}
    first = Key("a", d)
    d[first] = 1
    d[Key("b")] = ["value", "x" * 10]
    first.armed = True
    del first
    return d


# The target holds an equal key already, so the walked key is not stored
# anywhere else.
CALLS = {
    "recursive_update": lambda m: m.recursive_update({Key("a"): 0}, walked()),
    "recursive_setdefault": lambda m: m.recursive_setdefault({Key("a"): 0}, walked()),
    "create_extended_dict": lambda m: m.create_extended_dict(walked(), {Key("a"): 1}),
    "enforce_max_key_value_length": lambda m: m.enforce_max_key_value_length(walked(), 40, 512),
}

def outcome(module):
    try:
        return ["returned", repr(CALLS[FUNCTION](module))]
    except Exception as e:
        return [type(e).__name__, str(e)]

print(json.dumps([outcome(native), outcome(plain)]))
"""


@pytest.mark.parametrize("function", ["recursive_update", "recursive_setdefault", "create_extended_dict",
                                      "enforce_max_key_value_length"])
def test_entry_taken_out_while_walked(run_python, function):
    tests = __import__("os").path.dirname(__file__)
    code = f"import sys; sys.path.insert(0, {tests!r}); FUNCTION = {function!r}\n" + SCRIPT
    native, plain = json.loads(run_python(code))
    assert native == plain


def test_star_import_pairs_are_out_of_reach_of_the_names(run_python):
    """The names `from argparse import *` binds may run code when hashed;
    that code, rewriting every young list it finds, must not reach what the
    import keeps of the names read so far."""
    out = run_python("""
        import gc, sys, types

        class Name(str):
            def __hash__(self):
                for o in gc.get_objects() if armed else ():
                    if type(o) is list and id(o) not in before and o and type(o[0]) is tuple:
                        o[:] = [b"x"] * len(o)
                return str.__hash__(self)

        fake = types.ModuleType("argparse")
        fake.__all__ = [Name("ArgumentParser"), Name("RawTextHelpFormatter")]
        class ArgumentParser: pass
        class RawTextHelpFormatter:
            def __init__(self, *a, **k): pass
        fake.ArgumentParser, fake.RawTextHelpFormatter = ArgumentParser, RawTextHelpFormatter
        sys.modules["argparse"] = fake
        held = gc.get_objects()
        before, armed = set(map(id, held)), True
        import tavik.utils.parser as P
        armed = False
        print(P.ArgumentParser is ArgumentParser, P.RawTextHelpFormatter is RawTextHelpFormatter)
    """)
    assert out == "True True\n"
