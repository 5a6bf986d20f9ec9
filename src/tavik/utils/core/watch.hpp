// What tells a kept answer that it has stopped being true.
//
// Namespaces (module dicts, the builtins, an instance __dict__ read by code
// we stand in for). Kept answer: the value a name had at a lookup (the
// module-level name caches of names.hpp, the entries of `Entries`).
// - The dict gains, loses or rebinds a key, is cleared, updated or freed:
//   a dict watcher (PyDict_Watch) hears every one of these, whatever code
//   does it, and bumps `namespace_epoch`; the answer is read afresh. The
//   watched dicts are held for the life of the process, so an address is
//   never reused by a dict nobody watches.
// - The same lookup answers differently with no change to the dict: only a
//   key that is not an exact str can do that (its __eq__, reached when its
//   hash meets the name's). The watcher sees every key as it goes in, and a
//   namespace that ever held such a key is not pure: nothing read from it
//   is kept.
// - No watcher slot left (eight per interpreter): nothing is kept.
//
// Classes. Kept answer: whatever the class and its bases said when watched
// (their methods, descriptors, an ABC's `_abc_impl`). `*changed` becomes true
// for good at the first event below.
// - An attribute set or deleted on the class or a base, a new __bases__:
//   CPython calls type watchers from its type-modified path, which runs
//   only while the class holds a valid version tag, and reaches subclasses
//   only from a base that holds one. Watching assigns the class a tag
//   (PyUnstable_Type_AssignVersionTag), which gives every base one too, and
//   a class that has used up its tags is not watched. A tag is dropped only
//   by that same path, after the watchers have been called, so the first
//   change to the class or any base is always heard.
// - A class dict changed in place, with no type-modified call (the dict
//   reached through gc.get_referents): a dict watcher on the dict of the
//   class and of every heap-type base hears it. Static types cannot change.
// - No type watcher slot: nothing is kept.
#pragma once

#include "core/ref.hpp"

#include <cstdint>
#include <vector>

