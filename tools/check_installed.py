"""Installs the wheel in WHEEL_DIR as a user would and runs the examples
from the installed package:

- a fresh virtual environment that sees the system's PyYAML (and mypy),
  the wheel installed into it with pip, the host stand-ins copied beside it
  into site-packages (the host package provides them in real use);
- examples/demo.py, run from a directory outside the work tree, must print
  what it prints against the build tree (BUILD_DIR);
- examples/typed_usage.py runs, and mypy --strict, resolving tavik.utils
  from site-packages, accepts it and rejects misuse that only the stubs
  can see.

    python3.14 tools/check_installed.py WHEEL_DIR BUILD_DIR HOST_DIR VENV_DIR
"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"

# Calls the runtime accepts (or silently mishandles) but the stubs refuse;
# each must come back as an error of the code given, on its line.
MISUSE = {
    "dicts.recursive_update({}, {}, True)": "call-arg",
    "dicts.enforce_max_key_value_length(('a', 'b'))": "arg-type",
    "dicts.load_dict_from_yaml(3)": "arg-type",
    "dicts.load_dict_from_yaml('a: 1')['a']": "index",
    "parser.Tavik_HelpFormatter('p', max_help_position=10)": "call-arg",
    "parser.Tavik_HelpFormatter('p', 2, 80)": "call-arg",
}


def run(cmd, **kwargs):
    out = subprocess.run(cmd, capture_output=True, text=True, **kwargs)
    if out.returncode != 0:
        sys.exit(f"{' '.join(map(str, cmd))} failed ({out.returncode}):\n{out.stdout}{out.stderr}")
    return out.stdout


def clean_env(**extra):
    # Nothing of the build tree may leak in through the environment.
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "MYPY"))}
    return dict(env, **extra)


def main(wheel_dir, build_dir, host_dir, venv_dir):
    wheels = sorted(pathlib.Path(wheel_dir).glob("*.whl"))
    if len(wheels) != 1:
        sys.exit(f"expected one wheel in {wheel_dir}, found {[w.name for w in wheels]}")
    venv = pathlib.Path(venv_dir)
    shutil.rmtree(venv, ignore_errors=True)
    run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", venv])
    python = venv / "bin" / "python"
    # The system's pip, run by the venv's interpreter, installs into the venv;
    # --no-index: the PyYAML dependency must be met by what is visible.
    run([python, "-m", "pip", "install", "--no-index", "--disable-pip-version-check", "-q", wheels[0]],
        env=clean_env())
    site = pathlib.Path(run([python, "-c", "import sysconfig; print(sysconfig.get_path('purelib'))"]).strip())
    shutil.copytree(pathlib.Path(host_dir) / "tavik", site / "tavik", dirs_exist_ok=True,
                    ignore=shutil.ignore_patterns("__pycache__"))

    with tempfile.TemporaryDirectory() as work:
        for name in ("demo.py", "staged_cli.py", "typed_usage.py"):
            shutil.copy(EXAMPLES / name, work)
        where = run([python, "-E", "-s", "-c", textwrap.dedent("""\
            import tavik.configuration, tavik.utils.dicts, tavik.utils.parser
            for m in (tavik.utils.dicts, tavik.utils.parser, tavik.configuration):
                print(m.__file__)""")], cwd=work, env=clean_env())
        for path in where.split():
            if not path.startswith(str(site) + os.sep):
                sys.exit(f"imported {path}, not from {site}")

        installed = run([python, "-E", "-s", "demo.py"], cwd=work, env=clean_env())
        built = run([sys.executable, "demo.py"], cwd=work,
                    env=clean_env(PYTHONPATH=os.pathsep.join([build_dir, host_dir])))
        if installed != built:
            sys.exit(f"the installed demo printed\n{installed}\nthe build tree's\n{built}")
        run([python, "-E", "-s", "typed_usage.py"], cwd=work, env=clean_env())

        # The host's own marker (tavik/py.typed, which its wheel ships) is what
        # lets mypy read stubs inside tavik; this wheel adds none.
        (site / "tavik" / "py.typed").write_text("")
        mypy = [python, "-E", "-s", "-m", "mypy", "--strict", "--no-incremental", "--show-error-codes"]
        run(mypy + ["typed_usage.py"], cwd=work, env=clean_env())
        lines = ["from tavik.utils import dicts, parser"] + list(MISUSE)
        pathlib.Path(work, "misuse.py").write_text("\n".join(lines) + "\n")
        out = subprocess.run(mypy + ["misuse.py"], cwd=work, env=clean_env(), capture_output=True, text=True)
        for number, (line, code) in enumerate(MISUSE.items(), start=2):
            if not any(r.startswith(f"misuse.py:{number}: error:") and r.endswith(f"[{code}]")
                       for r in out.stdout.splitlines()):
                sys.exit(f"mypy did not reject {line!r} with [{code}]:\n{out.stdout}{out.stderr}")
    print(f"{wheels[0].name} installed in {venv}: demo output as from the build tree, "
          f"typed usage runs and passes mypy --strict, {len(MISUSE)} misuses rejected")


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    main(*sys.argv[1:])
