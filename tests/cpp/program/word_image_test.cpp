// Memory records written field by field (WordImage), and the HRC memory select field.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "program/format_support.h"
#include "program/hrc_input.h"
#include "program/record.h"
#include "support/error_text.h"

namespace nuvra {
namespace {

using testing::error_text;

// A field of a record lands in the record's first word plus its own word; outside the image
// nothing is written.
TEST(WordImage, RecordFieldsTakeTheirWordFromTheRecordStart) {
    constexpr Field low{0, 4, 8};
    constexpr Field high{1, 0, 12};
    struct { char const* what; uint64_t record; Field field; uint32_t value; std::vector<uint32_t> words; std::string error; }
    const rows[] = {
        {"word 0 of the record at 2", 2, low, 0xAB, {0, 0, 0xAB0, 0}, ""},
        {"word 1 of the record at 2", 2, high, 0xFFF, {0, 0, 0, 0xFFF}, ""},
        {"word 1 of the record at 3 is past the end", 3, high, 1, {0, 0, 0, 0},
         "Write outside a memory image: word 4 of 4."},
        {"a record start near 2^64 does not wrap", ~uint64_t{0}, high, 1, {0, 0, 0, 0},
         "Write outside a memory image: word 18446744073709551615 of 4."},
        {"too wide for the field", 0, low, 0x100, {0, 0, 0, 0},
         "Attempted to write value 256 into a 8-bit field, which will cause an overflow."},
    };
    for (auto const& row : rows) {
        WordImage image(4);
        EXPECT_EQ(error_text<std::runtime_error>([&] { image.set(row.record, row.field, row.value); }), row.error)
            << row.what;
        EXPECT_EQ(std::move(image).release(), row.words) << row.what;
    }
}

// The blocks themselves are held by each generation's HRC recorder test.
TEST(HrcSram, SelectFieldOfTheFirstWord) {
    auto refused = program::new_record(HwVersion{});
    EXPECT_EQ(error_text<std::logic_error>([&] { record_hrc_sram(refused.get(), Field{1, 0, 1}, {7}); }),
              "An HRC memory select field lies in the first word of its block.");
    EXPECT_TRUE(refused->tracks.empty());
}

// The first element outside a range, in row-major order, whatever the tensor's layout: a
// row-major tensor is first scanned whole for its range, any other element by element.
TEST(FirstInt8Outside, FirstInRowMajorOrderInEveryLayout) {
    struct Row { std::vector<int8_t> values; std::optional<int> first; };
    Row const rows[] = {
        {{0, 1, -1, 1, 0, -1}, std::nullopt},
        {{0, 1, 2, 1, -3, -1}, 2},
        {{0, 1, -1, 1, 0, -128}, -128},  // the last element
        {{127, 1, -1, 1, 0, 2}, 127},
    };
    for (Row const& row : rows) {
        for (Layout layout : {Layout::c_order, Layout::reversed}) {
            auto const tensor = Dense::create(TensorType::int8, Shape{2, 3}, layout);
            for (uint32_t i = 0; i < 6; ++i) tensor_write<int8_t>(*tensor, {i / 3, i % 3}, row.values[i]);
            EXPECT_EQ(first_int8_outside(*tensor, -1, 1), row.first) << int(layout);
        }
    }
}

}  // namespace
}  // namespace nuvra
