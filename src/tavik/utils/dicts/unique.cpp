// generate_unique_key_name, create_extended_dict.
#include "dicts/dicts.hpp"

#include <climits>

namespace tavik::dicts {

namespace {

Name n_generate_unique_key_name{"generate_unique_key_name"};
Name n_maxsize{"maxsize"};
// Fixed texts of the names and the message, made once.
Name t_underscore{"_"};
Name t_renaming{"Renaming repeated key from "};
Name t_to{" to "};

Ref str(PyObject* o) { return Ref::steal(PyObject_Str(o)); }

// `left == right` or `left != right`, taken by its truth value. No identity
// shortcut: a stored NaN is not equal to itself.
int compare(PyObject* left, PyObject* right, int op) {
    Ref r = Ref::steal(PyObject_RichCompare(left, right, op));
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// The stop of range(1, sys.maxsize), clamped to what a counter can reach.
bool counter_stop(Function* self, long long& stop) {
    Ref maxsize = global_attr(self, n_sys, n_maxsize);
    Ref index = maxsize ? Ref::steal(PyNumber_Index(maxsize.get())) : Ref();
    if (!index) return false;
    int overflow = 0;
    stop = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (stop == -1 && PyErr_Occurred()) return false;
    if (overflow > 0) stop = LLONG_MAX;
    if (overflow < 0) stop = 0;
    return true;
}

// "_" + str(n). The first counters are asked for on nearly every call, so
// their texts are kept.
Ref suffix(long long n) {
    static PyObject* kept[32] = {};
    bool keep = n < 32;
    if (keep && kept[n]) return Ref::borrow(kept[n]);
    Ref text = Ref::steal(PyUnicode_FromFormat("_%lld", n));
    if (keep && text) kept[n] = Py_NewRef(text.get());
    return text;
}

// str(key) + "_" + str(n)
Ref candidate(PyObject* text, long long n) {
    if (PyUnicode_CheckExact(text)) {
        Ref tail = suffix(n);
        return tail ? Ref::steal(PyUnicode_Concat(text, tail.get())) : Ref();
    }
    Ref num = Ref::steal(PyUnicode_FromFormat("%lld", n));
    return num ? concat({text, t_underscore.get(), num.get()}) : Ref();
}

// logger.debug("Renaming repeated key from " + str(key) + " to " + alt_key):
// the logger and its method are fetched before the message is built, as the
// expression evaluates.
int log_renaming(Function* self, PyObject* key, PyObject* alt_key) {
    Ref debug = logger_debug(self);
    if (!debug) return -1;
    Ref text = str(key);
    Ref message = text ? concat({t_renaming.get(), text.get(), t_to.get(), alt_key}) : Ref();
    if (!message) return -1;
    Ref r = call(debug.get(), message.get());
    return r ? 0 : -1;
}

PyObject* generate_unique_key_name(Function* self, PyObject* const* args) {
    PyObject* key = args[0];
    PyObject* value = args[1];
    PyObject* dictionary = args[2];
    PyObject* allow_match = args[3];
    long long stop;
    if (!counter_stop(self, stop)) return nullptr;
    for (long long n = 1; n < stop; ++n) {
        Ref text = str(key);
        Ref alt_key = text ? candidate(text.get(), n) : Ref();
        if (!alt_key) return nullptr;
        int present = PySequence_Contains(dictionary, alt_key.get());
        if (present < 0) return nullptr;
        if (present) {
            Ref stored = Ref::steal(PyObject_GetItem(dictionary, alt_key.get()));
            if (!stored) return nullptr;
            int equal = compare(stored.get(), value, Py_EQ);
            if (equal < 0) return nullptr;
            if (equal) {
                int allowed = PyObject_IsTrue(allow_match);
                if (allowed < 0) return nullptr;
                if (!allowed) Py_RETURN_NONE;
            }
        }
        // Always asked a second time: a mapping sees both membership tests,
        // and user code run since the first may have changed the answer.
        present = PySequence_Contains(dictionary, alt_key.get());
        if (present < 0) return nullptr;
        if (present) continue;
        if (log_renaming(self, key, alt_key.get()) < 0) return nullptr;
        return alt_key.release();
    }
    Py_RETURN_NONE;
}

// dict(dest_dict); an exact dict is copied directly, which gives the same
// items in the same order without calling into user code either way.
Ref copy_dict(PyObject* dest) {
    if (PyDict_CheckExact(dest)) return Ref::steal(PyDict_Copy(dest));
    return Ref::steal(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), dest));
}

PyObject* create_extended_dict(Function* self, PyObject* const* args) {
    PyObject* source = args[0];
    PyObject* rename_keys = args[2];
    Ref unique = copy_dict(args[1]);
    if (!unique) return nullptr;
    PyObject* u = unique.get();
    Items items;
    if (!items.start(source)) return nullptr;
    Ref key, value;
    int more;
    while ((more = items.next(key, value)) > 0) {
        int present = PyDict_Contains(u, key.get());
        if (present < 0) return nullptr;
        int differs = 0;
        if (present) {
            Ref stored = Ref::steal(PyObject_GetItem(u, key.get()));
            if (!stored) return nullptr;
            differs = compare(stored.get(), value.get(), Py_NE);
            if (differs < 0) return nullptr;
        }
        if (!differs) {
            if (PyDict_SetItem(u, key.get(), value.get()) < 0) return nullptr;
            continue;
        }
        PyObject* call_args[] = {key.get(), value.get(), u};
        Ref new_key = call_global(self, n_generate_unique_key_name, call_args, 3);
        if (!new_key) return nullptr;
        if (new_key.get() == Py_None) continue;
        int rename = PyObject_IsTrue(rename_keys);
        if (rename < 0) return nullptr;
        if (rename && PyDict_SetItem(u, new_key.get(), value.get()) < 0) return nullptr;
    }
    if (more < 0) return nullptr;
    return unique.release();
}

}  // namespace

