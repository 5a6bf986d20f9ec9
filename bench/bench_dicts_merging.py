"""Times the native merging and key-path functions against the same functions
written in Python. Run: PYTHONPATH=build/release:host python3.14 bench/bench_dicts_merging.py"""

import collections.abc
import re
import timeit

import tavik.utils.dicts as native

Mapping, MutableSequence = collections.abc.Mapping, collections.abc.MutableSequence
LIST_EXTEND_PATTERN = re.compile("^%EXTEND_LIST{ *(.+?) *}$")


def recursive_update(a, b, *, list_extend=False):
    if not isinstance(a, Mapping) or not isinstance(b, Mapping):
        return b
    for k, v in b.items():
        if isinstance(v, Mapping):
            a[k] = recursive_update(a.get(k, type(v)()), v, list_extend=list_extend)
        elif isinstance(v, MutableSequence) and list_extend and isinstance(k, str):
            match = LIST_EXTEND_PATTERN.match(k)
            if match:
                key = match.groups()[0]
                if isinstance(a.setdefault(key, []), MutableSequence):
                    a[key].extend(v)
                else:
                    a[key] = v
            else:
                a[k] = v
        else:
            a[k] = v
    return a


def recursive_setdefault(a, b):
    for k, v in b.items():
        if isinstance(v, Mapping) and isinstance(a.get(k, {}), Mapping):
            a[k] = recursive_setdefault(a.get(k, {}), v)
        else:
            a.setdefault(k, v)
    return a


def recursive_cast(d, type_):
    d = type_(d)
    for k, v in d.items():
        if isinstance(v, Mapping):
            d[k] = recursive_cast(d.get(k, {}), type_)
    return d


def set_dict_by_key_path(d, keys, val, *, append_list=False):
    if not keys:
        return None
    for k in keys[:-1]:
        d = d.setdefault(k, {})
    if not append_list:
        d[keys[-1]] = val
        return val
    existing = d.get(keys[-1], None)
    if existing is None:
        d[keys[-1]] = [val]
    elif isinstance(existing, list):
        existing.append(val)
    else:
        raise ValueError("expected list for element given by key {}. Got {}".format(keys, type(existing)))
    return val


def config(width, depth):
    if depth == 0:
        return {f"k{i}": (i if i % 3 else f"text{i}") for i in range(width)}
    return {f"n{i}": config(width, depth - 1) for i in range(3)} | {"leaf": 1, "list": [1, 2]}


OVERLAY = config(6, 3)
OVERLAY["%EXTEND_LIST{list}"] = [3]
KEYS = ["a", "b", "c", "d"]

# name: (arguments made afresh for every call, keywords)
CASES = {
    "recursive_update": (lambda: (config(8, 3), OVERLAY), {"list_extend": True}),
    "recursive_setdefault": (lambda: (config(8, 3), OVERLAY), {}),
    "recursive_cast": (lambda: (OVERLAY, dict), {}),
    "set_dict_by_key_path": (lambda: ({}, KEYS, 1), {}),
    "set_dict_by_key_path+append": (lambda: ({"a": {"b": {"c": {"d": []}}}}, KEYS, 1), {"append_list": True}),
}


def timed(function, make_args, kwargs, number):
    inputs = [make_args() for _ in range(number)]
    start = timeit.default_timer()
    for args in inputs:
        function(*args, **kwargs)
    return (timeit.default_timer() - start) / number * 1e6


def main(number=3000):
    python = globals()
    print(f"{'function':28} {'python us':>10} {'native us':>10} {'speed-up':>9}")
    for label, (make_args, kwargs) in CASES.items():
        name = label.split("+")[0]
        args = make_args()
        assert python[name](*make_args(), **kwargs) == getattr(native, name)(*args, **kwargs)
        t_py = min(timed(python[name], make_args, kwargs, number) for _ in range(3))
        t_nat = min(timed(getattr(native, name), make_args, kwargs, number) for _ in range(3))
        print(f"{label:28} {t_py:10.2f} {t_nat:10.2f} {t_py / t_nat:8.1f}x")


if __name__ == "__main__":
    main()
