// tavik.utils.dicts: the module body, binding every attribute in order.
#include "core/module.hpp"
#include "core/shlex.hpp"
#include "dicts/dicts.hpp"
#include "dicts/yaml_guard.hpp"

#include <algorithm>
#include <cstring>

namespace tavik::dicts {

Name n_Mapping{"Mapping"};
Name n_MutableSequence{"MutableSequence"};
Name n_logger{"logger"};
Name n_sys{"sys"};

PyObject* builtin_open = nullptr;

int is_a_looked_up(Function* self, PyObject* obj, const Name& cls) {
    Ref c = lookup(self, cls);
    return c ? isinstance(obj, c.get()) : -1;
}

namespace {

Name n_debug{"debug"};
Name n_getLogger{"getLogger"};
Name n_compile{"compile"};
Name n_get{"get"};
Name n_logging{"logging"};
Name n_shlex{"shlex"};
Name n_yaml{"yaml"};
Name n_re{"re"};
Name n_cfg{"cfg"};
Name n___name__{"__name__"};
Name n_MAX_KEY_LENGTH{"MAX_KEY_LENGTH"};
Name n_MAX_VALUE_LENGTH{"MAX_VALUE_LENGTH"};

Ref read_limit(PyObject* module, const char* key, long fallback) {
    Ref cfg = module_global(module, n_cfg);
    if (!cfg) return {};
    Ref k = Ref::steal(PyUnicode_FromString(key));
    Ref d = Ref::steal(PyLong_FromLong(fallback));
    if (!k || !d) return {};
    return call_method(cfg.get(), n_get, k.get(), d.get());
}

int bind_function(PyObject* module, const FunctionSpec& spec, PyObject* defaults = nullptr,
                  PyObject* kwdefaults = nullptr) {
    return bind(module, spec.name, make_function(spec, module, defaults, kwdefaults));
}

Ref kwdefault_false(const char* name) {
    Ref d = Ref::steal(PyDict_New());
    if (!d || PyDict_SetItemString(d.get(), name, Py_False) < 0) return {};
    return d;
}

int bind_functions(PyObject* module) {
    Ref update_kw = kwdefault_false("list_extend");
    Ref path_kw = kwdefault_false("append_list");
    Ref shared_dest = Ref::steal(PyDict_New());
    if (!update_kw || !path_kw || !shared_dest) return -1;
    Ref extended_defaults = Ref::steal(PyTuple_Pack(2, shared_dest.get(), Py_True));
    Ref false_default = Ref::steal(PyTuple_Pack(1, Py_False));
    Ref true_default = Ref::steal(PyTuple_Pack(1, Py_True));
    if (!extended_defaults || !false_default || !true_default) return -1;
    if (bind_function(module, recursive_update_spec, nullptr, update_kw.get()) < 0 ||
        bind_function(module, recursive_setdefault_spec) < 0 || bind_function(module, recursive_cast_spec) < 0 ||
        bind_function(module, set_dict_by_key_path_spec, nullptr, path_kw.get()) < 0 ||
        bind_function(module, create_extended_dict_spec, extended_defaults.get()) < 0 ||
        bind_function(module, generate_unique_key_name_spec, false_default.get()) < 0) {
        return -1;
    }
    Ref max_key = module_global(module, n_MAX_KEY_LENGTH);
    Ref max_value = max_key ? module_global(module, n_MAX_VALUE_LENGTH) : Ref();
    if (!max_value) return -1;
    Ref limits = Ref::steal(PyTuple_Pack(2, max_key.get(), max_value.get()));
    if (!limits) return -1;
    if (bind_function(module, enforce_max_key_value_length_spec, limits.get()) < 0 ||
        bind_function(module, load_dict_from_json_string_spec) < 0 ||
        bind_function(module, load_dict_from_kv_string_spec, false_default.get()) < 0 ||
        bind_function(module, load_dict_from_yaml_spec) < 0 ||
        bind_function(module, load_dict_from_list_spec, true_default.get()) < 0) {
        return -1;
    }
    return 0;
}

int body(PyObject* module) {
    if (register_module(module, "tavik.utils.dicts") < 0) return -1;
    if (!builtin_open) {
        Ref open = builtin("open");
        if (!open) return -1;
        builtin_open = open.release();
    }
    for (const char* name : {"re", "os", "sys", "json", "yaml", "shlex", "logging"}) {
        if (import_as(module, name) < 0) return -1;
    }
    // The native shlex.split holds only for the module as imported.
    Ref shlex = module_global(module, n_shlex);
    if (!shlex || keep_shlex(shlex.get()) < 0) return -1;
    if (import_names(module, "ast", {{"literal_eval", "literal_eval"}}) < 0 ||
        import_names(module, "collections.abc", {{"Mapping", "Mapping"}, {"MutableSequence", "MutableSequence"}}) < 0) {
        return -1;
    }
    // The fast isinstance answers hold only for the ABCs themselves.
    Ref mapping = module_global(module, n_Mapping);
    Ref sequence = mapping ? module_global(module, n_MutableSequence) : Ref();
    if (!sequence) return -1;
    if (keep_abc_answers(mapping.get()) < 0 || keep_abc_answers(sequence.get()) < 0) {
        return -1;
    }
    // The native YAML reader holds only for PyYAML as it ships; it asks
    // Hashable of every mapping key, as the constructor does.
    Ref yaml = module_global(module, n_yaml);
    if (!yaml || keep_yaml(yaml.get()) < 0) return -1;
    if (PyObject* hashable = yaml_hashable(); hashable && keep_abc_answers(hashable) < 0) return -1;
    if (import_names(module, "tavik.utils.strings", {{"decode_cli_string", "decode_cli_string"}}) < 0 ||
        import_names(module, "tavik.configuration", {{"configuration", "cfg"}}) < 0) {
        return -1;
    }
    Ref logging = module_global(module, n_logging);
    Ref name = logging ? module_global(module, n___name__) : Ref();
    if (!name || bind(module, "logger", call_method(logging.get(), n_getLogger, name.get())) < 0) return -1;
    Ref re = module_global(module, n_re);
    Ref pattern = Ref::steal(PyUnicode_FromString("^%EXTEND_LIST{ *(.+?) *}$"));
    if (!re || !pattern || bind(module, "LIST_EXTEND_PATTERN", call_method(re.get(), n_compile, pattern.get())) < 0) {
        return -1;
    }
    if (bind(module, "MAX_KEY_LENGTH", read_limit(module, "limits.dicts.max_key_length", 40)) < 0 ||
        bind(module, "MAX_VALUE_LENGTH", read_limit(module, "limits.dicts.max_value_length", 512)) < 0) {
        return -1;
    }
    return bind_functions(module);
}

}  // namespace

Ref logger_debug(Function* self) {
    return global_attr(self, n_logger, n_debug);
}

Ref concat(std::initializer_list<PyObject*> parts) {
    Py_ssize_t length = 0;
    Py_UCS4 widest = 0;
    bool exact = true;
    for (PyObject* p : parts) {
        Py_ssize_t n = PyUnicode_CheckExact(p) ? PyUnicode_GET_LENGTH(p) : -1;
        // Too long a result is left to `+`, which says so in its own words.
        if (n < 0 || n > PY_SSIZE_T_MAX - length) {
            exact = false;
            break;
        }
        length += n;
        widest = std::max(widest, PyUnicode_MAX_CHAR_VALUE(p));
    }
    if (!exact) {
        auto p = parts.begin();
        Ref result = Ref::borrow(*p);
        while (result && ++p != parts.end()) result = concat(result.get(), *p);
        return result;
    }
    Ref result = Ref::steal(PyUnicode_New(length, widest));
    if (!result) return {};
    int kind = PyUnicode_KIND(result.get());
    auto* out = static_cast<char*>(PyUnicode_DATA(result.get()));
    Py_ssize_t at = 0;
    for (PyObject* p : parts) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(p);
        // Parts as wide as the result are copied as they are; narrower ones
        // are widened character by character.
        if (PyUnicode_KIND(p) == kind) {
            if (n) std::memcpy(out + at * kind, PyUnicode_DATA(p), static_cast<size_t>(n) * kind);
        } else if (PyUnicode_CopyCharacters(result.get(), at, p, 0, n) < 0) {
            return {};
        }
        at += n;
    }
    return result;
}

}  // namespace tavik::dicts

TAVIK_MODULE(dicts, "tavik.utils.dicts", tavik::dicts::body)
