#include "core/watch.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavik {

std::uint64_t namespace_epoch = 1;

namespace {

// ---- namespaces ----------------------------------------------------------

int watcher = -1;
struct Namespace {
    PyObject* dict;
    bool pure;
};
// Few namespaces are ever watched: the module's own dict, the builtins and
// those of the standard modules whose code is answered natively.
std::array<Namespace, 32> watched{};

Namespace* find(PyObject* dict) {
    for (Namespace& n : watched) {
        if (n.dict == dict) return &n;
    }
    return nullptr;
}

// Runs inside the dict operation: it must neither fail nor run Python code.
int on_change(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject*) {
    ++namespace_epoch;
    bool foreign = event == PyDict_EVENT_CLONED ||
                   ((event == PyDict_EVENT_ADDED || event == PyDict_EVENT_MODIFIED) && !PyUnicode_CheckExact(key));
    if (foreign) {
        if (Namespace* n = find(dict)) n->pure = false;
    }
    return 0;
}

// ---- classes -------------------------------------------------------------

int type_watcher = -1;
int class_dict_watcher = -1;
struct Watched {
    PyObject* object;  // a watched class, or the dict of one or of a base
    bool* changed;
};
// Open addressing on the object's address, never more than half full: an
// import watches some 200 classes and dicts, and every change to one of them
// is looked up here. An object watched for several flags has several slots.
constexpr int kClassBits = 10;
constexpr std::size_t kClassSlots = std::size_t{1} << kClassBits;
std::array<Watched, kClassSlots> watched_classes{};
std::size_t watched_count = 0;

std::size_t home(PyObject* object) {
    auto address = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object));
    return static_cast<std::size_t>(((address >> 4) * 0x9E3779B97F4A7C15u) >> (64 - kClassBits));
}

void report(PyObject* object) {
    for (std::size_t i = home(object); watched_classes[i].object; i = (i + 1) % kClassSlots) {
        if (watched_classes[i].object == object) *watched_classes[i].changed = true;
    }
}

int on_type_change(PyTypeObject* type) {
    report(reinterpret_cast<PyObject*>(type));
    return 0;
}

int on_class_dict_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    report(dict);
    return 0;
}

bool add_watched(PyObject* object, bool* changed) {
    std::size_t i = home(object);
    for (; watched_classes[i].object; i = (i + 1) % kClassSlots) {
        if (watched_classes[i].object == object && watched_classes[i].changed == changed) return true;
    }
    if (2 * (watched_count + 1) > kClassSlots) return false;
    // Kept for the life of the process, as the namespaces are.
    watched_classes[i] = {Py_NewRef(object), changed};
    ++watched_count;
    return true;
}

bool watch_class_dicts(PyTypeObject* type, bool* changed) {
    PyObject* mro = type->tp_mro;
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!PyType_HasFeature(base, Py_TPFLAGS_HEAPTYPE)) continue;
        PyObject* dict = base->tp_dict;
        if (!dict || PyDict_Watch(class_dict_watcher, dict) < 0 || !add_watched(dict, changed)) return false;
    }
    return true;
}

}  // namespace

bool watch_type(PyObject* type, bool* changed) {
    if (!PyType_Check(type)) return false;
    auto* t = reinterpret_cast<PyTypeObject*>(type);
    if (type_watcher < 0) type_watcher = PyType_AddWatcher(on_type_change);
    if (class_dict_watcher < 0 && type_watcher >= 0) class_dict_watcher = PyDict_AddWatcher(on_class_dict_change);
    bool ok = type_watcher >= 0 && class_dict_watcher >= 0 && PyType_Watch(type_watcher, type) == 0 &&
              add_watched(type, changed) && PyUnstable_Type_AssignVersionTag(t) && watch_class_dicts(t, changed);
    PyErr_Clear();
    return ok;
}

