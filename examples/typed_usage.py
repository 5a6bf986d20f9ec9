"""Host-style code with full annotations, checked by mypy --strict against
the stubs (make typecheck) and run from the installed wheel. The
assert_type lines pin what the stubs let a caller infer."""

import collections
import functools
import sys
from typing import Any, assert_type

from tavik.utils import dicts, parser


def load_settings(yaml_text: str, overrides: list[str]) -> dict[str, Any]:
    loaded = dicts.load_dict_from_yaml(yaml_text)
    # A failed load is None, so the caller has to look before using it.
    settings: dict[str, Any] = loaded if isinstance(loaded, dict) else {}
    for text in overrides:
        merged = dicts.recursive_update(settings, dicts.load_dict_from_json_string(text), list_extend=True)
        assert_type(merged, dict[str, Any])
    return settings


def labels(text: str) -> dict[str, str | list[str]]:
    plain = dicts.load_dict_from_kv_string(text)
    assert_type(plain, dict[str, str])
    return dicts.load_dict_from_kv_string(text, process_values=True)


def stage(argv: list[str]) -> tuple[str, int]:
    formatter = functools.partial(parser.Tavik_HelpFormatter, width=60)
    first = parser.ArgsPropagationParser(prog="deploy", formatter_class=formatter, add_help=False)
    first.add_argument("--env", default="dev")
    namespace = first.parse_args(argv)
    assert_type(namespace, parser.Namespace)
    env: str = namespace.env
    second = parser.ArgsPropagationParser(prog="deploy", formatter_class=parser.Tavik_HelpFormatter)
    second.add_argument("service")
    assert second.format_usage().startswith("usage: deploy service [-h]")
    return env, len(sys.argv)


def main() -> None:
    settings = load_settings("service:\n  tags: [core]\n", ['{"service": {"%EXTEND_LIST{tags}": ["eu"]}}'])
    assert settings == {"service": {"tags": ["core", "eu"]}}, settings

    stored = dicts.set_dict_by_key_path(settings, ("service", "replicas"), 3)
    assert_type(stored, int | None)
    ordered = dicts.recursive_cast(settings, collections.OrderedDict)
    assert_type(ordered, collections.OrderedDict[str, Any])
    dicts.enforce_max_key_value_length(ordered, max_key_length=dicts.MAX_KEY_LENGTH)

    name = dicts.generate_unique_key_name("env", "prod", {"env": "dev"})
    merged = dicts.create_extended_dict({"env": "prod"}, {"env": "dev"})
    assert (name, merged) == ("env_1", {"env": "dev", "env_1": "prod"})
    assert labels("zones=a,b") == {"zones": ["a", "b"]}
    assert dicts.load_dict_from_list(repr(['{"a": 1}', '{"a": 2}'])) == {"a": 1, "a_1": 2}

    saved = sys.argv
    sys.argv = ["deploy"]
    try:
        assert stage(["--env", "prod", "--other"]) == ("prod", 2)
    finally:
        sys.argv = saved
    print("typed usage: ok")


if __name__ == "__main__":
    main()
