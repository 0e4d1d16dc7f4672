// Text conversions as the operations spell them, with same-result shortcuts on exact built-in
// types.
#pragma once

#include "module/call.hpp"

namespace cm {

/// The three spellings of a UTF-8 encode; a str subclass may tell them apart.
enum class Enc {
    Default,  // value.encode()
    Utf8,     // value.encode("utf-8")
    Utf8Kw,   // value.encode(encoding="utf-8")
};

/// value.encode(...) in the given spelling.
Ref encode(Arg value, Enc form);

/// value.encode("gbk")
Ref encode_gbk(Arg value);

/// data.decode()
Ref decode(Arg data);

/// data.decode("gbk")
Ref decode_gbk(Arg data);

/// str(data, encoding="utf-8")
Ref str_utf8(Arg data);

/// text.replace(old, new_) of an exact str, as str_utf8 returns.
Ref replace(Arg text, PyObject* old, PyObject* new_);

/// text.rstrip("\0")
Ref rstrip_nul(Arg text);

/// text.upper(); takes the reference, and may reuse the string when no one else can see it.
Ref upper(Ref text);

/// text.lower()
Ref lower(Arg text);

}  // namespace cm
