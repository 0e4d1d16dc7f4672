// Argument binding, the same for every method.
#pragma once

#include "module/ops.hpp"

namespace cm {

/// What binding reads of a function: the name its messages give, and its parameters.
struct Signature {
    const char* name;
    Py_ssize_t total;              // parameters, self included where the table lists it
    Py_ssize_t required;           // leading parameters without a default
    PyObject* params[kMaxParams];  // interned parameter names
    PyObject* defaults;            // tuple, or None for a method without defaults
};

/// Binds a vectorcall's arguments to the parameters, or raises the binding TypeError.
void bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          Args& out);

}  // namespace cm