bool exact_str_keys(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

bool is_kept(PyObject* dict) {
    Namespace* n = find(dict);
    return n && n->pure;
}

bool watch_namespace(PyObject* dict) {
    if (find(dict)) return true;
    Namespace* slot = find(nullptr);
    if (!slot) return false;
    if (watcher < 0) {
        watcher = PyDict_AddWatcher(on_change);
        if (watcher < 0) {
            PyErr_Clear();
            return false;
        }
    }
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    // Kept for the life of the process, so the pointer is never reused by
    // another dict that nobody watches.
    *slot = {Py_NewRef(dict), exact_str_keys(dict)};
    ++namespace_epoch;
    return true;
}

int Entries::add(PyObject* dict, const char* name) {
    Ref key = Ref::steal(PyUnicode_InternFromString(name));
    return key ? add(dict, key.get()) : -1;
}

int Entries::add(PyObject* dict, PyObject* key) {
    if (!watch_namespace(dict) || !is_kept(dict)) return 0;
    PyObject* value;
    if (PyDict_GetItemRef(dict, key, &value) < 0) return -1;
    Ref now = Ref::steal(value);
    return add(dict, key, now.get());
}

int Entries::add(PyObject* dict, PyObject* key, PyObject* value) {
    if (!watch_namespace(dict) || !is_kept(dict)) return 0;
    entries_.push_back({dict, Py_NewRef(key), Py_XNewRef(value)});
    verified_ = 0;  // the new entry is checked at the next call
    return 1;
}

bool Entries::recheck() {
    for (const Entry& e : entries_) {
        // A pure namespace holds only exact str keys: this runs no code.
        if (!is_kept(e.dict)) return false;
        PyObject* now = PyDict_GetItemWithError(e.dict, e.key);
        if (now != e.value) {
            PyErr_Clear();
            return false;
        }
    }
    verified_ = namespace_epoch;
    return true;
}

bool KeptFunction::take(PyObject* f) {
    forget();
    if (!f || !PyFunction_Check(f)) return false;
    function = Py_NewRef(f);
    code = Py_NewRef(PyFunction_GET_CODE(f));
    defaults = Py_XNewRef(PyFunction_GET_DEFAULTS(f));
    kwdefaults = Py_XNewRef(PyFunction_GET_KW_DEFAULTS(f));
    PyObject* closure = PyFunction_GET_CLOSURE(f);
    for (Py_ssize_t i = 0; closure && i < PyTuple_GET_SIZE(closure); ++i) {
        cells.push_back(Py_XNewRef(PyCell_GET(PyTuple_GET_ITEM(closure, i))));
    }
    return true;
}

bool KeptFunction::same_cells() const {
    // A held function's closure is the tuple it was made with.
    PyObject* closure = PyFunction_GET_CLOSURE(function);
    for (std::size_t i = 0; i < cells.size(); ++i) {
        if (PyCell_GET(PyTuple_GET_ITEM(closure, static_cast<Py_ssize_t>(i))) != cells[i]) return false;
    }
    return true;
}

std::uintptr_t unobserved_version = 0;  // no tool has set an event yet

PyObject* collector_callbacks = nullptr;

int watch_collector() {
    if (collector_callbacks) return 0;
    Ref gc = Ref::steal(PyImport_ImportModule("gc"));
    Ref callbacks = gc ? Ref::steal(PyObject_GetAttrString(gc.get(), "callbacks")) : Ref();
    if (!callbacks) return -1;
    // Anything else than the interpreter's list: nothing is answered natively.
    if (PyList_CheckExact(callbacks.get())) collector_callbacks = callbacks.release();
    return 0;
}

bool observed_since(const PyThreadState* ts) {
    // Every event with a table of its own: C_RETURN and C_RAISE are set with
    // CALL, BRANCH with the two BRANCH_ events (layout.cpp checks the count).
    static constexpr std::uint8_t events[] = {
        PY_MONITORING_EVENT_PY_START,          PY_MONITORING_EVENT_PY_RESUME,      PY_MONITORING_EVENT_PY_RETURN,
        PY_MONITORING_EVENT_PY_YIELD,          PY_MONITORING_EVENT_CALL,           PY_MONITORING_EVENT_LINE,
        PY_MONITORING_EVENT_INSTRUCTION,       PY_MONITORING_EVENT_JUMP,           PY_MONITORING_EVENT_BRANCH_LEFT,
        PY_MONITORING_EVENT_BRANCH_RIGHT,      PY_MONITORING_EVENT_STOP_ITERATION, PY_MONITORING_EVENT_RAISE,
        PY_MONITORING_EVENT_EXCEPTION_HANDLED, PY_MONITORING_EVENT_PY_UNWIND,      PY_MONITORING_EVENT_PY_THROW,
        PY_MONITORING_EVENT_RERAISE};
    constexpr std::size_t n = sizeof events;
    PyMonitoringState states[n];
    std::uint64_t version = ~std::uint64_t{0};  // never a version: always read
    if (PyMonitoring_EnterScope(states, &version, events, n) < 0) {
        PyErr_Clear();
        return true;
    }
    for (const PyMonitoringState& s : states) {
        if (s.active) return true;
    }
    // The version it read is the one the thread holds (the interpreter
    // hands it over when a thread takes the lock).
    std::uintptr_t now = ts->eval_breaker & ~kEvalEventsMask;
    if (version == now) unobserved_version = now;
    return false;
}

namespace {

bool same_bytes(PyObject* a, PyObject* b) {
    return PyBytes_CheckExact(a) && PyBytes_CheckExact(b) && PyBytes_GET_SIZE(a) == PyBytes_GET_SIZE(b) &&
           std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(a))) == 0;
}

