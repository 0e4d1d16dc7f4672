// Text conversions, with the shortcuts taken where an exact built-in type leaves no one able
// to tell them from the method calls they stand for.
#include "module/text.hpp"

#include <cstdint>
#include <cstring>

namespace cm {

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
        // mutate: equivalent own-drop (each caller returns it as it is: NULL with the error set)
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
    // mutate: equivalent own-drop (each caller returns it as it is)
    return own(PyUnicode_Replace(text.get(), old, new_, -1));
}

Ref rstrip_nul(Arg text)
{
    PyObject* t = text.get();
    // mutate: equivalent swap (reads a field into a local)
    if (!PyUnicode_CheckExact(t)) return method(N.rstrip, {text, N.nul});
    int kind = PyUnicode_KIND(t);
    const void* data = PyUnicode_DATA(t);
    Py_ssize_t end = PyUnicode_GET_LENGTH(t);
    while (end > 0 && PyUnicode_READ(kind, data, end - 1) == 0) --end;
    // mutate: equivalent own-drop (its caller returns it as it is)
    return own(PyUnicode_Substring(t, 0, end));
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
    return Py_REFCNT(text) == 1
           && !PyUnicode_CHECK_INTERNED(text)
           // mutate: equivalent int (only a copy is made)
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
    for (; i + 8 <= n; i += 8) {  // mutate: equivalent swap (the byte loop does it all, slower)
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
            // mutate: equivalent char='[' (str.lower leaves '[' as it is)
            capitals |= ascii_range_mask(word, 'A', 'Z');
        }
        // mutate: equivalent logic,char='[' (only the slow path is taken)
        for (; i < n; ++i) capitals |= src[i] >= 'A' && src[i] <= 'Z';
        if (!capitals) return Ref::borrow(t);
    }
    return method(N.lower, {text});
}

}  // namespace cm
