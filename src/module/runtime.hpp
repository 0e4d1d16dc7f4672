// What belongs to one runtime of the interpreter, kept in one place, and what outlives it.
#pragma once

#include "module/names.hpp"

#include <cstddef>
#include <cstdint>

namespace cm {

/// The last type a method name was called on, with the method descriptor found for it (both
/// held strongly); see method() in call.cpp.
struct MethodSlot {
    PyTypeObject* type = nullptr;
    PyObject* descr = nullptr;
};

/// Everything of ours that belongs to one runtime, from Py_Initialize to Py_FinalizeEx: made
/// by its first import, and forgotten, never released, once it has been finalised, since every
/// object here died with it. An embedding program may then start another runtime, whose first
/// import starts again from a default Runtime. Process state, which a later runtime must still
/// see, is kept outside it: g_exiting (ref.hpp), each thread's stack bounds (function.cpp) and
/// the module docstring's text (methods.cpp).
struct Runtime {
    Names names;
    bool names_ready = false;
    MethodSlot methods[kNameCount];         // method()'s cache, one slot per name
    PyTypeObject* function_type = nullptr;  // strong; a new type in each runtime
    PyObject* module = nullptr;             // borrowed: its functions own it; see module_create
    PyObject* globals = nullptr;   // borrowed: the module's namespace, which global() reads
    PyObject* builtins = nullptr;  // strong: those of the code that imported the module
    int64_t interpreter = -1;      // the one interpreter the module may load into
    bool initialised = false;      // the import steps have run on `module`
    bool running = false;          // the import steps are running
    bool exit_hooks = false;       // the atexit and Py_AtExit functions are registered
};

/// The running runtime's state. Hidden, as everything of ours is: read straight, not through
/// the GOT.
[[gnu::visibility("hidden")]] extern Runtime g_runtime;

/// The names of the running runtime, read-only; valid after its first init_names().
inline constexpr const Names& N = g_runtime.names;

/// Runs once a runtime has been finalised (registered with Py_AtExit).
void forget_runtime() noexcept;

}  // namespace cm
