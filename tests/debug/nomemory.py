"""Allocation-failure sweep, run as a script in its own process:

    python nomemory.py FUNCTION

For every case of FUNCTION it counts the allocations one call makes, then
makes each of them fail in turn (`_testcapi.set_nomemory`). A call may then
raise MemoryError or succeed (a failure the interpreter recovers from), and
the next call without failures must give the usual outcome again. Anything
else is printed, one line per finding; a crash ends the process.

The debug interpreter has faults of its own on these paths (a failed
`list.append` in the evaluation loop, or the dealloc of an `argparse`
Namespace, abort it), so the Python code the modules call back into is
replaced by builtins doing the same job: the sweep tests the modules, not
PyYAML, shlex or argparse. Cases build their inputs from constants for the
same reason."""

import collections
import collections.abc
import operator
import os
import sys
import tempfile
from types import SimpleNamespace

import _testcapi

import tavik.utils.dicts as dicts
import tavik.utils.parser as P

# Builtins in place of the Python-level callees (see above). eval reads the
# same literals that the loaders' inputs below are written in.
dicts.decode_cli_string = str
dicts.json = SimpleNamespace(loads=eval)
dicts.shlex = SimpleNamespace(split=str.split)
dicts.yaml = SimpleNamespace(safe_load=eval)
dicts.literal_eval = eval
dicts.logger = SimpleNamespace(debug=len)
P.gettext = str


class Items(collections.abc.Mapping):
    """A mapping that is not a dict: reached through items() and get()."""

    def __init__(self, *args, **kwargs):
        self._d = dict(*args, **kwargs)

    def __getitem__(self, key):
        return self._d[key]

    def __iter__(self):
        return iter(self._d)

    def __len__(self):
        return len(self._d)

    def __repr__(self):
        return f"Items({self._d!r})"


def yaml_file():
    handle, name = tempfile.mkstemp(suffix=".yaml")
    os.write(handle, b"{'a': 1, 'b': ['x', 'y']}\n")
    os.close(handle)
    return name


YAML_FILE = yaml_file()
PATH = collections.UserList("abc")  # neither list nor tuple: sliced by its own type


def stage(result):
    """A parser whose parse_known_args returns `result`."""
    parser = P.ArgsPropagationParser(prog="prog")
    parser.parse_known_args = lambda args, namespace: result
    return parser


def staged(parser, argv):
    sys.argv = list(argv)
    return parser.parse_args(), sys.argv


STAGES = [stage((SimpleNamespace(a=1), ["--other", "x"])), stage([SimpleNamespace(a=1), ["u"]]),
          stage((1, [], 3)), stage((1,))]


TEXT = operator.attrgetter("text")


class Fixed(P.Tavik_HelpFormatter):
    """Usage parts from constants, so that only the native layout runs."""

    def _format_actions_usage(self, actions, groups):
        return " ".join(map(TEXT, actions))

    def _get_actions_usage_parts(self, actions, groups):
        return list(map(TEXT, actions)), len(actions)


def usage_actions(*texts):
    return [SimpleNamespace(text=t, option_strings=[t] if t.startswith("[") else []) for t in texts]


LONG_USAGE = usage_actions("src", "[-h]", "[--long LONG]", "dst", "[-v]")
FORMATTERS = [Fixed("a_rather_long_prog", width=20, color=False), Fixed("prog", width=22, color=False),
              Fixed("", width=10, color=False)]
ACTIONS = [SimpleNamespace(dest="d", option_strings=["-a", "--all"], nargs=None, metavar=None, choices=None),
           SimpleNamespace(dest="d", option_strings=["-a", "--all"], nargs=0, metavar=None, choices=None),
           SimpleNamespace(dest="d", option_strings=[], nargs=None, metavar=None, choices=None),
           SimpleNamespace(dest="d", option_strings=[], nargs=None, metavar=("A", "B"), choices=None)]

