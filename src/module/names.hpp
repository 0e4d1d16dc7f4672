// Every identifier and constant the operations use, made once per process.
#pragma once

#include "module/ref.hpp"

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

/// The last type a method name was called on, with the method descriptor found for it; see
/// method() in call.cpp.
struct MethodSlot {
    PyTypeObject* type = nullptr;
    PyObject* descr = nullptr;
};

/// An interned name, usable wherever a PyObject* is.
struct Name {
    PyObject* str = nullptr;
    MethodSlot method;
    operator PyObject*() const noexcept { return str; }  // NOLINT: a name is its string
};

struct Names {
#define CM_FIELD(field, text) Name field;
    CM_NAMES(CM_FIELD)
#undef CM_FIELD

    // Keyword-name tuples for vectorcall, so that no call builds one.
    PyObject* kw_encoding;           // ("encoding",)
    PyObject* kw_digestmod;          // ("digestmod",)
    PyObject* kw_algorithm;          // ("algorithm",)
    PyObject* kw_issuer_algorithms;  // ("issuer", "algorithms")

    PyObject* nul_byte;  // b"\0", which is "\0".encode()
    PyObject* eleven;
    PyObject* eight;
    PyObject* bits512;
    PyObject* bits1024;
    PyObject* bits2048;
    PyObject* bits4096;
};

/// The names of the running runtime; valid after its first successful init_names().
extern Names N;

/// Makes the names once per runtime; later calls return at once.
void init_names();

/// Drops the names of a finalised runtime without touching them (they died with it), so that
/// the next runtime makes its own.
void forget_names() noexcept;

}  // namespace cm
