// load_dict_from_json_string, load_dict_from_kv_string, load_dict_from_yaml,
// load_dict_from_list.
#include "core/shlex.hpp"
#include "dicts/dicts.hpp"
#include "dicts/yaml_guard.hpp"
#include "dicts/yaml_reader.hpp"

namespace tavik::dicts {

namespace {

Name n_decode_cli_string{"decode_cli_string"};
Name n_json{"json"};
Name n_loads{"loads"};
Name n_shlex{"shlex"};
Name n_split{"split"};
Name n_maxsplit{"maxsplit"};
Name n_os{"os"};
Name n_path{"path"};
Name n_isfile{"isfile"};
Name n_yaml{"yaml"};
Name n_safe_load{"safe_load"};
Name n_read{"read"};
Name n_enter{"__enter__"};
Name n_exit{"__exit__"};
Name n_literal_eval{"literal_eval"};
Name n_load_dict_from_json_string{"load_dict_from_json_string"};
Name n_create_extended_dict{"create_extended_dict"};
Name n_rename_keys{"rename_keys"};

// <module attribute `module`>.<attr>(arg)
Ref call_attr(Function* self, const Name& module, const Name& attr, PyObject* arg) {
    Ref f = global_attr(self, module, attr);
    return f ? call(f.get(), arg) : Ref();
}

// ---- JSON -----------------------------------------------------------------

PyObject* load_dict_from_json_string(Function* self, PyObject* const* args) {
    PyObject* loadable = args[0];
    Ref text = call_global(self, n_decode_cli_string, &loadable, 1);
    Ref loaded = text ? call_attr(self, n_json, n_loads, text.get()) : Ref();
    if (!loaded) return nullptr;
    int is_dict = PyDict_Check(loaded.get()) ? 1 : PyObject_IsInstance(loaded.get(), (PyObject*)&PyDict_Type);
    if (is_dict < 0) return nullptr;
    if (is_dict) return loaded.release();
    Ref head = Ref::steal(PyUnicode_FromString(
        "The meta JSON data did not load into a dictionary. \nExpected <class 'dict'>, received "));
    Ref middle = Ref::steal(PyUnicode_FromString(".\n\nLoaded JSON Data:\n"));
    if (!head || !middle) return nullptr;
    Ref type_text = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(loaded.get()))));
    Ref a = type_text ? concat(head.get(), type_text.get()) : Ref();
    Ref b = a ? concat(a.get(), middle.get()) : Ref();
    Ref data = b ? Ref::steal(PyObject_Str(loaded.get())) : Ref();
    Ref message = data ? concat(b.get(), data.get()) : Ref();
    if (!message) return nullptr;
    PyErr_SetObject(PyExc_ValueError, message.get());
    return nullptr;
}

// ---- key=value --------------------------------------------------------------

// kv.split("=", maxsplit=1)
Ref split_pair(PyObject* kv, PyObject* equals) {
    if (PyUnicode_CheckExact(kv)) return Ref::steal(PyUnicode_Split(kv, equals, 1));
    static KwNames kwnames{n_maxsplit};
    if (!kwnames.get()) return {};
    Ref one = Ref::steal(PyLong_FromLong(1));
    if (!one) return {};
    PyObject* call_args[] = {kv, equals, one.get()};
    return Ref::steal(PyObject_VectorcallMethod(n_split.get(), call_args, 2, kwnames.get()));
}

// `process_values and "," in value` and the split it guards.
int process_value(PyObject* process_values, Ref& value, PyObject* comma) {
    int wanted = process_values == Py_True    ? 1
                 : process_values == Py_False ? 0
                                              : PyObject_IsTrue(process_values);
    if (wanted <= 0) return wanted;
    bool exact = PyUnicode_CheckExact(value.get());
    int has_comma = exact ? PyUnicode_Contains(value.get(), comma) : PySequence_Contains(value.get(), comma);
    if (has_comma <= 0) return has_comma;
    Ref pieces = exact ? Ref::steal(PyUnicode_Split(value.get(), comma, -1)) : call_method(value.get(), n_split, comma);
    if (!pieces) return -1;
    value = std::move(pieces);
    return 0;
}

// kv_dict.update({key: value}). For a str key storing the item directly is
// the same insertion: one hash, the same lookup, the first position kept.
int update_with(PyObject* kv_dict, PyObject* key, PyObject* value) {
    if (PyUnicode_CheckExact(key)) return PyDict_SetItem(kv_dict, key, value);
    Ref one = Ref::steal(PyDict_New());
    if (!one || PyDict_SetItem(one.get(), key, value) < 0) return -1;
    return PyDict_Update(kv_dict, one.get());
}

// key, value = parts. A pair without "=" splits into a one-element list,
// which the loader reports in its own words; anything else unpacks as Python
// code does, with the interpreter's texts.
bool unpack_pair(PyObject* parts, Ref* pair) {
    if (PyList_CheckExact(parts) && PyList_GET_SIZE(parts) == 1) {
        raise_need_more_values(1);
        return false;
    }
    return unpack_as_python(parts, pair, 2);
}

