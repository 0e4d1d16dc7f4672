// Calls, lookups, and the interpreter's rules for comparing, testing and unpacking.
#include "module/call.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cm {

namespace {

std::size_t positional(std::size_t n, PyObject* kwnames) noexcept
{
    return n - (kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
}

// On a type that is immutable all along its MRO, with the generic attribute lookup and no
// instance dict, obj.name(...) can only ever call the method descriptor the MRO holds, so that
// descriptor is called directly. Each name remembers the last type it was called on (holding a
// strong reference, so the pointer cannot be reused), in the runtime's slot for that name: one
// entry per name keeps the cost the same from call to call and from run to run.
bool immutable_and_dictless(PyTypeObject* type)
{
    // mutate: equivalent cmp=tp_getattro ==,swap (only the method cache lost; a field read early)
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0
        || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))
        return false;
    PyObject* mro = type->tp_mro;
    // mutate: equivalent (a ready type's tp_mro is a tuple; else only the method cache is lost)
    if (!mro || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!PyType_HasFeature(base, Py_TPFLAGS_IMMUTABLETYPE)) return false;
    }
    return true;
}

// The descriptor to call for self.name(...), or nullptr for the general path. Borrowed, and
// safe to use for the whole call even if the slot is replaced meanwhile: the descriptor also
// sits in the dict of an immutable type in self's MRO, which self keeps alive.
PyObject* cached_method(PyObject* self, const Name& name)
{
    PyTypeObject* type = Py_TYPE(self);
    MethodSlot& slot = g_runtime.methods[static_cast<std::size_t>(name.id)];
    if (slot.type == type) return slot.descr;
    if (!immutable_and_dictless(type)) return nullptr;
    PyObject* mro = type->tp_mro;
    // mutate: equivalent int (only the method cache is lost)
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        // mutate: equivalent own-drop (cannot fail for a ready type)
        Ref dict = own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        PyObject* found = nullptr;
        ok(PyDict_GetItemRef(dict.get(), name, &found));
        if (!found) continue;
        Ref descr = Ref::steal(found);
        // mutate: equivalent swap,not-drop (a slot copied early; else only the cache is lost)
        if (!Py_IS_TYPE(descr.get(), &PyMethodDescr_Type)) return nullptr;
        MethodSlot old = slot;
        slot = {reinterpret_cast<PyTypeObject*>(Py_NewRef(type)), descr.release()};
        Py_XDECREF(old.type);
        Py_XDECREF(old.descr);
        return slot.descr;
    }
    return nullptr;
}

}  // namespace

// global() reads the module's namespace, borrowed: the module owns it and every function owns
// the module, as a Python function owns its globals, so that the collector frees them together,
// with the namespace whole while the finalisers of what it holds run. Then the builtins a
// function defined in the module would have taken when it was made (those of the code
// importing it), never those of the code calling it, which a sandbox or an exec() with its own
// __builtins__ controls.
void set_globals(PyObject* dict) noexcept
{
    g_runtime.globals = dict;
    // Borrowed from the frame, never NULL with a thread state.
    Py_XSETREF(g_runtime.builtins, Py_NewRef(PyEval_GetBuiltins()));
}

void clear_globals() noexcept
{
    g_runtime.globals = nullptr;
    Py_CLEAR(g_runtime.builtins);
}

