#include "core/watch.hpp"

#include <array>
#include <cstddef>
#include <cstdint>

namespace tavik {

std::uint64_t namespace_epoch = 1;
std::uint64_t lookups_run = 0;

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

bool exact_str_keys(PyObject* dict) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
    }
    return true;
}

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

bool Entries::unchanged() {
    if (verified_ == namespace_epoch) return true;
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
    if (!f || !PyFunction_Check(f)) return false;
    function = Py_NewRef(f);
    code = Py_NewRef(PyFunction_GET_CODE(f));
    defaults = Py_XNewRef(PyFunction_GET_DEFAULTS(f));
    kwdefaults = Py_XNewRef(PyFunction_GET_KW_DEFAULTS(f));
    return true;
}

bool python_is_observed() {
    PyThreadState* ts = PyThreadState_Get();
    if (ts->c_tracefunc || ts->c_profilefunc) return true;
    // Refreshed only when the interpreter's monitoring version moves (a tool
    // changed the events it listens to); version 0 is "no tool yet".
    static const std::uint8_t events[] = {PY_MONITORING_EVENT_PY_START, PY_MONITORING_EVENT_CALL};
    static PyMonitoringState states[2];
    static std::uint64_t version = 0;
    if (PyMonitoring_EnterScope(states, &version, events, 2) < 0) {
        PyErr_Clear();
        return true;
    }
    return states[0].active || states[1].active;
}

void KeptFunction::forget() {
    Py_CLEAR(function);
    Py_CLEAR(code);
    Py_CLEAR(defaults);
    Py_CLEAR(kwdefaults);
}

}  // namespace tavik
