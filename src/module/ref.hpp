// Owned references and the error convention shared by every file of the extension.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cassert>
#include <exception>
#include <new>
#include <utility>

namespace cm {

/// Thrown after a C-API failure; the interpreter's error indicator holds the details. Thrown
/// without one, it would become "returned NULL without setting an exception" far from the
/// cause: the sanitizer and coverage builds check that here.
struct PyErrSet {
    PyErrSet() noexcept { assert(PyErr_Occurred()); }
};

/// True from the first runtime's exit callbacks on, for the rest of the process. From then, a
/// daemon thread may be ended in the middle of a call (a forced unwind through our frames)
/// without a thread state, also one that wakes after an embedding program has finalised the
/// runtime and started the next: so it is never cleared, and a process that never exits a
/// runtime never pays for the test.
[[gnu::visibility("hidden")]] extern bool g_exiting;

/// Drops a reference once a runtime has exited: only a thread with a thread state may.
[[gnu::cold, gnu::noinline]] void release_while_exiting(PyObject* p);

/// Py_DECREF, except on a thread that is being torn down without a thread state.
inline void decref(PyObject* p)
{
    if (g_exiting) [[unlikely]]
        release_while_exiting(p);
    else
        Py_DECREF(p);
}

/// Owns exactly one reference. Move-only, so an accidental copy cannot be a silent incref.
/// Releasing may run a finaliser, and a finaliser may end the thread (at exit) by a forced
/// unwind, which must pass through: hence noexcept(false).
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(PyObject* p) noexcept { return Ref(Py_XNewRef(p)); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept(false)
    {
        if (PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr))) decref(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() noexcept(false)
    {
        if (p_) decref(p_);
    }

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

/// The same with PyErr_Format's format and arguments.
template <class... Args>
[[noreturn, gnu::cold, gnu::noinline]] void raise(PyObject* type, const char* format, Args... args)
{
    PyErr_Format(type, format, args...);
    throw PyErrSet{};
}

/// Runs a slot's body; a C++ exception becomes the Python error, and `failed` is returned. Only
/// the exceptions our code throws are caught, by type: the forced unwind that ends a daemon
/// thread at exit (pthread_exit) must pass through every frame untouched, and a catch-all
/// would stop it (libstdc++ lets it be rethrown; libc++abi terminates).
template <class Body>
auto guarded(Body&& body, decltype(body()) failed) -> decltype(body())
{
    try {
        return body();
    }
    catch (const PyErrSet&) {
    }
    catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    }
    catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "crypt_main: %s", e.what());
    }
    return failed;
}

}  // namespace cm
