// enforce_max_key_value_length.
#include "dicts/dicts.hpp"

namespace tavik::dicts {

namespace {

Name n_enforce_max_key_value_length{"enforce_max_key_value_length"};
Name n_max_key_length{"max_key_length"};
Name n_max_value_length{"max_value_length"};

// The limits of one call, shared by the checks of its keys and values.
struct Limits {
    Function* self;
    PyObject* max_key;
    PyObject* max_value;
};

// `length > limit` by its truth value; an int limit is compared in place.
int exceeds(Py_ssize_t length, PyObject* limit) {
    if (PyLong_CheckExact(limit)) {
        int overflow = 0;
        long long max = PyLong_AsLongLongAndOverflow(limit, &overflow);
        if (max == -1 && PyErr_Occurred()) return -1;
        if (overflow) return overflow < 0;
        return static_cast<long long>(length) > max;
    }
    Ref n = Ref::steal(PyLong_FromSsize_t(length));
    Ref r = n ? Ref::steal(PyObject_RichCompare(n.get(), limit, Py_GT)) : Ref();
    return r ? PyObject_IsTrue(r.get()) : -1;
}

// len(str(item)); a str's own length unless a subclass may redefine it.
Py_ssize_t text_length(PyObject* item) {
    Ref text = Ref::steal(PyObject_Str(item));
    if (!text) return -1;
    if (PyUnicode_CheckExact(text.get())) return PyUnicode_GET_LENGTH(text.get());
    return PyObject_Size(text.get());
}

int check_length(const Limits& limits, PyObject* item, bool is_key) {
    Py_ssize_t length = text_length(item);
    if (length < 0) return -1;
    PyObject* max_length = is_key ? limits.max_key : limits.max_value;
    int over = exceeds(length, max_length);
    if (over <= 0) return over;
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    Ref item_text = empty ? Ref::steal(PyObject_Format(item, empty.get())) : Ref();
    Ref max_text = item_text ? Ref::steal(PyObject_Format(max_length, empty.get())) : Ref();
    if (!max_text) return -1;
    const char* kind = is_key ? "key" : "value";
    Ref message = Ref::steal(PyUnicode_FromFormat(
        "\nThe following %s has a length that is too long.\n%s:\n %U\nMaximum length for %ss is %U "
        "characters long (yours is %zd)",
        kind, is_key ? "Key" : "Value", item_text.get(), kind, max_text.get(), length));
    if (!message) return -1;
    PyErr_SetObject(PyExc_Exception, message.get());
    return -1;
}

// A nested mapping is checked through the module attribute with this call's
// limits, as a fresh call of the public function.
int check_nested(const Limits& limits, PyObject* value) {
    static KwNames kwnames{n_max_key_length, n_max_value_length};
    if (!kwnames.get()) return -1;
    PyObject* args[] = {value, limits.max_key, limits.max_value};
    Ref r = call_global(limits.self, n_enforce_max_key_value_length, args, 1, kwnames.get());
    return r ? 0 : -1;
}

int check_dict(const Limits& limits, PyObject* dict) {
    Items items;
    if (!items.start(dict)) return -1;
    Ref key, value;
    int more;
    while ((more = items.next(key, value)) > 0) {
        if (check_length(limits, key.get(), true) < 0) return -1;
        Kinds kinds{limits.self, value.get()};
        int is_mapping = kinds.is_a(n_Mapping);
        if (is_mapping < 0) return -1;
        if (is_mapping) {
            if (check_nested(limits, value.get()) < 0) return -1;
            continue;
        }
        int is_sequence = kinds.is_a(n_MutableSequence);
        if (is_sequence < 0) return -1;
        int r = is_sequence ? for_each(value.get(), [&](PyObject* v) { return check_length(limits, v, false); })
                            : check_length(limits, value.get(), false);
        if (r < 0) return -1;
    }
    return more;
}

// logger.debug("Not a dictionary or list, got " + str(type(obj)) + ...): the
// logger and its method are fetched before the message is built, as the
// expression evaluates.
int log_skipped(Function* self, PyObject* obj) {
    Ref debug = logger_debug(self);
    if (!debug) return -1;
    Ref type_text = Ref::steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    if (!type_text) return -1;
    Ref message;
    if (PyUnicode_CheckExact(type_text.get())) {
        message = Ref::steal(PyUnicode_FromFormat("Not a dictionary or list, got %U, skipping length enforcement check",
                                                  type_text.get()));
    } else {
        // A metaclass may return a str subclass with its own `+`.
        Ref head = Ref::steal(PyUnicode_FromString("Not a dictionary or list, got "));
        Ref tail = Ref::steal(PyUnicode_FromString(", skipping length enforcement check"));
        Ref a = head && tail ? Ref::steal(PyNumber_Add(head.get(), type_text.get())) : Ref();
        message = a ? Ref::steal(PyNumber_Add(a.get(), tail.get())) : Ref();
    }
    if (!message) return -1;
    Ref r = call(debug.get(), message.get());
    return r ? 0 : -1;
}

PyObject* enforce_max_key_value_length(Function* self, PyObject* const* args) {
    PyObject* target = args[0];
    Limits limits{self, args[1], args[2]};
    Kinds kinds{self, target};
    int is_mapping = kinds.is_a(n_Mapping);
    if (is_mapping < 0) return nullptr;
    int r;
    if (is_mapping) {
        r = check_dict(limits, target);
    } else {
        int is_sequence = kinds.is_a(n_MutableSequence);
        if (is_sequence < 0) return nullptr;
        r = is_sequence ? for_each(target, [&](PyObject* element) { return check_dict(limits, element); })
                        : log_skipped(self, target);
    }
    if (r < 0) return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

const FunctionSpec enforce_max_key_value_length_spec{
    "enforce_max_key_value_length",
    nullptr,
    " Enforce key length and value length rules for supplied dictionary.\n"
    "\n"
    "    Args:\n"
    "        dict_to_check (dict): the dictionary to check for key/value lengths\n"
    "        max_key_length (int): maximum number of characters allowed for a key\n"
    "        max_value_length (int): maximum number of characters allowed for a value\n"
    "\n"
    "    Returns:\n"
    "        N/A\n"
    "\n"
    "    Raises:\n"
    "        Exception: if any key has more characters than max_key_length or if any\n"
    "            value has more characters than max_value_length\n"
    "    ",
    {{"dict_to_check"}, {"max_key_length"}, {"max_value_length"}},
    enforce_max_key_value_length,
};

}  // namespace tavik::dicts
