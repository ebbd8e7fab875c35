#include <gtest/gtest.h>

#include <array>

#include "hw/np_split.h"

namespace nuvra {
namespace {

NpSpace space(uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint32_t c = 8) { return {x, y, Shape{w, h, c}}; }

constexpr PaddingParams no_pad{};
constexpr PaddingParams pad1{1, 1, 1, 1};

TEST(NpSplitGeometry, OutputWindowsAndPhases) {
    struct Row {
        const char* what; NpSpace part, window; int kernel, stride; PaddingParams pad; uint32_t pool_size;
        uint8_t pool_stride; PaddingParams pool_pad; uint32_t phase_y, phase_x, out_y, out_x, out_height, out_width;
    };
    // Input 16 x 16 x 8.
    Row const rows[] = {
        {"kernel 3 stride 2 pad 1", space(0, 4, 8, 4), space(0, 3, 8, 6), 3, 2, pad1, 1, 1, no_pad, 1, 1, 2, 0, 2, 4},
        {"pool size 0 not clamped", space(0, 4, 8, 4), space(0, 4, 8, 4), 1, 1, no_pad, 0, 1, no_pad, 0, 0, 4, 0, 5, 9},
        {"trailing pool padding on the last part", space(0, 12, 16, 4), space(0, 12, 16, 4), 1, 1, no_pad, 2, 2,
         PaddingParams{0, 1, 0, 0}, 0, 0, 6, 0, 3, 8},
        {"trailing pool padding ignored inside", space(0, 8, 16, 4), space(0, 8, 16, 4), 1, 1, no_pad, 2, 2,
         PaddingParams{0, 1, 0, 0}, 0, 0, 4, 0, 2, 8},
        // No kernel centre in the part, or a part between two pooled outputs: none, not a wrapped count.
        {"no output centre", space(0, 0, 2, 2), space(0, 0, 2, 2), 7, 1, no_pad, 1, 1, no_pad, 0, 0, 0, 0, 0, 0},
        {"pool window larger", space(8, 8, 1, 1), space(8, 8, 1, 1), 1, 1, no_pad, 4, 1, no_pad, 0, 0, 8, 8, 0, 0},
    };
    for (auto const& row : rows) {
        NpSplit const split(Shape{16, 16, 8}, row.part, row.window, row.kernel, row.stride, row.pad, row.pool_size,
                            row.pool_stride, row.pool_pad);
        EXPECT_EQ((std::vector<uint32_t>{split.phase_y, split.phase_x, split.out_y, split.out_x, split.out_height,
                                         split.out_width}),
                  (std::vector<uint32_t>{row.phase_y, row.phase_x, row.out_y, row.out_x, row.out_height,
                                         row.out_width}))
            << row.what;
    }
}

TEST(NpSplitGeometry, WindowOffsetsAndIcontSize) {
    NpSplit const split(Shape{32, 16, 8}, space(16, 4, 10, 6, 3), space(15, 3, 12, 8, 3), 3, 1, pad1, 1, 1, no_pad);
    EXPECT_EQ((std::vector<uint32_t>{split.window_y, split.window_x, split.window_height, split.window_width,
                                     split.part_height, split.part_width, split.part_channels}),
              (std::vector<uint32_t>{3, 15, 8, 12, 6, 10, 3}));
    EXPECT_EQ(split.window_dy, 0xFFFFFFFFu);  // one row before the part, two's complement
    EXPECT_EQ(split.window_dx, 0xFFFFFFFFu);
    for (auto [width, expected] : {std::pair{10u, 12u}, {13u, 16u}, {12u, 12u}}) {
        NpSplit const s(Shape{64, 4, 8}, space(0, 0, width, 4), space(0, 0, width, 4), 1, 1, no_pad, 1, 1, no_pad);
        EXPECT_EQ(s.icont_size(), expected) << width;
    }
}

TEST(NpSplitGeometry, RefusesZeroStridesAndNegativeKernels) {
    for (auto [kernel, stride, pool, pool_stride] : {std::array{3, 0, 1, 1}, {1, 1, 2, 0}, {-1, 1, 1, 1}})
        EXPECT_THROW(NpSplit(Shape{8, 8, 8}, space(0, 0, 8, 8), space(0, 0, 8, 8), kernel, stride, no_pad,
                             uint32_t(pool), uint8_t(pool_stride), no_pad),
                     std::invalid_argument);
}

TEST(TransposedCnpSplitGeometry, DoublesThePart) {
    TransposedCnpSplit const split(space(3, 2, 5, 4, 6), space(2, 1, 7, 6, 6));
    EXPECT_EQ((std::vector<uint32_t>{split.out_y, split.out_x, split.out_height, split.out_width, split.phase_y,
                                     split.phase_x, split.part_channels, split.window_dy, split.window_width}),
              (std::vector<uint32_t>{4, 6, 8, 10, 0, 0, 6, 0xFFFFFFFF, 7}));
    EXPECT_EQ(split.icont_size(), 12u);  // twice 5, rounded to 12
}

}  // namespace
}  // namespace nuvra
