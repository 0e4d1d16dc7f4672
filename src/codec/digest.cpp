// The hex digest family: one hashlib constructor each, the same steps for all five.
#include "module/ops.hpp"

#include <utility>

namespace cm {

namespace {

Ref hex_digest(PyObject* constructor, const Args& a, bool accepts_bytes)
{
    auto [value, fmt] = take<2>(a);
    Ref new_hash = attr(global(N.hashlib), constructor);
    Ref hash = call({new_hash});
    Ref data = accepts_bytes && is_instance(value, &PyBytes_Type) ? Ref::borrow(value)
                                                                  : encode(value, Enc::Utf8Kw);
    method(N.update, {hash, data});
    Ref hex = method(N.hexdigest, {hash});
    if (equals(fmt, N.upper)) return upper(std::move(hex));
    if (equals(fmt, N.lower)) return lower(hex);
    return hex;
}

}  // namespace

// md5 alone hashes bytes (and bytes subclasses) as they are.
Ref op::md5(const Args& a) { return hex_digest(N.md5, a, true); }
Ref op::sha1(const Args& a) { return hex_digest(N.sha1, a, false); }
Ref op::sha256(const Args& a) { return hex_digest(N.sha256, a, false); }
Ref op::sha384(const Args& a) { return hex_digest(N.sha384, a, false); }
Ref op::sha512(const Args& a) { return hex_digest(N.sha512, a, false); }

}  // namespace cm
