// The helpers an operation body is written in: calls, lookups, and the interpreter's own rules
// for comparing, testing and unpacking, as Python code gets them.
#pragma once

#include "module/runtime.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>

// C++ leaves the order of function arguments unspecified, so two sub-expressions that can
// fail never sit side by side as arguments; braced lists are evaluated left to right, so
// every helper that takes several objects takes them as one braced list.

namespace cm {

/// A borrowed argument for the call helpers: accepts a raw pointer or a Ref without owning it.
class Arg {
public:
    Arg(PyObject* p) noexcept : p_(p) {}         // NOLINT: implicit by design, borrowed
    Arg(const Ref& r) noexcept : p_(r.get()) {}  // NOLINT
    Arg(const Name& n) noexcept : p_(n.str) {}   // NOLINT
    PyObject* get() const noexcept { return p_; }

private:
    PyObject* p_;
};

/// The vectorcall of `n` objects (the callable or self first) at items[0], with items[-1]
/// free for the callee's use, PY_VECTORCALL_ARGUMENTS_OFFSET (a bound method then calls
/// without allocating).
Ref call_vector(PyObject** items, std::size_t n, PyObject* kwnames);
Ref method_vector(const Name& name, PyObject** items, std::size_t n, PyObject* kwnames);

/// call({f, x, y}) is f(x, y); call({f, x, v}, kwnames) passes the last len(kwnames) by keyword.
template <std::size_t Count>
Ref call(const Arg (&fn_and_args)[Count], PyObject* kwnames = nullptr)
{
    PyObject* slots[Count + 1];  // sized by the call itself, so nothing can overrun it
    for (std::size_t i = 0; i < Count; ++i) slots[i + 1] = fn_and_args[i].get();
    return call_vector(slots + 1, Count, kwnames);
}

/// method(name, {obj, x}) is obj.name(x), looked up as Python does for a method call.
template <std::size_t Count>
Ref method(const Name& name, const Arg (&self_and_args)[Count], PyObject* kwnames = nullptr)
{
    PyObject* slots[Count + 1];  // mutate: equivalent int=+ 2 (a slot to spare)
    for (std::size_t i = 0; i < Count; ++i) slots[i + 1] = self_and_args[i].get();
    return method_vector(name, slots + 1, Count, kwnames);
}

/// getattr(obj, name)
Ref attr(Arg obj, PyObject* name);

/// A module-level name as a function body sees it: the module namespace, then the builtins,
/// else NameError "name '...' is not defined". Looked up afresh at every call.
Ref global(PyObject* name);

/// Raises NameError "name '...' is not defined", with the exception's name set.
[[noreturn, gnu::cold, gnu::noinline]] void name_error(PyObject* name);

/// bool(obj), whose exception propagates.
bool truth(Arg obj);

/// obj == other, truth-tested.
bool equals(Arg obj, PyObject* other);

/// The comparison `a <op> b` (op is Py_LT, Py_LE, ...), truth-tested.
bool compare(Arg a, Arg b, int op);

/// isinstance(obj, type), which also believes a __class__ that obj reports.
bool is_instance(Arg obj, PyTypeObject* type);

void unpack_into(PyObject* seq, Ref* items, std::size_t count);

/// `a, b = seq` for exactly Count items, with the interpreter's messages for a non-iterable and
/// for the wrong number: auto [a, b] = unpack<2>(seq);
template <std::size_t Count>
std::array<Ref, Count> unpack(PyObject* seq)
{
    std::array<Ref, Count> items;
    unpack_into(seq, items.data(), Count);
    return items;
}

/// A new list holding the items.
Ref new_list(std::initializer_list<Arg> items);

/// A new tuple holding the items.
Ref new_tuple(std::initializer_list<Arg> items);

/// Points global() at the namespace of the module being initialised (borrowed: the module's
/// functions own the module), and at the builtins of the code importing it.
void set_globals(PyObject* dict) noexcept;

/// Stops global() reading the namespace of a module being freed.
void clear_globals() noexcept;

}  // namespace cm
