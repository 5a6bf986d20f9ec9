// What the module body and the two classes of tavik.utils.parser share.
#pragma once

#include "core/function.hpp"
#include "core/names.hpp"
#include "core/ref.hpp"

namespace tavik::parser {

// The methods, one class per file.
extern const FunctionSpec parse_args_spec;                 // propagation.cpp
extern const FunctionSpec init_spec;                       // formatter.cpp
extern const FunctionSpec format_usage_spec;               // formatter.cpp
extern const FunctionSpec format_action_invocation_spec;   // formatter.cpp

// Module-level names, looked up at each use.
extern Name n_sys;

// Taken once while the module initialises.
extern PyObject* builtin_super;   // the constructor's super()
extern bool assertions_enabled;   // __debug__ as it was at import

}  // namespace tavik::parser
