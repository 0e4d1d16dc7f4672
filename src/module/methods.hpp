// The method table of _Crypt: one row per method, in class-namespace order, and the one parser
// of its params column.
#pragma once

#include "module/ops.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace cm {

enum class Kind { Static, Instance };

struct MethodSpec {
    const char* name;
    Kind kind;
    const char* params;  // exactly as the signature text shows them
    Body body;
    const char* summary;  // one line for the module's help text
};

/// One parameter as the params column writes it: "name" or "name=default".
struct ParamText {
    std::string_view name;
    std::string_view default_text;  // empty for a parameter without a default
    std::size_t start = 0;          // where the parameter begins in the column
};

/// A params column taken apart. `count` counts every parameter written, also past the
/// kMaxParams that `items` holds, so that a row the binder cannot hold fails to compile.
struct ParamList {
    std::array<ParamText, kMaxParams> items{};
    std::size_t count = 0;
    std::size_t required = 0;   // leading parameters without a default
    bool defaults_last = true;  // no parameter without a default follows one with a default
};

/// Parses a params column ("self, value, key, iv, base64s=False"); the binder, the function
/// attributes and the module docstring all read the table through this.
constexpr ParamList parse_params(std::string_view text)
{
    ParamList list;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t comma = text.find(", ", at);
        std::size_t end = comma == std::string_view::npos ? text.size() : comma;
        std::string_view param = text.substr(at, end - at);
        std::size_t eq = param.find('=');
        ParamText p{param.substr(0, eq), {}, at};
        if (eq != std::string_view::npos)
            p.default_text = param.substr(eq + 1);
        else if (list.count == list.required)
            ++list.required;
        else
            list.defaults_last = false;
        if (list.count < kMaxParams) list.items[list.count] = p;
        ++list.count;
        at = comma == std::string_view::npos ? text.size() : comma + 2;
    }
    return list;
}

/// Every method of _Crypt, in the order the class namespace holds them.
std::span<const MethodSpec> method_table() noexcept;

/// The module docstring: an introduction, then one line per public method from the table.
const char* module_doc() noexcept;

}  // namespace cm
