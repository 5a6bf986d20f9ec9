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

// isinstance(obj, cls), the interpreter's answer.
int isinstance(PyObject* obj, PyObject* cls);

// The same, where `*token_fresh` says the registry token was read by an
// earlier test with no Python code run since: it is then not read again.
// Left true when this test read it, or ran no code; false otherwise.
int isinstance(PyObject* obj, PyObject* cls, bool* token_fresh);

}  // namespace tavik
