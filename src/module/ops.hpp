// The operation bodies the method table points at, and the shape of their arguments.
#pragma once

#include "module/call.hpp"
#include "module/text.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace cm {

/// No method has more than five parameters, so bound arguments fit a fixed array.
constexpr std::size_t kMaxParams = 5;

/// The bound arguments of one call, in parameter order, borrowed from the caller or from the
/// function's defaults.
using Args = std::array<PyObject*, kMaxParams>;

/// An operation body: runs after binding, returns a new reference or throws.
using Body = Ref (*)(const Args&);

/// The first K bound arguments, for a structured binding: auto [value, key] = take<2>(a);
template <std::size_t K>
std::array<PyObject*, K> take(const Args& a) noexcept
{
    static_assert(K <= kMaxParams);
    std::array<PyObject*, K> out;
    std::copy_n(a.begin(), K, out.begin());
    return out;
}

namespace op {
Ref init(const Args& a);
Ref aes_ecb(const Args& a);
Ref aes_ecb_decrypt(const Args& a);
Ref aes_cbc(const Args& a);
Ref aes_cbc_decrypt(const Args& a);
Ref base64(const Args& a);
Ref base64_decrypt(const Args& a);
Ref des(const Args& a);
Ref des_decrypt(const Args& a);
Ref md5(const Args& a);
Ref md5_hmac(const Args& a);
Ref php(const Args& a);
Ref php_decrypt(const Args& a);
Ref add_to_16(const Args& a);
Ref rsa_keys(const Args& a);
Ref rsa(const Args& a);
Ref rsa_decrypt(const Args& a);
Ref sha1(const Args& a);
Ref sha256(const Args& a);
Ref sha384(const Args& a);
Ref sha512(const Args& a);
Ref token(const Args& a);
Ref token_decrypt(const Args& a);
}  // namespace op

}  // namespace cm
