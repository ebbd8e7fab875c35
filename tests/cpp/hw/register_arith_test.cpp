#include <gtest/gtest.h>

#include <limits>

#include "hw/arith.h"
#include "hw/panic.h"
#include "hw/register.h"
#include "support/error_text.h"
#include "support/field_table.h"

namespace nuvra {
namespace {

TEST(HwRegister, WritesFieldAndKeepsOtherBits) {
    struct Row { uint32_t word; RegDetail field; uint32_t value, expected; };
    Row const rows[] = {
        {0xFFFFFFFF, {8, 3}, 5, 0xFFFFFDFF},  // bits 8..10 become 101: only bit 9 cleared
        {0x00000000, {8, 3}, 7, 0x00000700},  // 2^3 - 1 sets every bit of the field
        {0xDEADBEEF, {0, 32}, 0x01234567, 0x01234567},
    };
    for (auto const& row : rows) {
        uint32_t word = row.word;
        set_field(&word, row.field, row.value);
        EXPECT_EQ(word, row.expected) << row.field.offset << ", " << row.field.width;
    }
}

TEST(HwRegister, RefusesOverflowAndBadFieldsLeavingWordUnchanged) {
    struct Row { RegDetail field; uint32_t value; const char* message; };
    Row const rows[] = {
        {{0, 8}, 300, "Attempted to write value 300 into a 8-bit field, which will cause an overflow."},
        {{0, 31}, 1u << 31, "Attempted to write value 2147483648 into a 31-bit field, which will cause an overflow."},
        // Fields that do not lie inside one word would lose bits.
        {{30, 3}, 1, "Invalid register field: offset 30 and width 3 do not fit a 32-bit word."},
        {{4, 0}, 0, "Invalid register field: offset 4 and width 0 do not fit a 32-bit word."},
    };
    for (auto const& row : rows) {
        uint32_t word = 0xA5A5A5A5;
        EXPECT_EQ(testing::error_text<std::runtime_error>([&] { set_field(&word, row.field, row.value); }),
                  row.message);
        EXPECT_EQ(word, 0xA5A5A5A5u) << row.message;
    }
    EXPECT_THROW(set_field(nullptr, RegDetail{0, 1}, 1), std::runtime_error);
}

TEST(HwPanic, ThrowsFormattedTextCutTo256Characters) {
    using testing::error_text;
    for (std::string text : {std::string(256, 'a'), std::string(300, 'c') + "tail"})
        EXPECT_EQ(error_text<std::runtime_error>([&] { panic("%s", text.c_str()); }), text.substr(0, 256));
    EXPECT_EQ(error_text<std::runtime_error>([] { panic("%u cannot fit in a %u-bit unsigned integer", 300u, 8u); }),
              "300 cannot fit in a 8-bit unsigned integer");
}

TEST(HwRegister, FieldsWriteTheirOwnWord) {
    constexpr Field low{1, 0, 4};
    constexpr Field high{2, 28, 4};
    std::vector<uint32_t> image(3, 0xA5A5A5A5);
    set(image, low, 0x3);
    set_flag(image, high, false);
    EXPECT_EQ(image, (std::vector<uint32_t>{0xA5A5A5A5, 0xA5A5A5A3, 0x05A5A5A5}));
    EXPECT_EQ(get(image, low), 0x3u);
    // A value beyond 32 bits is refused with its true value, by a 32-bit field too (it was written as
    // 0xFFFFFFFF); a word outside the image is a bug.
    EXPECT_EQ(testing::error_text<std::runtime_error>([&] { set(image, low, uint64_t{1} << 40); }),
              "Attempted to write value 1099511627776 into a 4-bit field, which will cause an overflow.");
    EXPECT_EQ(testing::error_text<std::runtime_error>([&] { set(image, Field{0, 0, 32}, uint64_t{1} << 32); }),
              "Attempted to write value 4294967296 into a 32-bit field, which will cause an overflow.");
    EXPECT_EQ(testing::error_text<std::logic_error>([&] { set(std::span(image).first(2), high, 1); }),
              "Register field of word 2 is outside an image of 2 words.");
    EXPECT_EQ(image[1], 0xA5A5A5A3u);
}

TEST(HwRegister, SplitFieldsCrossIntoTheNextWord) {
    constexpr SplitField field{Field{1, 30, 2}, Field{2, 0, 3}};  // bits 30-34 of a 64-bit word at word 1
    std::vector<uint32_t> image(3, 0);
    set(image, field, 0b10111);
    EXPECT_EQ(image, (std::vector<uint32_t>{0, 0xC0000000, 0b101}));
    // Too wide for the five bits together, or a part outside the image: nothing changes.
    EXPECT_EQ(testing::error_text<std::runtime_error>([&] { set(image, field, 32); }),
              "Attempted to write value 32 into a 5-bit field, which will cause an overflow.");
    EXPECT_THROW(set(std::span(image).first(2), field, 1), std::logic_error);
    EXPECT_EQ(image, (std::vector<uint32_t>{0, 0xC0000000, 0b101}));
}

TEST(HwRegister, FieldTablesReportOverlapsAndDifferences) {
    constexpr NamedField table[] = {{"A", Field{0, 0, 8}}, {"B", Field{0, 4, 8}}, {"C", Field{1, 0, 8}}};
    EXPECT_EQ(testing::unintended_overlaps(table, {}), std::vector<std::string>{"A ~ B"});
    EXPECT_TRUE(testing::unintended_overlaps(table, {{"B", "A"}}).empty());
    std::vector<uint32_t> const expected{0x12, 0x1034};
    std::vector<uint32_t> const actual{0x12, 0x35};
    EXPECT_EQ(std::string(testing::same_image("actual", "expected", "table", actual, expected, table).message()),
              "actual differs from expected:\nC (word 1 bits 0-7): 53 != 52\n"
              "word 1 differs in unnamed bits 0x1000: 0x35 != 0x1034\n");
    EXPECT_TRUE(testing::same_image("a", "e", "t", actual, actual, table));

    // Fields of different images never overlap; a table is checked image by image.
    constexpr NamedField images[] = {
        {"A", Field{0, 0, 8}, "np"}, {"B", Field{0, 0, 8}, "hrc"}, {"C", Field{3, 0, 8}, "hrc"}};
    EXPECT_TRUE(testing::unintended_overlaps(images, {}).empty());
    EXPECT_EQ(testing::image_fields(images, "hrc").size(), 2u);
    EXPECT_EQ(testing::fields_outside_images(images, {{"np", 1}, {"hrc", 3}}),
              std::vector<std::string>{"C: word 3 of 3"});
}

constexpr uint64_t max64 = std::numeric_limits<uint64_t>::max();

TEST(Arith, SaturatingAndRounding) {
    struct Row { uint64_t got, expected; };
    Row const rows[] = {
        {mul_sat(1ull << 32, 1ull << 32), max64},
        {mul_sat({1ull << 32, 1ull << 32, 0}), max64},  // saturated once, saturated for good
        {add_sat(max64, 1), max64}, {ceil_div(10, 4), 3}, {ceil_div(max64, 4), max64}, {round_up(10, 6), 12},
        {align_up(65, 64), 128}, {align_up(max64 - 2, 64), max64},
        {words_for_bits(0, 32), 0}, {words_for_bits(33, 32), 2}, {words_for_bits(64, 32), 2}, {words_for_bits(9, 8), 2},
    };
    for (Row const& row : rows) EXPECT_EQ(row.got, row.expected);
    EXPECT_TRUE(fits_beside(10, 5, 15));
    EXPECT_FALSE(fits_beside(11, 5, 15));
    EXPECT_FALSE(fits_beside(0, 16, 15));
    EXPECT_EQ(clamp_to<uint32_t>(1ull << 40), 0xFFFFFFFFu);
}

// Exact floor and ceiling of a / b for either sign, up to the ends of the 64-bit range.
TEST(Arith, SignedDivisionRoundsDownAndUp) {
    constexpr int64_t min = std::numeric_limits<int64_t>::min(), max = std::numeric_limits<int64_t>::max();
    struct Row { int64_t a, b, floor, ceil; };
    Row const rows[] = {
        {7, 2, 3, 4},     {-7, 2, -4, -3},  {7, -2, -4, -3}, {-7, -2, 3, 4},  // each sign
        {6, 3, 2, 2},     {-6, 3, -2, -2},  {6, -3, -2, -2},                  // exact: no rounding
        {0, 5, 0, 0},     {-1, 5, -1, 0},   {1, 5, 0, 1},    {-4, 5, -1, 0},  // around zero
        {max, 2, max / 2, max / 2 + 1},  {max, max, 1, 1},   {-max, max, -1, -1},
        {min, 3, -3074457345618258603, -3074457345618258602},  // the most negative value
        {min, 2, min / 2, min / 2},      {min, max, -2, -1}, {min + 1, 1, min + 1, min + 1},
    };
    for (Row const& row : rows) {
        EXPECT_EQ(signed_floor_div(row.a, row.b), row.floor) << row.a << " / " << row.b;
        EXPECT_EQ(signed_ceil_div(row.a, row.b), row.ceil) << row.a << " / " << row.b;
    }
}

TEST(Arith, NarrowAndCheckedRefuseWithOneMessage) {
    EXPECT_EQ(narrow<int8_t>(-128, "shift"), -128);
    struct Row { std::string message; void (*call)(); };
    Row const rows[] = {
        {"bits: 256 does not fit in [0, 255].", [] { narrow<uint8_t>(256, "bits"); }},
        {"words: 4294967296 does not fit in [0, 4294967295].",
         [] { narrow<uint32_t>(uint64_t{1} << 32, "words"); }},
        {"count: 2147483648 does not fit in [-2147483648, 2147483647].",
         [] { narrow<int32_t>(uint64_t{1} << 31, "count"); }},
    };
    for (Row const& row : rows) EXPECT_EQ(testing::error_text<std::out_of_range>(row.call), row.message);
    EXPECT_THROW(checked_mul(1ull << 32, 1ull << 32, "size"), std::overflow_error);
    EXPECT_THROW(checked_add(max64, 1, "size"), std::overflow_error);
    EXPECT_THROW((narrow<uint8_t, std::invalid_argument>(300, "bits")), std::invalid_argument);
}

}  // namespace
}  // namespace nuvra
