"""`make bench`: times the native modules against the plain-Python rendering
of the same functions, and that rendering compiled with Cython, side by side
in one process. Prints a table of medians and ratios and writes it to
build/bench/results.json.

    tools/env.sh env PYTHONPATH=build/release:host python3.14 bench/run.py [--runs N] [--quick] [--before DIR]

--before times another build of the modules alongside (e.g. one of an older
commit, configured with cmake into DIR).
"""

import argparse
import ast
import functools
import importlib.util
import json
import logging
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import timeit
import types

import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
OUT = os.path.join(ROOT, "build", "bench")
# The renderings share tests/plain/unpacking.py, imported as plain.unpacking.
sys.path.insert(0, os.path.join(ROOT, "tests"))


# ---- the three implementations ----------------------------------------------

def rendering(name):
    """The plain-Python rendering of module `name` ("dicts" or "parser"), the
    one the differential tests compare the native modules with."""
    return os.path.join(ROOT, "tests", "plain", name + ".py")


def load(module_name, path):
    spec = importlib.util.spec_from_file_location(module_name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def cythonize(module_name, source):
    """Compiles `source` with cython3 into build/bench (never the source tree)
    and imports it as `module_name`."""
    os.makedirs(OUT, exist_ok=True)
    py = os.path.join(OUT, module_name + ".py")
    c = os.path.join(OUT, module_name + ".c")
    so = os.path.join(OUT, module_name + sysconfig.get_config_var("EXT_SUFFIX"))
    shutil.copyfile(source, py)
    subprocess.run(["cython3", "-3", "--module-name", module_name, "-o", c, py], check=True)
    include = sysconfig.get_paths()["include"]
    subprocess.run(["gcc", "-O2", "-shared", "-fPIC", "-w", "-I" + include, c, "-o", so], check=True)
    return load(module_name, so)


def implementations(before=None):
    import tavik.utils.dicts as native_dicts
    import tavik.utils.parser as native_parser
    impls = {
        "native": (native_dicts, native_parser),
        "python": (load("plain_dicts", rendering("dicts")), load("plain_parser", rendering("parser"))),
        "cython": (cythonize("cy_dicts", rendering("dicts")), cythonize("cy_parser", rendering("parser"))),
    }
    if before:
        # Another build of the modules (e.g. an older commit), loaded under
        # other names so that both live in this process.
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        impls["before"] = tuple(load("before." + name, os.path.join(before, "tavik", "utils", name + suffix))
                                for name in ("dicts", "parser"))
    return impls


# ---- inputs -------------------------------------------------------------------

def nested(width, depth, leaf=lambda i: i):
    if depth == 0:
        return {f"k{i}": leaf(i) for i in range(width)}
    return {f"n{i}": nested(width, depth - 1, leaf) for i in range(width)}


FLAT_BASE = {f"old{i}": i for i in range(100)}
FLAT_NEW = {f"new{i}": i for i in range(100)}
NESTED = nested(10, 1)
STRINGS = nested(10, 1, leaf=lambda i: f"value number {i}")
SOURCE_50 = {f"key{i}": i for i in range(50)}
DEST_HALF = {f"key{i}": -i - 1 for i in range(0, 50, 2)}
KV_TEXT = " ".join([f"k{i}=v{i}" for i in range(18)]
                   + ["path='/tmp/a b'", 'msg="say \\"hi\\""', "list=1,2,3"])
JSON_TEXT = json.dumps({"a": 1, "b": {"c": [1, 2]}, "d": "text"})
LIST_TEXT = repr([json.dumps({f"k{i % 5}": i}) for i in range(10)])
YAML_TEXT = "a: 1\nb: [x, y]\n"


def yaml_configuration(services=6):
    """A service configuration as hosts keep them: per service nested
    mappings four levels deep, lists of mixed scalars, quoted and plain
    strings, numbers, booleans and nulls, comments."""
    lines = ["# services of the deployment", "version: 3", "region: eu-west-1", ""]
    for s in range(services):
        lines += [f"service_{s}:", f'  image: "registry.example.com/team/service-{s}:1.{s}.0"',
                  f"  replicas: {s + 1}", "  enabled: true", "  owner: 'platform team'", "  notes: ~", "  labels:"]
        lines += [f"  - {v}" for v in (f"tier-{s}", s * 7, "on", 0.25, "null", f'"quoted {s}"')]
        for g in range(3):
            lines += [f"  group_{g}:", f"    name: group {g} of service {s}", f"    weight: {0.5 + g}",
                      f"    active: {'yes' if g % 2 else 'no'}"]
            for h in range(2):
                lines += [f"    section_{h}:  # level three", f"      limit: {100 * h + g}",
                          f'      label: "s{s}-g{g}-h{h}"', "      fallback: null", "      ports:",
                          f"      - {8000 + h}", f"      - 'tcp/{9000 + g}'", "      - true", "      - 1.5e+3",
                          "      deep:"] + [f"        key_{k}: value {k}" for k in range(5)]
    return "\n".join(lines) + "\n"


YAML_CONFIG = yaml_configuration()

LISTS = {f"k{i}": [i] for i in range(100)}
LIST_LEAVES = nested(10, 1, leaf=lambda j: {"v": j, "w": [j]})
MARKERS = {f"%EXTEND_LIST{{ tags_{i} }}": [i, f"t{i}"] for i in range(20)}


def leaf_override(config, every=10):
    """Every tenth leaf of `config` (in document order) with a new value, at
    its place in the tree: what a host merges over its defaults."""
    count = 0

    def walk(level):
        nonlocal count
        out = {}
        for k, v in level.items():
            if isinstance(v, dict):
                sub = walk(v)
                if sub:
                    out[k] = sub
                continue
            if count % every == 0:
                out[k] = [v, "override"] if isinstance(v, list) else f"override {v}"
            count += 1
        return out

    return walk(config)


CONFIG_LOADED = yaml.safe_load(YAML_CONFIG)
YAML_SMALL = "name: billing\nreplicas: 2\nenabled: yes\nregion: 'eu-west-1'\ntimeout: 2.5\n"


def build_parser(impl, parser_class=None, width=80):
    parser_class = parser_class or impl.ArgsPropagationParser
    formatter = functools.partial(impl.Tavik_HelpFormatter, width=width)
    p = parser_class(prog="stagetool", color=False, formatter_class=formatter)
    p.add_argument("-v", "--verbose", action="store_true", help="say more")
    p.add_argument("source", help="input file")
    p.add_argument("-c", "--config", metavar="FILE", help="settings file")
    p.add_argument("target", help="output directory")
    p.add_argument("-o", "--output", nargs="?", metavar="PATH", help="also write a report")
    p.add_argument("--level", choices=["low", "high"], help="detail")
    p.add_argument("-j", "--jobs", type=int, metavar="N", help="worker count")
    p.add_argument("extra", nargs="?", help="optional extra input")
    p.add_argument("--include", nargs="*", metavar="PATTERN", help="files to take")
    group = p.add_mutually_exclusive_group()
    group.add_argument("--json", action="store_true", help="JSON output")
    group.add_argument("--yaml", action="store_true", help="YAML output")
    p.add_argument("--configuration-location", metavar="DIR", help="where settings live")
    return p


def two_stages(impl):
    first = impl.ArgsPropagationParser(prog="stagetool", add_help=False)
    first.add_argument("-v", "--verbose", action="store_true")
    first.add_argument("-c", "--config")
    second = impl.ArgsPropagationParser(prog="stagetool", add_help=False)
    second.add_argument("source")
    second.add_argument("-j", "--jobs", type=int)
    second.add_argument("--include", nargs="*")
    return first, second


ARGV = ["stagetool", "-v", "src", "-c", "cfg.yaml", "-j", "4", "--include", "a", "b", "--later", "x"]


def run_stages(sys_module, first, second):
    sys_module.argv = list(ARGV)
    first.parse_args()
    return second.parse_args()


# case: (label, statement, setup(dicts, parser) -> namespace)
def cases():
    def d(**extra):
        return lambda dicts, parser: dict(dicts=dicts, **extra)

    return [
        ("recursive_update, 100 new flat keys into a 100-key dict", "dicts.recursive_update(base.copy(), new)",
         d(base=FLAT_BASE, new=FLAT_NEW)),
        ("recursive_update, 10x10 nested into {}", "dicts.recursive_update({}, b)", d(b=NESTED)),
        ("recursive_update, 100 one-element list values into {}", "dicts.recursive_update({}, b)", d(b=LISTS)),
        ("recursive_update, 10x10 nested, leaves {v: j, w: [j]}", "dicts.recursive_update({}, b)",
         d(b=LIST_LEAVES)),
        ("recursive_update, 20 %EXTEND_LIST markers, list_extend", "dicts.recursive_update({}, b, list_extend=True)",
         d(b=MARKERS)),
        (f"recursive_update, {YAML_CONFIG.count(chr(10))}-line configuration, then a tenth of its leaves",
         "dicts.recursive_update(dicts.recursive_update({}, config), override)",
         d(config=CONFIG_LOADED, override=leaf_override(CONFIG_LOADED))),
        ("recursive_setdefault, 10x10 nested into {}", "dicts.recursive_setdefault({}, b)", d(b=NESTED)),
        ("recursive_cast, 10x10 nested", "dicts.recursive_cast(b, dict)", d(b=NESTED)),
        ("set_dict_by_key_path, 3 keys", "dicts.set_dict_by_key_path(t, keys, 1)",
         d(t={}, keys=["a", "b", "c"])),
        ("create_extended_dict, 50 keys, half colliding", "dicts.create_extended_dict(src, dest)",
         d(src=SOURCE_50, dest=DEST_HALF)),
        ("enforce_max_key_value_length, 10x10 strings", "dicts.enforce_max_key_value_length(b)", d(b=STRINGS)),
        ("load_dict_from_kv_string, 21 pairs", "dicts.load_dict_from_kv_string(text, True)", d(text=KV_TEXT)),
        ("load_dict_from_json_string", "dicts.load_dict_from_json_string(text)", d(text=JSON_TEXT)),
        ("load_dict_from_list, 10 elements", "dicts.load_dict_from_list(text)", d(text=LIST_TEXT)),
        ("load_dict_from_yaml, text", "dicts.load_dict_from_yaml(text)", d(text=YAML_TEXT)),
        ("load_dict_from_yaml, 5-line text", "dicts.load_dict_from_yaml(text)", d(text=YAML_SMALL)),
        (f"load_dict_from_yaml, {YAML_CONFIG.count(chr(10))}-line configuration", "dicts.load_dict_from_yaml(text)",
         d(text=YAML_CONFIG)),
        ("recursive_update(1, 2)", "f(1, 2)", lambda dicts, parser: dict(f=dicts.recursive_update)),
        ("set_dict_by_key_path({}, [], 1)", "f({}, [], 1)", lambda dicts, parser: dict(f=dicts.set_dict_by_key_path)),
        ("parser: format_help, 12 arguments", "p.format_help()",
         lambda dicts, parser: dict(p=build_parser(parser))),
        ("parser: format_help, 12 arguments, width 40", "p.format_help()",
         lambda dicts, parser: dict(p=build_parser(parser, width=40))),
        ("parser: two-stage parse_args", "run(sys, a, b)",
         lambda dicts, parser: dict(run=run_stages, sys=sys, a=two_stages(parser)[0], b=two_stages(parser)[1])),
    ]


# Floors: the same work done by the interpreter's own C code.
FLOORS = [
    ("floor: base.copy()", "base.copy()", dict(base=FLAT_BASE)),
    ("floor: base.copy().update(new)", "base.copy().update(new)", dict(base=FLAT_BASE, new=FLAT_NEW)),
    ("floor: max(1, 2)", "max(1, 2)", {}),
    ("floor: {}", "{}", {}),
]


# ---- timing -------------------------------------------------------------------

class Timer:
    """Median time per call of several statements, their runs interleaved so
    that load from elsewhere on the machine falls on all of them alike."""

    def __init__(self, runs, target, stat=statistics.median):
        self.runs = runs
        self.target = target  # seconds per run
        self.stat = stat

    def calibrated(self, stmt, namespace):
        timer = timeit.Timer(stmt, globals=dict(namespace))
        number = 1
        while True:  # calibration doubles as the warm-up
            t = timer.timeit(number)
            if t >= self.target / 4 or number > 10**7:
                break
            number *= 4
        number = max(1, int(number * self.target / max(t, 1e-9)))
        timer.timeit(number)
        return timer, number

    def group(self, *statements):
        """statements: (stmt, namespace) pairs, or (stmt, namespace, context)
        where `context` is entered around each of its runs."""
        prepared = []
        for entry in statements:
            stmt, ns, context = (entry + (None,))[:3]
            with context or _nothing():
                prepared.append((*self.calibrated(stmt, ns), context))
        samples = [[] for _ in prepared]
        for _ in range(self.runs):
            for (timer, number, context), out in zip(prepared, samples):
                with context or _nothing():
                    out.append(timer.timeit(number) / number * 1e6)
        return [self.stat(s) for s in samples]

    def __call__(self, stmt, namespace):
        return self.group((stmt, namespace))[0]


class _nothing:
    def __enter__(self):
        pass

    def __exit__(self, *exc):
        pass


class patched:
    """Rebinds module attributes for the duration of a measurement."""

    def __init__(self, module, **names):
        self.module, self.names, self.saved = module, names, {}

    def __enter__(self):
        for name, value in self.names.items():
            self.saved[name] = getattr(self.module, name)
            setattr(self.module, name, value)

    def __exit__(self, *exc):
        for name, value in self.saved.items():
            setattr(self.module, name, value)


def own_time_cases(dicts, time):
    """Time outside the calls a goal excludes: the same call with those
    callees replaced by C callables that return the precomputed answer (their
    own small cost stays in, so these are upper bounds)."""
    quiet = types.SimpleNamespace(debug=len)
    loaded = json.loads(JSON_TEXT)
    texts = ast.literal_eval(LIST_TEXT)
    answers = {t: json.loads(t) for t in texts}
    parsed = dicts.load_dict_from_yaml(YAML_TEXT)
    plan = {
        "create_extended_dict": ("dicts.create_extended_dict(src, dest)", dict(logger=quiet)),
        "generate_unique_key_name": ("dicts.generate_unique_key_name('a', 1, one)", dict(logger=quiet)),
        "load_dict_from_json_string": ("dicts.load_dict_from_json_string(json_text)", dict(
            decode_cli_string=str, json=types.SimpleNamespace(loads={JSON_TEXT: loaded}.__getitem__))),
        "load_dict_from_kv_string": ("dicts.load_dict_from_kv_string(kv_text, True)", dict(decode_cli_string=str)),
        "load_dict_from_yaml": ("dicts.load_dict_from_yaml(yaml_text)", dict(
            yaml=types.SimpleNamespace(safe_load={YAML_TEXT: parsed}.__getitem__))),
        "load_dict_from_list": ("dicts.load_dict_from_list(list_text)", dict(
            literal_eval={LIST_TEXT: texts}.__getitem__, decode_cli_string=str,
            json=types.SimpleNamespace(loads=answers.__getitem__), logger=quiet)),
    }
    ns = dict(dicts=dicts, src=SOURCE_50, dest=DEST_HALF, one={"a": 0}, json_text=JSON_TEXT, kv_text=KV_TEXT,
              yaml_text=YAML_TEXT, list_text=LIST_TEXT)
    results = {}
    for name, (stmt, stubs) in plan.items():
        total, own = time.group((stmt, ns), (stmt, ns, patched(dicts, **stubs)))
        results[name] = (own, total)
    return results


# ---- import time ----------------------------------------------------------------

# What both renderings import, loaded before the clock starts: only the
# modules' own work is timed. plain.unpacking is the plain rendering's own
# helper, but preloading it keeps the comparison on the two modules' bodies.
PRELOAD = ("re", "os", "sys", "json", "yaml", "shlex", "logging", "ast", "collections.abc", "gettext", "argparse",
           "operator", "tavik.configuration", "tavik.utils.strings")
IMPORT_SAMPLE = """\
import sys, time
sys.path.insert(0, {tests!r})
import {preload}
start = time.perf_counter_ns()
{statements}
print((time.perf_counter_ns() - start) / 1e3)
"""


# What any rendering's import runs whatever its language: the module-level
# values the modules define (a compiled pattern, a logger, two configured
# limits, argparse's public names) and two subclasses of argparse's classes.
IMPORT_FLOOR = """\
logging.getLogger("tavik.utils.dicts")
re.compile("^%EXTEND_LIST{ *(.+?) *}$")
tavik.configuration.configuration.get("limits.dicts.max_key_length", 40)
tavik.configuration.configuration.get("limits.dicts.max_value_length", 512)
exec("from argparse import *", {})
type("ArgsPropagationParser", (argparse.ArgumentParser,), {})
type("Tavik_HelpFormatter", (argparse.RawTextHelpFormatter,), {})
"""


def import_times(samples, stat, before=None):
    """Microseconds to import both modules, each sample in a fresh interpreter
    with the same path and the dependencies already imported; the plain
    rendering's bytecode is cached by a first run. "floor" times
    IMPORT_FLOOR alone, the same way."""
    tests = os.path.join(ROOT, "tests")
    variants = {"native": ("import tavik.utils.dicts, tavik.utils.parser", None),
                "python": ("import plain.dicts, plain.parser", None),
                "floor": (IMPORT_FLOOR, None)}
    if before:
        variants["before"] = ("import tavik.utils.dicts, tavik.utils.parser", before)
    path = os.environ.get("PYTHONPATH", "").split(os.pathsep)

    def sample(statements, build):
        env = dict(os.environ)
        if build:  # the other build in place of the first entry of the path
            env["PYTHONPATH"] = os.pathsep.join([os.path.abspath(build)] + path[1:])
        code = IMPORT_SAMPLE.format(tests=tests, preload=", ".join(PRELOAD), statements=statements)
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        return float(out.stdout)

    for variant in variants.values():
        sample(*variant)  # writes the bytecode caches
    times = {name: [] for name in variants}
    for _ in range(samples):
        for name, variant in variants.items():
            times[name].append(sample(*variant))
    return {name: stat(t) for name, t in times.items()}


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--runs", type=int, default=7, help="timed runs per case (median taken)")
    options.add_argument("--target", type=float, default=0.02, help="seconds per run")
    options.add_argument("--quick", action="store_true", help="3 runs of 5 ms, for a smoke test")
    options.add_argument("--before", metavar="BUILD_DIR", help="also time the modules of another build")
    options.add_argument("--stat", choices=["median", "min"], default="median",
                         help="per case, of the runs (min is the steadier on a machine shared with other work)")
    opts = options.parse_args()
    if opts.quick:
        opts.runs, opts.target = 3, 0.005
    logging.getLogger().setLevel(logging.WARNING)  # debug records are composed but not emitted
    time = Timer(opts.runs, opts.target, statistics.median if opts.stat == "median" else min)
    impls = implementations(opts.before)
    names = list(impls)
    rows = []
    for label, stmt, setup in cases():
        medians = dict(zip(names, time.group(*[(stmt, setup(*impls[name])) for name in names])))
        rows.append({"case": label, **{f"{n}_us": medians[n] for n in names},
                     **{f"{n}_vs_native": medians[n] / medians["native"] for n in names if n != "native"}})
    floors = dict(zip([f[0] for f in FLOORS], time.group(*[(stmt, ns) for _, stmt, ns in FLOORS])))
    own = own_time_cases(impls["native"][0], time)
    imports = import_times(max(opts.runs, 20), time.stat, opts.before)

    width = max(len(r["case"]) for r in rows)
    others = [n for n in names if n != "native"]
    print(f"{'case':{width}} " + " ".join(f"{n:>9}" for n in names) + " "
          + " ".join(f"{n[:6] + '/nat':>11}" for n in others) + f"   (us, {opts.stat} of {opts.runs})")
    for r in rows:
        print(f"{r['case']:{width}} " + " ".join(f"{r[n + '_us']:9.3f}" for n in names) + " "
              + " ".join(f"{r[n + '_vs_native']:10.2f}x" for n in others))
    for label, t in floors.items():
        print(f"{label:{width}} {t:9.3f}")
    label = "import of both modules, fresh interpreter"
    print(f"{label:{width}} " + " ".join(f"{imports[n]:9.1f}" if n in imports else " " * 9 for n in names))
    label = "the same, only what any rendering must run"
    print(f"{label:{width}} {imports['floor']:9.1f}")

    # Each goal's measurements interleaved with the floor it is held against.
    native = impls["native"][0]
    ns = dict(dicts=native, base=FLAT_BASE, new=FLAT_NEW, f=native.recursive_update, g=native.set_dict_by_key_path)
    flat, copy, update = time.group(("dicts.recursive_update(base.copy(), new)", ns), ("base.copy()", ns),
                                    ("base.copy().update(new)", ns))
    quick, quick_path, floor_max, floor_dict = time.group(("f(1, 2)", ns), ("g({}, [], 1)", ns), ("max(1, 2)", ns),
                                                          ("{}", ns))
    goals = {
        "recursive_update flat, own time (less the copy) vs dict.update": (flat - copy) / (update - copy),
        "recursive_update(1, 2) vs max(1, 2)": quick / floor_max,
        "set_dict_by_key_path({}, [], 1), less making {}, vs max(1, 2)": (quick_path - floor_dict) / floor_max,
    }
    for name, (own_us, total_us) in own.items():
        goals[f"{name}: own time / total"] = own_us / total_us
    goals["import of both modules vs the plain rendering's"] = imports["native"] / imports["python"]
    goals["(what any rendering must run at import vs the plain rendering's import)"] = imports["floor"] / imports["python"]
    print()
    for name, value in goals.items():
        print(f"{name:{width}} {value:9.3f}")

    os.makedirs(OUT, exist_ok=True)
    path = os.path.join(OUT, "results.json")
    with open(path, "w") as f:
        json.dump({"runs": opts.runs, "seconds_per_run": opts.target, "statistic": opts.stat, "python": sys.version,
                   "cases": rows, "floors_us": floors,
                   "own_time_us": {k: {"own": o, "total": t} for k, (o, t) in own.items()},
                   "import_us": imports,
                   "goals": goals}, f, indent=2)
    print(f"\nwritten: {os.path.relpath(path, ROOT)}")


if __name__ == "__main__":
    main()