int add_pair(PyObject* kv_dict, PyObject* kv, PyObject* process_values, PyObject* equals, PyObject* comma) {
    Ref parts = split_pair(kv, equals);
    Ref pair[2];
    if (!parts || !unpack_pair(parts.get(), pair)) return -1;
    if (process_value(process_values, pair[1], comma) < 0) return -1;
    return update_with(kv_dict, pair[0].get(), pair[1].get());
}

PyObject* load_dict_from_kv_string(Function* self, PyObject* const* args) {
    PyObject* loadable = args[0];
    PyObject* process_values = args[1];
    Ref kv_dict = Ref::steal(PyDict_New());
    if (!kv_dict) return nullptr;
    Ref text = call_global(self, n_decode_cli_string, &loadable, 1);
    Ref shlex = text ? lookup(self, n_shlex) : Ref();
    Ref values = shlex ? shlex_split(shlex.get(), text.get()) : Ref();
    Ref equals = values ? Ref::steal(PyUnicode_FromString("=")) : Ref();
    Ref comma = equals ? Ref::steal(PyUnicode_FromString(",")) : Ref();
    if (!comma) return nullptr;
    int r = for_each(values.get(), [&](PyObject* kv) {
        return add_pair(kv_dict.get(), kv, process_values, equals.get(), comma.get());
    });
    return r < 0 ? nullptr : kv_dict.release();
}

// ---- YAML -----------------------------------------------------------------

// An int (bool included), and anything else with __index__, is a file
// descriptor to both os.stat and open(): the block would read a descriptor
// the caller owns and close it when it ends. Such an object is never tested
// as a file name; every other one is, as the steps say (os.path.isfile
// raises TypeError for what is no path, and the call logs and gives None).
bool takes_as_descriptor(PyObject* loadable) { return PyIndex_Check(loadable); }

// A special method as `with` finds it: on the type, bound to the object.
Ref special_method(PyObject* obj, const Name& name, const char* missing) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    Ref attr = Ref::steal(PyObject_GetAttr(type, name.get()));
    if (!attr) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "'%T' object does not support the context manager protocol%s", obj,
                         missing);
        }
        return {};
    }
    descrgetfunc get = Py_TYPE(attr.get())->tp_descr_get;
    return get ? Ref::steal(get(attr.get(), obj, type)) : attr;
}

// Runs `exit` for an exception leaving the block and returns no content,
// with the error to go on with set: the exception itself, one raised by
// __exit__, or (when __exit__ swallows it) that of reading an unbound local.
Ref leave_with_error(PyObject* exit) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    // __exit__ runs while the exception is being handled.
    int swallow = while_handling(exc.get(), [&] {
        Ref tb = Ref::steal(PyException_GetTraceback(exc.get()));
        Ref r = call(exit, reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get(), tb ? tb.get() : Py_None);
        return r ? PyObject_IsTrue(r.get()) : -1;
    });
    if (swallow < 0) return {};
    if (!swallow) {
        PyErr_SetRaisedException(exc.release());
    } else {
        PyErr_SetString(PyExc_UnboundLocalError,
                        "cannot access local variable 'content' where it is not associated with a value");
    }
    return {};
}

// with open(loadable, "r") as file: content = file.read()
Ref read_file(PyObject* loadable) {
    Ref mode = Ref::steal(PyUnicode_FromString("r"));
    Ref manager = mode ? call(builtin_open, loadable, mode.get()) : Ref();
    if (!manager) return {};
    Ref exit = special_method(manager.get(), n_exit, " (missed __exit__ method)");
    Ref enter = exit ? special_method(manager.get(), n_enter, " (missed __enter__ method)") : Ref();
    Ref file = enter ? call(enter.get()) : Ref();
    if (!file) return {};
    Ref content = call_method(file.get(), n_read);
    if (!content) return leave_with_error(exit.get());
    Ref done = call(exit.get(), Py_None, Py_None, Py_None);
    return done ? content : Ref();
}

Ref load_yaml(Function* self, PyObject* loadable) {
    Ref content;
    if (!takes_as_descriptor(loadable)) {
        // os.path.isfile: the attribute `path` of `os`, then its `isfile`.
        Ref path = global_attr(self, n_os, n_path);
        Ref isfile = path ? get_attr(path.get(), n_isfile) : Ref();
        Ref result = isfile ? call(isfile.get(), loadable) : Ref();
        int is_file = result ? PyObject_IsTrue(result.get()) : -1;
        if (is_file < 0) return {};
        if (is_file) {
            content = read_file(loadable);
            if (!content) return {};
        }
    }
    PyObject* text = content ? content.get() : loadable;
    Ref safe_load = global_attr(self, n_yaml, n_safe_load);
    if (!safe_load) return {};
    // The original safe_load, running only original code, on a str: read
    // natively when the reader is certain; otherwise the call as written.
    if (PyUnicode_CheckExact(text) && yaml_is_original(safe_load.get())) {
        if (Ref data = read_yaml(text)) return data;
        // An answer the reader lacked is left by the real load's own asking.
        Ref data = call(safe_load.get(), text);
        yaml_keep_answers_left(static_cast<bool>(data));
        return data;
    }
    return call(safe_load.get(), text);
}

