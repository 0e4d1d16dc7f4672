// The helpers an operation body is written in: calls, lookups, and same-result shortcuts.
#pragma once

#include "module/names.hpp"
#include "module/ref.hpp"

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

/// call({f, x, y}) is f(x, y); call({f, x, v}, kwnames) passes the last len(kwnames) by keyword.
Ref call(std::initializer_list<Arg> fn_and_args, PyObject* kwnames = nullptr);

/// method(name, {obj, x}) is obj.name(x), looked up as Python does for a method call.
Ref method(Name& name, std::initializer_list<Arg> self_and_args, PyObject* kwnames = nullptr);

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

/// isinstance(obj, type), which also believes a __class__ that obj reports.
bool is_instance(Arg obj, PyTypeObject* type);

/// The three spellings of a UTF-8 encode; a str subclass may tell them apart.
enum class Enc {
    Default,  // value.encode()
    Utf8,     // value.encode("utf-8")
    Utf8Kw,   // value.encode(encoding="utf-8")
};

/// value.encode(...) in the given spelling.
Ref encode(Arg value, Enc form);

/// value.encode("gbk")
Ref encode_gbk(Arg value);

/// data.decode()
Ref decode(Arg data);

/// data.decode("gbk")
Ref decode_gbk(Arg data);

/// str(data, encoding="utf-8")
Ref str_utf8(Arg data);

/// text.replace(old, new_) of an exact str, as str_utf8 returns.
Ref replace(Arg text, PyObject* old, PyObject* new_);

/// text.rstrip("\0")
Ref rstrip_nul(Arg text);

/// text.upper(); takes the reference, and may reuse the string when no one else can see it.
Ref upper(Ref text);

/// text.lower()
Ref lower(Arg text);

/// A new list holding the items.
Ref new_list(std::initializer_list<Arg> items);

/// A new tuple holding the items.
Ref new_tuple(std::initializer_list<Arg> items);

/// Points global() at the namespace of the module being initialised (borrowed: the module's
/// functions own the module), and at the builtins of the code importing it.
void set_globals(PyObject* dict) noexcept;

/// Stops global() reading the namespace of a module being freed.
void clear_globals() noexcept;

/// Drops the namespaces of a finalised runtime without touching them.
void forget_globals() noexcept;

}  // namespace cm
