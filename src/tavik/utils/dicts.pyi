# Types of the native module tavik.utils.dicts.
#
# Flags such as list_extend are typed bool, although only their truth value
# is used. The standard-library modules the module binds (json, yaml, ...)
# are left out; the two host names are re-exported so that code which
# rebinds them, as tests do, type-checks.

import logging
import os
import re
from collections.abc import Callable, Hashable, Iterable, Mapping, MutableMapping, MutableSequence, Sequence
from typing import Any, Literal, TypeVar, overload

from _typeshed import SupportsKeysAndGetItem, SupportsRead
from tavik.configuration import configuration as cfg
from tavik.utils.strings import decode_cli_string as decode_cli_string

_T = TypeVar("_T")
_A = TypeVar("_A")
_MM = TypeVar("_MM", bound=MutableMapping[Any, Any])

logger: logging.Logger
LIST_EXTEND_PATTERN: re.Pattern[str]
# As the configuration returns them, read once at import; integers expected.
MAX_KEY_LENGTH: int
MAX_VALUE_LENGTH: int

# Returns `a`, merged in place. Given a non-mapping it returns `b` untouched,
# which is how the recursion replaces values; a second overload for that
# would turn every call on dict[str, Any] (JSON data) into Any.
def recursive_update(a: _MM, b: Mapping[Any, Any], *, list_extend: bool = ...) -> _MM: ...
def recursive_setdefault(a: _MM, b: Mapping[Any, Any]) -> _MM: ...

# `d` is whatever `type_` accepts; every nested mapping level is converted too.
def recursive_cast(d: _A, type_: Callable[[_A], _MM]) -> _MM: ...

# Returns `val`, or None when `keys` is empty (or None) and nothing was done.
def set_dict_by_key_path(
    d: MutableMapping[Any, Any], keys: Sequence[Hashable] | None, val: _T, *, append_list: bool = ...
) -> _T | None: ...
def create_extended_dict(
    source_dict: Mapping[Any, Any],
    dest_dict: SupportsKeysAndGetItem[Any, Any] | Iterable[tuple[Any, Any]] = ...,
    rename_keys: bool = ...,
) -> dict[Any, Any]: ...

# None: the pair is already there under a generated name (unless
# allow_match), or no counter is left.
def generate_unique_key_name(key: object, value: object, dictionary: Mapping[Any, Any], allow_match: bool = ...) -> str | None: ...

# Anything else is skipped with a debug record and nothing checked, which a
# caller hardly means; hence the narrow type.
def enforce_max_key_value_length(
    dict_to_check: Mapping[Any, Any] | MutableSequence[Mapping[Any, Any]], max_key_length: int = ..., max_value_length: int = ...
) -> None: ...
def load_dict_from_json_string(loadable: str) -> dict[str, Any]: ...
@overload
def load_dict_from_kv_string(loadable: str, process_values: Literal[False] = ...) -> dict[str, str]: ...
@overload
def load_dict_from_kv_string(loadable: str, process_values: bool) -> dict[str, str | list[str]]: ...

# A file name (only these types are ever opened as files, never an integer
# file descriptor), YAML text or a stream. The result is what yaml.safe_load
# gives, not necessarily a dict; None also after any failure (logged).
def load_dict_from_yaml(
    loadable: str | bytes | os.PathLike[str] | os.PathLike[bytes] | SupportsRead[str] | SupportsRead[bytes],
) -> Any | None: ...
def load_dict_from_list(loadable: str, unique_keys: bool = ...) -> dict[str, Any]: ...
