// isinstance() against the ABCs of collections.abc, answered natively for
// exact built-in types.
//
// The rule that every fast path of these modules keeps: no kept answer rests
// on a claim about which operations run no Python code. A store, a release,
// an allocation, a lookup and nearly every C API call can reach a finalizer,
// a weakref callback, a watcher or the collector, and any of them may change
// what an answer stands on. So each use of a kept answer verifies it there
// and then, from the state that the interpreter's own answer reads; nothing
// is carried from one use to the next but what a watcher reports the moment
// it happens.
//
// Kept answer: isinstance(x, A) for x of an exact built-in type T (str, int,
// dict, list, float, bool, NoneType, bytes, tuple: static types, whose class,
// method resolution order and hash cannot change) and A one of the ABCs kept
// (Mapping and MutableSequence for the walkers, Hashable for the YAML
// reader's mapping keys). The interpreter's answer, step by step,
// and what every use reads for each step:
//
// 1. isinstance finds __instancecheck__ on type(A), ABCMeta's, and calls it;
//    it calls _abc._abc_instancecheck(A, x). Read: type(A) is the metaclass
//    kept; `changed` is false (type and class-dict watchers on the metaclass,
//    A and A's bases, watch.hpp, report any attribute of theirs set, deleted
//    or edited in place: a new __instancecheck__, __subclasshook__,
//    _abc_impl, ...); the function's code, defaults and keyword defaults are
//    those kept (KeptFunction), that code is abc.py's (compared with the
//    same source compiled, when kept), its global _abc_instancecheck is the
//    _abc function (an entry of abc's watched namespace); and no tool would
//    see the frame (python_is_observed, local events on the code).
// 2. It reads A._abc_impl (kept, A's dict watched) and x.__class__ (T), and
//    looks T up in the positive cache, a set of weak references: found,
//    True. Kept as `kInCache`: the held weak reference is the first entry
//    with T's hash that the set's lookup meets, so no other entry's __eq__
//    is reached and the lookup finds it.
// 3. While the negative cache's version is the registry counter, it looks T
//    up there: found, False. Kept as `kInNegative`: the positive lookup meets
//    a free slot first, the version equals the counter (read from the _abc
//    module's state, whose layout is checked at import), and the held entry
//    comes first in the negative cache.
// 4. Otherwise it calls A.__subclasscheck__(T), ABCMeta's (read as in 1),
//    whose _abc_subclasscheck looks in both caches again (a version behind
//    the counter would clear the negative cache: not kept), calls
//    A.__subclasshook__(T), tests T's method resolution order (A is not in
//    it) and looks T up in the registry: found, True, and nothing is cached,
//    so every later call runs these steps again. Kept as `kInRegistry`: both
//    cache lookups meet a free slot with the version equal to the counter;
//    __subclasscheck__ is not shadowed in A's method resolution order (when
//    kept; watched since); the hook is the classmethod found through A's
//    method resolution order when kept, still wrapping the function kept (its
//    field read directly, the layout checked when kept), whose code is
//    collections.abc's ("if cls is X: return _check_methods(C, ...)",
//    "return NotImplemented", compared with that source compiled), with X
//    and NotImplemented entries of its watched globals and builtins, X not A
//    and NotImplemented the builtin: it returns NotImplemented and does
//    nothing else; no tool would see either frame; and the held entry comes
//    first in the registry.
// Anything else goes the interpreter's way, and an answer is taken again
// from the state its run leaves (a later answer the interpreter caches is
// found in the cache). What is still unseen is the frames' own cost, see
// watch.hpp ("observation").
#pragma once

#include "core/ref.hpp"
#include "core/watch.hpp"

#include <cstdint>

