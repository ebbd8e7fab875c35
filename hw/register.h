// One bit field of a 32-bit register word, and the only writer of such fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

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
// fit the field (2^width or more, so any but 0 for a field of no bits) fails through panic with
// the overflow message, and a field that does not lie inside the word with "Invalid register
// field: ..."; either leaves the word unchanged.
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

// A field bound to its word: the index of the word inside its image (an NP's register image, or a
// record of words in memory such as the two variable words of a neuron) and the field's bits in
// that word. Fields are compile-time constants; one that does not lie inside a 32-bit word does
// not compile.
struct Field {
    uint16_t word;
    RegDetail bits;

    consteval Field(size_t word_index, uint32_t offset, uint32_t width)
        : word(static_cast<uint16_t>(word_index)), bits{offset, width} {
        if (!is_valid(bits) || word_index > 0xFFFF) throw "a field lies inside one 32-bit word";
    }

    friend constexpr bool operator==(Field const&, Field const&) = default;
};

// Writes `value` into `field` of its word of `image`, keeping every other bit. A value wider than
// the field, one above 32 bits included, fails with the overflow message of set_field; a word
// outside the image is std::logic_error and changes nothing.
void set(std::span<uint32_t> image, Field const& field, uint64_t value);
// The same for a flag: 1 or 0.
inline void set_flag(std::span<uint32_t> image, Field const& field, bool value) {
    set(image, field, value ? 1u : 0u);
}
// The value of `field` in `image` (std::logic_error for a word outside the image).
uint32_t get(std::span<uint32_t const> image, Field const& field);

// A field of a memory word wider than 32 bits that crosses from one 32-bit word of its image into
// the next: its low bits are the top bits of `low`'s word, its high bits the bottom bits of the
// word after. Two parts that do not meet that way do not compile.
struct SplitField {
    Field low;
    Field high;

    consteval SplitField(Field low_part, Field high_part) : low(low_part), high(high_part) {
        if (low.bits.offset + low.bits.width != 32 || high.bits.offset != 0 || high.word != low.word + 1)
            throw "a split field runs from the top of one word into the bottom of the next";
    }

    constexpr uint32_t width() const { return low.bits.width + high.bits.width; }
};

// Writes `value` into both parts of `field`: a value wider than the field fails with the overflow
// message of set_field (for the field's whole width) and changes nothing.
void set(std::span<uint32_t> image, SplitField const& field, uint64_t value);

// Whether two fields share a bit of one word.
constexpr bool overlaps(Field const& a, Field const& b) {
    return a.word == b.word && a.bits.offset < b.bits.offset + b.bits.width &&
           b.bits.offset < a.bits.offset + a.bits.width;
}

// One row of a generation's field table: the field's name as the code spells it, and the image
// it belongs to (an NP's register image, a memory record...): fields of different images never
// share bits, whatever their words.
struct NamedField {
    std::string_view name;
    Field field;
    std::string_view image = {};
};

// A generation keeps its fields in one X-macro list, a row X(image, NAME, word, lowest bit,
// width) per field. The list defines the constants with NUVRA_FIELD_CONSTANT and the NamedField
// table with NUVRA_FIELD_ROW, so that no field escapes the table.
#define NUVRA_FIELD_CONSTANT(image, name, word, offset, width) \
    inline constexpr ::nuvra::Field name{word, offset, width};
#define NUVRA_FIELD_ROW(image, name, word, offset, width) ::nuvra::NamedField{#name, name, #image},

}  // namespace nuvra
