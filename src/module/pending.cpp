// Operations whose bodies have not landed yet.
#include "module/ops.hpp"

namespace cm {

namespace {

[[noreturn]] Ref pending() { raise(PyExc_NotImplementedError, "not implemented yet"); }

}  // namespace

Ref op::aes_ecb(const Args&) { pending(); }
Ref op::aes_ecb_decrypt(const Args&) { pending(); }
Ref op::aes_cbc(const Args&) { pending(); }
Ref op::aes_cbc_decrypt(const Args&) { pending(); }
Ref op::des(const Args&) { pending(); }
Ref op::des_decrypt(const Args&) { pending(); }
Ref op::php(const Args&) { pending(); }
Ref op::php_decrypt(const Args&) { pending(); }
Ref op::add_to_16(const Args&) { pending(); }
Ref op::rsa_keys(const Args&) { pending(); }
Ref op::rsa(const Args&) { pending(); }
Ref op::rsa_decrypt(const Args&) { pending(); }
Ref op::token(const Args&) { pending(); }
Ref op::token_decrypt(const Args&) { pending(); }

}  // namespace cm
