// HMAC-MD5 over text or bytes, returned as the 16 raw bytes of the code.
#include "module/ops.hpp"

namespace cm {

namespace {

Ref bytes_or_utf8(PyObject* v)
{
    return is_instance(v, &PyBytes_Type) ? Ref::borrow(v) : encode(v, Enc::Utf8Kw);
}

}  // namespace

Ref op::md5_hmac(const Args& a)
{
    auto [value, key] = take<2>(a);
    Ref message = bytes_or_utf8(value);
    Ref secret = bytes_or_utf8(key);
    Ref new_hmac = attr(global(N.hmac), N.new_);
    Ref md5 = attr(global(N.hashlib), N.md5);
    // hmac.new takes the key first, the reverse of this method's signature.
    Ref mac = call({new_hmac, secret, message, md5}, N.kw_digestmod);
    return method(N.digest, {mac});
}

}  // namespace cm
