// A native reader of the YAML that configuration files are made of, giving
// exactly what yaml.safe_load gives for the texts it answers.
#pragma once

#include "core/ref.hpp"

#include <cstddef>

namespace tavik::dicts {

// safe_load(text) for an exact str, when the reader is certain of it.
// An empty Ref with no error set means "declined": the text holds something
// the reader does not handle, or something safe_load rejects; the caller then
// runs the real safe_load. It never leaves an error set. It reads no deeper
// than the real safe_load could in the Python frames left where it is called.
Ref read_yaml(PyObject* text);

// Nesting deeper than this many collections is declined.
inline constexpr std::size_t kYamlMaxDepth = 200;

}  // namespace tavik::dicts
