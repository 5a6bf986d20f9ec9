// When `yaml.safe_load(text)` may be answered by the native reader.
//
// The kept answer: "safe_load, called now, runs exactly the code PyYAML ships",
// so a native reading of the same text gives what it would give. It rests on
// two things, each established and then watched:
//
// What PyYAML ships, established at import (the reader implements PyYAML's
// safe loading as it ships, so a piece changed before the import, an
// application's constructor registered at start-up say, must not be taken
// for the original). Where any of these fails, the native way stays off:
// - Every function of the loader modules (module-level, methods, class and
//   static methods, property accessors) is PyYAML's own: the module it
//   names is a loader module whose file its code comes from, and its
//   qualified name, its code's, and its code's name are those of the place
//   it is bound in. A function or code from elsewhere fails. Not told apart:
//   a code object forged to carry PyYAML's file and names (code.replace);
//   comparing with PyYAML's sources compiled would take some 30 ms.
// - SafeLoader's method resolution order is PyYAML's nine classes, each the
//   one its module binds; every class of the loader modules is watched.
// - The tables and data that the reader implements are PyYAML 6.0's, found
//   where PyYAML puts them (no class of SafeLoader's earlier in its order
//   holding its own): the constructors (the thirteen tags, each to
//   SafeConstructor's own method), no multi constructors, the implicit
//   resolvers (each first character's list of tag and pattern, the
//   patterns' texts and flags), no path resolvers, bool_values,
//   Scanner.ESCAPE_REPLACEMENTS and ESCAPE_CODES, Parser.DEFAULT_TAGS,
//   inf_value and nan_value, timestamp_regexp, Reader.NON_PRINTABLE and the
//   default node tags (texts in yaml_guard.cpp).
// - The constructor's names `collections`, `datetime` and `types` are those
//   modules.
//
// That nothing has changed since. Each event that can make it false, and
// what sees it:
//
// - Taken in two steps, to keep import short. At import (keep_yaml) every
//   namespace, class and table below is watched, and what no watcher sees is
//   taken: the functions' code and defaults, the method resolution orders,
//   the resolver lists, the entries of other modules and a copy of the
//   builtins dict. The copies of the watched dicts, and the builtins the
//   functions name, are taken at the first call: they stand for their
//   import-time state only if no dict watcher of this file has fired and no
//   watched class has changed since import (the epoch is marked before the
//   first watch, so a change made while arming counts). Otherwise the native
//   way stays off for the life of the process.
// - The guard's own copies edited (found through gc by a callback): they are
//   untracked, so gc lists and reaches none of them.
// - `yaml.safe_load` itself replaced: the caller compares the attribute it
//   read with the kept function object, at every call.
// - The code, defaults or keyword defaults of any function of the loader's
//   modules (module-level functions, methods, property getters, class and
//   static methods of every class they define) reassigned, or a cell of its
//   closure given new contents (the `__class__` cell that super() reads):
//   no watcher listens (a function watcher would tax every function the
//   process makes and frees), so every one is compared with its kept value
//   at every call (a few hundred pointer comparisons, without a branch, and
//   the cells of the few closures; KeptFunction, all_same_code).
// - An attribute of a class set or deleted (a method replaced, `SafeLoader.
//   add_constructor` giving the class its own table): every class of those
//   modules, of `SafeLoader`'s method resolution order, `collections.abc.
//   Hashable` and the metaclasses among them is seen twice. Its namespace is
//   a dict watched by this file's dict watcher (below), which fires for every
//   store into it, version tag or not; and a type watcher sets a flag (CPython
//   calls type watchers from PyType_Modified only while the type has a valid
//   version tag; watch_type in core/watch.hpp is responsible for that). Either
//   makes the next call compare every class namespace with its copy; when all
//   are back (the attribute restored) the native way returns.
// - `__bases__` assigned (the namespaces stay as they were): each class's
//   method resolution order is compared with the kept tuple at every call.
// - A module-level name of a loader module rebound, added or deleted (`load`,
//   `SafeLoader`, `datetime`, a class, ...), or the in-place change of a
//   table: `yaml_constructors`, `yaml_multi_constructors`,
//   `yaml_implicit_resolvers`, `yaml_path_resolvers` (which `add_constructor`,
//   `add_implicit_resolver`, ... mutate when the class already owns one) and
//   `SafeConstructor.bool_values`: a dict watcher of this file on each of
//   those dicts bumps `epoch`; a call that sees a new epoch compares them all
//   with their copies, while their keys are str, None or int (a key of
//   another type could run code when a lookup meets it). Dict watchers fire
//   for every change, including clear and deallocation (never happens: the
//   dicts are held).
// - A builtin that their code names rebound, or an entry of `datetime`,
//   `types`, `collections` or `collections.abc` that the constructor reads:
//   entries of watched, pure namespaces (core/watch.hpp, `Entries`), checked
//   at every call against their values at import (the builtins' taken from
//   the import-time copy, once the names are known).
// - The lists inside `yaml_implicit_resolvers` appended to in place (no
//   watcher sees a list): compared with their copies at every call.
// - The class of a module the constructor reads attributes of (`datetime`,
//   `collections`, `collections.abc`, `types`) swapped for a ModuleType
//   subclass, whose own __getattribute__ would run at each read: each
//   module's exact type is compared at every call.
// - isinstance(key, collections.abc.Hashable), which the constructor asks of
//   every mapping key: the reader asks it too, of each key, as a kept answer
//   of core/abc.hpp (verified at each use from the ABC's caches, the
//   registry counter, ABCMeta's code and names, the type of Hashable: a new
//   metaclass with its own __instancecheck__, `abc._abc_instancecheck`
//   rebound, a hook given code that answers otherwise all show there).
//   Where no answer is kept for a key's type, the reader declines, and the
//   real load that follows asks the interpreter; the answer is then taken
//   from the state that asking left in the caches (yaml_keep_answers_left),
//   so the next text with such keys reads natively. A key of a type with no
//   kept answers (a date, a datetime) always goes the real way.
// - A change made during the load by Python code that the load itself
//   triggers: the reader runs no Python code (it never lets the eval breaker
//   run, so a collection its allocations ask for runs after it returns),
//   while PyYAML's own allocations would trigger collections mid-load, and
//   their gc.callbacks there. The native way is off while gc.callbacks holds
//   an entry and the collector is enabled (collector_calls_back, watch.hpp).
//   Not seen: the finalizer of some unrelated garbage that such
//   a collection would run mid-load; when the collector runs is never the
//   same for two implementations' allocations.
// - A tool that would see PyYAML's frames: any sys.monitoring tool with any
//   global event (trace and profile functions are such tools), read at every
//   call (python_is_observed), or local events set on the code of any
//   function above, read with its code (KeptFunction, watch.hpp): the call
//   goes the original way while one would.
// - Deep input against the recursion limit: the reader declines nesting that
//   PyYAML's composer could not reach within the frames left (see reader).
//
// Anything missing at import (a piece not found, no watcher slot) leaves the
// native way off for the life of the process.
#pragma once

#include "core/ref.hpp"

namespace tavik::dicts {

// Takes the originals from the imported `yaml` module. -1 only on an error
// that import should report; a piece that cannot be kept just disables.
int keep_yaml(PyObject* yaml);

// True when `safe_load` is the original and every piece it runs is too.
bool yaml_is_original(PyObject* safe_load);

// SafeConstructor.nan_value: every `.nan` it builds is this one object.
PyObject* yaml_nan();

// collections.abc.Hashable, which the constructor asks of every mapping key
// (borrowed; held by the guard), or nullptr when not kept.
PyObject* yaml_hashable();

// isinstance(key, Hashable) for a mapping key the reader makes: true when
// the kept answer is; otherwise false, and the answer for keys of its type is
// taken after the real load, which asks it (yaml_keep_answers_left, told
// whether that load succeeded).
bool yaml_key_hashable(PyObject* key);
void yaml_keep_answers_left(bool loaded);

}  // namespace tavik::dicts