// Equal tuples of str, int, bytes and None, compared without running code:
// an element of any other type (whose __eq__ could run) makes them differ.
bool same_plain_tuple(PyObject* a, PyObject* b) {
    if (!PyTuple_CheckExact(a) || !PyTuple_CheckExact(b) || PyTuple_GET_SIZE(a) != PyTuple_GET_SIZE(b)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(a); ++i) {
        PyObject* x = PyTuple_GET_ITEM(a, i);
        PyObject* y = PyTuple_GET_ITEM(b, i);
        if (Py_TYPE(x) != Py_TYPE(y)) return false;
        if (x == Py_None) continue;
        if (PyUnicode_CheckExact(x)) {
            if (PyUnicode_Compare(x, y) != 0) return false;
        } else if (PyBytes_CheckExact(x)) {
            if (!same_bytes(x, y)) return false;
        } else if (!PyLong_CheckExact(x) || PyObject_RichCompareBool(x, y, Py_EQ) != 1) {
            return false;
        }
    }
    return true;
}

// The code object among `consts` named `name` (any, for nullptr).
PyCodeObject* code_in(PyObject* consts, PyObject* name) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
        PyObject* c = PyTuple_GET_ITEM(consts, i);
        if (!PyCode_Check(c)) continue;
        auto* code = reinterpret_cast<PyCodeObject*>(c);
        if (!name || (PyUnicode_CheckExact(code->co_name) && PyUnicode_Compare(code->co_name, name) == 0)) return code;
    }
    return nullptr;
}

}  // namespace

int is_code_of(PyObject* code, PyObject* source) {
    if (!PyCode_Check(code)) return 0;
    const char* text = PyUnicode_AsUTF8(source);
    if (!text) return -1;
    // Level 0, as the frozen standard modules are compiled whatever -O says.
    Ref module = Ref::steal(Py_CompileStringExFlags(text, "<kept>", Py_file_input, nullptr, 0));
    if (!module) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return -1;
        PyErr_Clear();
        return 0;
    }
    auto* live = reinterpret_cast<PyCodeObject*>(code);
    PyCodeObject* body = code_in(reinterpret_cast<PyCodeObject*>(module.get())->co_consts, nullptr);
    PyCodeObject* same = body ? code_in(body->co_consts, live->co_name) : nullptr;
    if (!same || live->co_argcount != same->co_argcount || live->co_posonlyargcount != same->co_posonlyargcount ||
        live->co_kwonlyargcount != same->co_kwonlyargcount || live->co_flags != same->co_flags ||
        live->co_nlocalsplus != same->co_nlocalsplus || live->co_ncellvars != same->co_ncellvars ||
        live->co_nfreevars != same->co_nfreevars) {
        return 0;
    }
    Ref a = Ref::steal(PyCode_GetCode(live));
    Ref b = a ? Ref::steal(PyCode_GetCode(same)) : Ref();
    if (!b) return -1;
    return same_bytes(a.get(), b.get()) && same_bytes(live->co_exceptiontable, same->co_exceptiontable) &&
           same_bytes(live->co_localspluskinds, same->co_localspluskinds) &&
           same_plain_tuple(live->co_consts, same->co_consts) && same_plain_tuple(live->co_names, same->co_names) &&
           same_plain_tuple(live->co_localsplusnames, same->co_localsplusnames);
}

void KeptFunction::forget() {
    for (PyObject*& held : cells) Py_CLEAR(held);
    cells.clear();
    Py_CLEAR(function);
    Py_CLEAR(code);
    Py_CLEAR(defaults);
    Py_CLEAR(kwdefaults);
}

}  // namespace tavik
