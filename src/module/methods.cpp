// The method table. Docstrings, parameter names and defaults are all derived from the
// params column when the class is built, so they cannot drift apart.
#include "module/methods.hpp"

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

namespace cm {

namespace {

using enum Kind;

constexpr MethodSpec kMethods[] = {
    {"__init__", Instance, "self", op::init, ""},
    {"aes_ecb", Static, "value, key", op::aes_ecb,
     "AES-ECB, PKCS#7: text -> ciphertext bytes; key of 16, 24 or 32 bytes"},
    {"aes_ecb_decrypt", Static, "value, key", op::aes_ecb_decrypt,
     "ciphertext (any bytes-like) -> text"},
    {"aes_cbc", Static, "value, key, iv", op::aes_cbc,
     "AES-CBC, PKCS#7, a 16-byte IV: text -> ciphertext bytes"},
    {"aes_cbc_decrypt", Static, "value, key, iv", op::aes_cbc_decrypt,
     "ciphertext (any bytes-like) -> text"},
    {"base64", Static, "value", op::base64, "text -> one-line Base64 text"},
    {"base64_decrypt", Static, "value", op::base64_decrypt, "Base64 text -> text"},
    {"des", Static, "value, key", op::des,
     "DES-ECB, PKCS#7, an 8-byte key: text -> ciphertext bytes"},
    {"des_decrypt", Static, "value, key", op::des_decrypt, "ciphertext (any bytes-like) -> text"},
    {"md5", Static, "value, fmt", op::md5,
     "MD5 hex digest of text or bytes; fmt 'upper' for capitals"},
    {"md5_hmac", Static, "value, key", op::md5_hmac,
     "HMAC-MD5 of value under key (text or bytes) -> 16 raw bytes"},
    {"php", Instance, "self, value, key, iv, base64s=False", op::php,
     "AES-CBC over zero-padded GBK, for PHP peers -> bytes, Base64 text if base64s"},
    {"php_decrypt", Instance, "self, value, key, iv, base64s=False", op::php_decrypt,
     "the inverse of php; trailing NUL characters are stripped"},
    {"_add_to_16", Static, "value", op::add_to_16,
     "GBK bytes of value, zero-padded to a multiple of 16"},
    {"rsa_keys", Static, "length=2048", op::rsa_keys,
     "(public key, private key) sized to hold length plaintext bytes; the default, 4096 bits, "
     "takes seconds to minutes"},
    {"rsa", Static, "value, pub_key, hexs=False", op::rsa,
     "RSA PKCS#1 v1.5: text -> ciphertext bytes, lower-case hex bytes if hexs"},
    {"rsa_decrypt", Static, "value, pri_key, hexs=False", op::rsa_decrypt,
     "ciphertext (hex bytes or str if hexs) -> text"},
    {"sha1", Static, "value, fmt", op::sha1, "SHA-1 hex digest of text; fmt 'upper' for capitals"},
    {"sha256", Static, "value, fmt", op::sha256,
     "SHA-256 hex digest of text; fmt 'upper' for capitals"},
    {"sha384", Static, "value, fmt", op::sha384,
     "SHA-384 hex digest of text; fmt 'upper' for capitals"},
    {"sha512", Static, "value, fmt", op::sha512,
     "SHA-512 hex digest of text; fmt 'upper' for capitals"},
    {"token", Static, "data, key, exp_time=86400, issuer='Quarne'", op::token,
     "HS256 token carrying data, valid for exp_time seconds (None: no expiry)"},
    {"token_decrypt", Static, "token, key, issuer='Quarne'", op::token_decrypt,
     "data of a verified token; TimeoutError if expired, else Exception"},
};

// What make_function and the binder rely on: no more parameters than the binder's fixed
// arrays hold, and none without a default after one with a default.
constexpr bool every_row_binds()
{
    for (const MethodSpec& spec : kMethods) {
        ParamList params = parse_params(spec.params);
        if (params.count > kMaxParams || !params.defaults_last) return false;
    }
    return true;
}

static_assert(every_row_binds(), "a method table row the binder cannot hold");

constexpr const char kIntro[] =
    "Short, stateless cryptographic operations over text: Base64, hex digests, HMAC-MD5,\n"
    "AES-ECB/CBC and DES with PKCS#7, a zero-padded AES-CBC for PHP peers, RSA PKCS#1 v1.5\n"
    "and HS256 tokens.\n"
    "\n"
    "    from crypt_main import m_crypt\n"
    "    m_crypt.sha256(\"text\", \"upper\")\n"
    "\n"
    "Operations of m_crypt:\n";

std::string build_module_doc()
{
    std::string doc = kIntro;
    for (const MethodSpec& spec : kMethods) {
        std::string_view name = spec.name;
        if (name.starts_with("__")) continue;  // mutate: equivalent swap (binds a local)
        // The docstring shows how m_crypt is called: an instance method without `self`.
        std::string_view params = spec.params;
        ParamList parsed = parse_params(params);
        if (spec.kind == Instance)
            params = parsed.count > 1 ? params.substr(parsed.items[1].start) : std::string_view{};
        doc.append("\n  ").append(name).append("(").append(params).append(")\n      ");
        doc.append(spec.summary).append("\n");
    }
    return doc;
}

}  // namespace

std::span<const MethodSpec> method_table() noexcept { return kMethods; }

const char* module_doc() noexcept
{
    static std::string doc;
    if (doc.empty()) {
        try {
            doc = build_module_doc();
        }
        catch (const std::exception&) {
            return kIntro;  // out of memory at import: the short form will do
        }
    }
    return doc.c_str();
}

Ref op::init(const Args&) { return Ref::borrow(Py_None); }  // mutate: equivalent (immortal in 3.13)

}  // namespace cm
