// The pooling word both NP generations write for a part of their input (the part, cut and output
// window words are held by each generation's register tests).
#include "program/np_words.h"

#include <gtest/gtest.h>

#include <vector>

#include "program/register_fields.h"
#include "support/error_text.h"

namespace nuvra {
namespace {

using testing::error_text;

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
