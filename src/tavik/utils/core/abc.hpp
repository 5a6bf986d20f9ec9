// isinstance() against abstract base classes, with the answers for exact
// built-in types kept as the ABCs' own caches keep them: valid while the ABC
// registry is unchanged (its cache token), and only while neither ABCMeta
// nor the ABC itself has been modified.
#pragma once

#include "core/ref.hpp"

namespace tavik {

// Keeps answers for `abc` (a class as imported, e.g. collections.abc.Mapping);
// `always` is an exact type that is an instance for good (dict for Mapping),
// or nullptr. Without a watcher slot the answers are simply not kept.
int keep_abc_answers(PyObject* abc, PyTypeObject* always);

// isinstance(obj, cls), where `*token_fresh` says the registry token was read
// by an earlier test with no Python code run since: it is then not read
// again. Left true when this test read it, or ran no code; false otherwise.
int isinstance_kept(PyObject* obj, PyObject* cls, bool* token_fresh);

// What the inline test below reads: the first two kept ABCs and their
// answers for exact str and int, the commonest values.
struct KeptAnswers {
    PyObject* abc[2];
    PyTypeObject* always[2];
    signed char known[2][2];  // [row][str, int]: -1 unknown, else the answer
    PyTypeObject* meta;
    bool changed;
    // abc.get_cache_token's C function and self when it is one, and the int
    // it last returned when that was a shared small int: the same object is
    // then the same count.
    PyCFunction token_meth;
    PyObject* token_self;
    PyObject* token_object;
};
extern KeptAnswers kept_answers;

// Takes over `now`, the token just read (nullptr on error): drops the kept
// answers if it is a new count, and sets `*token_fresh`; -1 on error.
int take_token(PyObject* now, bool* token_fresh);

// Reads the registry token through its C function (`token_meth`, which must
// be set); an unchanged small int is settled here.
inline int read_token(bool* token_fresh) {
    const KeptAnswers& k = kept_answers;
    PyObject* now = k.token_meth(k.token_self, nullptr);
    if (now == nullptr || now != k.token_object) return take_token(now, token_fresh);
    Py_DECREF(now);
    *token_fresh = true;
    return 0;
}

// The kept answer of isinstance(obj, cls), or kNotKept. It runs no Python
// code before its answer is known, and does not touch `cls` after reading
// the token, so a borrowed `cls` suffices.
constexpr int kNotKept = -2;
inline int kept_isinstance(PyObject* obj, PyObject* cls, bool* token_fresh) {
    const KeptAnswers& k = kept_answers;
    int row = cls == k.abc[0] ? 0 : cls == k.abc[1] ? 1 : -1;
    if (row >= 0 && !k.changed && Py_TYPE(cls) == k.meta) {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == k.always[row]) return 1;
        int column = type == &PyUnicode_Type ? 0 : type == &PyLong_Type ? 1 : -1;
        if (column >= 0) {
            if (!*token_fresh) {
                // Only the C token function is known to run no Python code.
                if (!k.token_meth) return kNotKept;
                if (read_token(token_fresh) < 0) return -1;
            }
            if (k.known[row][column] >= 0) return k.known[row][column];
        }
    }
    return kNotKept;
}

inline int isinstance(PyObject* obj, PyObject* cls, bool* token_fresh) {
    int r = kept_isinstance(obj, cls, token_fresh);
    return r != kNotKept ? r : isinstance_kept(obj, cls, token_fresh);
}

// isinstance(obj, cls), the interpreter's answer.
inline int isinstance(PyObject* obj, PyObject* cls) {
    bool fresh = false;
    return isinstance(obj, cls, &fresh);
}

}  // namespace tavik
