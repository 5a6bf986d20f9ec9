"""Several threads calling every function and method on shared objects while
another thread changes them (threads.py, in its own process): no crash, no
failed assertion of the debug interpreter or report of the sanitizers, no
SystemError, no leak (counted on the debug interpreter)."""

import json
import os
import subprocess
import sys

SCRIPT = os.path.join(os.path.dirname(__file__), "threads.py")


def test_threads_on_shared_objects():
    run = subprocess.run([sys.executable, "-X", "faulthandler", SCRIPT, "2"], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-4000:]
    found = json.loads(run.stdout)
    counts = found["counts"]
    assert counts["calls"] > 100, counts
    assert "SystemError" not in counts, counts
    # A reference or block left behind by a path taken a hundred times shows;
    # the rest is the noise of thread start-up.
    assert found["refs"] < 100 and found["blocks"] < 100, found
