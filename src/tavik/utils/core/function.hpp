// A native object that behaves like a Python function: the usual dunder
// attributes, inspect.signature, method binding, and argument binding with the
// interpreter's own TypeError texts.
#pragma once

#include "core/ref.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace tavik {

enum class ParamKind { Positional, KeywordOnly, VarPositional, VarKeyword };

struct Param {
    const char* name;
    ParamKind kind = ParamKind::Positional;
};

struct Function;

// Receives one bound value per parameter, in the order of FunctionSpec::params
// (borrowed; *args arrives as a tuple, **kwargs as a dict). Returns a new
// reference, or nullptr with an exception set.
using Impl = PyObject* (*)(Function* self, PyObject* const* args);

struct FunctionSpec {
    const char* name;
    const char* qualname;  // nullptr: same as name
    const char* doc;       // nullptr: None
    // Signature order: positional-or-keyword, *args, keyword-only, **kwargs.
    std::vector<Param> params;
    Impl impl;
    // Stored as strings, in this order.
    std::vector<std::pair<const char*, const char*>> annotations = {};
};

constexpr Py_ssize_t kMaxParams = 8;

// A subtype of the interpreter's built-in function type: cProfile, profile
// and sys.setprofile's c_call events name a call only when the callable is
// one (PyCFunction_Check, which admits subtypes), and label it from `m_ml`
// and `m_module`. Calls never go through `m_ml`: the vectorcall slot of the
// base struct runs the binding below.
struct Function {
    PyCFunctionObject base;  // m_ml = &def, m_self null, m_module is __module__
    PyMethodDef def;         // its name, the qualified name, is what profilers show
    const FunctionSpec* spec;
    Py_ssize_t npos;       // positional-or-keyword parameters
    Py_ssize_t nkwonly;    // keyword-only parameters
    Py_ssize_t varargs;    // slot of *args, or -1
    Py_ssize_t varkw;      // slot of **kwargs, or -1
    PyObject* names;       // tuple of the parameter names, in slot order
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* defaults;    // tuple or nullptr
    PyObject* kwdefaults;  // dict or nullptr
    PyObject* annotations; // dict or nullptr (made from `annotate` when read)
    PyObject* annotate;    // callable, None or nullptr
    PyObject* type_params; // tuple or nullptr (the empty tuple)
    PyObject* closure;     // always None: native code keeps no cells
    PyObject* globals;     // the module's namespace
    PyObject* builtins;    // the builtins' namespace
    PyObject* dict;
    PyObject* extra;       // per-function data of the implementation (e.g. its class)
    // The one keyword-only default as last read (borrowed from `kwdefaults`,
    // see core/watch.hpp), valid while the epoch and the dict are the same.
    PyObject* kwdefault_kept;
    PyObject* kwdefault_kept_from;
    std::uint64_t kwdefault_epoch;
};

extern PyTypeObject* FunctionType;

int function_type_ready();

// Makes a function of `module` (its namespace supplies globals and
// __module__). `defaults`/`kwdefaults` may be nullptr.
Ref make_function(const FunctionSpec& spec, PyObject* module, PyObject* defaults = nullptr,
                  PyObject* kwdefaults = nullptr, const char* module_name = nullptr);

inline bool is_function(PyObject* o) { return Py_IS_TYPE(o, FunctionType); }

// The frame a Python function takes from the recursion limit, taken for as
// long as this lives, for a function whose depth of failure must be its
// Python counterpart's. Entering with no frame left raises as such a call
// does.
class PythonFrame {
public:
    PythonFrame() : thread_(PyThreadState_Get()) {
        entered_ = thread_->py_recursion_remaining > 0;
        if (entered_) {
            --thread_->py_recursion_remaining;
        } else {
            PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
        }
    }
    ~PythonFrame() {
        if (entered_) ++thread_->py_recursion_remaining;
    }
    PythonFrame(const PythonFrame&) = delete;
    PythonFrame& operator=(const PythonFrame&) = delete;
    bool entered() const { return entered_; }

private:
    PyThreadState* thread_;
    bool entered_;
};

// The callee's implementation when `o` is a function running `impl`, so a
// call with every parameter given can skip argument binding.
inline Function* as_impl(PyObject* o, Impl impl) {
    return is_function(o) && reinterpret_cast<Function*>(o)->spec->impl == impl
               ? reinterpret_cast<Function*>(o)
               : nullptr;
}

}  // namespace tavik