const FunctionSpec generate_unique_key_name_spec{
    "generate_unique_key_name",
    nullptr,
    " Generates a unique key name by appending an underscore and integer\n"
    "\n"
    "    Args:\n"
    "        key (int): the key to make a unique name for\n"
    "        value (obj): the value associated with the key\n"
    "        dictionary (dict): the dictionary where the unique key will be inserted\n"
    "        allow_match (bool): if True, allow exact key/value matches\n"
    "\n"
    "    Returns:\n"
    "        None - if an exact key/value match was found\n"
    "        str - if a unique key name has been generated\n"
    "\n"
    "    Raises:\n"
    "        N/A\n"
    "    ",
    {{"key"}, {"value"}, {"dictionary"}, {"allow_match"}},
    generate_unique_key_name,
    {{"return", "str"}},
};

const FunctionSpec create_extended_dict_spec{
    "create_extended_dict",
    nullptr,
    " Generates a dictionary where each key is uniquely named.\n"
    "    Duplicate keys get _1, _2, _3 etc appended to them. If exact key/value match\n"
    "    is found, they're excluded to avoid redundant information.\n"
    "\n"
    "    Args:\n"
    "        source_dict (dict): keys in this dictionary are compared against all previously\n"
    "            seen keys\n"
    "        dest_dict (dict): If a dest_dict is supplied, then its keys are the\n"
    "            starting basis of previously seen keys and all key/value pairs in\n"
    "            dest_dict will be included in the returned dict\n"
    "\n"
    "    Returns:\n"
    "        dict - a new dictionary with uniquely named keys\n"
    "\n"
    "    Raises:\n"
    "        N/A\n"
    "    ",
    {{"source_dict"}, {"dest_dict"}, {"rename_keys"}},
    create_extended_dict,
};

}  // namespace tavik::dicts
