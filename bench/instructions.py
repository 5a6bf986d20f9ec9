"""Instructions per call of the bench cases, counted by valgrind's callgrind:
repeatable where wall-clock times on a shared machine are not.

    tools/env.sh env PYTHONPATH=build/release:host python3.14 bench/instructions.py [-k WORD] [--impl python]

Each case runs in its own process under callgrind, once with the loop and
once without; the difference divided by the loop count is the figure.

--api also shows, per call, what the interpreter's own dict functions that the
steps call cost (inclusive): no implementation of the same steps spends less.
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

# The interpreter's functions the dict steps reach: iteration, storing,
# setdefault, get, new dicts and dict(x). Counted inclusive; none calls another.
API = ["PyDict_Next", "PyDict_SetItem", "PyDict_SetDefaultRef", "PyDict_GetItemRef", "PyDict_New",
       "dict_vectorcall.lto_priv.0"]


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


def count(index, impl, loops, api=False):
    """Instructions of the whole process, and with `api` those of each API
    function (inclusive) by name; without it that dict is empty."""
    out_file = os.path.join(run.OUT, f"callgrind.{os.getpid()}") if api else "/dev/null"
    out = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out_file}", sys.executable,
                          __file__, "--child", str(index), impl, str(loops)],
                         capture_output=True, text=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    found = re.search(r"Collected : (\d+)", out.stderr)
    if out.returncode or not found:
        raise SystemExit(out.stderr[-2000:])
    parts = {}
    if api:
        table = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out_file],
                               capture_output=True, text=True, check=True).stdout
        os.remove(out_file)
        parts = dict.fromkeys(API, 0)
        for line in table.splitlines():
            m = re.match(r"\s*([\d,]+) .*?:(\S+) \[", line)
            if m and m.group(2) in parts:
                parts[m.group(2)] += int(m.group(1).replace(",", ""))
    return int(found.group(1)), parts


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]))
        return
    options = argparse.ArgumentParser()
    options.add_argument("-k", default="", help="only cases whose label holds this text")
    options.add_argument("--impl", default="native", choices=["native", "python", "cython"],
                         help="cython: the build `make bench` left in build/bench")
    options.add_argument("--api", action="store_true", help="also what the interpreter's dict functions cost")
    opts = options.parse_args()
    loops = LOOPS // 10 if opts.api else LOOPS  # annotating takes longer
    for index, (label, _, _) in enumerate(all_cases()):
        if opts.k not in label:
            continue
        total, parts = count(index, opts.impl, loops, opts.api)
        total0, parts0 = count(index, opts.impl, 0, opts.api)
        line = f"{label:58} {(total - total0) / loops:12.0f} Ir/call ({opts.impl})"
        if opts.api:
            api = {name.split(".")[0]: (parts[name] - parts0[name]) / loops for name in API}
            shown = ", ".join(f"{name} {n:.0f}" for name, n in api.items() if n >= 1)
            line += f"; in the interpreter's dict functions {sum(api.values()):.0f}: {shown}"
        print(line, flush=True)


if __name__ == "__main__":
    main()
