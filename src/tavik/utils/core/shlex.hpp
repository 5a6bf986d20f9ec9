// shlex.split(text) of the standard library, answered natively while every
// piece it runs is the original: the module, its `split`, its `shlex` class
// and the methods that split's default mode runs, the names they look up,
// and an exact str text. Otherwise the real function is called.
#pragma once

#include "core/ref.hpp"

namespace tavik {

// Takes the originals from `module` (the imported shlex).
int keep_shlex(PyObject* module);

// module.split(text), as the expression evaluates.
Ref shlex_split(PyObject* module, PyObject* text);

// The native splitter alone: shlex.split(text) for an exact str.
Ref split_shell_words(PyObject* text);

}  // namespace tavik
