// RSA key pairs from a size ladder, and PKCS#1 v1.5 encryption of text, raw or as hex.
#include "module/ops.hpp"

namespace cm {

Ref op::rsa_keys(const Args& a)
{
    auto [length] = take<1>(a);
    Ref sum = own(PyNumber_Add(length, N.pkcs1_overhead));
    Ref required_bits = own(PyNumber_Multiply(sum.get(), N.bits_per_byte));
    PyObject* key_length = N.bits4096;
    if (compare(required_bits, N.bits512, Py_LE))
        key_length = N.bits512;
    else if (compare(required_bits, N.bits1024, Py_LE))
        key_length = N.bits1024;
    else if (compare(required_bits, N.bits2048, Py_LE))
        key_length = N.bits2048;
    Ref newkeys = attr(global(N.rsa), N.newkeys);
    Ref pair = call({newkeys, key_length});
    auto [pub_key, pri_key] = unpack<2>(pair.get());
    return new_tuple({pub_key, pri_key});
}

Ref op::rsa(const Args& a)
{
    auto [value, pub_key, hexs] = take<3>(a);  // mutate: equivalent swap (binds locals)
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
