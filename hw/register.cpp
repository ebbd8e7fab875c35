#include "hw/register.h"

#include <string>

#include "hw/panic.h"

namespace nuvra {

void set_field(uint32_t* word, RegDetail const& field, uint32_t value) {
    if (word == nullptr) panic("%s", "Cannot write a register field into a missing word.");
    if (!is_valid(field))
        panic("Invalid register field: offset %u and width %u do not fit a 32-bit word.", field.offset,
              field.width);
    uint32_t const mask = field.width == 32 ? 0xFFFFFFFFu : (uint32_t{1} << field.width) - 1;
    if (value > mask) field_overflow(std::to_string(value).c_str(), field.width);
    *word = (*word & ~(mask << field.offset)) | ((value & mask) << field.offset);
}

void field_overflow(const char* value, uint32_t width) {
    panic("Attempted to write value %s into a %u-bit field, which will cause an overflow.", value, width);
}

}  // namespace nuvra
