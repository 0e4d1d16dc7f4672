// Owned references and the error convention shared by every file of the extension.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace cm {

/// Thrown after a C-API failure; the interpreter's error indicator holds the details.
struct PyErrSet {};

/// Owns exactly one reference. Move-only, so an accidental copy cannot be a silent incref.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept
    {
        Py_XSETREF(p_, std::exchange(o.p_, nullptr));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

/// Takes ownership of a new reference; NULL means an error is set.
inline Ref own(PyObject* p)
{
    if (!p) throw PyErrSet{};
    return Ref::steal(p);
}

/// Checks an int status return of the C API.
inline void ok(int rc)
{
    if (rc < 0) throw PyErrSet{};
}

/// Sets a Python exception and unwinds in one call.
[[noreturn, gnu::cold]] inline void raise(PyObject* type, const char* message)
{
    PyErr_SetString(type, message);
    throw PyErrSet{};
}

}  // namespace cm