namespace tavik {

// Keeps answers for `abc` (a class as imported, e.g. collections.abc.Mapping).
// Whatever cannot be watched leaves the answers unkept; -1 only on an error.
int keep_abc_answers(PyObject* abc);

// The fields of _abc._abc_data and of the _abc module's state.
struct AbcData {
    PyObject_HEAD
    PyObject* registry;
    PyObject* cache;
    PyObject* negative;
    unsigned long long negative_version;
};
struct AbcState {
    PyTypeObject* data_type;
    std::uint64_t counter;
};

// The key of the first entry whose stored hash is `hash` that the set's own
// lookup meets, or nullptr when it reaches a free slot first (or `set` is
// nullptr, a cache not made yet, or empty, which the interpreter does not
// look into either). Reads only; runs no code. The lookup's order (rounds of
// ten slots in a row, or one near the table's end, then a perturbed jump) is
// checked against real sets at import.
[[gnu::always_inline]] inline PyObject* first_with_hash(PyObject* set, Py_hash_t hash) {
    if (!set) return nullptr;
    const auto* so = reinterpret_cast<const PySetObject*>(set);
    if (so->used == 0) return nullptr;
    const auto mask = static_cast<std::size_t>(so->mask);
    const setentry* table = so->table;
    auto perturb = static_cast<std::size_t>(hash);
    std::size_t i = perturb & mask;
    // A table is never full; the bound only guards against a layout mistake.
    for (std::size_t rounds = 8 * (mask + 1);;) {
        const setentry* entry = &table[i];
        if (entry->hash == hash) return entry->key;
        if (entry->hash == 0 && entry->key == nullptr) return nullptr;
        if (i + 9 <= mask) {
            for (const setentry* last = entry + 9; entry != last;) {
                ++entry;
                if (entry->hash == hash) return entry->key;
                if (entry->hash == 0 && entry->key == nullptr) return nullptr;
            }
        }
        if (rounds-- == 0) return Py_None;  // never an entry of these sets: not kept
        perturb >>= 5;
        i = (i * 5 + 1 + perturb) & mask;
    }
}

constexpr int kNotKept = -2;
constexpr int kRows = 3;  // Mapping, MutableSequence, Hashable, as kept
constexpr int kColumns = 9;
enum Kept : signed char { kUnkept, kInCache, kInNegative, kInRegistry };

// The exact types answered: the columns.
inline int column_of(PyTypeObject* type) {
    return type == &PyUnicode_Type    ? 0
           : type == &PyLong_Type     ? 1
           : type == &PyDict_Type     ? 2
           : type == &PyList_Type     ? 3
           : type == &PyFloat_Type    ? 4
           : type == &PyBool_Type     ? 5
           : type == Py_TYPE(Py_None) ? 6
           : type == &PyBytes_Type    ? 7
           : type == &PyTuple_Type    ? 8
                                      : -1;
}

// classmethod's fields; the size of the type and the field's value are
// checked before the field is read.
struct ClassMethod {
    PyObject_HEAD
    PyObject* callable;
    PyObject* dict;
};

// What the inline test reads: the ABCs kept (the rows), per row and column
// the entry an answer stands on, held, and where it was found, and the
// guards of the steps.
struct KeptAnswer {
    PyObject* entry;  // held
    Kept kept;
};
struct KeptAnswers {
    PyObject* abc[kRows];
    AbcData* impl[kRows];
    KeptAnswer answer[kRows][kColumns];
    bool changed;  // set by the watchers, for good
    PyTypeObject* meta;
    const AbcState* state;  // the _abc module's
    Py_hash_t hash[kColumns];
    // ABCMeta.__instancecheck__ and __subclasscheck__, and their code when
    // kept. Each is called with both of its two positional parameters, so
    // neither reads its defaults.
    const PyFunctionObject* instancecheck;
    PyObject* instancecheck_code;
    const PyFunctionObject* subclasscheck;
    PyObject* subclasscheck_code;
    // Per row, its __subclasshook__ when kept (for registry answers): the
    // classmethod, the function it wraps and that function's code; the hook
    // too is called with both of its parameters.
    struct Hook {
        const ClassMethod* classmethod;
        const PyFunctionObject* function;
        PyObject* code;
    } hook[kRows];
    // _abc_instancecheck and _abc_subclasscheck in abc's namespace, and the
    // names each hook kept reads.
    Entries names;
};
extern KeptAnswers kept_answers;

// The row of `cls`, or -1.
[[gnu::always_inline]] inline int row_of(const PyObject* cls) {
    const KeptAnswers& k = kept_answers;
    return cls == k.abc[0] ? 0 : cls == k.abc[1] ? 1 : cls == k.abc[2] ? 2 : -1;
}

// Step 4 of a registry answer, after its set lookups.
[[gnu::always_inline]] inline bool registry_steps_hold(int row) {
    const KeptAnswers& k = kept_answers;
    const KeptAnswers::Hook& hook = k.hook[row];
    return hook.classmethod && (hook.classmethod->callable == reinterpret_cast<const PyObject*>(hook.function)) &
                                   (hook.function->func_code == hook.code) &
                                   (k.subclasscheck->func_code == k.subclasscheck_code) &&
           !has_local_events(hook.code) && !has_local_events(k.subclasscheck_code);
}

// Step 1, what every answer stands on, but for what is refreshed out of line
// (a namespace changed since its entries were compared, a monitoring version
// not yet seen): then not kept this time.
[[gnu::always_inline]] inline bool instancecheck_holds(const PyObject* cls) {
    const KeptAnswers& k = kept_answers;
    bool same = !k.changed & (Py_TYPE(cls) == k.meta) & (k.instancecheck->func_code == k.instancecheck_code) &
                k.names.verified();
    return same && !has_local_events(k.instancecheck_code) && seen_unobserved();
}

// The kept answer of isinstance(obj, cls), or kNotKept. It runs no Python
// code and reads `cls` only for its identity and type, so a borrowed `cls`
// suffices.
[[gnu::always_inline]] inline int kept_isinstance(PyObject* obj, PyObject* cls) {
    const KeptAnswers& k = kept_answers;
    int row = row_of(cls);
    if (row < 0) return kNotKept;
    int column = column_of(Py_TYPE(obj));
    if (column < 0) return kNotKept;
    const KeptAnswer& kept = k.answer[row][column];
    PyObject* entry = kept.entry;
    if (!entry) return kNotKept;
    const AbcData* data = k.impl[row];
    Py_hash_t hash = k.hash[column];
    PyObject* in_cache = first_with_hash(data->cache, hash);
    int answer = 1;
    if (kept.kept == kInCache) {
        if (in_cache != entry) return kNotKept;
    } else {
        if (in_cache || data->negative_version != k.state->counter) return kNotKept;
        PyObject* in_negative = first_with_hash(data->negative, hash);
        if (kept.kept == kInNegative) {
            if (in_negative != entry) return kNotKept;
            answer = 0;
        } else if (in_negative || first_with_hash(data->registry, hash) != entry || !registry_steps_hold(row)) {
            return kNotKept;
        }
    }
    return instancecheck_holds(cls) ? answer : kNotKept;
}

// isinstance(obj, cls) after the inline test gave no answer: the kept one
// once what it refreshes is refreshed, else the interpreter's, then kept when
// the state its run leaves allows.
int isinstance_and_keep(PyObject* obj, PyObject* cls);

// Refreshes what the inline test reads but does not refresh; false when no
// answer can be kept now.
bool kept_answers_refreshed();

// Where no answer is kept for instances of `type` against `cls`: the one
// that the state left by the interpreter's own isinstance, asked by someone
// else (PyYAML's constructor), gives.
void keep_answer_found(PyTypeObject* type, PyObject* cls);

// isinstance(obj, cls), the interpreter's answer.
inline int isinstance(PyObject* obj, PyObject* cls) {
    int r = kept_isinstance(obj, cls);
    return r != kNotKept ? r : isinstance_and_keep(obj, cls);
}

}  // namespace tavik
