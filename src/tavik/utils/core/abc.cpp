#include "core/abc.hpp"

#include "core/watch.hpp"

#include <array>
#include <cstring>
#include <utility>
#include <vector>

namespace tavik {

KeptAnswers kept_answers = {{nullptr, nullptr}, {{-1, -1, -1, -1}, {-1, -1, -1, -1}}, nullptr, false};

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

// The members of one of an ABC's cache sets as last read, each held so that
// its address cannot come back as another object.
class Print {
public:
    bool taken() const { return set_ != nullptr; }
    // The set holds exactly these members.
    bool same() const {
        const auto* so = reinterpret_cast<const PySetObject*>(set_);
        if (so->mask != mask_ || so->used != used_) return false;
        for (const auto& [slot, key] : members_) {
            if (so->table[slot].key != key) return false;
        }
        return true;
    }
    void take(PyObject* set) {
        drop();
        set_ = Py_NewRef(set);
        const auto* so = reinterpret_cast<const PySetObject*>(set);
        mask_ = so->mask;
        used_ = so->used;
        for (Py_ssize_t i = 0; i <= mask_; ++i) {
            // Free slots hold no key; deleted ones hold a marker whose hash is -1.
            if (so->table[i].key && so->table[i].hash != -1) members_.emplace_back(i, Py_NewRef(so->table[i].key));
        }
    }
    void drop() {
        for (const auto& member : members_) Py_DECREF(member.second);
        members_.clear();
        Py_CLEAR(set_);
    }
    // 0: no member's stored hash is `hash`; 1: exactly one is, a weak
    // reference to `type`; -1: anything else. Reads only, runs no code.
    int holds(Py_hash_t hash, PyTypeObject* type) const {
        const auto* so = reinterpret_cast<const PySetObject*>(set_);
        int found = 0;
        for (const auto& [slot, key] : members_) {
            if (so->table[slot].hash != hash) continue;
            PyObject* target = nullptr;
            if (++found > 1 || !PyWeakref_CheckRef(key) || PyWeakref_GetRef(key, &target) <= 0) {
                PyErr_Clear();
                return -1;
            }
            Py_DECREF(target);
            if (target != reinterpret_cast<PyObject*>(type)) return -1;
        }
        return found;
    }

private:
    PyObject* set_ = nullptr;
    Py_ssize_t mask_ = -1;
    Py_ssize_t used_ = -1;
    std::vector<std::pair<Py_ssize_t, PyObject*>> members_;
};

// Plain pointers: these live as long as the process, and must not be
// released by static destructors after the interpreter is gone.
struct Row {
    PyObject* abc = nullptr;
    PyObject* impl = nullptr;  // abc._abc_impl
    Print positive, negative;
    signed char known[kTypes];  // -1 unknown, else the answer
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
unsigned long long token = 0;

void mirror() {
    for (std::size_t r = 0; r < 2; ++r) {
        kept_answers.abc[r] = rows[r].abc;
        std::memcpy(kept_answers.known[r], rows[r].known, sizeof kept_answers.known[r]);
    }
    kept_answers.meta = abc_meta;
}

void forget(Row& row) {
    for (auto& a : row.known) a = -1;
}

bool valid(const Row& row, std::size_t column, signed char answer) {
    if (!row.positive.taken()) return false;
    int positive = row.positive.holds(type_hashes[column], types[column]);
    if (answer) return positive == 1;
    return positive == 0 && row.negative.holds(type_hashes[column], types[column]) == 1;
}

// Reads the ABC's caches afresh when they have changed, and keeps only the
// answers they still give. Its three sets, once made, are never replaced.
void reread(Row& row) {
    if (row.positive.taken() && row.positive.same() && row.negative.same()) return;
    std::vector<PyObject*> sets;
    traverseproc traverse = Py_TYPE(row.impl)->tp_traverse;
    auto visit = [](PyObject* o, void* arg) {
        if (PySet_CheckExact(o)) static_cast<std::vector<PyObject*>*>(arg)->push_back(o);
        return 0;
    };
    if (traverse) traverse(row.impl, visit, &sets);
    // The registry, the positive cache and the negative one, in that order.
    if (sets.size() != 3) {
        row.positive.drop();
        row.negative.drop();
        forget(row);
        return;
    }
    row.positive.take(sets[1]);
    row.negative.take(sets[2]);
    for (std::size_t i = 0; i < kTypes; ++i) {
        if (row.known[i] >= 0 && !valid(row, i, row.known[i])) row.known[i] = -1;
    }
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
    for (Row& row : rows) {
        if (row.abc == abc) return 0;
        if (row.abc) continue;
        Ref impl = Ref::steal(PyObject_GetAttrString(abc, "_abc_impl"));
        if (!impl) return -1;
        if (std::strcmp(Py_TYPE(impl.get())->tp_name, "_abc._abc_data") != 0 || !watch_type(abc, &changed)) {
            changed = true;
            return 0;
        }
        row.abc = Py_NewRef(abc);
        row.impl = impl.release();
        forget(row);
        mirror();
        return 0;
    }
    return 0;
}

int verify_kept(bool* fresh) {
    if (usable) {
        if (read_token() < 0) return -1;
        bool hold = guards_hold();
        for (Row& row : rows) {
            if (!hold) forget(row);
            else if (row.abc && row.positive.taken()) reread(row);
        }
        mirror();
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
    if (row->known[column] >= 0) return row->known[column];
    unsigned long long before = token;
    int r = PyObject_IsInstance(obj, cls);
    *fresh = false;
    if (r < 0 || verify_kept(fresh) < 0) return -1;
    // Kept only when the check itself left the registry and the classes as
    // they were; the caches it may have filled are read now.
    if (token == before && guards_hold()) {
        reread(*row);
        if (valid(*row, static_cast<std::size_t>(column), static_cast<signed char>(r))) {
            row->known[column] = static_cast<signed char>(r);
        }
        mirror();
    }
    return r;
}

}  // namespace tavik
