// Calls, lookups and the same-result shortcuts taken on exact built-in types.
#include "module/call.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace cm {

namespace {

// The namespaces global() reads. The module's is borrowed: the module owns it and every
// function owns the module, as a Python function owns its globals, so that the collector frees
// them together, with the namespace whole while the finalisers of what it holds run. Then the
// builtins a function defined in the module would have taken when it was made (those of the
// code importing it), never those of the code calling it, which a sandbox or an exec() with
// its own __builtins__ controls; a strong reference.
PyObject* g_globals = nullptr;
PyObject* g_builtins = nullptr;

constexpr std::size_t kMaxArgs = 6;

// Copies the arguments behind one spare slot, so that callees may use
// PY_VECTORCALL_ARGUMENTS_OFFSET (a bound method then calls without allocating).
struct Stack {
    PyObject* slot[kMaxArgs + 1];
    std::size_t n;

    explicit Stack(std::initializer_list<Arg> items) noexcept : n(items.size())
    {
        std::size_t i = 1;
        for (Arg a : items) slot[i++] = a.get();
    }
    PyObject** args() noexcept { return slot + 1; }
};

std::size_t positional(const Stack& s, PyObject* kwnames) noexcept
{
    return s.n - (kwnames ? static_cast<std::size_t>(PyTuple_GET_SIZE(kwnames)) : 0);
}

// On a type that is immutable all along its MRO, with the generic attribute lookup and no
// instance dict, obj.name(...) can only ever call the method descriptor the MRO holds, so that
// descriptor is called directly. Each name remembers the last type it was called on (holding a
// strong reference, so the pointer cannot be reused): one entry per name keeps the cost the
// same from call to call and from run to run.
bool immutable_and_dictless(PyTypeObject* type)
{
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_dictoffset != 0
        || PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))
        return false;
    PyObject* mro = type->tp_mro;
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
PyObject* cached_method(PyObject* self, Name& name)
{
    PyTypeObject* type = Py_TYPE(self);
    MethodSlot& slot = name.method;
    if (slot.type == type) return slot.descr;
    if (!immutable_and_dictless(type)) return nullptr;
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict = own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        PyObject* found = nullptr;
        ok(PyDict_GetItemRef(dict.get(), name, &found));
        if (!found) continue;
        Ref descr = Ref::steal(found);
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

void set_globals(PyObject* dict) noexcept
{
    g_globals = dict;
    // Borrowed from the frame, never NULL with a thread state.
    Py_XSETREF(g_builtins, Py_NewRef(PyEval_GetBuiltins()));
}

void clear_globals() noexcept
{
    g_globals = nullptr;
    Py_CLEAR(g_builtins);
}

void forget_globals() noexcept { g_globals = g_builtins = nullptr; }

Ref call(std::initializer_list<Arg> fn_and_args, PyObject* kwnames)
{
    Stack s(fn_and_args);
    PyObject* fn = s.args()[0];
    std::size_t nargs = positional(s, kwnames) - 1;
    return own(
        PyObject_Vectorcall(fn, s.args() + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

Ref method(Name& name, std::initializer_list<Arg> self_and_args, PyObject* kwnames)
{
    Stack s(self_and_args);
    std::size_t nargs = positional(s, kwnames);
    if (PyObject* descr = cached_method(s.args()[0], name))
        return own(
            PyObject_Vectorcall(descr, s.args(), nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
    return own(
        PyObject_VectorcallMethod(name, s.args(), nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
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
    if (Ref globals = Ref::borrow(g_globals)) {
        ok(PyDict_GetItemRef(globals.get(), name, &found));
        if (found) return Ref::steal(found);
    }
    Ref builtins = Ref::borrow(g_builtins);
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

bool is_instance(Arg obj, PyTypeObject* type)
{
    PyObject* o = obj.get();
    if (Py_IS_TYPE(o, type)) return true;
    // An exact str is an instance of none of the types asked about here, and cannot report
    // another __class__: that is the common case of md5 and md5_hmac, spared the lookup.
    if (PyUnicode_CheckExact(o)) return false;
    int r = PyObject_IsInstance(o, reinterpret_cast<PyObject*>(type));
    ok(r);
    return r != 0;
}

Ref encode(Arg value, Enc form)
{
    // Exact str: all three spellings reach the same strict UTF-8 codec. A subclass may
    // override encode and see the spelling, so it gets the real method call.
    if (PyUnicode_CheckExact(value.get())) return own(PyUnicode_AsUTF8String(value.get()));
    switch (form) {
    case Enc::Default: return method(N.encode, {value});
    case Enc::Utf8: return method(N.encode, {value, N.utf_8});
    case Enc::Utf8Kw: break;
    }
    return method(N.encode, {value, N.utf_8}, N.kw_encoding);
}

Ref encode_gbk(Arg value)
{
    if (PyUnicode_CheckExact(value.get()))
        return own(PyUnicode_AsEncodedString(value.get(), "gbk", nullptr));
    return method(N.encode, {value, N.gbk});
}

Ref decode(Arg data)
{
    PyObject* b = data.get();
    if (PyBytes_CheckExact(b))
        return own(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(b), PyBytes_GET_SIZE(b), nullptr));
    return method(N.decode, {data});
}

Ref decode_gbk(Arg data)
{
    PyObject* b = data.get();
    if (PyBytes_CheckExact(b))
        return own(PyUnicode_Decode(PyBytes_AS_STRING(b), PyBytes_GET_SIZE(b), "gbk", nullptr));
    return method(N.decode, {data, N.gbk});
}

Ref str_utf8(Arg data)
{
    // This is what str(x, encoding=...) runs for every x, so no type test is needed.
    return own(PyUnicode_FromEncodedObject(data.get(), "utf-8", nullptr));
}

Ref replace(Arg text, PyObject* old, PyObject* new_)
{
    // Only ever given what str_utf8 made, an exact str: no subclass's replace to honour.
    return own(PyUnicode_Replace(text.get(), old, new_, -1));
}

Ref rstrip_nul(Arg text)
{
    PyObject* t = text.get();
    if (!PyUnicode_CheckExact(t)) return method(N.rstrip, {text, N.nul});
    int kind = PyUnicode_KIND(t);
    const void* data = PyUnicode_DATA(t);
    Py_ssize_t end = PyUnicode_GET_LENGTH(t);
    while (end > 0 && PyUnicode_READ(kind, data, end - 1) == 0) --end;
    return own(PyUnicode_Substring(t, 0, end));
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

namespace {

constexpr uint64_t kEach(uint8_t byte) { return 0x0101010101010101ULL * byte; }

// 0x80 in every byte of an ASCII word that holds a letter in [first, last].
uint64_t ascii_range_mask(uint64_t word, char first, char last)
{
    uint64_t at_least_first = word + kEach(0x80 - static_cast<uint8_t>(first));
    uint64_t above_last = word + kEach(0x7F - static_cast<uint8_t>(last));
    return at_least_first & ~above_last & kEach(0x80);
}

}  // namespace

// Whether text can be changed in place without anyone seeing it: the caller's reference is the
// only one, and nothing has been derived from the contents yet (the same test CPython makes
// before it appends to a string in place).
bool modifiable(PyObject* text)
{
#ifdef Py_GIL_DISABLED
    (void)text;
    return false;
#else
    return Py_REFCNT(text) == 1 && !PyUnicode_CHECK_INTERNED(text)
           && reinterpret_cast<PyASCIIObject*>(text)->hash == -1;
#endif
}

Ref upper(Ref text)
{
    // str.upper() of ASCII text maps a-z and nothing else; eight letters at a time here.
    PyObject* t = text.get();
    if (!PyUnicode_CheckExact(t) || !PyUnicode_IS_ASCII(t)) return method(N.upper, {text});
    Py_ssize_t n = PyUnicode_GET_LENGTH(t);
    Ref out = modifiable(t) ? std::move(text) : own(PyUnicode_New(n, 127));
    const Py_UCS1* src = PyUnicode_1BYTE_DATA(t);
    Py_UCS1* dst = PyUnicode_1BYTE_DATA(out.get());
    Py_ssize_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t word;
        std::memcpy(&word, src + i, 8);
        word ^= ascii_range_mask(word, 'a', 'z') >> 2;
        std::memcpy(dst + i, &word, 8);
    }
    for (; i < n; ++i) dst[i] = src[i] >= 'a' && src[i] <= 'z' ? src[i] - 0x20 : src[i];
    return out;
}

Ref lower(Arg text)
{
    // Hex digests come lower-case already: ASCII text with no capital needs no new string.
    PyObject* t = text.get();
    if (PyUnicode_CheckExact(t) && PyUnicode_IS_ASCII(t)) {
        const Py_UCS1* src = PyUnicode_1BYTE_DATA(t);
        Py_ssize_t n = PyUnicode_GET_LENGTH(t);
        uint64_t capitals = 0;
        Py_ssize_t i = 0;
        for (; i + 8 <= n; i += 8) {
            uint64_t word;
            std::memcpy(&word, src + i, 8);
            capitals |= ascii_range_mask(word, 'A', 'Z');
        }
        for (; i < n; ++i) capitals |= src[i] >= 'A' && src[i] <= 'Z';
        if (!capitals) return Ref::borrow(t);
    }
    return method(N.lower, {text});
}

}  // namespace cm
