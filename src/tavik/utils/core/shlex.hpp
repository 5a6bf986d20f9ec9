// shlex.split(text) of the standard library, answered natively.
//
// Kept answer: "shlex.split with its defaults, on an exact str, gives what
// the native splitter gives". It holds while everything the real split runs
// is as it was at import; each event that could change that, and what sees
// it:
// - `shlex` rebound in the module namespace, or the module's class swapped
//   (its attribute lookup could then run code): the module object and its
//   exact type are compared at each call.
// - A name the code reads rebound, deleted or shadowed: `shlex`, `split`,
//   `StringIO`, `sys` in the module; `ValueError`, `list`, `dict`,
//   `isinstance`, `str`, `StopIteration`, `print`, `repr`, `__import__` in
//   the functions' builtins, each also kept absent from the module, where a
//   module attribute would shadow it. Entries of watched namespaces
//   (watch.hpp: dict watchers, pure namespaces only).
// - split, shlex.__init__, __iter__, __next__, get_token, read_token or the
//   punctuation_chars getter given new code, defaults or keyword defaults
//   (no watcher sees a function change): compared at each call, with the
//   property's getter.
// - The class changed (a method, property or descriptor added, replaced or
//   deleted; its dict edited in place): type and class-dict watchers, see
//   watch.hpp for their preconditions (a version tag; a class that has used
//   up its tags is never answered natively).
// - `from collections import deque` in __init__ finding something else:
//   sys.modules["collections"] compared at each call, with its exact module
//   type; its `deque`, `__spec__` and `__path__` entries; the class of
//   that __spec__ object (watched), its own dict (compared) and that dict's
//   `_initializing` entry (true would make the import lock the module); the
//   import system's `_handle_fromlist` (called for a package) as an entry
//   of importlib._bootstrap, with its code and defaults, and the builtins it
//   reads (`isinstance`, `hasattr`, `str`).
// - A text that is not an exact str (a subclass may override anything the
//   real code calls): the real function is called.
// - A collection that the real split's allocations trigger, running
//   gc.callbacks inside its frames: while the collector has a callback, the
//   real function is called (collector_calls_back, watch.hpp).
// - A tool that would see the real function's frames: any sys.monitoring
//   tool with any global event (trace and profile functions are such tools),
//   read at each call (python_is_observed), or local events set on the code
//   of one of the functions above, read with their code (KeptFunction,
//   watch.hpp): the real function is called.
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
