// The function type of the methods of _Crypt: a vectorcall heap type that binds like a
// Python function.
#pragma once

#include "module/methods.hpp"

namespace cm {

/// One method of _Crypt.
struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MethodSpec* spec;
    Body body;
    Py_ssize_t total;              // parameters, self included where the table lists it
    Py_ssize_t required;           // leading parameters without a default
    PyObject* params[kMaxParams];  // interned parameter names
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // tuple, or None for a method without defaults
    PyObject* home;      // the module whose namespace the body reads, as a function's globals
};

/// Makes the function type once per process.
void init_function_type();

/// A new function object for one row of the method table, owning the module it belongs to.
Ref make_function(const MethodSpec& spec, PyObject* home);

/// Binds a vectorcall's arguments to the parameters of `f`, or raises the binding TypeError.
void bind(const Function& f, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out);

/// Drops the pointer to the function type of a finalised runtime, without touching it.
void forget_function_type() noexcept;

}  // namespace cm
