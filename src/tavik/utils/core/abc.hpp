// isinstance() against abstract base classes, with the answers for exact
// built-in types kept.
//
// Kept answer: isinstance(x, A) for an exact built-in type T of x and an ABC
// A (collections.abc.Mapping, MutableSequence). The interpreter answers it
// from A's own caches, the sets of weak references held by A._abc_impl:
// true when the positive cache holds T; false when it does not and the
// negative cache does, taken while the registry token has not moved. An
// answer is kept only as a copy of what those caches say, and only while
// every thing the interpreter's answer goes through is as it was:
// - A registration (ABCMeta.register, on any ABC): the interpreter's own
//   registry counter moves. It is read through the C function
//   get_cache_token of the very _abc module whose _abc_instancecheck the
//   ABCs use, never through a name of the `abc` module; a new count drops
//   every answer.
// - The caches emptied or changed (_abc_caches_clear, _abc_registry_clear
//   followed by it, entries added by later checks, or the sets reached
//   through gc and edited): the sets are compared member for member with
//   what they held when the answers were taken (every member is held, so
//   an address cannot come back as another object, and the count must
//   match); any difference drops the ABC's answers. An answer is taken only
//   when its type is the one member of the sets whose stored hash meets
//   its own, so no member's __eq__ takes part in the interpreter's lookup.
// - ABCMeta, A or a base of A changed (a new __instancecheck__,
//   __subclasshook__, _abc_impl, ...): type and class-dict watchers, see
//   watch.hpp; nothing is kept from then on. A's class rebound to another
//   metaclass: the type of A is compared at each test.
// - ABCMeta.__instancecheck__ given new code, or `abc._abc_instancecheck`
//   rebound or shadowed: the function's code is compared, and the name is an
//   entry of the watched `abc` namespace (watch.hpp).
// All of these are read again whenever Python code may have run since they
// were last read: the caller's `fresh` flag says when they need not be.
#pragma once

#include "core/ref.hpp"

namespace tavik {

// Keeps answers for `abc` (a class as imported, e.g. collections.abc.Mapping).
// Whatever cannot be watched leaves the answers unkept; -1 only on an error.
int keep_abc_answers(PyObject* abc);

// isinstance(obj, cls), where `*fresh` says that what the kept answers rest
// on was read with no Python code run since: it is then not read again.
// Left true when this test read it, or ran no code; false otherwise.
int isinstance_kept(PyObject* obj, PyObject* cls, bool* fresh);

// Reads again what the kept answers rest on, dropping those no longer
// true, and sets `*fresh`; -1 on error.
int verify_kept(bool* fresh);

// What the inline test below reads: the first two kept ABCs and their
// answers for the commonest exact types.
struct KeptAnswers {
    PyObject* abc[2];
    signed char known[2][4];  // [row][str, int, dict, list]: -1 unknown, else the answer
    PyTypeObject* meta;
    bool changed;
};
extern KeptAnswers kept_answers;

// The kept answer of isinstance(obj, cls), or kNotKept. It runs no Python
// code before its answer is known, and does not touch `cls` after reading
// what the answers rest on, so a borrowed `cls` suffices.
constexpr int kNotKept = -2;
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
    signed char known = k.known[row][column];
    return known >= 0 && !k.changed ? known : kNotKept;
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
