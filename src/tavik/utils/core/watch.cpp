#include "core/watch.hpp"

#include <array>

namespace tavik {

std::uint64_t namespace_epoch = 1;
std::uint64_t lookups_run = 0;

namespace {

int watcher = -1;
// Few namespaces are ever watched: the module's own dict and the builtins.
std::array<PyObject*, 8> watched{};

// Runs inside the dict operation: it must neither fail nor run Python code.
int on_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++namespace_epoch;
    return 0;
}

int type_watcher = -1;
struct WatchedType {
    PyObject* type;
    bool* changed;
};
std::array<WatchedType, 128> watched_types{};

int on_type_change(PyTypeObject* type) {
    for (const WatchedType& w : watched_types) {
        if (w.type == reinterpret_cast<PyObject*>(type)) *w.changed = true;
    }
    return 0;
}

}  // namespace

bool watch_type(PyObject* type, bool* changed) {
    if (!PyType_Check(type)) return false;
    WatchedType* slot = nullptr;
    for (WatchedType& w : watched_types) {
        if (!w.type) { slot = &w; break; }
    }
    if (!slot) return false;
    if (type_watcher < 0) {
        type_watcher = PyType_AddWatcher(on_type_change);
        if (type_watcher < 0) {
            PyErr_Clear();
            return false;
        }
    }
    if (PyType_Watch(type_watcher, type) < 0) {
        PyErr_Clear();
        return false;
    }
    // Kept for the life of the process, as the namespaces are.
    *slot = {Py_NewRef(type), changed};
    return true;
}

bool is_watched(PyObject* dict) {
    for (PyObject* d : watched) {
        if (d == dict) return true;
    }
    return false;
}

bool watch_namespace(PyObject* dict) {
    if (is_watched(dict)) return true;
    PyObject** slot = nullptr;
    for (PyObject*& d : watched) {
        if (!d) { slot = &d; break; }
    }
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
    *slot = Py_NewRef(dict);
    ++namespace_epoch;
    return true;
}

}  // namespace tavik
