#include "hw/register.h"

#include <limits>
#include <stdexcept>
#include <string>

#include "hw/panic.h"

namespace nuvra {

void set_field(uint32_t* word, RegDetail const& field, uint32_t value) {
    if (word == nullptr) panic("%s", "Cannot write a register field into a missing word.");
    // A value of 2^width or more never fits, a field of no bits included: the overflow comes first.
    if (field.width < 32 && value >> field.width != 0) field_overflow(std::to_string(value).c_str(), field.width);
    if (!is_valid(field))
        panic("Invalid register field: offset %u and width %u do not fit a 32-bit word.", field.offset,
              field.width);
    uint32_t const mask = field.width == 32 ? 0xFFFFFFFFu : (uint32_t{1} << field.width) - 1;
    *word = (*word & ~(mask << field.offset)) | ((value & mask) << field.offset);
}

namespace {

void check_word(size_t images_words, Field const& field) {
    if (field.word >= images_words)
        throw std::logic_error("Register field of word " + std::to_string(field.word) + " is outside an image of " +
                               std::to_string(images_words) + " words.");
}

}  // namespace

void set(std::span<uint32_t> image, Field const& field, uint64_t value) {
    check_word(image.size(), field);
    // A value beyond 32 bits fits no field, a 32-bit one included: refused with its true value.
    if (value > std::numeric_limits<uint32_t>::max()) field_overflow(std::to_string(value).c_str(), field.bits.width);
    set_field(&image[field.word], field.bits, static_cast<uint32_t>(value));
}

void set(std::span<uint32_t> image, SplitField const& field, uint64_t value) {
    check_word(image.size(), field.low);
    check_word(image.size(), field.high);
    uint32_t const width = field.width();
    if (width < 64 && value >> width != 0) field_overflow(std::to_string(value).c_str(), width);
    uint32_t const low_width = field.low.bits.width;
    set(image, field.low, value & ((uint64_t{1} << low_width) - 1));
    set(image, field.high, value >> low_width);
}

uint32_t get(std::span<uint32_t const> image, Field const& field) {
    check_word(image.size(), field);
    return get_field(image[field.word], field.bits);
}

void field_overflow(const char* value, uint32_t width) {
    panic("Attempted to write value %s into a %u-bit field, which will cause an overflow.", value, width);
}

}  // namespace nuvra
