// AES-ECB, AES-CBC and DES-ECB over UTF-8 text with PKCS#7 padding, raw bytes on the wire.
#include "module/ops.hpp"

namespace cm {

namespace {

// `cipher` names the cipher module global (AES or DES); every reference to it is a fresh
// lookup, as the Python spelling `AES.block_size` is.
Ref pad_and_encrypt(const Ref& cryptor, PyObject* cipher, PyObject* value)
{
    Ref data = encode(value, Enc::Utf8);
    Ref pad = global(N.pad);
    Ref block_size = attr(global(cipher), N.block_size);
    Ref padded = call({pad, data, block_size});
    return method(N.encrypt, {cryptor, padded});
}

Ref decrypt_and_unpad(const Ref& cryptor, PyObject* cipher, PyObject* value)
{
    Ref padded = method(N.decrypt, {cryptor, value});
    Ref unpad = global(N.unpad);
    Ref block_size = attr(global(cipher), N.block_size);
    Ref plain = call({unpad, padded, block_size});
    return decode(plain);
}

// The key is encoded and the cipher object made before the data is touched, so a bad key
// is reported ahead of bad data.
Ref ecb_cryptor(PyObject* cipher, PyObject* key)
{
    Ref secret = encode(key, Enc::Utf8);
    Ref new_cipher = attr(global(cipher), N.new_);
    Ref mode = attr(global(cipher), N.MODE_ECB);
    return call({new_cipher, secret, mode});
}

Ref cbc_cryptor(PyObject* key, PyObject* iv)
{
    Ref secret = encode(key, Enc::Utf8);
    Ref mode = attr(global(N.AES), N.MODE_CBC);
    Ref vector = encode(iv, Enc::Utf8);
    Ref new_cipher = attr(global(N.AES), N.new_);
    return call({new_cipher, secret, mode, vector});
}

}  // namespace

Ref op::aes_ecb(const Args& a)
{
    auto [value, key] = take<2>(a);
    Ref cryptor = ecb_cryptor(N.AES, key);
    return pad_and_encrypt(cryptor, N.AES, value);
}

Ref op::aes_ecb_decrypt(const Args& a)
{
    auto [value, key] = take<2>(a);
    Ref cryptor = ecb_cryptor(N.AES, key);
    return decrypt_and_unpad(cryptor, N.AES, value);
}

Ref op::aes_cbc(const Args& a)
{
    auto [value, key, iv] = take<3>(a);
    Ref cryptor = cbc_cryptor(key, iv);
    return pad_and_encrypt(cryptor, N.AES, value);
}

Ref op::aes_cbc_decrypt(const Args& a)
{
    auto [value, key, iv] = take<3>(a);
    Ref cryptor = cbc_cryptor(key, iv);
    return decrypt_and_unpad(cryptor, N.AES, value);
}

Ref op::des(const Args& a)
{
    auto [value, key] = take<2>(a);
    Ref cryptor = ecb_cryptor(N.DES, key);
    return pad_and_encrypt(cryptor, N.DES, value);
}

Ref op::des_decrypt(const Args& a)
{
    auto [value, key] = take<2>(a);
    Ref cryptor = ecb_cryptor(N.DES, key);
    return decrypt_and_unpad(cryptor, N.DES, value);
}

}  // namespace cm
