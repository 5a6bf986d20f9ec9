"""Allocation failures while a module is created and its body runs; run as
a script in its own process:

    python nomemory_import.py MODULE

A module is loaded once per process, so each failing allocation is tried in
a forked child: it creates and executes the module (the two steps of the
import that are the module's own) with that allocation failing, which must
end in MemoryError or succeed; either way a second attempt without failures
must give a working module. Findings are printed, one a line.

What the module body imports is imported first, and its pattern compiled,
so that the allocations swept are those of the module and not those of the
Python code of importlib, PyYAML or re (the debug interpreter aborts on some
failures in such code, see nomemory.py)."""

import argparse  # noqa: F401 - imported by the parser's body
import ast  # noqa: F401
import collections.abc  # noqa: F401
import gettext  # noqa: F401
import importlib.util
import json  # noqa: F401
import logging
import os
import re
import shlex  # noqa: F401
import sys

import _imp
import _testcapi
import yaml  # noqa: F401

import tavik.configuration  # noqa: F401
import tavik.utils.strings  # noqa: F401

NAME = sys.argv[1]
logging.getLogger(NAME)
re.compile("^%EXTEND_LIST{ *(.+?) *}$")
SPEC = importlib.util.find_spec(NAME)


def load():
    module = _imp.create_dynamic(SPEC)
    _imp.exec_dynamic(module)
    return module


def works(module):
    if NAME.endswith("dicts"):
        return module.recursive_update({"a": {"b": 1}}, {"a": {"c": 2}}) == {"a": {"b": 1, "c": 2}}
    parser = module.ArgsPropagationParser(prog="prog", formatter_class=module.Tavik_HelpFormatter)
    return parser.format_usage() == "usage: prog [-h]\n"


def child(start, stop):
    """Exit status 0: as it should be; 2: MemoryError reached no allocation
    (for the count); anything else with a message: a finding."""
    try:
        _testcapi.set_nomemory(start, stop)
        try:
            load()
        finally:
            _testcapi.remove_mem_hooks()
        failed = False
    except MemoryError:
        failed = True
    except BaseException as e:  # noqa: BLE001
        print(f"allocation {start} failing gives {type(e).__name__}: {e}", flush=True)
        os._exit(1)
    if stop == 0 and not failed:
        os._exit(2)
    sys.modules.pop(NAME, None)
    try:
        ok = works(load())
    except BaseException as e:  # noqa: BLE001
        print(f"after allocation {start} failed, importing gives {type(e).__name__}: {e}", flush=True)
        os._exit(1)
    if not ok:
        print(f"after allocation {start} failed, the module does not work", flush=True)
        os._exit(1)
    os._exit(0)


def run(start, stop):
    sys.stdout.flush()
    pid = os.fork()
    if pid == 0:
        child(start, stop)
    _, status = os.waitpid(pid, 0)
    return os.waitstatus_to_exitcode(status)


def allocations():
    """The lowest start from which failing every allocation lets the load
    succeed: the number of allocations it makes."""
    low, high = 0, 256
    while run(high, 0) != 2:
        low, high = high, high * 2
    while low < high:
        middle = (low + high) // 2
        if run(middle, 0) == 2:
            high = middle
        else:
            low = middle + 1
    return low


def main():
    count = allocations()
    # Every one of the first allocations, then an even spread over the rest.
    indices = sorted(set(range(min(count, 200))) | set(range(200, count + 8, max(1, count // 200))))
    for index in indices:
        status = run(index, index + 1)
        if status < 0:
            print(f"allocation {index} failing ends the process with signal {-status}", flush=True)
        elif status not in (0, 2):
            pass  # the child printed its finding
    print(f"swept {len(indices)} of {count} allocations", file=sys.stderr)


if __name__ == "__main__":
    main()
