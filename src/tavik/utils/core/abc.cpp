#include "core/abc.hpp"

#include "core/watch.hpp"

#include <array>
#include <cstring>
#include <vector>

namespace tavik {

KeptAnswers kept_answers = {.window = 1};

namespace {

// The exact types whose answers are kept; their classes cannot change. The
// first four are the columns of the inline test.
constexpr std::size_t kTypes = 9;
std::array<PyTypeObject*, kTypes> types{};
std::array<Py_hash_t, kTypes> type_hashes{};

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
    AbcData* impl = nullptr;     // abc._abc_impl
    PyObject* entry[kTypes] = {};  // held: the cache entry an answer stands on
    signed char known[kTypes];     // the answer
};
std::array<Row, 4> rows;

PyTypeObject* abc_meta = nullptr;  // type(abc) of every row
bool& changed = kept_answers.changed;  // set by the watchers, for good

// What the interpreter's answer goes through besides the classes.
KeptFunction instancecheck;  // ABCMeta.__instancecheck__
Entries abc_names;           // _abc_instancecheck in its namespace
bool usable = false;

// _abc.get_cache_token, the C function, and the count it last returned
// (the object too when it was an immortal small int: the same object is
// then the same count).
PyCFunction token_meth = nullptr;
PyObject* token_self = nullptr;
PyObject* token_object = nullptr;
unsigned long long& token = kept_answers.token;

void mirror() {
    for (std::size_t r = 0; r < 2; ++r) {
        kept_answers.abc[r] = rows[r].abc;
        kept_answers.impl[r] = rows[r].impl;
        std::memcpy(kept_answers.entry[r], rows[r].entry, sizeof kept_answers.entry[r]);
        std::memcpy(kept_answers.known[r], rows[r].known, sizeof kept_answers.known[r]);
    }
    std::memcpy(kept_answers.hash, type_hashes.data(), sizeof kept_answers.hash);
    kept_answers.meta = abc_meta;
}

void forget(Row& row) {
    for (PyObject*& e : row.entry) Py_CLEAR(e);
}

bool given(const Row& row, std::size_t column) {
    return row.entry[column] &&
           still_given(row.impl, row.entry[column], row.known[column], type_hashes[column], token);
}

// After the interpreter answered `answer` for `column`: the entry its caches
// now give for it, held, when that entry is a weak reference to the type.
void take(Row& row, std::size_t column, signed char answer) {
    Py_CLEAR(row.entry[column]);
    AbcData* data = row.impl;
    Py_hash_t hash = type_hashes[column];
    PyObject* entry = first_with_hash(answer ? data->cache : data->negative, hash);
    if (!entry || entry == Py_None || !PyWeakref_CheckRef(entry)) return;
    PyObject* target = nullptr;
    if (PyWeakref_GetRef(entry, &target) <= 0) {
        PyErr_Clear();
        return;
    }
    Py_DECREF(target);
    if (target != reinterpret_cast<PyObject*>(types[column])) return;
    row.entry[column] = Py_NewRef(entry);
    row.known[column] = answer;
    if (!given(row, column)) Py_CLEAR(row.entry[column]);
}

// The set's lookup as first_with_hash() follows it, checked on sets of ints
// (whose hashes are themselves) laid out by the set itself: each member is
// the first entry with its hash, and a hash none has leads to a free slot.
bool lookup_order_holds() {
    for (long size : {3L, 40L}) {
        Ref set = Ref::steal(PySet_New(nullptr));
        if (!set) return false;
        std::vector<Ref> members;
        for (long i = 0; i < size; ++i) {
            // Crowded low bits, so that probing goes past the first slot.
            Ref n = Ref::steal(PyLong_FromLong(i * 64 + (i % 3)));
            if (!n || PySet_Add(set.get(), n.get()) < 0) return false;
            members.push_back(n);
        }
        for (const Ref& n : members) {
            PyObject* found = first_with_hash(set.get(), PyObject_Hash(n.get()));
            if (!found || PyObject_RichCompareBool(found, n.get(), Py_EQ) != 1) return false;
        }
        for (long i = 0; i < size; ++i) {
            if (first_with_hash(set.get(), i * 64 + 5)) return false;
        }
    }
    PyErr_Clear();
    return true;
}

// Whether `impl` (of `abc`) is laid out as AbcData: its size, the sets its
// traversal visits (the fields that are set, in order), and the copies and
// version that _abc._get_dump gives. 0 when not.
int check_layout(PyObject* abc, PyObject* impl) {
    if (Py_TYPE(impl)->tp_basicsize != static_cast<Py_ssize_t>(sizeof(AbcData)) || !Py_TYPE(impl)->tp_traverse) {
        return 0;
    }
    auto* data = reinterpret_cast<AbcData*>(impl);
    std::vector<PyObject*> visited;
    auto visit = [](PyObject* o, void* arg) {
        static_cast<std::vector<PyObject*>*>(arg)->push_back(o);
        return 0;
    };
    Py_TYPE(impl)->tp_traverse(impl, visit, &visited);
    std::vector<PyObject*> fields;
    fields.push_back(reinterpret_cast<PyObject*>(Py_TYPE(impl)));
    for (PyObject* f : {data->registry, data->cache, data->negative}) {
        if (f && !PySet_CheckExact(f)) return 0;
        if (f) fields.push_back(f);
    }
    if (visited != fields) return 0;
    Ref dump = Ref::steal(PyObject_CallMethod(token_self, "_get_dump", "O", abc));
    if (!dump) return -1;
    if (!PyTuple_Check(dump.get()) || PyTuple_GET_SIZE(dump.get()) != 4) return 0;
    PyObject* copies[] = {data->registry, data->cache, data->negative};
    for (Py_ssize_t i = 0; i < 3; ++i) {
        PyObject* copy = PyTuple_GET_ITEM(dump.get(), i);
        if (!PySet_Check(copy) || PySet_GET_SIZE(copy) != (copies[i] ? PySet_GET_SIZE(copies[i]) : 0)) return 0;
    }
    unsigned long long version = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(dump.get(), 3));
    if (PyErr_Occurred()) return -1;
    return version == data->negative_version ? 1 : 0;
}

