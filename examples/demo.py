"""A short tour of tavik.utils.dicts: load settings from several kinds of
text, merge them, and check them against the length limits; then a command
line parsed in stages with tavik.utils.parser (examples/staged_cli.py).

Run it with `make demo`, which builds the release modules first and puts them
on the path next to the host stand-ins in host/.
"""

import base64
import json
import logging
import pathlib
import pprint
import sys
import tempfile
import textwrap

from tavik.utils import dicts

from staged_cli import staged_demo

SERVICE_YAML = """\
service:
  name: billing
  replicas: 1
  tags: [core]
"""


def urlsafe_b64(text):
    return base64.urlsafe_b64encode(text.encode("utf-8")).decode("ascii")


def show(title, value):
    print(f"{title}:")
    print(textwrap.indent(pprint.pformat(value, sort_dicts=False, width=72), "    "))
    print()


def main():
    # Renamed keys are logged at debug level; show those records in line.
    logging.basicConfig(stream=sys.stdout, format="    [log] %(message)s")
    logging.getLogger("tavik.utils.dicts").setLevel(logging.DEBUG)

    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp, "service.yaml")
        path.write_text(SERVICE_YAML, encoding="utf-8")
        settings = dicts.load_dict_from_yaml(str(path))
    show("load_dict_from_yaml (file)", settings)

    kv_text = 'region=eu-west owner="Data Team" zones=a,b,c'
    show("load_dict_from_kv_string", dicts.load_dict_from_kv_string(kv_text))
    labels = dicts.load_dict_from_kv_string(kv_text, process_values=True)
    show("load_dict_from_kv_string, process_values=True", labels)

    override = json.dumps({"service": {"replicas": 3, "%EXTEND_LIST{tags}": ["eu", "batch"]}})
    from_plain = dicts.load_dict_from_json_string(override)
    from_encoded = dicts.load_dict_from_json_string(urlsafe_b64(override))
    show("load_dict_from_json_string (plain)", from_plain)
    show("load_dict_from_json_string (URL-safe base64)", from_encoded)
    print(f"    the same dictionary: {from_plain == from_encoded}\n")

    # Nested levels merge in place; with list_extend=True the marker key
    # appends to service.tags instead of being stored itself.
    dicts.recursive_update(settings, from_encoded, list_extend=True)
    dicts.recursive_update(settings, {"labels": labels})
    show("recursive_update(..., list_extend=True)", settings)

    dicts.set_dict_by_key_path(settings, ["service", "limits", "cpu"], "500m")
    dicts.set_dict_by_key_path(settings, ["service", "owners"], "alice", append_list=True)
    dicts.set_dict_by_key_path(settings, ["service", "owners"], "bob", append_list=True)
    show("set_dict_by_key_path (limits.cpu, then owners twice with append_list)", settings)

    # "env" arrives again with another value and is kept as env_1; the third
    # text repeats env_1's value exactly and adds only "zone".
    texts = [
        json.dumps({"env": "prod", "team": "billing"}),
        json.dumps({"env": "staging"}),
        urlsafe_b64(json.dumps({"env": "staging", "zone": "b"})),
    ]
    show("load_dict_from_list", dicts.load_dict_from_list(repr(texts)))

    dicts.enforce_max_key_value_length(settings)
    print(
        f"enforce_max_key_value_length: settings pass the limits "
        f"(keys {dicts.MAX_KEY_LENGTH}, values {dicts.MAX_VALUE_LENGTH} characters)"
    )
    try:
        dicts.enforce_max_key_value_length({"description": "x" * 80}, max_value_length=64)
    except Exception as error:
        print("enforce_max_key_value_length with max_value_length=64 refuses:")
        print(textwrap.indent(str(error).strip("\n"), "    "))
    else:
        raise SystemExit("a value of 80 characters passed a limit of 64")

    print("\n--- a command line parsed in stages (tavik.utils.parser) ---\n")
    staged_demo()


if __name__ == "__main__":
    main()
