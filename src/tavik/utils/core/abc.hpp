// isinstance() against abstract base classes, with the answers for exact
// built-in types kept.
//
// Kept answer: isinstance(x, A) for an exact built-in type T of x and an ABC
// A (collections.abc.Mapping, MutableSequence). The interpreter answers it
// from A's own caches, the sets of weak references in A._abc_impl: true when
// its lookup of T in the positive cache finds an entry; false when that
// lookup finds none and the one in the negative cache does, while that
// cache's version is the registry token. An answer is kept as the entry the
// lookup found, held, and it stands only while everything the interpreter's
// answer goes through still gives it:
// - The caches emptied, cleared or edited in any way (_abc_caches_clear,
//   _abc_registry_clear and a recheck, entries added by later checks, or the
//   sets reached through gc and changed): the interpreter's lookup is run
//   again over the live table at each test, reading only: it must meet the
//   held entry (or, for the positive cache of a false answer, a free slot)
//   before any other entry whose stored hash is T's, so no member's __eq__
//   takes part. A held entry cannot come back as another object. The order
//   of the lookup is the set's own, checked against real sets at import.
// - A registration (ABCMeta.register, on any ABC): the interpreter's own
//   registry counter moves. It is read through the C function
//   get_cache_token of the very _abc module whose _abc_instancecheck the
//   ABCs use, never through a name of the `abc` module; a new count drops
//   every answer, and the negative cache's version is compared with it.
// - ABCMeta, A or a base of A changed (a new __instancecheck__,
//   __subclasshook__, _abc_impl, ...): type and class-dict watchers, see
//   watch.hpp; nothing is kept from then on. A given another metaclass: the
//   type of A is compared at each test.
// - ABCMeta.__instancecheck__ given new code, or `abc._abc_instancecheck`
//   rebound or shadowed: the function's code is compared, and the name is an
//   entry of the watched `abc` namespace (watch.hpp).
// - A directly registered class (list for MutableSequence) is answered from
//   the registry, not the caches: not kept.
// The token and the guards are read again whenever Python code may have run
// since they were last read: the caller's `fresh` flag says when they need
// not be. The caches' fields are read through their C layout, which is
// checked at import against the object's traversal, size and
// _abc._get_dump; where it differs nothing is kept.
#pragma once

#include "core/ref.hpp"

#include <cstdint>

namespace tavik {

// Keeps answers for `abc` (a class as imported, e.g. collections.abc.Mapping).
// Whatever cannot be watched leaves the answers unkept; -1 only on an error.
int keep_abc_answers(PyObject* abc);

// isinstance(obj, cls), where `*fresh` says that the registry token and the
// guards were read with no Python code run since: they are then not read
// again. Left true when this test read them, or ran no code; false otherwise.
int isinstance_kept(PyObject* obj, PyObject* cls, bool* fresh);

// Reads the registry token and the guards again, dropping the answers they
// no longer allow, and sets `*fresh`; -1 on error.
int verify_kept(bool* fresh);

// The fields of _abc._abc_data (see above).
struct AbcData {
    PyObject_HEAD
    PyObject* registry;
    PyObject* cache;
    PyObject* negative;
    unsigned long long negative_version;
};

// The key of the first entry whose stored hash is `hash` that the set's own
// lookup meets, or nullptr when it reaches a free slot first (or `set` is
// nullptr, a cache not made yet). Reads only; runs no code.
PyObject* first_with_hash_probing(const PySetObject* so, Py_hash_t hash);
inline PyObject* first_with_hash(PyObject* set, Py_hash_t hash) {
    if (!set) return nullptr;
    const auto* so = reinterpret_cast<const PySetObject*>(set);
    // Most lookups end at the first slot they try.
    const setentry* entry = &so->table[static_cast<std::size_t>(hash) & static_cast<std::size_t>(so->mask)];
    if (entry->hash == hash) return entry->key;
    if (entry->hash == 0 && entry->key == nullptr) return nullptr;
    return first_with_hash_probing(so, hash);
}
inline PyObject* first_with_hash_probing(const PySetObject* so, Py_hash_t hash) {
    const auto mask = static_cast<std::size_t>(so->mask);
    auto perturb = static_cast<std::size_t>(hash);
    std::size_t i = perturb & mask;
    // A table is never full; the bound only guards against a layout mistake.
    for (std::size_t rounds = 0; rounds <= 8 * (mask + 1); ++rounds) {
        const setentry* entry = &so->table[i];
        std::size_t probes = i + 9 <= mask ? 9 : 0;
        for (;;) {
            if (entry->hash == 0 && entry->key == nullptr) return nullptr;
            if (entry->hash == hash) return entry->key;
            if (probes-- == 0) break;
            ++entry;
        }
        perturb >>= 5;
        i = (i * 5 + 1 + perturb) & mask;
    }
    return Py_None;  // never an entry of these sets: not kept
}

constexpr int kNotKept = -2;

// What the inline test below reads: the first two kept ABCs and their
// answers for the commonest exact types.
struct KeptAnswers {
    PyObject* abc[2];
    AbcData* impl[2];
    PyObject* entry[2][4];    // [row][str, int, dict, list]: the held entry, or nullptr
    signed char known[2][4];  // the answer it stands for
    Py_hash_t hash[4];
    unsigned long long token;
    // Bumped by every reading of the token: an answer found still given in
    // the current window (`checked`) is not looked up again while no code
    // has run, which the caller's `fresh` says.
    std::uint64_t window;
    std::uint64_t checked[2][4];
    PyTypeObject* meta;
    bool changed;
};
extern KeptAnswers kept_answers;

// Whether the entry held for an answer still gives it (see above).
inline bool still_given(const AbcData* data, PyObject* entry, signed char answer, Py_hash_t hash,
                        unsigned long long token) {
    if (answer) return first_with_hash(data->cache, hash) == entry;
    return first_with_hash(data->cache, hash) == nullptr && data->negative_version == token &&
           first_with_hash(data->negative, hash) == entry;
}

// The answer kept for a row and column of the inline test when its entry is
// still given, marked checked for the current window; else kNotKept.
int recheck_kept(int row, int column);

// The kept answer of isinstance(obj, cls), or kNotKept. It runs no Python
// code before its answer is known, and does not touch `cls` after reading
// the token, so a borrowed `cls` suffices.
inline int kept_isinstance(PyObject* obj, PyObject* cls, bool* fresh) {
    const KeptAnswers& k = kept_answers;
    int row = cls == k.abc[0] ? 0 : cls == k.abc[1] ? 1 : -1;
    if (row < 0 || k.changed || Py_TYPE(cls) != k.meta) return kNotKept;
    PyTypeObject* type = Py_TYPE(obj);
    int column = type == &PyUnicode_Type ? 0
                 : type == &PyLong_Type  ? 1
                 : type == &PyDict_Type  ? 2
                 : type == &PyList_Type  ? 3
                                         : -1;
    if (column < 0) return kNotKept;
    if (!*fresh && verify_kept(fresh) < 0) return -1;
    if (k.checked[row][column] == k.window) return k.known[row][column];
    return recheck_kept(row, column);
}

inline int isinstance(PyObject* obj, PyObject* cls, bool* fresh) {
    int r = kept_isinstance(obj, cls, fresh);
    return r != kNotKept ? r : isinstance_kept(obj, cls, fresh);
}

// isinstance(obj, cls), the interpreter's answer.
inline int isinstance(PyObject* obj, PyObject* cls) {
    bool fresh = false;
    return isinstance(obj, cls, &fresh);
}

}  // namespace tavik
