// AES-CBC for PHP peers: GBK text, zero padding, trailing NULs stripped, optional Base64 text.
#include "module/ops.hpp"

#include <cstring>

namespace cm {

namespace {

// Appends 0x00 bytes up to the next multiple of 16, none when already aligned.
Ref zero_pad(Ref data)
{
    PyObject* b = data.get();
    if (PyBytes_CheckExact(b)) {
        Py_ssize_t n = PyBytes_GET_SIZE(b);
        Py_ssize_t fill = (16 - n % 16) % 16;
        if (fill == 0) return data;
        Ref out = own(PyBytes_FromStringAndSize(nullptr, n + fill));
        char* dst = PyBytes_AS_STRING(out.get());
        // mutate: equivalent swap (disjoint memory)
        std::memcpy(dst, PyBytes_AS_STRING(b), static_cast<size_t>(n));
        std::memset(dst + n, 0, static_cast<size_t>(fill));
        return out;
    }
    // An encode that returned something else: append one filler at a time, as `+=` would.
    for (;;) {
        Py_ssize_t n = PyObject_Size(data.get());
        if (n < 0) throw PyErrSet{};
        if (n % 16 == 0) return data;
        ok(PyErr_CheckSignals());  // an object whose += never grows must stay interruptible
        data = own(PyNumber_InPlaceAdd(data.get(), N.nul_byte));
    }
}

// Key padded through the instance, so that a subclass's _add_to_16 is the one used.
Ref php_cryptor(PyObject* self, PyObject* key, PyObject* iv)
{
    Ref secret = method(N.add_to_16, {self, key});
    Ref mode = attr(global(N.AES), N.MODE_CBC);
    Ref vector = encode(iv, Enc::Utf8);
    Ref new_cipher = attr(global(N.AES), N.new_);
    return call({new_cipher, secret, mode, vector});
}

}  // namespace

Ref op::add_to_16(const Args& a)
{
    auto [value] = take<1>(a);
    return zero_pad(encode_gbk(value));
}

Ref op::php(const Args& a)
{
    auto [self, value, key, iv, base64s] = take<5>(a);
    Ref cryptor = php_cryptor(self, key, iv);
    Ref padded = method(N.add_to_16, {self, value});
    Ref result = method(N.encrypt, {cryptor, padded});
    if (truth(base64s)) {
        Ref encodebytes = attr(global(N.base64), N.encodebytes);
        Ref lines = call({encodebytes, result});
        Ref text = str_utf8(lines);
        result = replace(text, N.newline, N.empty);
    }
    return result;
}

Ref op::php_decrypt(const Args& a)
{
    auto [self, value, key, iv, base64s] = take<5>(a);
    Ref cryptor = php_cryptor(self, key, iv);
    Ref data = Ref::borrow(value);
    if (truth(base64s)) {
        Ref decodebytes = attr(global(N.base64), N.decodebytes);
        Ref text = encode(value, Enc::Default);
        data = call({decodebytes, text});
    }
    Ref plain = method(N.decrypt, {cryptor, data});
    Ref text = decode_gbk(plain);
    return rstrip_nul(text);
}

}  // namespace cm