namespace tavik {

// Bumped by every change to a watched dict (item set or deleted, clear,
// dealloc). Starts at 1, so a Name whose cache is empty (epoch 0) misses.
extern std::uint64_t namespace_epoch;

// Watches `dict`. False (and no error set) when the interpreter has no
// watcher slot left; lookups in that namespace then simply are not kept.
bool watch_namespace(PyObject* dict);

// Every key of `dict` an exact str, so that a lookup by one runs no code.
bool exact_str_keys(PyObject* dict);
// Watched, and has never held a key other than an exact str: what a lookup
// found there stays true until the epoch moves.
bool is_kept(PyObject* dict);

// Watches `type`: `*changed` becomes true, for good, at its first change or
// a base's. False (and no error set) when it cannot be watched; the caller
// then trusts nothing.
bool watch_type(PyObject* type, bool* changed);

// Entries of watched namespaces that a kept answer relies on, each with the
// object it held (or its absence), checked again whenever the epoch moves.
class Entries {
public:
    // Remembers dict[name] (absent too). False when the namespace cannot be
    // kept; -1 with an error set when the name cannot be made.
    int add(PyObject* dict, const char* name);
    int add(PyObject* dict, PyObject* key);  // an exact str
    // Remembers that dict[key] held `value` (nullptr: absent) when the
    // answer was taken, earlier than now; dict watched since.
    int add(PyObject* dict, PyObject* key, PyObject* value);
    bool unchanged() { return verified() || recheck(); }
    // Compared since the epoch last moved.
    bool verified() const { return verified_ == namespace_epoch; }

private:
    bool recheck();
    struct Entry {
        PyObject* dict;
        PyObject* key;
        PyObject* value;  // nullptr: absent
    };
    std::vector<Entry> entries_;
    std::uint64_t verified_ = 0;
};

// ---- observation -------------------------------------------------------
//
// Whether a tool would see the Python code that a kept answer stands in for,
// read at every use; while one would, the call goes the interpreter's way, so
// the tool sees what it would see without us.
// - Any sys.monitoring tool with any global event: cProfile's, coverage's, a
//   debugger's, and sys.settrace's and sys.setprofile's, which since 3.12 are
//   tools whose global events are set while any thread has such a function.
//   Read: the interpreter's monitoring version, which every change of any
//   tool's global events moves and which it keeps in the high bits of the
//   running thread's eval_breaker (where its own eval loop reads it; the mask
//   is checked in layout.cpp), compared with the last version seen without
//   any global event of any tool; when it has moved, the events of every
//   tool, through PyMonitoring_EnterScope.
// - Local events set on a code object the answer stands for
//   (sys.monitoring.set_local_events): the tools listening on that code,
//   read from its monitoring data (has_local_events), for every function a
//   KeptFunction holds and for the ABC checks of abc.hpp.
// Nothing else reaches a frame the native way skips: the frames count against
// the recursion limit, and a pending signal, an asynchronous exception or a
// switch to another thread may be taken in them; natively they are taken at
// the next point where the interpreter checks. Neither has a fixed place.
constexpr std::uintptr_t kEvalEventsMask = 0xFF;
extern std::uintptr_t unobserved_version;
bool observed_since(const PyThreadState* ts);
// The version is the last one seen without any global event.
inline bool seen_unobserved() {
    return (PyThreadState_GetUnchecked()->eval_breaker & ~kEvalEventsMask) == unobserved_version;
}
inline bool python_is_observed() {
    const PyThreadState* ts = PyThreadState_GetUnchecked();
    return (ts->eval_breaker & ~kEvalEventsMask) != unobserved_version && observed_since(ts);
}

// Whether a collection could call back into Python code: gc.callbacks (the
// list as the gc module held it when first asked) has an entry and the
// collector is enabled. Code we stand in for makes objects, and a collection
// those allocations trigger runs the callbacks inside its frames; the native
// way makes other objects and lets no collection run until it returns, so
// while one could, it is not taken. -1 only on an error.
int watch_collector();
extern PyObject* collector_callbacks;
inline bool collector_calls_back() {
    return !collector_callbacks || (PyList_GET_SIZE(collector_callbacks) && PyGC_IsEnabled());
}

// Whether the Python code a native stand-in replaces (shlex.split,
// safe_load) may be skipped unseen: no tool would see its frames and no
// collection its allocations trigger could call back.
inline bool stand_in_unseen() { return !python_is_observed() && !collector_calls_back(); }

// The first member of a code object's monitoring data: for each local event,
// the tools listening on that code (the layout is checked against the
// interpreter's own headers in layout.cpp).
struct LocalMonitors {
    std::uint8_t tools[11];
};
inline bool has_local_events(PyObject* code) {
    const void* data = reinterpret_cast<const PyCodeObject*>(code)->_co_monitoring;
    if (!data) return false;
    std::uint8_t any = 0;
    for (std::uint8_t tools : static_cast<const LocalMonitors*>(data)->tools) any |= tools;
    return any != 0;
}

// A Python function as it was: the same code, defaults, keyword defaults
// and contents of its closure's cells (the `__class__` cell that super()
// reads, say), and no tool listening on its code. Neither a type nor a dict
// watcher sees these change; the closure tuple itself cannot be replaced.
struct KeptFunction {
    PyObject* function = nullptr;
    PyObject* code = nullptr;
    PyObject* defaults = nullptr;
    PyObject* kwdefaults = nullptr;
    std::vector<PyObject*> cells;  // what each cell held (held, so no other object takes its address)
    // False when `function` is not a Python function.
    bool take(PyObject* function);
    // Lets go of what take() holds.
    void forget();
    bool unchanged() const { return same_code_and_defaults() && (cells.empty() || same_cells()); }
    bool same_code_and_defaults() const {
        return PyFunction_GET_CODE(function) == code && PyFunction_GET_DEFAULTS(function) == defaults &&
               PyFunction_GET_KW_DEFAULTS(function) == kwdefaults && !has_local_events(code);
    }
    // For a function whose every call fills all of its parameters, which
    // are all positional and which has no closure: its defaults are never
    // read, only its code.
    bool same_code() const { return PyFunction_GET_CODE(function) == code && !has_local_events(code); }
    // Zero when the code and defaults are those kept and the code has no
    // monitoring data at all: unchanged() but for the cells, without a
    // branch, for tests over many functions at once.
    std::uintptr_t difference() const {
        auto bits = [](const void* p) { return reinterpret_cast<std::uintptr_t>(p); };
        return (bits(PyFunction_GET_CODE(function)) ^ bits(code)) |
               (bits(PyFunction_GET_DEFAULTS(function)) ^ bits(defaults)) |
               (bits(PyFunction_GET_KW_DEFAULTS(function)) ^ bits(kwdefaults)) |
               bits(reinterpret_cast<const PyCodeObject*>(code)->_co_monitoring);
    }
    bool same_cells() const;
};

// Whether every one of `functions` is unchanged() but for its cells: the
// cheap difference() of all first, the full test only where monitoring data
// or a change shows. The few with cells are for the caller to compare.
template <class Functions>
bool all_same_code(const Functions& functions) {
    std::uintptr_t differ = 0;
    for (const KeptFunction& f : functions) differ |= f.difference();
    if (!differ) return true;
    for (const KeptFunction& f : functions) {
        if (!f.same_code_and_defaults()) return false;
    }
    return true;
}

// Whether `code` is that of the function of the same name in the class `_`
// that `source` defines, compiled now at optimisation level 0: the same
// bytecode, constants, names, variables, argument counts, flags and exception
// table. What such a function does then depends only on its arguments and on
// the names it reads. 0 when not (or `source` does not compile); -1 with an
// error set only when memory runs out.
int is_code_of(PyObject* code, PyObject* source);

}  // namespace tavik
