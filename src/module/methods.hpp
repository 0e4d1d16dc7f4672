// The method table of _Crypt: one row per method, in class-namespace order.
#pragma once

#include "module/ops.hpp"

#include <span>

namespace cm {

enum class Kind { Static, Instance };

struct MethodSpec {
    const char* name;
    Kind kind;
    const char* params;  // exactly as the signature text shows them
    Body body;
    const char* summary;  // one line for the module's help text
};

/// Every method of _Crypt, in the order the class namespace holds them.
std::span<const MethodSpec> method_table() noexcept;

/// The module docstring: an introduction, then one line per public method from the table.
const char* module_doc() noexcept;

}  // namespace cm
