// The function type of the methods of _Crypt: a vectorcall heap type that binds like a
// Python function.
#pragma once

#include "module/binding.hpp"
#include "module/methods.hpp"

namespace cm {

/// One method of _Crypt.
struct Function {
    PyObject_HEAD vectorcallfunc vectorcall;
    const MethodSpec* spec;
    Body body;
    Signature sig;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;  // the module's name, for __module__
    PyObject* doc;
    PyObject* home;  // the module whose namespace the body reads, as a function's globals
};

/// Makes the function type, once per runtime.
void init_function_type();

/// A new function object for one row of the method table, owning the module it belongs to.
Ref make_function(const MethodSpec& spec, PyObject* home);

}  // namespace cm
