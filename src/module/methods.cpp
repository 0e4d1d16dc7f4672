// The method table. Docstrings, parameter names and defaults are all derived from the
// params column when the class is built, so they cannot drift apart.
#include "module/methods.hpp"

namespace cm {

namespace {

using enum Kind;

constexpr MethodSpec kMethods[] = {
    {"__init__", Instance, "self", op::init},
    {"aes_ecb", Static, "value, key", op::aes_ecb},
    {"aes_ecb_decrypt", Static, "value, key", op::aes_ecb_decrypt},
    {"aes_cbc", Static, "value, key, iv", op::aes_cbc},
    {"aes_cbc_decrypt", Static, "value, key, iv", op::aes_cbc_decrypt},
    {"base64", Static, "value", op::base64},
    {"base64_decrypt", Static, "value", op::base64_decrypt},
    {"des", Static, "value, key", op::des},
    {"des_decrypt", Static, "value, key", op::des_decrypt},
    {"md5", Static, "value, fmt", op::md5},
    {"md5_hmac", Static, "value, key", op::md5_hmac},
    {"php", Instance, "self, value, key, iv, base64s=False", op::php},
    {"php_decrypt", Instance, "self, value, key, iv, base64s=False", op::php_decrypt},
    {"_add_to_16", Static, "value", op::add_to_16},
    {"rsa_keys", Static, "length=2048", op::rsa_keys},
    {"rsa", Static, "value, pub_key, hexs=False", op::rsa},
    {"rsa_decrypt", Static, "value, pri_key, hexs=False", op::rsa_decrypt},
    {"sha1", Static, "value, fmt", op::sha1},
    {"sha256", Static, "value, fmt", op::sha256},
    {"sha384", Static, "value, fmt", op::sha384},
    {"sha512", Static, "value, fmt", op::sha512},
    {"token", Static, "data, key, exp_time=86400, issuer='Quarne'", op::token},
    {"token_decrypt", Static, "token, key, issuer='Quarne'", op::token_decrypt},
};

}  // namespace

std::span<const MethodSpec> method_table() noexcept { return kMethods; }

Ref op::init(const Args&) { return Ref::borrow(Py_None); }

}  // namespace cm
