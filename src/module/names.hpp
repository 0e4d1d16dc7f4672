// Every identifier and constant the operations use, made once per runtime.
#pragma once

#include "module/ref.hpp"

#include <cstddef>

// X(field, "text"): interned strings, read in code as N.field.
#define CM_NAMES(X)                                                                                \
    /* module globals */                                                                           \
    X(base64, "base64")                                                                            \
    X(hashlib, "hashlib")                                                                          \
    X(hmac, "hmac")                                                                                \
    X(time, "time")                                                                                \
    X(a2b_hex, "a2b_hex")                                                                          \
    X(b2a_hex, "b2a_hex")                                                                          \
    X(jwt, "jwt")                                                                                  \
    X(rsa, "rsa")                                                                                  \
    X(AES, "AES")                                                                                  \
    X(DES, "DES")                                                                                  \
    X(pad, "pad")                                                                                  \
    X(unpad, "unpad")                                                                              \
    /* attributes and methods */                                                                   \
    X(encodebytes, "encodebytes")                                                                  \
    X(decodebytes, "decodebytes")                                                                  \
    X(md5, "md5")                                                                                  \
    X(sha1, "sha1")                                                                                \
    X(sha256, "sha256")                                                                            \
    X(sha384, "sha384")                                                                            \
    X(sha512, "sha512")                                                                            \
    X(update, "update")                                                                            \
    X(hexdigest, "hexdigest")                                                                      \
    X(digest, "digest")                                                                            \
    X(upper, "upper")                                                                              \
    X(lower, "lower")                                                                              \
    X(new_, "new")                                                                                 \
    X(MODE_ECB, "MODE_ECB")                                                                        \
    X(MODE_CBC, "MODE_CBC")                                                                        \
    X(block_size, "block_size")                                                                    \
    X(encrypt, "encrypt")                                                                          \
    X(decrypt, "decrypt")                                                                          \
    X(encode, "encode")                                                                            \
    X(decode, "decode")                                                                            \
    X(rstrip, "rstrip")                                                                            \
    X(add_to_16, "_add_to_16")                                                                     \
    X(newkeys, "newkeys")                                                                          \
    X(get, "get")                                                                                  \
    X(exceptions, "exceptions")                                                                    \
    X(ExpiredSignatureError, "ExpiredSignatureError")                                              \
    X(name, "name")                                                                                \
    /* keyword names */                                                                            \
    X(encoding, "encoding")                                                                        \
    X(digestmod, "digestmod")                                                                      \
    X(algorithm, "algorithm")                                                                      \
    X(issuer, "issuer")                                                                            \
    X(algorithms, "algorithms")                                                                    \
    /* constant texts */                                                                           \
    X(utf_8, "utf-8")                                                                              \
    X(gbk, "gbk")                                                                                  \
    X(newline, "\n")                                                                               \
    X(empty, "")                                                                                   \
    X(nul, std::string_view("\0", 1))                                                              \
    X(HS256, "HS256")                                                                              \
    X(data, "data")                                                                                \
    X(iat, "iat")                                                                                  \
    X(iss, "iss")                                                                                  \
    X(exp, "exp")                                                                                  \
    X(expired, "token已过期")                                                                      \
    X(failure_prefix, "系统异常：")                                                                \
    /* module surface */                                                                           \
    X(all, "__all__")                                                                              \
    X(m_crypt, "m_crypt")                                                                          \
    X(Crypt, "_Crypt")                                                                             \
    X(dunder_module, "__module__")                                                                 \
    X(dunder_qualname, "__qualname__")                                                             \
    X(module_name, "crypt_main")                                                                   \
    /* exit */                                                                                     \
    X(atexit, "atexit")                                                                            \
    X(register_, "register")

namespace cm {

/// Each name's position in CM_NAMES: what method() indexes its cache of descriptors by.
enum class NameId : unsigned short {
#define CM_ID(field, text) field,
    CM_NAMES(CM_ID)
#undef CM_ID
        count
};

constexpr std::size_t kNameCount = static_cast<std::size_t>(NameId::count);

/// An interned name, usable wherever a PyObject* is.
struct Name {
    PyObject* str;
    NameId id;
    operator PyObject*() const noexcept { return str; }  // NOLINT: a name is its string
};

/// Every interned name and constant object the operations use, made by one runtime's first
/// import and read-only after.
struct Names {
#define CM_FIELD(field, text) Name field{nullptr, NameId::field};
    CM_NAMES(CM_FIELD)
#undef CM_FIELD

    // Keyword-name tuples for vectorcall, so that no call builds one.
    PyObject* kw_encoding = nullptr;           // ("encoding",)
    PyObject* kw_digestmod = nullptr;          // ("digestmod",)
    PyObject* kw_algorithm = nullptr;          // ("algorithm",)
    PyObject* kw_issuer_algorithms = nullptr;  // ("issuer", "algorithms")

    PyObject* nul_byte = nullptr;        // b"\0", which is "\0".encode()
    PyObject* pkcs1_overhead = nullptr;  // 11: the bytes PKCS#1 v1.5 padding takes per block
    PyObject* bits_per_byte = nullptr;   // 8
    PyObject* bits512 = nullptr;
    PyObject* bits1024 = nullptr;
    PyObject* bits2048 = nullptr;
    PyObject* bits4096 = nullptr;
};

/// Makes the running runtime's names, once; later calls return at once.
void init_names();

}  // namespace cm
