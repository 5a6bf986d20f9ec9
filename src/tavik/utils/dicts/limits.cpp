// enforce_max_key_value_length.
#include "dicts/dicts.hpp"

namespace tavik::dicts {

namespace {

Name n_enforce_max_key_value_length{"enforce_max_key_value_length"};
Name n_max_key_length{"max_key_length"};
Name n_max_value_length{"max_value_length"};

// A limit as `length > limit` needs it: an exact int is read once per call
// (it cannot change); anything else is compared by its own operator.
struct Bound {
    PyObject* limit;
    bool exact = false;
    int overflow = 0;  // the int's sign when it does not fit in a long long
    long long max = 0;

    explicit Bound(PyObject* limit) : limit(limit) {
        if (PyLong_CheckExact(limit)) {
            max = PyLong_AsLongLongAndOverflow(limit, &overflow);
            exact = true;  // an exact int always converts
        }
    }
    // Its truth value.
    int exceeded_by(Py_ssize_t length) const {
        if (exact) return overflow ? overflow < 0 : static_cast<long long>(length) > max;
        Ref n = Ref::steal(PyLong_FromSsize_t(length));
        Ref r = n ? Ref::steal(PyObject_RichCompare(n.get(), limit, Py_GT)) : Ref();
        return r ? PyObject_IsTrue(r.get()) : -1;
    }
};

// The limits of one call, shared by the checks of its keys and values.
struct Limits {
    Function* self;
    Bound key;
    Bound value;
    // Lengths taken without str() since the last check for signals, which
    // str() makes: a long walk still answers them every so often.
    unsigned unchecked = 0;
};

constexpr unsigned kSignalEvery = 64;

// The digits of a compact int's decimal text, its sign included.
Py_ssize_t decimal_length(long long x) {
    unsigned long long u = x < 0 ? 0ULL - static_cast<unsigned long long>(x) : static_cast<unsigned long long>(x);
    Py_ssize_t n = x < 0 ? 1 : 0;
    do {
        ++n;
        u /= 10;
    } while (u);
    return n;
}

// len(str(item)). An exact str is its own text and a compact exact int's text
// is known, so neither is built.
Py_ssize_t text_length(Limits& limits, PyObject* item) {
    Py_ssize_t length = -1;
    if (PyUnicode_CheckExact(item)) {
        length = PyUnicode_GET_LENGTH(item);
    } else if (PyLong_CheckExact(item) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(item))) {
        length = decimal_length(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(item)));
    }
    if (length >= 0) {
        if (++limits.unchecked < kSignalEvery) return length;
        limits.unchecked = 0;
        return PyErr_CheckSignals() < 0 ? -1 : length;
    }
    limits.unchecked = 0;
    Ref text = Ref::steal(PyObject_Str(item));
    if (!text) return -1;
    if (PyUnicode_CheckExact(text.get())) return PyUnicode_GET_LENGTH(text.get());
    return PyObject_Size(text.get());
}

// The exception for an item longer than its limit.
[[gnu::noinline]] int too_long(PyObject* item, PyObject* max_length, Py_ssize_t length, bool is_key) {
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

[[gnu::noinline]] int check_length_fully(Limits& limits, PyObject* item, bool is_key) {
    Py_ssize_t length = text_length(limits, item);
    if (length < 0) return -1;
    const Bound& bound = is_key ? limits.key : limits.value;
    int over = bound.exceeded_by(length);
    if (over <= 0) return over;
    return too_long(item, bound.limit, length, is_key);
}

// The commonest item, an exact str against an int limit that fits, is
// answered in place; the rest takes every step.
[[gnu::always_inline]] inline int check_length(Limits& limits, PyObject* item, bool is_key) {
    const Bound& bound = is_key ? limits.key : limits.value;
    if (PyUnicode_CheckExact(item) && bound.exact && !bound.overflow && limits.unchecked + 1 < kSignalEvery &&
        static_cast<long long>(PyUnicode_GET_LENGTH(item)) <= bound.max) {
        ++limits.unchecked;
        return 0;
    }
    return check_length_fully(limits, item, is_key);
}

// A nested mapping is checked through the module attribute with this call's
// limits, as a fresh call of the public function.
int check_nested(const Limits& limits, PyObject* value) {
    static KwNames kwnames{n_max_key_length, n_max_value_length};
    if (!kwnames.get()) return -1;
    PyObject* args[] = {value, limits.key.limit, limits.value.limit};
    Ref r = call_global(limits.self, n_enforce_max_key_value_length, args, 1, kwnames.get());
    return r ? 0 : -1;
}

int check_dict(Limits& limits, PyObject* dict) {
    Items items;
    if (!items.start(dict)) return -1;
    Ref key, value;
    int more;
    while ((more = items.next(key, value)) > 0) {
        if (check_length(limits, key.get(), true) < 0) return -1;
        int is_mapping = is_a(limits.self, value.get(), n_Mapping);
        if (is_mapping < 0) return -1;
        if (is_mapping) {
            if (check_nested(limits, value.get()) < 0) return -1;
            continue;
        }
        int is_sequence = is_a(limits.self, value.get(), n_MutableSequence);
        if (is_sequence < 0) return -1;
        int r;
        if (is_sequence) {
            r = for_each(value.get(), [&](PyObject* v) { return check_length(limits, v, false); });
        } else {
            r = check_length(limits, value.get(), false);
        }
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
    Limits limits{self, Bound(args[1]), Bound(args[2])};
    int is_mapping = is_a(self, target, n_Mapping);
    if (is_mapping < 0) return nullptr;
    int r;
    if (is_mapping) {
        r = check_dict(limits, target);
    } else {
        int is_sequence = is_a(self, target, n_MutableSequence);
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
