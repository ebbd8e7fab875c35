// Checks of text that reaches Python as str.
#pragma once

#include <string>
#include <string_view>

namespace nuvra {

// Whether `text` is well-formed UTF-8: no stray or missing continuation bytes, overlong forms,
// surrogates or values past U+10FFFF.
bool is_utf8(std::string_view text);

// `text` as valid UTF-8 for a message: its well-formed sequences as they are, every other byte as
// \xNN (two lowercase hex digits), as Python writes such a byte in bytes.
std::string escaped_utf8(std::string_view text);

}  // namespace nuvra
