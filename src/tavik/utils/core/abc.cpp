#include "core/abc.hpp"

#include "core/watch.hpp"

#include <array>

namespace tavik {

KeptAnswers kept_answers = {{nullptr, nullptr}, {nullptr, nullptr}, {{-1, -1}, {-1, -1}}, nullptr, false,
                            nullptr, nullptr, nullptr};

namespace {

// The exact types whose answers are kept; their classes cannot change.
constexpr std::size_t kTypes = 9;
std::array<PyTypeObject*, kTypes> builtin_types() {
    return {&PyUnicode_Type, &PyLong_Type, &PyFloat_Type, &PyBool_Type, Py_TYPE(Py_None),
            &PyBytes_Type,   &PyTuple_Type, &PyList_Type, &PyDict_Type};
}

std::array<PyTypeObject*, kTypes> types{};  // builtin_types(), once answers are kept

int type_index(PyTypeObject* type) {
    for (std::size_t i = 0; i < kTypes; ++i) {
        if (types[i] == type) return static_cast<int>(i);
    }
    return -1;
}

// Plain pointers: these live as long as the process, and must not be
// released by static destructors after the interpreter is gone.
struct Row {
    PyObject* abc = nullptr;
    PyTypeObject* always = nullptr;
    signed char known[kTypes];  // -1 unknown, else the answer
};

std::array<Row, 4> rows;
PyTypeObject* abc_meta = nullptr;  // type(abc) of every row
// ABCMeta or a row's ABC (or one of their bases) has been changed, or
// cannot be watched: keep nothing.
bool& changed = kept_answers.changed;  // written by the type watcher
bool modified() { return changed; }

// abc.get_cache_token, called through its C function when it is one.
PyObject* token_function = nullptr;
PyCFunction& token_meth = kept_answers.token_meth;
PyObject*& token_self = kept_answers.token_self;
unsigned long long token = 0;
PyObject*& token_object = kept_answers.token_object;
bool token_known = false;

// The copy of the first two rows that the inline test reads.
void mirror() {
    for (std::size_t r = 0; r < 2; ++r) {
        kept_answers.abc[r] = rows[r].abc;
        kept_answers.always[r] = rows[r].always;
        kept_answers.known[r][0] = rows[r].known[0];  // str
        kept_answers.known[r][1] = rows[r].known[1];  // int
    }
    kept_answers.meta = abc_meta;
}

int take_token_function() {
    Ref abc = Ref::steal(PyImport_ImportModule("abc"));
    Ref fn = abc ? Ref::steal(PyObject_GetAttrString(abc.get(), "get_cache_token")) : Ref();
    if (!fn) return -1;
    if (PyCFunction_Check(fn.get()) && (PyCFunction_GET_FLAGS(fn.get()) & ~METH_COEXIST) == METH_NOARGS) {
        token_meth = PyCFunction_GET_FUNCTION(fn.get());
        token_self = PyCFunction_GET_SELF(fn.get());
    }
    token_function = fn.release();
    return 0;
}

// The registry token, a new reference, or nullptr on error.
PyObject* call_token_function() {
    return token_meth ? token_meth(token_self, nullptr) : PyObject_CallNoArgs(token_function);
}

// Drops every kept answer when the registry has changed since they were
// taken. Takes over `token_now`, the token just read (nullptr on error).
int refresh(PyObject* token_now) {
    Ref now = Ref::steal(token_now);
    if (!now) return -1;
    // Small ints are shared objects: the same object is the same count.
    if (now.get() == token_object) return 0;
    token_object = PyUnstable_IsImmortal(now.get()) ? now.get() : nullptr;
    unsigned long long value = PyLong_AsUnsignedLongLong(now.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    if (token_known && value == token) return 0;
    token = value;
    token_known = true;
    for (Row& row : rows) {
        for (auto& a : row.known) a = -1;
    }
    mirror();
    return 0;
}

}  // namespace

int keep_abc_answers(PyObject* abc, PyTypeObject* always) {
    if (!token_function && take_token_function() < 0) return -1;
    types = builtin_types();
    PyTypeObject* meta = Py_TYPE(abc);
    if (abc_meta && meta != abc_meta) return 0;
    for (Row& row : rows) {
        if (row.abc == abc) return 0;
        if (row.abc) continue;
        if ((!abc_meta && !watch_type(reinterpret_cast<PyObject*>(meta), &changed)) || !watch_type(abc, &changed)) {
            changed = true;
            return 0;
        }
        abc_meta = meta;
        row.abc = Py_NewRef(abc);
        row.always = always;
        for (auto& a : row.known) a = -1;
        mirror();
        return 0;
    }
    return 0;
}

int take_token(PyObject* now, bool* token_fresh) {
    if (refresh(now) < 0) return -1;
    *token_fresh = true;
    return 0;
}

int isinstance_kept(PyObject* obj, PyObject* cls, bool* token_fresh) {
    Row* row = rows[0].abc == cls ? &rows[0] : rows[1].abc == cls ? &rows[1] : nullptr;
    for (std::size_t i = 2; !row && i < rows.size(); ++i) {
        if (rows[i].abc == cls) row = &rows[i];
    }
    PyTypeObject* type = Py_TYPE(obj);
    int column = row && !modified() && Py_TYPE(cls) == abc_meta ? type_index(type) : -1;
    if (column < 0 && !(row && type == row->always && !modified() && Py_TYPE(cls) == abc_meta)) {
        *token_fresh = false;  // __instancecheck__ may run any code
        return PyObject_IsInstance(obj, cls);
    }
    // Registrations cannot be undone: these stay true whatever happens.
    if (type == row->always) return 1;
    if (!*token_fresh && take_token(call_token_function(), token_fresh) < 0) return -1;
    signed char& known = row->known[column];
    if (known < 0) {
        unsigned long long before = token;
        int r = PyObject_IsInstance(obj, cls);
        if (r < 0) return -1;
        // Kept only when the check itself left the registry as it was.
        if (refresh(call_token_function()) < 0) return -1;
        if (token == before) known = static_cast<signed char>(r);
        mirror();
        return r;
    }
    return known;
}

}  // namespace tavik
