// One bit field of a 32-bit register word, and the only writer of such fields.
#pragma once

#include <cstdint>

namespace nuvra {

struct RegDetail {
    uint32_t offset;  // lowest bit of the field (0 = least significant)
    uint32_t width;   // number of bits

    friend constexpr bool operator==(RegDetail const&, RegDetail const&) = default;
};

// A field lies wholly inside one 32-bit word and has at least one bit.
constexpr bool is_valid(RegDetail field) {
    return field.width >= 1 && field.width <= 32 && field.offset < 32 && field.offset + field.width <= 32;
}

// Writes `value` into the field's bits of `*word`, keeping every other bit. A value that does not
// fit the field, or a field that does not lie inside the word, fails through panic and leaves
// the word unchanged.
void set_field(uint32_t* word, RegDetail const& field, uint32_t value);

// Fails through panic with the overflow message of set_field, "Attempted to write value <value>
// into a <width>-bit field, which will cause an overflow.", for a value given as text (one that
// no 32-bit word holds: negative, fractional or wider).
[[noreturn]] void field_overflow(const char* value, uint32_t width);

// The value of a field (one that lies inside the word) read from a register word.
constexpr uint32_t get_field(uint32_t word, RegDetail const& field) {
    uint32_t const mask = field.width >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << field.width) - 1;
    return (word >> (field.offset % 32)) & mask;
}

}  // namespace nuvra
