"""Every allocation a call (or an import) makes, failing in turn, ends it in
MemoryError (or is recovered from), never in SystemError, another exception
or a crash, and leaves the function (or module) working. Each sweep runs in
a process of its own (nomemory.py, nomemory_import.py), so that a crash
fails one test."""

import os
import subprocess
import sys

import pytest

FUNCTIONS = [
    "recursive_update", "recursive_setdefault", "recursive_cast", "set_dict_by_key_path",
    "generate_unique_key_name", "create_extended_dict", "enforce_max_key_value_length",
    "load_dict_from_json_string", "load_dict_from_kv_string", "load_dict_from_yaml", "load_dict_from_list",
    "ArgsPropagationParser.parse_args", "Tavik_HelpFormatter.__init__", "Tavik_HelpFormatter._format_usage",
    "Tavik_HelpFormatter._format_action_invocation",
]

SCRIPT = os.path.join(os.path.dirname(__file__), "nomemory.py")


@pytest.mark.parametrize("function", FUNCTIONS)
def test_allocation_failures_raise_memory_error(function):
    run = subprocess.run([sys.executable, "-X", "faulthandler", SCRIPT, function], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-4000:]
    assert run.stdout == "", run.stdout
    swept = int(run.stderr.rsplit("swept ", 1)[1].split()[0])
    assert swept > 0


@pytest.mark.parametrize("module", ["tavik.utils.dicts", "tavik.utils.parser"])
def test_allocation_failures_while_importing(module):
    script = os.path.join(os.path.dirname(__file__), "nomemory_import.py")
    run = subprocess.run([sys.executable, "-X", "faulthandler", script, module], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr[-4000:]
    assert run.stdout == "", run.stdout
    assert "swept " in run.stderr