int take_token_function(PyObject* instancecheck_c) {
    if (!PyCFunction_Check(instancecheck_c)) return 0;
    PyObject* module = PyCFunction_GET_SELF(instancecheck_c);
    if (!module || !PyModule_Check(module)) return 0;
    Ref fn = Ref::steal(PyObject_GetAttrString(module, "get_cache_token"));
    if (!fn) return -1;
    if (!PyCFunction_Check(fn.get()) || PyCFunction_GET_SELF(fn.get()) != module ||
        (PyCFunction_GET_FLAGS(fn.get()) & ~METH_COEXIST) != METH_NOARGS) {
        return 0;
    }
    token_meth = PyCFunction_GET_FUNCTION(fn.get());
    token_self = Py_NewRef(module);
    fn.release();  // kept with the module it reads
    return 1;
}

// Takes what the interpreter's answers go through for instances of `meta`.
int keep_meta(PyTypeObject* meta) {
    abc_meta = meta;
    if (!watch_type(reinterpret_cast<PyObject*>(meta), &changed)) return 0;
    PyObject* fn = PyDict_GetItemString(meta->tp_dict, "__instancecheck__");
    if (!instancecheck.take(fn)) return 0;
    PyObject* globals = PyFunction_GET_GLOBALS(fn);
    int r = abc_names.add(globals, "_abc_instancecheck");
    if (r <= 0) return r;
    PyObject* check = PyDict_GetItemString(globals, "_abc_instancecheck");
    if (!check || (r = take_token_function(check)) <= 0) return r;
    if (!lookup_order_holds()) return 0;
    types = {&PyUnicode_Type, &PyLong_Type, &PyDict_Type, &PyList_Type, &PyFloat_Type,
             &PyBool_Type,    Py_TYPE(Py_None), &PyBytes_Type, &PyTuple_Type};
    for (std::size_t i = 0; i < kTypes; ++i) {
        type_hashes[i] = PyObject_Hash(reinterpret_cast<PyObject*>(types[i]));
        if (type_hashes[i] == -1) return -1;
    }
    Ref now = Ref::steal(token_meth(token_self, nullptr));
    if (!now) return -1;
    token = PyLong_AsUnsignedLongLong(now.get());
    if (token == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    token_object = PyUnstable_IsImmortal(now.get()) ? now.get() : nullptr;
    usable = true;
    return 1;
}

bool guards_hold() { return usable && !changed && instancecheck.unchanged() && abc_names.unchanged(); }

// Reads the registry token; a new count drops every answer.
int read_token() {
    Ref now = Ref::steal(token_meth(token_self, nullptr));
    if (!now) return -1;
    if (now.get() == token_object) return 0;
    unsigned long long value = PyLong_AsUnsignedLongLong(now.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return -1;
    token_object = PyUnstable_IsImmortal(now.get()) ? now.get() : nullptr;
    if (value != token) {
        token = value;
        for (Row& row : rows) forget(row);
        mirror();
    }
    return 0;
}

}  // namespace

int keep_abc_answers(PyObject* abc) {
    PyTypeObject* meta = Py_TYPE(abc);
    if (abc_meta && meta != abc_meta) return 0;
    if (!abc_meta) {
        int r = keep_meta(meta);
        if (r <= 0) {
            changed = true;
            return r;
        }
    }
    if (!usable) return 0;
    for (Row& row : rows) {
        if (row.abc == abc) return 0;
        if (row.abc) continue;
        Ref impl = Ref::steal(PyObject_GetAttrString(abc, "_abc_impl"));
        if (!impl) return -1;
        if (std::strcmp(Py_TYPE(impl.get())->tp_name, "_abc._abc_data") != 0 || !watch_type(abc, &changed)) {
            changed = true;
            return 0;
        }
        int laid_out = check_layout(abc, impl.get());
        if (laid_out <= 0) {
            changed = true;
            return laid_out;
        }
        row.abc = Py_NewRef(abc);
        row.impl = reinterpret_cast<AbcData*>(impl.release());
        forget(row);
        mirror();
        return 0;
    }
    return 0;
}

int recheck_kept(int row, int column) {
    KeptAnswers& k = kept_answers;
    PyObject* entry = k.entry[row][column];
    signed char known = k.known[row][column];
    if (!entry || k.changed || !still_given(k.impl[row], entry, known, k.hash[column], k.token)) return kNotKept;
    k.checked[row][column] = k.window;
    return known;
}

int verify_kept(bool* fresh) {
    ++kept_answers.window;
    if (usable && !changed) {
        if (read_token() < 0) return -1;
        if (!guards_hold()) {
            for (Row& row : rows) forget(row);
            mirror();
        }
    }
    *fresh = true;
    return 0;
}

int isinstance_kept(PyObject* obj, PyObject* cls, bool* fresh) {
    Row* row = nullptr;
    for (Row& r : rows) {
        if (r.abc && r.abc == cls) row = &r;
    }
    int column = row && Py_TYPE(cls) == abc_meta && guards_hold() ? type_index(Py_TYPE(obj)) : -1;
    if (column < 0) {
        *fresh = false;  // __instancecheck__ may run any code
        return PyObject_IsInstance(obj, cls);
    }
    if (!*fresh && verify_kept(fresh) < 0) return -1;
    auto c = static_cast<std::size_t>(column);
    if (given(*row, c)) return row->known[c];
    unsigned long long before = token;
    int r = PyObject_IsInstance(obj, cls);
    *fresh = false;
    if (r < 0 || verify_kept(fresh) < 0) return -1;
    // Kept only when the check itself left the registry and the classes as
    // they were; the entry its caches now hold is taken.
    if (token == before && guards_hold()) {
        take(*row, c, static_cast<signed char>(r));
        mirror();
    }
    return r;
}

}  // namespace tavik