CASES = {
    "recursive_update": [
        lambda: dicts.recursive_update({"x": {"y": 1}, "l": [0]},
                                       {"x": {"z": [1]}, "%EXTEND_LIST{ l }": [1], "n": {"o": {}}, 5: [2]},
                                       list_extend=True),
        lambda: dicts.recursive_update({}, collections.OrderedDict(a=Items(b=collections.OrderedDict(c=1)))),
        lambda: dicts.recursive_update(Items(), {"a": 1}),
    ],
    "recursive_setdefault": [
        lambda: dicts.recursive_setdefault({"x": {"y": 1}}, {"x": {"y": 2, "z": {"w": 3}}, "l": [1]}),
        lambda: dicts.recursive_setdefault({}, Items(a=Items(b=1))),
    ],
    "recursive_cast": [
        lambda: dicts.recursive_cast({"a": {"b": {"c": 1}}, "l": [{}]}, collections.OrderedDict),
        lambda: dicts.recursive_cast(Items(a=Items(b=1)), dict),
    ],
    "set_dict_by_key_path": [
        lambda: (lambda d: (dicts.set_dict_by_key_path(d, ["a", "b", "c"], 1), d))({"a": {}}),
        lambda: (lambda d: (dicts.set_dict_by_key_path(d, ("a", "b"), 2, append_list=True), d))({"a": {"b": [1]}}),
        lambda: (lambda d: (dicts.set_dict_by_key_path(d, PATH, 3, append_list=True), d))({}),
        lambda: dicts.set_dict_by_key_path({"a": (1,)}, ["a"], 2, append_list=True),
        lambda: dicts.set_dict_by_key_path({}, 5, 1),
    ],
    "generate_unique_key_name": [
        lambda: dicts.generate_unique_key_name("a", 1, {"a": 0, "a_1": 2, "a_2": 3}),
        lambda: dicts.generate_unique_key_name(12345678901234567890, 1, {"12345678901234567890_1": 1}, True),
    ],
    "create_extended_dict": [
        lambda: dicts.create_extended_dict({"a": 2, "a_1": 3, "b": 1}, {"a": 1}),
        lambda: dicts.create_extended_dict(Items(a=2), {"a": 1}, rename_keys=False),
        lambda: dicts.create_extended_dict({"a": 1}),
    ],
    "enforce_max_key_value_length": [
        lambda: dicts.enforce_max_key_value_length({"a": {"b": ["c", {"d": 1}]}, "e": (1, 2)}),
        lambda: dicts.enforce_max_key_value_length([{"a": 1}, Items(b=Items(c=2))], 2 ** 70, 10),
        lambda: dicts.enforce_max_key_value_length({"a": {"bbbb": 1}}, 3),
        lambda: dicts.enforce_max_key_value_length({"a": "x" * 20}, 3, 5),
        lambda: dicts.enforce_max_key_value_length((1, 2)),
    ],
    "load_dict_from_json_string": [
        lambda: dicts.load_dict_from_json_string("{'a': 1, 'b': {'c': [1, 2]}}"),
        lambda: dicts.load_dict_from_json_string("[1, 2]"),
    ],
    "load_dict_from_kv_string": [
        lambda: dicts.load_dict_from_kv_string("a=1 b=x=y a=2 c=1,2", True),
        lambda: dicts.load_dict_from_kv_string("a=1 b"),
    ],
    "load_dict_from_yaml": [
        lambda: dicts.load_dict_from_yaml(YAML_FILE),
        lambda: dicts.load_dict_from_yaml("{'a': 1, 'b': ['x', 'y']}"),
        lambda: dicts.load_dict_from_yaml("{'a': [1, 2"),
    ],
    "load_dict_from_list": [
        lambda: dicts.load_dict_from_list(repr(["{'a': 1}", "{'a': 2}", "{'a': 2, 'b': 3}"])),
        lambda: dicts.load_dict_from_list(repr(("{'a': 1}", "{'a': 2}")), False),
        lambda: dicts.load_dict_from_list(repr(["{'a': 1}", "[1]"])),
    ],
    "ArgsPropagationParser.parse_args": [
        lambda: staged(STAGES[0], ["prog", "-a", "1"]),
        lambda: staged(STAGES[1], []),
        lambda: staged(STAGES[2], ["prog"]),
        lambda: staged(STAGES[3], ["prog"]),
    ],
    "Tavik_HelpFormatter.__init__": [
        lambda: vars(P.Tavik_HelpFormatter("p", width=80, color=False))["_max_help_position"],
        lambda: P.Tavik_HelpFormatter("p", 2, 10),
        lambda: P.Tavik_HelpFormatter("p", max_help_position=3),
    ],
    "Tavik_HelpFormatter._format_usage": [
        lambda: FORMATTERS[0]._format_usage(None, LONG_USAGE, [], ""),
        lambda: FORMATTERS[1]._format_usage(None, LONG_USAGE, [], None),
        lambda: FORMATTERS[2]._format_usage(None, LONG_USAGE[:1], [], None),
        lambda: FORMATTERS[1]._format_usage("%(prog)s x", [], [], None),
        lambda: FORMATTERS[1]._format_usage("%(prog)s %", [], [], None),
    ],
    "Tavik_HelpFormatter._format_action_invocation": [
        lambda: tuple(map(FORMATTERS[1]._format_action_invocation, ACTIONS[:3])),
        lambda: FORMATTERS[1]._format_action_invocation(ACTIONS[3]),
    ],
}


