# cython: annotation_typing=False
"""tavik.utils.dicts in plain Python."""

import re
import os
import sys
import json
import yaml
import shlex
import logging
from ast import literal_eval
from collections.abc import Mapping, MutableSequence

from tavik.utils.strings import decode_cli_string
from tavik.configuration import configuration as cfg

from plain.unpacking import _slice_to

# Taken once, as the native module does: later changes to the builtins do
# not reach it.
_open = open

logger = logging.getLogger(__name__)
LIST_EXTEND_PATTERN = re.compile("^%EXTEND_LIST{ *(.+?) *}$")
MAX_KEY_LENGTH = cfg.get("limits.dicts.max_key_length", 40)
MAX_VALUE_LENGTH = cfg.get("limits.dicts.max_value_length", 512)


def recursive_update(a, b, *, list_extend=False):
    """recursive_update

    Recursively updates on nested dictionary a with dictionary b.
    """
    if not isinstance(a, Mapping):
        return b
    if not isinstance(b, Mapping):
        return b
    for k, v in b.items():
        if isinstance(v, Mapping):
            # Three steps: the default, the get, the recursive call (its
            # name looked up only then).
            default = type(v)()
            current = a.get(k, default)
            a[k] = recursive_update(current, v, list_extend=list_extend)
        elif isinstance(v, MutableSequence):
            if list_extend and isinstance(k, str):
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
        else:
            a[k] = v
    return a


def recursive_setdefault(a, b):
    """recursive_setdefault

    Recursively calls setdefault on nested dictionary a with dictionary b.
    """
    for k, v in b.items():
        if isinstance(v, Mapping) and isinstance(a.get(k, {}), Mapping):
            # The second get, then the recursive call (its name looked up
            # only then).
            current = a.get(k, {})
            a[k] = recursive_setdefault(current, v)
        else:
            a.setdefault(k, v)
    return a


def recursive_cast(d, type_):
    """recursive_cast

    Recursively cast a nested dictionary to the provided class type
    """
    d = type_(d)
    for k, v in d.items():
        if isinstance(v, Mapping):
            current = d.get(k, {})
            d[k] = recursive_cast(current, type_)
    return d


def set_dict_by_key_path(d, keys, val, *, append_list=False):
    if not keys:
        return None
    for k in _slice_to(keys, -1):
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


def generate_unique_key_name(key, value, dictionary, allow_match=False) -> "str":
    for key_num in range(1, sys.maxsize):
        alt_key = str(key) + "_" + str(key_num)
        if alt_key in dictionary and dictionary[alt_key] == value and not allow_match:
            return None
        if alt_key in dictionary:
            continue
        logger.debug("Renaming repeated key from " + str(key) + " to " + alt_key)
        return alt_key
    return None


def enforce_max_key_value_length(dict_to_check, max_key_length=MAX_KEY_LENGTH, max_value_length=MAX_VALUE_LENGTH):
    def check_length(item, type_):
        length = len(str(item))
        max_length = max_key_length if type_ == "key" else max_value_length
        if length > max_length:
            raise Exception(f"\nThe following {type_} has a length that is too long.\n{type_.title()}:\n {item}"
                            f"\nMaximum length for {type_}s is {max_length} characters long (yours is {length})")

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
    return None


def load_dict_from_json_string(loadable) -> "dict":
    loadable = decode_cli_string(loadable)
    loaded_json = json.loads(loadable)
    if isinstance(loaded_json, dict):
        return loaded_json
    raise ValueError("The meta JSON data did not load into a dictionary. \nExpected <class 'dict'>, received "
                     + str(type(loaded_json)) + ".\n\nLoaded JSON Data:\n" + str(loaded_json))


def _pair(parts):
    """The one-element list of a pair without "=" has the loader's own text;
    anything else is unpacked by the caller, as Python code does."""
    if type(parts) is list and len(parts) == 1:
        raise ValueError("need more than 1 value to unpack")
    return parts


def load_dict_from_kv_string(loadable, process_values=False) -> "dict":
    kv_dict = {}
    loadable = decode_cli_string(loadable)
    values = shlex.split(loadable)
    for kv in values:
        key, value = _pair(kv.split("=", maxsplit=1))
        if process_values and "," in value:
            value = value.split(",")
        dict.update(kv_dict, {key: value})
    return kv_dict


def load_dict_from_yaml(loadable: "str") -> "dict":
    try:
        # An int (bool included) or anything else whose class defines
        # __index__ would be taken as a file descriptor of the caller's, read
        # and then closed. (A metaclass's __index__ makes no descriptor.)
        if not any("__index__" in vars(c) for c in type(loadable).__mro__) and os.path.isfile(loadable):
            with _open(loadable, "r") as file:
                content = file.read()
        else:
            content = loadable
        return yaml.safe_load(content)
    except Exception as e:
        logger.debug("Unable to load the yaml file")
        return None


def load_dict_from_list(loadable, unique_keys=True) -> "dict":
    loaded_json = {}
    loadable_list = literal_eval(loadable)
    for loadable_str in loadable_list:
        # The element is loaded before create_extended_dict is looked up.
        loaded = load_dict_from_json_string(loadable_str)
        loaded_json = create_extended_dict(loaded, loaded_json, rename_keys=unique_keys)
    return loaded_json