Ref call_vector(PyObject** items, std::size_t n, PyObject* kwnames)
{
    std::size_t nargs = positional(n, kwnames) - 1;
    return own(
        PyObject_Vectorcall(items[0], items + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref method_vector(const Name& name, PyObject** items, std::size_t n, PyObject* kwnames)
{
    std::size_t nargs = positional(n, kwnames);
    if (PyObject* descr = cached_method(items[0], name))
        return own(
            PyObject_Vectorcall(descr, items, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    return own(
        PyObject_VectorcallMethod(name, items, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref attr(Arg obj, PyObject* name)
{
    // On an exact module, generic lookup finds a name in the module dict unless ModuleType
    // itself defines it; ModuleType defines only dunder names, and no name used here is one.
    // A miss takes the full path, for a module __getattr__ and the usual AttributeError.
    PyObject* o = obj.get();
    if (PyModule_CheckExact(o)) {
        PyObject* found = nullptr;
        ok(PyDict_GetItemRef(PyModule_GetDict(o), name, &found));
        if (found) return Ref::steal(found);
    }
    return own(PyObject_GetAttr(o, name));
}

Ref global(PyObject* name)
{
    PyObject* found = nullptr;
    // Each held for its lookup, which may run Python code (a key's __eq__, a mapping's
    // __getitem__) that ends the module or replaces the builtins.
    if (Ref globals = Ref::borrow(g_runtime.globals)) {
        ok(PyDict_GetItemRef(globals.get(), name, &found));
        if (found) return Ref::steal(found);
    }
    Ref builtins = Ref::borrow(g_runtime.builtins);
    if (builtins && PyDict_Check(builtins.get())) {
        ok(PyDict_GetItemRef(builtins.get(), name, &found));
        if (found) return Ref::steal(found);
    }
    else if (builtins) {
        found = PyObject_GetItem(builtins.get(), name);
        if (found) return Ref::steal(found);
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyErrSet{};
        PyErr_Clear();
    }
    name_error(name);
}

void name_error(PyObject* name)
{
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    // As the interpreter does, the name also goes on the exception, where traceback's "Did you
    // mean" suggestions look for it; failing to set it leaves the NameError as it is.
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_NameError)
        && PyObject_SetAttr(exc.get(), N.name, name) < 0)
        PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    throw PyErrSet{};
}

bool truth(Arg obj)
{
    int r = PyObject_IsTrue(obj.get());
    ok(r);
    return r != 0;
}

bool equals(Arg obj, PyObject* other)
{
    // `other` is always one of our exact str constants, so an exact str compares as str.__eq__
    // does, and the identity shortcut of RichCompareBool cannot differ from ==.
    PyObject* o = obj.get();
    if (PyUnicode_CheckExact(o)) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(o);
        int kind = PyUnicode_KIND(o);
        return o == other
               || (n == PyUnicode_GET_LENGTH(other) && kind == PyUnicode_KIND(other)
                   && std::memcmp(PyUnicode_DATA(o), PyUnicode_DATA(other),
                                  static_cast<size_t>(n) * static_cast<size_t>(kind))
                          == 0);
    }
    int r = PyObject_RichCompareBool(o, other, Py_EQ);
    ok(r);
    return r != 0;
}

bool compare(Arg a, Arg b, int op)
{
    int r = PyObject_RichCompareBool(a.get(), b.get(), op);
    ok(r);
    return r != 0;
}

bool is_instance(Arg obj, PyTypeObject* type)
{
    PyObject* o = obj.get();
    if (Py_IS_TYPE(o, type)) return true;
    // An exact str is an instance of none of the types asked about here, and cannot report
    // another __class__: that is the common case of md5 and md5_hmac, spared the lookup.
    // mutate: equivalent swap (isinstance of an exact str: no code runs, the answer is dropped)
    if (PyUnicode_CheckExact(o)) return false;
    int r = PyObject_IsInstance(o, reinterpret_cast<PyObject*>(type));
    ok(r);
    return r != 0;
}

void unpack_into(PyObject* seq, Ref* items, std::size_t count)
{
    auto expected = static_cast<Py_ssize_t>(count);
    if (PyTuple_CheckExact(seq) && PyTuple_GET_SIZE(seq) == expected) {
        for (Py_ssize_t i = 0; i < expected; ++i) items[i] = Ref::borrow(PyTuple_GET_ITEM(seq, i));
        return;
    }
    PyObject* raw_iter = PyObject_GetIter(seq);
    if (!raw_iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(seq)->tp_iter
            && !PySequence_Check(seq))
            raise(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                  Py_TYPE(seq)->tp_name);
        throw PyErrSet{};
    }
    Ref it = Ref::steal(raw_iter);
    for (Py_ssize_t i = 0; i < expected; ++i) {
        PyObject* item = PyIter_Next(it.get());
        if (!item) {
            if (PyErr_Occurred()) throw PyErrSet{};
            raise(PyExc_ValueError, "not enough values to unpack (expected %zd, got %zd)", expected,
                  i);
        }
        items[i] = Ref::steal(item);
    }
    PyObject* extra = PyIter_Next(it.get());
    if (!extra) {
        if (PyErr_Occurred()) throw PyErrSet{};
        return;
    }
    Ref surplus = Ref::steal(extra);
    raise(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
}

Ref new_list(std::initializer_list<Arg> items)
{
    Ref list = own(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Arg item : items) PyList_SET_ITEM(list.get(), i++, Py_NewRef(item.get()));
    return list;
}

Ref new_tuple(std::initializer_list<Arg> items)
{
    Ref tuple = own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (Arg item : items) PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(item.get()));
    return tuple;
}

}  // namespace cm
