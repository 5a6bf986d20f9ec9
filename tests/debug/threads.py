"""Threads calling every function and method on shared objects while another
thread changes those objects under them; run as a script in its own process:

    python threads.py SECONDS

Prints one JSON object: the calls made, the exceptions they raised by type,
and the growth of the total reference count and of the allocated blocks
over a measured round after warm-up ones, counted with every shared object
gone: the smaller of two such rounds. Exceptions are expected (a dict
changing size while it is walked, a level replaced by a number);
SystemError, a failed assertion of the debug interpreter or a crash are
faults."""

import collections
import collections.abc
import functools
import gc
import json
import random
import re
import sys
import threading
import time

import tavik.utils.dicts as dicts
import tavik.utils.parser as P

WORKERS = 4


class View(collections.abc.MutableMapping):
    """A mapping over a shared dict, iterated through Python code, so that
    threads switch in the middle of a walk."""

    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __setitem__(self, key, value):
        self.data[key] = value

    def __delitem__(self, key):
        del self.data[key]

    def __iter__(self):
        return iter(list(self.data))

    def __len__(self):
        return len(self.data)


def template(rng):
    return {
        "a": {"b": {"c": rng.randrange(100), "d": [1, "x" * rng.randrange(8)]}},
        "%EXTEND_LIST{l}": [rng.randrange(10)],
        "l": [1, 2],
        "o": collections.OrderedDict(p={"q": rng.random()}),
        rng.randrange(5): "v" * rng.randrange(12),
    }


class Shared:
    """Everything the threads share."""

    def __init__(self):
        rng = random.Random(1)
        self.source = template(rng)
        self.target = template(rng)
        self.view = View(template(rng))
        self.many = [template(rng), template(rng)]
        self.keys = ["a", "b", "c"]
        self.parser = P.ArgsPropagationParser(
            prog="prog", color=False, formatter_class=functools.partial(P.Tavik_HelpFormatter, width=40))
        self.parser.add_argument("src")
        self.parser.add_argument("-v", "--verbose", action="store_true")
        self.parser.add_argument("-X", "--xxx", nargs="?", metavar="FILE")
        self.texts = {"json": json.dumps({"a": {"b": [1, 2]}, "c": "d"}), "kv": "a=1 b='x y' c=1,2 a=3",
                      "yaml": "a: 1\nb: [x, y]\n", "list": repr(['{"a": 1}', '{"a": 2}', '{"b": 3}'])}


def calls(s):
    """One call of every function and method, on the shared objects."""
    return [
        lambda: dicts.recursive_update(s.target, s.source, list_extend=True),
        lambda: dicts.recursive_update({}, s.view, list_extend=True),
        lambda: dicts.recursive_update(s.view, s.target),
        lambda: dicts.recursive_setdefault(s.target, s.view),
        lambda: dicts.recursive_setdefault({}, s.source),
        lambda: dicts.recursive_cast(s.source, collections.OrderedDict),
        lambda: dicts.recursive_cast(s.view, dict),
        lambda: dicts.set_dict_by_key_path(s.target, s.keys, 1),
        lambda: dicts.set_dict_by_key_path(s.source, s.keys, 2, append_list=True),
        lambda: dicts.generate_unique_key_name("a", 1, s.target),
        lambda: dicts.create_extended_dict(s.source, s.target),
        lambda: dicts.create_extended_dict(s.view, s.source, False),
        lambda: dicts.enforce_max_key_value_length(s.source, 3, 10),
        lambda: dicts.enforce_max_key_value_length(s.many),
        lambda: dicts.load_dict_from_json_string(s.texts["json"]),
        lambda: dicts.load_dict_from_kv_string(s.texts["kv"], True),
        lambda: dicts.load_dict_from_yaml(s.texts["yaml"]),
        lambda: dicts.load_dict_from_list(s.texts["list"]),
        lambda: s.parser.format_help(),
        lambda: s.parser.parse_args(["s", "-v", "--zzz", "z"]),
        lambda: P.Tavik_HelpFormatter("p", width=30)._format_action_invocation(s.parser._actions[-1]),
    ]


