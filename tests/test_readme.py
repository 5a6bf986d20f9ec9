"""The README's pycon blocks, run in order in one namespace as a reader
would type them; every shown result must match exactly, and every public
function and class has an example."""

import doctest
import pathlib
import re
import sys

import tavik.utils.dicts as dicts
import tavik.utils.parser as parser

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^```pycon\n(.*?)^```$", re.S | re.M)


def test_readme_examples(monkeypatch):
    # Help output depends on the terminal width and colour settings.
    monkeypatch.setenv("COLUMNS", "80")
    monkeypatch.setenv("PYTHON_COLORS", "0")
    monkeypatch.setattr(sys, "argv", list(sys.argv))
    text = README.read_text()
    doctests = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    globs = {}
    blocks = list(BLOCK.finditer(text))
    used = " ".join(line for block in blocks for line in block.group(1).splitlines() if " import " not in line)
    public = [name for module in (dicts, parser) for name, obj in vars(module).items()
              if callable(obj) and getattr(obj, "__module__", None) == module.__name__]
    assert len(public) == 13 and [n for n in public if not re.search(rf"\b{n}\b", used)] == []
    for block in blocks:
        lineno = text.count("\n", 0, block.start(1))
        test = doctests.get_doctest(block.group(1), globs, f"README.md:{lineno + 1}", str(README), lineno)
        runner.run(test, clear_globs=False)
        globs = test.globs  # the next block sees what this one defined
    summary = runner.summarize(verbose=False)
    assert summary.failed == 0, f"{summary.failed} of {summary.attempted} README examples failed (above)"