PyObject* load_dict_from_yaml_in_frame(Function* self, PyObject* const* args) {
    Ref result = load_yaml(self, args[0]);
    if (result) return result.release();
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    // except Exception as e: logger.debug("Unable to load the yaml file")
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    int logged = while_handling(exc.get(), [&] {
        Ref debug = logger_debug(self);
        Ref message = debug ? Ref::steal(PyUnicode_FromString("Unable to load the yaml file")) : Ref();
        return message && call(debug.get(), message.get()) ? 0 : -1;
    });
    if (logged < 0) return nullptr;
    Py_RETURN_NONE;
}

// The Python function's frame counts against the recursion limit while it
// runs: otherwise the real safe_load would have one frame more than under
// it, and a text nested to the last level that fits (PyYAML takes two frames
// a level) would read where it fails.
PyObject* load_dict_from_yaml(Function* self, PyObject* const* args) {
    PythonFrame frame;
    return frame.entered() ? load_dict_from_yaml_in_frame(self, args) : nullptr;
}

// ---- list of JSON texts -----------------------------------------------------

PyObject* load_dict_from_list(Function* self, PyObject* const* args) {
    PyObject* loadable = args[0];
    PyObject* unique_keys = args[1];
    Ref loaded = Ref::steal(PyDict_New());
    if (!loaded) return nullptr;
    Ref items = call_global(self, n_literal_eval, &loadable, 1);
    Ref iter = items ? Ref::steal(PyObject_GetIter(items.get())) : Ref();
    if (!iter) return nullptr;
    static KwNames kwnames{n_rename_keys};
    if (!kwnames.get()) return nullptr;
    while (Ref element = Ref::steal(PyIter_Next(iter.get()))) {
        PyObject* element_arg = element.get();
        Ref source = call_global(self, n_load_dict_from_json_string, &element_arg, 1);
        if (!source) return nullptr;
        PyObject* merge_args[] = {source.get(), loaded.get(), unique_keys};
        loaded = call_global(self, n_create_extended_dict, merge_args, 2, kwnames.get());
        if (!loaded) return nullptr;
    }
    return PyErr_Occurred() ? nullptr : loaded.release();
}

}  // namespace

const FunctionSpec load_dict_from_json_string_spec{
    "load_dict_from_json_string",
    nullptr,
    " Load a dictionary from a JSON string. The JSON string\n"
    "    can optionally be urlsafe base64 encoded.\n"
    "\n"
    "    Args:\n"
    "        loadable (str): JSON string, optional with base64 encoding\n"
    "\n"
    "    Returns:\n"
    "        dictionary\n"
    "\n"
    "    Raises:\n"
    "        ValueError if the JSON string could not be loaded\n"
    "    ",
    {{"loadable"}},
    load_dict_from_json_string,
    {{"return", "dict"}},
};

const FunctionSpec load_dict_from_kv_string_spec{
    "load_dict_from_kv_string",
    nullptr,
    " load a flat dictionary from k=v value pairs.\n"
    "\n"
    "    Args:\n"
    "        loadable (str): String with k=v pairs, separated by space, optional with base64 encoding\n"
    "        process_values (bool): To process the values from dict\n"
    "\n"
    "    Returns:\n"
    "        dictionary of {key: value} pairs\n"
    "    ",
    {{"loadable"}, {"process_values"}},
    load_dict_from_kv_string,
    {{"return", "dict"}},
};

const FunctionSpec load_dict_from_yaml_spec{
    "load_dict_from_yaml",
    nullptr,
    "Load a flat dictionary from the YAML file.\n"
    "\n"
    "    Args:\n"
    "        loadable (str): YAML file name or file contents.\n"
    "\n"
    "    Returns:\n"
    "        dict: Dictionary of {key: value} pairs.\n"
    "    ",
    {{"loadable"}},
    load_dict_from_yaml,
    {{"loadable", "str"}, {"return", "dict"}},
};

const FunctionSpec load_dict_from_list_spec{
    "load_dict_from_list",
    nullptr,
    " load a flat dictionary from string of List of string values.\n"
    "\n"
    "    Args:\n"
    "        loadable (str): String of List with string values, optional with base64 encoding\n"
    "        unique_keys (bool, optional): Boolean value to convert dictionary keys to unique keys if pass as True\n"
    "\n"
    "    Returns:\n"
    "        dictionary of {key: value} pairs\n"
    "    ",
    {{"loadable"}, {"unique_keys"}},
    load_dict_from_list,
    {{"return", "dict"}},
};

}  // namespace tavik::dicts
