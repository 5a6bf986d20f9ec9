"""Times the unique-key, length-limit and loader functions of tavik.utils.dicts
against the same functions written in Python.

    tools/env.sh env PYTHONPATH=build/dicts-rel:host python3.14 bench/bench_dicts_loaders.py
"""

import ast
import base64
import json
import logging
import os
import shlex
import sys
import tempfile
import timeit
from collections.abc import Mapping, MutableSequence

import yaml

import tavik.utils.dicts as native
from tavik.utils.strings import decode_cli_string

logger = logging.getLogger("bench")
literal_eval = ast.literal_eval


def generate_unique_key_name(key, value, dictionary, allow_match=False):
    for key_num in range(1, sys.maxsize):
        alt_key = str(key) + "_" + str(key_num)
        if alt_key in dictionary and dictionary[alt_key] == value and not allow_match:
            return None
        if alt_key in dictionary:
            continue
        logger.debug("Renaming repeated key from " + str(key) + " to " + alt_key)
        return alt_key
    return None


def create_extended_dict(source_dict, dest_dict={}, rename_keys=True):
    unique_dict = dict(dest_dict)
    for key, value in source_dict.items():
        if key in unique_dict and unique_dict[key] != value:
            unique_key = generate_unique_key_name(key, value, unique_dict)
            if unique_key is not None and rename_keys:
                unique_dict[unique_key] = value
        else:
            unique_dict[key] = value
    return unique_dict


def enforce_max_key_value_length(dict_to_check, max_key_length=40, max_value_length=512):
    def check_length(item, type_):
        length = len(str(item))
        max_length = max_key_length if type_ == "key" else max_value_length
        if length > max_length:
            raise Exception(f"\nThe following {type_} has a length that is too long.\n{type_.title()}:\n {item}\n"
                            f"Maximum length for {type_}s is {max_length} characters long (yours is {length})")

    def check_dict(dict_):
        for key, value in dict_.items():
            check_length(key, "key")
            if isinstance(value, Mapping):
                enforce_max_key_value_length(value, max_key_length=max_key_length,
                                             max_value_length=max_value_length)
            elif isinstance(value, MutableSequence):
                for v in value:
                    check_length(v, "value")
            else:
                check_length(value, "value")

    if isinstance(dict_to_check, Mapping):
        check_dict(dict_to_check)
    elif isinstance(dict_to_check, MutableSequence):
        for element in dict_to_check:
            check_dict(element)
    else:
        logger.debug("Not a dictionary or list, got " + str(type(dict_to_check)) + ", skipping length enforcement check")


def load_dict_from_json_string(loadable):
    loadable = decode_cli_string(loadable)
    loaded_json = json.loads(loadable)
    if isinstance(loaded_json, dict):
        return loaded_json
    raise ValueError("The meta JSON data did not load into a dictionary. \nExpected <class 'dict'>, received "
                     + str(type(loaded_json)) + ".\n\nLoaded JSON Data:\n" + str(loaded_json))


def load_dict_from_kv_string(loadable, process_values=False):
    kv_dict = {}
    loadable = decode_cli_string(loadable)
    for kv in shlex.split(loadable):
        key, value = kv.split("=", maxsplit=1)
        if process_values and "," in value:
            value = value.split(",")
        kv_dict.update({key: value})
    return kv_dict


def load_dict_from_yaml(loadable):
    try:
        if isinstance(loadable, (str, bytes, os.PathLike)) and os.path.isfile(loadable):
            with open(loadable, "r") as file:
                content = file.read()
        else:
            content = loadable
        return yaml.safe_load(content)
    except Exception:
        logger.debug("Unable to load the yaml file")
        return None


def load_dict_from_list(loadable, unique_keys=True):
    loaded_json = {}
    for loadable_str in literal_eval(loadable):
        loaded_json = create_extended_dict(load_dict_from_json_string(loadable_str), loaded_json,
                                           rename_keys=unique_keys)
    return loaded_json


def main():
    flat = {f"key{i}": f"value {i}" for i in range(50)}
    nested = {f"k{i}": {"inner": [f"v{j}" for j in range(5)], "n": i} for i in range(30)}
    colliding = {f"key{i}": i for i in range(50)}
    crowded = {"a": 0, **{f"a_{i}": -i for i in range(1, 20)}}
    json_text = json.dumps({"a": 1, "b": {"c": [1, 2]}})
    kv_text = " ".join(f"k{i}=v{i},x" for i in range(20))
    list_text = repr([json.dumps({f"k{i % 5}": i}) for i in range(20)])
    encoded = base64.urlsafe_b64encode(json_text.encode()).decode()
    with tempfile.NamedTemporaryFile("w", suffix=".yaml", delete=False) as f:
        f.write("a: 1\nb: [x, y]\n")
    cases = [
        ("generate_unique_key_name, free at 1", "generate_unique_key_name", ("a", 1, {"a": 0})),
        ("generate_unique_key_name, 19 taken", "generate_unique_key_name", ("a", 1, crowded)),
        ("create_extended_dict, 50 new keys", "create_extended_dict", (flat, {})),
        ("create_extended_dict, 50 collisions", "create_extended_dict", (flat, colliding)),
        ("enforce_max_key_value_length, flat 50", "enforce_max_key_value_length", (flat,)),
        ("enforce_max_key_value_length, nested 30", "enforce_max_key_value_length", (nested,)),
        ("load_dict_from_json_string", "load_dict_from_json_string", (json_text,)),
        ("load_dict_from_json_string, base64", "load_dict_from_json_string", (encoded,)),
        ("load_dict_from_kv_string, 20 pairs", "load_dict_from_kv_string", (kv_text, True)),
        ("load_dict_from_yaml, text", "load_dict_from_yaml", ("a: 1",)),
        ("load_dict_from_yaml, file", "load_dict_from_yaml", (f.name,)),
        ("load_dict_from_yaml, int", "load_dict_from_yaml", (5,)),
        ("load_dict_from_list, 20 elements", "load_dict_from_list", (list_text,)),
    ]
    python = globals()
    print(f"{'case':42} {'python us':>10} {'native us':>10} {'speed-up':>9}")
    try:
        for label, name, args in cases:
            py, nat = python[name], getattr(native, name)
            assert py(*args) == nat(*args), label
            number = max(1, int(2000 / (1 + 10 * len(repr(args)) // 100)))
            t_py = min(timeit.repeat(lambda: py(*args), number=number, repeat=5)) / number * 1e6
            t_nat = min(timeit.repeat(lambda: nat(*args), number=number, repeat=5)) / number * 1e6
            print(f"{label:42} {t_py:10.2f} {t_nat:10.2f} {t_py / t_nat:8.2f}x")
    finally:
        os.unlink(f.name)


if __name__ == "__main__":
    main()
