// The part, cut, output-window and pooling words both NP generations write from an NP's split.
#include "program/np_words.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program/register_fields.h"
#include "support/error_text.h"

namespace nuvra {
namespace {

using namespace fields;
using testing::error_text;

struct Split final : NpSplitInterface {
    uint32_t icont = 0;
    uint32_t icont_size() const override { return icont; }
};

Split split_of(uint32_t dy, uint32_t dx) {
    Split s;
    s.window_y = 7;
    s.window_x = 9;
    s.part_height = 30;
    s.part_width = 40;
    s.phase_y = 1;
    s.window_dy = dy;
    s.window_dx = dx;
    s.window_height = 33;
    s.window_width = 44;
    s.out_y = 2;
    s.out_x = 3;
    s.out_height = 15;
    s.out_width = 20;
    s.icont = 12;
    return s;
}

// The offsets take the width of the generation's fields: 4 bits on the first, 3 on the second.
TEST(NpWords, PartCutAndContainer) {
    Field const i4{8, 12, 4}, j4{8, 28, 4}, i3{8, 12, 3}, j3{8, 28, 3};
    uint32_t const minus_one = uint32_t(-1), minus_two = uint32_t(-2), minus_five = uint32_t(-5);
    struct { char const* what; CutOffsetFields offsets; uint32_t dy, dx; uint32_t word8; std::string failure; }
    const rows[] = {
        {"4-bit offsets", {i4, j4}, minus_one, minus_two, 30 | 0xFu << 12 | 40u << 16 | 0xEu << 28, ""},
        {"3-bit offsets", {i3, j3}, minus_one, 0, 30 | 0x7u << 12 | 40u << 16, ""},
        {"too far for 3 bits", {i3, j3}, minus_five, 0, 30, "-5 cannot fit in a 3-bit signed integer"},
    };
    for (auto const& row : rows) {
        std::vector<uint32_t> image(64, 0u);
        Split const s = split_of(row.dy, row.dx);
        EXPECT_EQ(error_text<std::runtime_error>([&] { format_part_words(image, s, row.offsets); }), row.failure);
        EXPECT_EQ(image[8], row.word8) << row.what;  // on a failure, the part's height was written before
        if (!row.failure.empty()) continue;
        EXPECT_EQ(image[9], 7u | 1u << 12 | 9u << 16) << row.what;  // a phase on the rows only
        EXPECT_EQ(image[10], 33u | 44u << 16) << row.what;
        EXPECT_EQ(get(image, CONTAINER_ICONT_SIZE), 12u) << row.what;
    }

    std::vector<uint32_t> image(64, 0u);
    format_output_window_words(image, split_of(0, 0));
    EXPECT_EQ(image[24], 2u | 3u << 16);
    EXPECT_EQ(image[25], 15u | 20u << 16);
}

// An edge bit where the part touches that side of the input and the pooling pads it there.
TEST(NpWords, PoolingWordEdges) {
    PaddingParams all;
    all.top = all.bottom = all.left = all.right = 1;
    PaddingParams negative = all;
    negative.left = uint32_t(-1);  // taken as signed: no padding
    struct { char const* what; PoolingWord pooling; PartPlace place; uint32_t word; } const rows[] = {
        {"whole input", {2, 2, false, all}, {0, 0, 8, 8, 8, 8}, 0xF000 | 2u << 4 | 2},
        {"inner part", {2, 2, false, all}, {2, 2, 4, 4, 8, 8}, 2u << 4 | 2},
        {"left column", {3, 1, false, all}, {0, 2, 4, 4, 8, 8}, 0x2000 | 1u << 4 | 3},
        {"bottom right", {2, 2, true, all}, {4, 4, 4, 4, 8, 8}, 0x5000 | 0x100 | 2u << 4 | 2},
        {"no padding", {2, 2, false, {}}, {0, 0, 8, 8, 8, 8}, 2u << 4 | 2},
        {"negative left", {2, 2, false, negative}, {0, 0, 8, 8, 8, 8}, 0xD000 | 2u << 4 | 2},
    };
    for (auto const& row : rows) {
        std::vector<uint32_t> image(64, 0u);
        format_pooling_word(image, row.pooling, row.place);
        EXPECT_EQ(image[27], row.word) << row.what;
    }
    std::vector<uint32_t> image(64, 0u);
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_pooling_word(image, {8, 1, false, {}}, {}); }),
              "Attempted to write value 8 into a 3-bit field, which will cause an overflow.");
}

}  // namespace
}  // namespace nuvra
