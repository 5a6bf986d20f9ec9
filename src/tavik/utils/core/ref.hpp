// Owned references: every path that leaves a scope releases what it holds.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <utility>

namespace tavik {

class Ref {
public:
    Ref() noexcept = default;
    Ref(std::nullptr_t) noexcept {}

    // Takes over a new reference (the result of most C API calls).
    static Ref steal(PyObject* o) noexcept { Ref r; r.p_ = o; return r; }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) noexcept { Py_XINCREF(o); return steal(o); }

    Ref(const Ref& o) noexcept : p_(Py_XNewRef(o.p_)) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    // The old object is released after the new one is in place, so a
    // destructor that runs Python code never sees a half-assigned Ref.
    Ref& operator=(Ref o) noexcept { std::swap(p_, o.p_); return *this; }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A Python identifier made once and kept for the life of the process
// (the modules are never unloaded).
// Every Name is interned by intern_names() while a module initialises, so
// get() cannot fail later.
class Name {
public:
    explicit Name(const char* text);
    PyObject* get() const noexcept { return obj_; }
    const char* text() const noexcept { return text_; }

    // The last lookup of this name as a module-level name (see lookup()):
    // borrowed from the namespace that holds it, valid only while no watched
    // namespace has changed since (`epoch` equal to namespace_epoch).
    struct Cached {
        PyObject* globals = nullptr;
        PyObject* value = nullptr;
        std::uint64_t epoch = 0;
    };
    Cached& cached() const noexcept { return cached_; }

private:
    friend int intern_names();
    const char* text_;
    PyObject* obj_ = nullptr;
    Name* next_;
    mutable Cached cached_;
};

int intern_names();

}  // namespace tavik