def mutations(s, rng):
    """Changes to the shared objects, each dropping what it replaces."""
    fresh = lambda: template(rng)  # noqa: E731
    return [
        lambda: s.source.clear(),
        lambda: s.source.update(fresh()),
        lambda: s.target.__setitem__("a", rng.choice([5, {"b": 5}, fresh(), [1]])),
        lambda: s.target.pop("l", None),
        lambda: s.target.__setitem__("l", [0]),
        lambda: s.view.data.clear(),
        lambda: setattr(s.view, "data", fresh()),
        lambda: s.many.__setitem__(slice(None), [fresh(), "not a mapping"][: rng.randrange(1, 3)]),
        lambda: s.keys.__setitem__(slice(None), rng.choice([[], ["a"], ["a", "b", "c"], ["l", 1], ["x"] * 5])),
        lambda: s.source.__setitem__("a", s.source),  # a level that contains itself
        lambda: setattr(s, "target", fresh()),
        lambda: setattr(sys, "argv", ["prog", "-v"]),
        lambda: s.parser._actions[-1].__setattr__("metavar", rng.choice([None, "F", ("A",)])),
        # Module attributes, looked up at each use, rebound and deleted.
        lambda: setattr(dicts, "LIST_EXTEND_PATTERN", rng.choice([PATTERN, re.compile("^%EXTEND_LIST{(.)")])),
        lambda: setattr(dicts, "recursive_update", rng.choice([RECURSIVE_UPDATE, wrapped_update])),
        lambda: dicts.__dict__.pop("yaml", None) if rng.random() < 0.5 else setattr(dicts, "yaml", YAML),
    ]


PATTERN, RECURSIVE_UPDATE, YAML = dicts.LIST_EXTEND_PATTERN, dicts.recursive_update, dicts.yaml


def wrapped_update(*args, **kwargs):
    return RECURSIVE_UPDATE(*args, **kwargs)


def restore():
    dicts.LIST_EXTEND_PATTERN, dicts.recursive_update, dicts.yaml = PATTERN, RECURSIVE_UPDATE, YAML


def round_of(seconds):
    shared = Shared()
    stop = threading.Event()
    counts = collections.Counter()
    lock = threading.Lock()

    def work(seed):
        rng = random.Random(seed)
        todo = calls(shared)
        made, raised = 0, collections.Counter()
        while not stop.is_set():
            try:
                rng.choice(todo)()
            except SystemExit:
                raised["SystemExit"] += 1
            except Exception as e:  # noqa: BLE001 - counted by type, judged by the caller
                raised[type(e).__name__] += 1
            made += 1
        with lock:
            counts["calls"] += made
            counts.update(raised)

    def mutate():
        rng = random.Random(0)
        todo = mutations(shared, rng)
        while not stop.is_set():
            rng.choice(todo)()
            time.sleep(0)

    # Small stacks keep the recursion of a level that contains itself short.
    previous = threading.stack_size(256 * 1024)
    threads = [threading.Thread(target=work, args=(i,)) for i in range(WORKERS)]
    threads.append(threading.Thread(target=mutate))
    for t in threads:
        t.start()
    threading.stack_size(previous)
    time.sleep(seconds)
    stop.set()
    for t in threads:
        t.join()
    restore()
    return counts


def totals():
    gc.collect()
    # Only a debug interpreter counts references; elsewhere nothing is compared.
    if not hasattr(sys, "gettotalrefcount"):
        return 0, 0
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def main(seconds):
    sys.setswitchinterval(1e-5)
    argv = sys.argv
    # Warm-up: what calls leave behind once (caches, interned names, lazily
    # made types) settles over a few rounds, while a leak grows with every
    # call of every round and shows in the measured one all the same.
    for _ in range(3):
        round_of(seconds / 2)
    sys.argv = argv
    # Under load a round can still leave a hundred or so behind (a cache
    # filled late); a leak grows in every round, so the smaller growth of
    # two rounds is what counts.
    counts, growth = collections.Counter(), []
    for _ in range(2):
        refs0, blocks0 = totals()
        counts += round_of(seconds)
        sys.argv = argv
        refs1, blocks1 = totals()
        growth.append((refs1 - refs0, blocks1 - blocks0))
    print(json.dumps({"counts": counts, "refs": min(g[0] for g in growth), "blocks": min(g[1] for g in growth),
                      "rounds": growth}))


if __name__ == "__main__":
    main(float(sys.argv[1]))
