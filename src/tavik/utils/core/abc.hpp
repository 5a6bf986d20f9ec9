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
};
extern KeptAnswers kept_answers;

// Reads the registry token, dropping the kept answers if it has changed, and
// sets `*token_fresh`; -1 on error.
int read_token(bool* token_fresh);

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
            if (!*token_fresh && read_token(token_fresh) < 0) return -1;
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
