"""Stand-in for the host package's configuration registry.

Values come from the environment first, then from a YAML file:

- TAVIK_CFG__LIMITS__DICTS__MAX_KEY_LENGTH=100 configures the dotted key
  "limits.dicts.max_key_length" (the value is the string '100');
- TAVIK_CONFIG=/path/to/file.yaml names a file whose nested mappings are
  addressed by dotted keys.
"""

import os

import yaml

CONFIG_FILE_VAR = "TAVIK_CONFIG"
ENV_PREFIX = "TAVIK_CFG__"


class Configuration:
    def __init__(self, environ=None):
        # Read at each get, so tests can configure through monkeypatch.
        self._environ = os.environ if environ is None else environ

    def get(self, key, default=None):
        env_name = ENV_PREFIX + key.replace(".", "__").upper()
        if env_name in self._environ:
            return self._environ[env_name]
        node = self._load_file()
        for part in key.split("."):
            if not isinstance(node, dict) or part not in node:
                return default
            node = node[part]
        return node

    def _load_file(self):
        path = self._environ.get(CONFIG_FILE_VAR)
        if not path:
            return {}
        # A named file that is missing or malformed is an error, not an
        # empty configuration: silently falling back to defaults hides typos.
        with open(path, encoding="utf-8") as stream:
            data = yaml.safe_load(stream)
        if data is None:
            return {}
        if not isinstance(data, dict):
            raise ValueError(
                f"configuration file {path} must hold a mapping, "
                f"not {type(data).__name__}"
            )
        return data


configuration = Configuration()
