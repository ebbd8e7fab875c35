#include "hw/text.h"

#include <cstddef>
#include <cstdint>

#include <fmt/format.h>

namespace nuvra {

namespace {

// The length of the well-formed UTF-8 sequence that starts at text[i], or 0 when the bytes there
// form none.
size_t sequence_length(std::string_view text, size_t i) {
    auto const lead = static_cast<uint8_t>(text[i]);
    size_t length = 0;
    uint32_t low = 0x80, high = 0xBF;  // the range of the byte after the lead
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong form
        if (lead == 0xED) high = 0x9F;  // no surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;   // no overlong form
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - i < length) return 0;
    for (size_t k = 1; k < length; ++k) {
        auto const byte = static_cast<uint8_t>(text[i + k]);
        if (byte < (k == 1 ? low : 0x80) || byte > (k == 1 ? high : 0xBF)) return 0;
    }
    return length;
}

}  // namespace

bool is_utf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        size_t const length = sequence_length(text, i);
        if (length == 0) return false;
        i += length;
    }
    return true;
}

std::string escaped_utf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        size_t const length = sequence_length(text, i);
        if (length == 0) {
            out += fmt::format("\\x{:02x}", static_cast<uint8_t>(text[i]));
            ++i;
            continue;
        }
        out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

}  // namespace nuvra
