"""Hostile conditions that need the debug interpreter (python3.14d, `make
leaks`): its reference counts and its own consistency checks are what catch
a fault there. Elsewhere these tests are not collected."""

import sys

if not hasattr(sys, "gettotalrefcount"):
    collect_ignore_glob = ["test_*.py"]

sys.path.insert(0, __import__("os").path.join(__import__("os").path.dirname(__file__), "..", "leaks"))
