// Module-level names looked up once and kept while nothing changes: every
// namespace a cached lookup reads (a module's dict, the builtins) is watched,
// and any change to any of them starts a new epoch, which voids every kept
// answer at once.
#pragma once

#include "core/ref.hpp"

#include <cstdint>

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
bool is_watched(PyObject* dict);

// Watches `type`: `*changed` becomes true, for good, at its first reported
// modification (an attribute set or deleted on it or a base). False (and no
// error set) without a watcher slot; the caller then trusts nothing.
bool watch_type(PyObject* type, bool* changed);

}  // namespace tavik
