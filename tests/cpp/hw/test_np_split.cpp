#include <gtest/gtest.h>

#include <stdexcept>

#include "hw/np_split.h"

namespace nuvra {
namespace {

struct GeometryRow {
    const char* what;
    Shape input;
    NpSpace part;
    NpSpace window;
    int kernel;
    int stride;
    PaddingParams pad;
    uint32_t pool_size;
    uint8_t pool_stride;
    PaddingParams pool_pad;
    // expected
    uint32_t phase_y, phase_x, out_y, out_x, out_height, out_width;
};

NpSpace space(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t c = 8) {
    return {x, y, Shape{w, h, c}};
}

constexpr PaddingParams no_pad{};
constexpr PaddingParams pad1{1, 1, 1, 1};

const GeometryRow geometry_rows[] = {
    {"plain 1x1, no pooling", Shape{16, 16, 8}, space(0, 0, 8, 4), space(0, 0, 8, 4), 1, 1, no_pad,
     1, 1, no_pad, 0, 0, 0, 0, 4, 8},
    {"plain 1x1, pool 2 stride 2", Shape{16, 16, 8}, space(0, 0, 8, 4), space(0, 0, 8, 4), 1, 1,
     no_pad, 2, 2, no_pad, 0, 0, 0, 0, 2, 4},
    {"kernel 3 stride 2 pad 1, part y 4 h 4", Shape{16, 16, 8}, space(0, 4, 8, 4),
     space(0, 3, 8, 6), 3, 2, pad1, 1, 1, no_pad, 1, 1, 2, 0, 2, 4},
    {"pool size 0 is not clamped", Shape{16, 16, 8}, space(0, 4, 8, 4), space(0, 4, 8, 4), 1, 1,
     no_pad, 0, 1, no_pad, 0, 0, 4, 0, 5, 9},
    {"pool trailing padding on the last part", Shape{16, 16, 8}, space(0, 12, 16, 4),
     space(0, 12, 16, 4), 1, 1, no_pad, 2, 2, PaddingParams{0, 1, 0, 0}, 0, 0, 6, 0, 3, 8},
    {"pool trailing padding ignored inside", Shape{16, 16, 8}, space(0, 8, 16, 4),
     space(0, 8, 16, 4), 1, 1, no_pad, 2, 2, PaddingParams{0, 1, 0, 0}, 0, 0, 4, 0, 2, 8},
    {"second column part, stride 2", Shape{32, 8, 8}, space(16, 0, 16, 8), space(15, 0, 17, 8), 3,
     2, pad1, 1, 1, no_pad, 1, 1, 0, 8, 4, 8},
    // No kernel centre in a part narrower than the kernel's half: an empty window, not a wrap.
    {"no output centre in the part", Shape{16, 16, 8}, space(0, 0, 2, 2), space(0, 0, 2, 2), 7, 1,
     no_pad, 1, 1, no_pad, 0, 0, 0, 0, 0, 0},
    // A part between two pooled outputs produces none instead of a wrapped count.
    {"pool window larger than the part", Shape{16, 16, 8}, space(8, 8, 1, 1), space(8, 8, 1, 1), 1,
     1, no_pad, 4, 1, no_pad, 0, 0, 8, 8, 0, 0},
};

TEST(NpSplitGeometry, OutputWindowsAndPhases) {
    for (auto const& row : geometry_rows) {
        NpSplit const split(row.input, row.part, row.window, row.kernel, row.stride, row.pad,
                            row.pool_size, row.pool_stride, row.pool_pad);
        EXPECT_EQ(split.phase_y, row.phase_y) << row.what;
        EXPECT_EQ(split.phase_x, row.phase_x) << row.what;
        EXPECT_EQ(split.out_y, row.out_y) << row.what;
        EXPECT_EQ(split.out_x, row.out_x) << row.what;
        EXPECT_EQ(split.out_height, row.out_height) << row.what;
        EXPECT_EQ(split.out_width, row.out_width) << row.what;
    }
}

TEST(NpSplitGeometry, CopiesPartAndWindow) {
    NpSplit const split(Shape{32, 16, 8}, space(16, 4, 10, 6, 3), space(15, 3, 12, 8, 3), 3, 1,
                        pad1, 1, 1, no_pad);
    EXPECT_EQ(split.window_y, 3u);
    EXPECT_EQ(split.window_x, 15u);
    EXPECT_EQ(split.window_height, 8u);
    EXPECT_EQ(split.window_width, 12u);
    EXPECT_EQ(split.part_height, 6u);
    EXPECT_EQ(split.part_width, 10u);
    EXPECT_EQ(split.part_channels, 3u);
    EXPECT_EQ(split.window_dy, 0xFFFFFFFFu);  // one row before the part, two's complement
    EXPECT_EQ(split.window_dx, 0xFFFFFFFFu);
}

TEST(NpSplitGeometry, IcontSizeRoundsTheWidthToFour) {
    struct Row {
        uint32_t width;
        uint32_t expected;
    };
    for (Row row : {Row{10, 12}, Row{13, 16}, Row{12, 12}, Row{1, 4}}) {
        NpSplit const split(Shape{64, 4, 8}, space(0, 0, row.width, 4), space(0, 0, row.width, 4),
                            1, 1, no_pad, 1, 1, no_pad);
        EXPECT_EQ(split.icont_size(), row.expected) << row.width;
    }
}

TEST(NpSplitGeometry, RefusesZeroStrides) {
    EXPECT_THROW(NpSplit(Shape{8, 8, 8}, space(0, 0, 8, 8), space(0, 0, 8, 8), 3, 0, pad1, 1, 1,
                         no_pad),
                 std::invalid_argument);
    EXPECT_THROW(NpSplit(Shape{8, 8, 8}, space(0, 4, 8, 4), space(0, 4, 8, 4), 1, 1, no_pad, 2, 0,
                         no_pad),
                 std::invalid_argument);
    EXPECT_THROW(NpSplit(Shape{8, 8, 8}, space(0, 0, 8, 8), space(0, 0, 8, 8), -1, 1, no_pad, 1, 1,
                         no_pad),
                 std::invalid_argument);
}

TEST(TransposedCnpSplitGeometry, DoublesThePart) {
    TransposedCnpSplit const split(space(3, 2, 5, 4, 6), space(2, 1, 7, 6, 6));
    EXPECT_EQ(split.out_y, 4u);
    EXPECT_EQ(split.out_x, 6u);
    EXPECT_EQ(split.out_height, 8u);
    EXPECT_EQ(split.out_width, 10u);
    EXPECT_EQ(split.phase_y, 0u);
    EXPECT_EQ(split.phase_x, 0u);
    EXPECT_EQ(split.part_channels, 6u);
    EXPECT_EQ(split.window_dy, 0xFFFFFFFFu);
    EXPECT_EQ(split.window_width, 7u);
    EXPECT_EQ(split.icont_size(), 12u);  // twice 5, rounded to 12
}

}  // namespace
}  // namespace nuvra
