#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "hw/panic.h"
#include "hw/register.h"

namespace nuvra {
namespace {

std::string set_field_error(uint32_t word, RegDetail field, uint32_t value) {
    try {
        set_field(&word, field, value);
    } catch (std::runtime_error const& e) {
        return e.what();
    }
    return "";
}

struct FieldWrite {
    uint32_t word;
    RegDetail field;
    uint32_t value;
    uint32_t expected;
};

TEST(HwRegister, WritesFieldAndKeepsOtherBits) {
    FieldWrite const rows[] = {
        {0xFFFFFFFF, {8, 3}, 5, 0xFFFFFDFF},       // bits 8..10 become 101: only bit 9 cleared
        {0x00000000, {8, 3}, 7, 0x00000700},       // 2^3 - 1 sets every bit of the field
        {0x00000000, {0, 8}, 255, 0x000000FF},
        {0x12345678, {0, 8}, 0, 0x12345600},
        {0x00000000, {31, 1}, 1, 0x80000000},      // highest bit
        {0xFFFFFFFF, {31, 1}, 0, 0x7FFFFFFF},
        {0x00000000, {0, 32}, 0xFFFFFFFF, 0xFFFFFFFF},  // whole word
        {0xDEADBEEF, {0, 32}, 0x01234567, 0x01234567},
        {0xFFFFFFFF, {16, 16}, 0xABCD, 0xABCDFFFF},
        {0x00000000, {4, 4}, 15, 0x000000F0},
    };
    for (auto const& row : rows) {
        uint32_t word = row.word;
        set_field(&word, row.field, row.value);
        EXPECT_EQ(word, row.expected) << "field {" << row.field.offset << ", " << row.field.width << "} value "
                                      << row.value;
    }
}

struct Refusal {
    uint32_t word;
    RegDetail field;
    uint32_t value;
    const char* message;
};

TEST(HwRegister, RefusesOverflowAndBadFieldsLeavingWordUnchanged) {
    Refusal const rows[] = {
        {0, {0, 4}, 16, "Attempted to write value 16 into a 4-bit field, which will cause an overflow."},
        {0, {0, 8}, 300, "Attempted to write value 300 into a 8-bit field, which will cause an overflow."},
        {0, {8, 3}, 8, "Attempted to write value 8 into a 3-bit field, which will cause an overflow."},
        {0, {31, 1}, 2, "Attempted to write value 2 into a 1-bit field, which will cause an overflow."},
        {0, {0, 31}, 0x80000000u,
         "Attempted to write value 2147483648 into a 31-bit field, which will cause an overflow."},
        // Fields that do not lie inside one word would lose bits: refused.
        {0, {32, 1}, 0, "Invalid register field: offset 32 and width 1 do not fit a 32-bit word."},
        {0, {40, 8}, 1, "Invalid register field: offset 40 and width 8 do not fit a 32-bit word."},
        {0, {30, 3}, 1, "Invalid register field: offset 30 and width 3 do not fit a 32-bit word."},
        {0, {1, 32}, 1, "Invalid register field: offset 1 and width 32 do not fit a 32-bit word."},
        {0, {0, 33}, 1, "Invalid register field: offset 0 and width 33 do not fit a 32-bit word."},
        {0, {4, 0}, 0, "Invalid register field: offset 4 and width 0 do not fit a 32-bit word."},
        {0, {0xFFFFFFFF, 2}, 0,
         "Invalid register field: offset 4294967295 and width 2 do not fit a 32-bit word."},
    };
    for (auto const& row : rows) {
        uint32_t word = 0xA5A5A5A5;
        EXPECT_EQ(set_field_error(word, row.field, row.value), row.message);
        try {
            set_field(&word, row.field, row.value);
        } catch (std::runtime_error const&) {
        }
        EXPECT_EQ(word, 0xA5A5A5A5u) << row.message;
    }
}

TEST(HwRegister, RefusesMissingWord) {
    EXPECT_THROW(set_field(nullptr, RegDetail{0, 1}, 1), std::runtime_error);
}

struct Validity {
    RegDetail field;
    bool valid;
};

TEST(HwRegister, ValidFieldsLieInsideOneWord) {
    Validity const rows[] = {
        {{0, 1}, true},   {{0, 32}, true},  {{31, 1}, true},  {{24, 8}, true},  {{0, 0}, false},
        {{32, 0}, false}, {{32, 1}, false}, {{31, 2}, false}, {{0, 33}, false}, {{0xFFFFFFFF, 1}, false},
        {{1, 0xFFFFFFFF}, false},
    };
    for (auto const& row : rows)
        EXPECT_EQ(is_valid(row.field), row.valid) << row.field.offset << ", " << row.field.width;
    static_assert(is_valid(RegDetail{8, 8}));
}

TEST(HwPanic, ThrowsFormattedTextCutTo256Characters) {
    struct Row {
        std::string text;
        std::string expected;
    };
    Row const rows[] = {
        {"short", "short"},
        {std::string(256, 'a'), std::string(256, 'a')},
        {std::string(257, 'b'), std::string(256, 'b')},
        {std::string(300, 'c') + "tail", std::string(256, 'c')},
    };
    for (auto const& row : rows) {
        try {
            panic("%s", row.text.c_str());
            FAIL() << "panic returned";
        } catch (std::runtime_error const& e) {
            EXPECT_EQ(std::string(e.what()), row.expected);
        }
    }
    try {
        panic("%u cannot fit in a %u-bit unsigned integer", 300u, 8u);
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "300 cannot fit in a 8-bit unsigned integer");
    }
}

}  // namespace
}  // namespace nuvra