def outcome(case):
    try:
        return "returned", repr(case())
    except BaseException as e:  # noqa: BLE001 - the outcome is what is compared
        return type(e).__name__, str(e)


def fails_from(case, start):
    """Outcome of the case with every allocation from `start` on failing."""
    try:
        _testcapi.set_nomemory(start, 0)
        try:
            case()
        finally:
            _testcapi.remove_mem_hooks()
    except MemoryError:
        return False
    except BaseException:  # noqa: BLE001 - any other outcome counts as reached
        return True
    return True


def allocations(case):
    """How many allocations a call makes: the lowest start from which
    failing every allocation no longer ends the call in MemoryError."""
    low, high = 0, 64
    while not fails_from(case, high):
        low, high = high, high * 2
    while low < high:
        middle = (low + high) // 2
        if fails_from(case, middle):
            high = middle
        else:
            low = middle + 1
    return low


def sweep(name, case):
    usual = outcome(case)
    # Both the result after a failure and the result after recovering may
    # legitimately be a logged None for the YAML loader, which catches
    # every Exception.
    tolerated = {("returned", "None")} if name == "load_dict_from_yaml" else set()
    for _ in range(3):
        outcome(case)  # warm-up: caches and lazily made objects
    count = allocations(case)
    findings = []
    for index in range(count + 8):
        try:
            _testcapi.set_nomemory(index, index + 1)
            try:
                result = case()
            finally:
                _testcapi.remove_mem_hooks()
            got = ("returned", repr(result))
        except MemoryError:
            got = None
        except BaseException as e:  # noqa: BLE001
            got = (type(e).__name__, str(e))
        if got is not None and got != usual and got not in tolerated:
            findings.append(f"{name}: allocation {index} failing gives {got!r}, not MemoryError or {usual!r}")
        after = outcome(case)
        if after != usual:
            findings.append(f"{name}: after allocation {index} failed, a call gives {after!r}, not {usual!r}")
    return count, findings


def main(function):
    total = 0
    for number, case in enumerate(CASES[function]):
        print(f"case {number}", file=sys.stderr, flush=True)
        count, findings = sweep(function, case)
        total += count
        for finding in findings:
            print(f"case {number}: {finding}")
    print(f"swept {total} allocations", file=sys.stderr)


if __name__ == "__main__":
    try:
        main(sys.argv[1])
    finally:
        os.unlink(YAML_FILE)
