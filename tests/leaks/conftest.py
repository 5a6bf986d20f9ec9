"""Reference-leak checks: they count references, which only a debug
interpreter (python3.14d, `make test`) can do. Elsewhere they are not
collected, so a plain `pytest tests` stays green."""

import sys

if not hasattr(sys, "gettotalrefcount"):
    collect_ignore_glob = ["test_*.py"]

# leakcheck.py sits beside the tests that use it.
sys.path.insert(0, __import__("os").path.dirname(__file__))
