"""Hostile conditions whose faults only a checking build shows: the debug
interpreter (python3.14d, `make leaks`), with its reference counts and its
own consistency checks, or the sanitized modules (`make sanitize`), where
AddressSanitizer watches every access. Elsewhere these tests are not
collected."""

import os
import sys

if not hasattr(sys, "gettotalrefcount") and "libasan" not in os.environ.get("LD_PRELOAD", ""):
    collect_ignore_glob = ["test_*.py"]
