// RSA key pairs from a size ladder, and PKCS#1 v1.5 encryption of text, raw or as hex.
#include "module/ops.hpp"

#include <array>

namespace cm {

namespace {

bool less_equal(const Ref& a, PyObject* b)
{
    int r = PyObject_RichCompareBool(a.get(), b, Py_LE);
    ok(r);
    return r != 0;
}

[[noreturn, gnu::cold]] void unpack_error(PyObject* type, const char* format, Py_ssize_t got)
{
    PyErr_Format(type, format, got);
    throw PyErrSet{};
}

// `pub, pri = seq`, with the interpreter's own messages for the wrong number of items.
std::array<Ref, 2> unpack_pair(PyObject* seq)
{
    if (PyTuple_CheckExact(seq) && PyTuple_GET_SIZE(seq) == 2)
        return {Ref::borrow(PyTuple_GET_ITEM(seq, 0)), Ref::borrow(PyTuple_GET_ITEM(seq, 1))};
    PyObject* raw_iter = PyObject_GetIter(seq);
    if (!raw_iter) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(seq)->tp_iter
            && !PySequence_Check(seq)) {
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(seq)->tp_name);
        }
        throw PyErrSet{};
    }
    Ref it = Ref::steal(raw_iter);
    std::array<Ref, 2> items;
    for (Py_ssize_t i = 0; i < 2; ++i) {
        PyObject* item = PyIter_Next(it.get());
        if (!item) {
            if (PyErr_Occurred()) throw PyErrSet{};
            unpack_error(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", i);
        }
        items[i] = Ref::steal(item);
    }
    PyObject* extra = PyIter_Next(it.get());
    if (!extra) {
        if (PyErr_Occurred()) throw PyErrSet{};
        return items;
    }
    Ref surplus = Ref::steal(extra);
    raise(PyExc_ValueError, "too many values to unpack (expected 2)");
}

}  // namespace

Ref op::rsa_keys(const Args& a)
{
    auto [length] = take<1>(a);
    Ref sum = own(PyNumber_Add(length, N.eleven));
    Ref required_bits = own(PyNumber_Multiply(sum.get(), N.eight));
    PyObject* key_length = N.bits4096;
    if (less_equal(required_bits, N.bits512))
        key_length = N.bits512;
    else if (less_equal(required_bits, N.bits1024))
        key_length = N.bits1024;
    else if (less_equal(required_bits, N.bits2048))
        key_length = N.bits2048;
    Ref newkeys = attr(global(N.rsa), N.newkeys);
    Ref pair = call({newkeys, key_length});
    auto [pub_key, pri_key] = unpack_pair(pair.get());
    return new_tuple({pub_key, pri_key});
}

Ref op::rsa(const Args& a)
{
    auto [value, pub_key, hexs] = take<3>(a);
    Ref encrypt = attr(global(N.rsa), N.encrypt);
    Ref message = encode(value, Enc::Default);
    Ref crypto = call({encrypt, message, pub_key});
    if (truth(hexs)) {
        Ref b2a_hex = global(N.b2a_hex);
        return call({b2a_hex, crypto});
    }
    return crypto;
}

Ref op::rsa_decrypt(const Args& a)
{
    auto [value, pri_key, hexs] = take<3>(a);
    Ref crypto = Ref::borrow(value);
    if (truth(hexs)) {
        Ref a2b_hex = global(N.a2b_hex);
        crypto = call({a2b_hex, value});
    }
    Ref decrypt = attr(global(N.rsa), N.decrypt);
    Ref plain = call({decrypt, crypto, pri_key});
    return decode(plain);
}

}  // namespace cm
