"""Instructions per call of the bench cases, counted by valgrind's callgrind:
repeatable where wall-clock times on a shared machine are not.

    tools/env.sh env PYTHONPATH=build/release:host python3.14 bench/instructions.py [-k WORD] [--impl python]

Each case runs in its own process under callgrind, once with the loop and
once without; the difference divided by the loop count is the figure.
"""

import argparse
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import run  # noqa: E402

LOOPS = 20000


def all_cases():
    floors = [(label, stmt, lambda dicts, parser, ns=ns: ns) for label, stmt, ns in run.FLOORS]
    return run.cases() + floors


def child(index, impl, loops):
    label, stmt, setup = all_cases()[index]
    if impl == "native":
        import tavik.utils.dicts as dicts
        import tavik.utils.parser as parser
    elif impl == "python":
        dicts = run.load("plain_dicts", run.rendering("dicts"))
        parser = run.load("plain_parser", run.rendering("parser"))
    else:  # the Cython build that `make bench` left in build/bench
        suffix = run.sysconfig.get_config_var("EXT_SUFFIX")
        dicts = run.load("cy_dicts", os.path.join(run.OUT, "cy_dicts" + suffix))
        parser = run.load("cy_parser", os.path.join(run.OUT, "cy_parser" + suffix))
    ns = setup(dicts, parser)
    loop = "for _ in range(n):\n    " + stmt + "\n"
    exec(loop, dict(ns, n=50))  # warm-up: caches and lazily built objects
    exec(loop, dict(ns, n=loops))


def count(index, impl, loops):
    out = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
                          __file__, "--child", str(index), impl, str(loops)],
                         capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    found = re.search(r"Collected : (\d+)", out.stderr)
    if out.returncode or not found:
        raise SystemExit(out.stderr[-2000:])
    return int(found.group(1))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]))
        return
    options = argparse.ArgumentParser()
    options.add_argument("-k", default="", help="only cases whose label holds this text")
    options.add_argument("--impl", default="native", choices=["native", "python", "cython"],
                         help="cython: the build `make bench` left in build/bench")
    opts = options.parse_args()
    for index, (label, _, _) in enumerate(all_cases()):
        if opts.k not in label:
            continue
        per_call = (count(index, opts.impl, LOOPS) - count(index, opts.impl, 0)) / LOOPS
        print(f"{label:58} {per_call:12.0f} Ir/call ({opts.impl})", flush=True)


if __name__ == "__main__":
    main()
