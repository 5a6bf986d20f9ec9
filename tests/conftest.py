import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python():
    """Runs code in a fresh interpreter (for import-time behaviour) and
    returns what it printed."""

    def run(code, **env):
        out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=dict(os.environ, **env),
                             capture_output=True, text=True)
        assert out.returncode == 0, out.stderr
        return out.stdout

    return run


# The property tests import the plain renderings (tests/plain) and their
# helpers from this directory.
sys.path.insert(0, os.path.dirname(__file__))

import atexit  # noqa: E402
import shutil  # noqa: E402
import tempfile  # noqa: E402

import hypothesis.configuration  # noqa: E402
from hypothesis import HealthCheck, settings  # noqa: E402

# Hypothesis keeps caches under .hypothesis/ in the current directory even
# without an example database. Its home is build/hypothesis instead (ignored
# output), shared by every run of the work tree: its Unicode tables take a
# minute to make under emulation, and the runs on both machines read the same
# ones. Without a build/ (tests run from elsewhere) a temporary home serves.
_build = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build")
if os.path.isdir(_build):
    _home = os.path.join(_build, "hypothesis")
else:
    _home = tempfile.mkdtemp(prefix="tavik-hypothesis-")
    atexit.register(shutil.rmtree, _home, ignore_errors=True)
hypothesis.configuration.set_hypothesis_home_dir(_home)

_QUIET = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much,
          HealthCheck.differing_executors]
# `make check`: a fixed seed per test and a small budget (PROPERTY_EXAMPLES
# per property; the runs under emulation lower it). `make fuzz`: as many
# examples as FUZZ_EXAMPLES, the seed given on the command line. Neither
# writes an example database into the work tree.
settings.register_profile("ci", max_examples=int(os.environ.get("PROPERTY_EXAMPLES", "25")), derandomize=True,
                          database=None, deadline=None, suppress_health_check=_QUIET, print_blob=True)
settings.register_profile("fuzz", max_examples=int(os.environ.get("FUZZ_EXAMPLES", "2000")), derandomize=False,
                          database=None, deadline=None, suppress_health_check=_QUIET, print_blob=True)
settings.load_profile(os.environ.get("PROPERTY_PROFILE", "ci"))
