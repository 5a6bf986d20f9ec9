"""Texts of 10 MB load with memory that grows with the input as it does for
the plain-Python rendering: at most what the rendering needs at its peak,
and ten times the input needs no more than about ten times the memory.
Memory is what tracemalloc sees the call allocate on top of its input, the
result included."""

import gc
import json
import os
import subprocess
import sys
import tracemalloc
from types import SimpleNamespace

import pytest

import tavik.utils.dicts as native
from plain import dicts as plain

MB = 2 ** 20
# 10 MB by default; the run under emulation takes a smaller size, since the
# plain rendering under tracemalloc is what makes it slow there.
LARGE = int(os.environ.get("LARGE_INPUT_MB", "10")) * MB


# Values of a hundred characters or so: enough entries to show how memory
# grows, few enough to keep the test quick.
FILL = "v" * 96


def kv_text(size):
    count = size // len(f"key0000000={FILL},0 ") + 1
    return " ".join(f"key{i:07d}={FILL},{i}" for i in range(count))


def json_text(size):
    count = size // len(f'"key0000000": ["{FILL}", 0], ') + 1
    return json.dumps({f"key{i:07d}": [FILL, i] for i in range(count)})


def list_text(size):
    # Eight objects with the same keys and other values, so that every key
    # after the first object is renamed.
    count = size // 8 // len(f'"key0000000": "{FILL}0", ') + 1
    return repr([json.dumps({f"key{k:07d}": f"{FILL}{e}" for k in range(count)}) for e in range(8)])


LOADERS = {
    "kv": (kv_text, lambda m, text: m.load_dict_from_kv_string(text, True)),
    "json": (json_text, lambda m, text: m.load_dict_from_json_string(text)),
    "list": (list_text, lambda m, text: m.load_dict_from_list(text)),
}


def peak(load, module, text):
    """Bytes allocated at the peak of the call, its input not counted."""
    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        result = load(module, text)
        top = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert result
    return top - base


@pytest.fixture
def fast_split(monkeypatch):
    # shlex reads a character at a time: 10 MB would take most of a minute.
    # The same plain splitter on both sides (the texts hold no quotes) leaves
    # the memory of the loaders themselves to compare.
    for module in (native, plain):
        monkeypatch.setattr(module, "shlex", SimpleNamespace(split=str.split))


@pytest.mark.skipif(hasattr(sys, "gettotalrefcount") or "libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="measures what the release run measures, three to four times slower")
@pytest.mark.parametrize("name", sorted(LOADERS))
def test_large_text_memory(name, fast_split):
    make, load = LOADERS[name]
    small, large = make(LARGE // 10), make(LARGE)
    assert len(large) >= LARGE
    native_large = peak(load, native, large)
    plain_large = peak(load, plain, large)
    native_small = peak(load, native, small)
    assert native_large <= plain_large * 1.05 + 64 * 1024, (native_large, plain_large)
    # Containers grow by doubling, so the ratio may be off by up to two.
    assert native_large <= 20 * native_small, (native_large, native_small)


# A text the native reader would take four bytes a character for, in a
# process left too little address space for that: the reader's tables fail to
# allocate, a C++ exception crosses the module's frames and is caught inside,
# and the load goes the original way (which fails on the '@' and logs).
SHORT_OF_MEMORY = """if True:
    import resource, sys
    import tavik.utils.dicts as dicts
    dicts.load_dict_from_yaml("a: 1")  # the guard's first load, with memory to spare
    text = "@" + "x" * ({size} - 1)
    with open("/proc/self/status") as status:
        used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (used + 3 * {size}, resource.RLIM_INFINITY))
    try:
        bytearray(5 * {size})
    except MemoryError:
        print(dicts.load_dict_from_yaml(text))
    else:
        print("not enforced")  # qemu-user leaves the limit to its host
"""


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the sanitizer's allocator ends the process where malloc would fail")
def test_reader_short_of_memory_goes_the_original_way():
    run = subprocess.run([sys.executable, "-c", SHORT_OF_MEMORY.format(size=LARGE)], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-2000:]
    if run.stdout == "not enforced\n":
        pytest.skip("the address space limit is not enforced here")
    assert run.stdout == "None\n", run.stdout
