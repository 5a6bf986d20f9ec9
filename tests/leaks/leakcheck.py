"""Counts references and memory blocks around repeated calls (debug interpreter)."""

import gc
import sys


def _run(case, times):
    for _ in range(times):
        try:
            case()
        except BaseException:
            # Error paths are part of what is measured; the traceback must
            # not keep frames alive between rounds.
            pass
    sys.exc_info()


def _counts():
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def assert_no_leak(case, times=200, rounds=4):
    """Calls `case` `times` times per round; after warm-up, the reference and
    block counts must not grow with the number of calls."""
    _run(case, times)  # warm-up: caches, interned names, lazily built types
    growth = []
    for _ in range(rounds):
        refs0, blocks0 = _counts()
        _run(case, times)
        refs1, blocks1 = _counts()
        growth.append((refs1 - refs0, blocks1 - blocks0))
    # A leak of even one reference per call shows in every round; a stray
    # object made once (a cache filling up) does not.
    leaking = [g for g in growth if g[0] >= times or g[1] >= times]
    assert len(leaking) < rounds, f"{case!r} grows per call: {growth}"
