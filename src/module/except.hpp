// What an except clause does: its matching test, and its body run with the caught exception as
// the one being handled.
#pragma once

#include "module/ref.hpp"

namespace cm {

/// The test `except cls:` makes of exc, including its refusal of a class that is not an
/// exception class.
bool except_matches(PyObject* exc, PyObject* cls);

/// Called in a catch of PyErrSet: runs convert(caught) as the body of
/// `except BaseException as caught:` runs, with the caught exception as the one being
/// handled (what sys.exception() returns, and what the interpreter makes the __context__ of
/// anything raised meanwhile), then raises what it returns from there; `caught` itself is
/// re-raised unchanged. The handled exception is the caller's again afterwards.
[[noreturn]] void reraise_converted(Ref (*convert)(PyObject* caught));

}  // namespace cm
