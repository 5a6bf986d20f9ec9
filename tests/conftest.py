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
