"""The k=v loader written out over the real shlex.split, for the tests that
compare the native splitter with it; kept apart from the test module so that
the fresh interpreters of those tests need not import pytest and hypothesis."""

import shlex


def expected(text, process_values=False):
    """The loader written out over the real shlex.split."""
    kv_dict = {}
    for kv in shlex.split(text):
        parts = kv.split("=", maxsplit=1)
        if len(parts) < 2:
            raise ValueError("need more than 1 value to unpack")
        key, value = parts
        if process_values and "," in value:
            value = value.split(",")
        kv_dict.update({key: value})
    return kv_dict


def outcome(f, *args):
    try:
        return "result", f(*args)
    except Exception as e:
        return type(e).__name__, str(e)
