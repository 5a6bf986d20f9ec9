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

// Counts the lookups that were not answered from a kept value, i.e. those
// that may have run Python code (a key's __eq__): a caller that must know
// whether any code ran between two points compares it.
extern std::uint64_t lookups_run;
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
    bool unchanged();

private:
    struct Entry {
        PyObject* dict;
        PyObject* key;
        PyObject* value;  // nullptr: absent
    };
    std::vector<Entry> entries_;
    std::uint64_t verified_ = 0;
};

// True when a tool would see Python code run: a trace or profile function of
// this thread (sys.settrace, sys.setprofile), or a sys.monitoring tool (the
// profiler of cProfile, coverage) listening for functions starting or for
// calls. What stands in for Python code (shlex.split, yaml.safe_load) then
// lets the real code run, so the tool sees what it would see without us.
// Tools that listen on single code objects only are not seen.
bool python_is_observed();

// A Python function as it was: the same code, defaults and keyword defaults.
// Neither a type nor a dict watcher sees these change.
struct KeptFunction {
    PyObject* function = nullptr;
    PyObject* code = nullptr;
    PyObject* defaults = nullptr;
    PyObject* kwdefaults = nullptr;
    // False when `function` is not a Python function.
    bool take(PyObject* function);
    // Lets go of what take() holds.
    void forget();
    bool unchanged() const {
        return PyFunction_GET_CODE(function) == code && PyFunction_GET_DEFAULTS(function) == defaults &&
               PyFunction_GET_KW_DEFAULTS(function) == kwdefaults;
    }
};

}  // namespace tavik
