// Base64 text and back, through the standard module's line-oriented functions.
#include "module/ops.hpp"

namespace cm {

Ref op::base64(const Args& a)
{
    auto [value] = take<1>(a);
    Ref encodebytes = attr(global(N.base64), N.encodebytes);
    Ref data = encode(value, Enc::Default);
    Ref lines = call({encodebytes, data});
    Ref text = str_utf8(lines);
    return replace(text, N.newline, N.empty);
}

Ref op::base64_decrypt(const Args& a)
{
    auto [value] = take<1>(a);
    Ref decodebytes = attr(global(N.base64), N.decodebytes);
    Ref data = encode(value, Enc::Utf8Kw);
    Ref raw = call({decodebytes, data});
    return str_utf8(raw);
}

}  // namespace cm
