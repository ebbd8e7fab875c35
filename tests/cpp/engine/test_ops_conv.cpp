#include <gtest/gtest.h>

#include <limits>
#include <numeric>
#include <stdexcept>

#include "engine/ops.h"
#include "error_text.h"
#include "ops_test_util.h"

namespace nuvra {
namespace {

using namespace testing;

// (3, 3, 1) image with in[x, y] = 3x + y + 1, so 1..9 in row-major order.
std::shared_ptr<Dense> nine() { return i32({3, 3, 1}, {1, 2, 3, 4, 5, 6, 7, 8, 9}); }

TEST(EngineImagePatches, OutputSizesAndPaddingPerMode) {
    struct Row {
        std::vector<uint32_t> input;
        int32_t kx, ky, sx, sy;
        Padding padding;
        int32_t g0, g1, g2, g3;
        uint32_t g4, g5;
    };
    Row const rows[] = {
        {{5, 7, 3}, 3, 3, 2, 2, Padding::Valid, 0, 0, 0, 0, 2, 3},
        {{5, 7, 3}, 3, 3, 2, 2, Padding::Same, 1, 1, 1, 1, 3, 4},
        {{5, 7, 3}, 3, 3, 2, 2, Padding::SameUpper, 1, 1, 1, 1, 3, 4},
        // An odd total: Same pads bottom right, SameUpper top left.
        {{4, 6, 1}, 2, 4, 1, 1, Padding::Same, 0, 1, 1, 2, 4, 6},
        {{4, 6, 1}, 2, 4, 1, 1, Padding::SameUpper, 1, 0, 2, 1, 4, 6},
        {{4, 6, 1}, 2, 4, 1, 1, Padding::Valid, 0, 0, 0, 0, 3, 3},
        // A stride larger than the kernel needs no padding; out = ceil(in / stride).
        {{6, 7, 1}, 1, 1, 3, 2, Padding::Same, 0, 0, 0, 0, 2, 4},
        // A batched shape uses its last three dimensions.
        {{2, 5, 7, 3}, 3, 3, 2, 2, Padding::Valid, 0, 0, 0, 0, 2, 3},
        {{224, 224, 3}, 3, 3, 2, 2, Padding::Same, 0, 1, 0, 1, 112, 112},
    };
    for (auto const& r : rows) {
        ImagePatches const p(r.kx, r.ky, r.sx, r.sy, r.padding, Shape(r.input));
        EXPECT_EQ(p.pad_left, r.g0);
        EXPECT_EQ(p.pad_right, r.g1);
        EXPECT_EQ(p.pad_top, r.g2);
        EXPECT_EQ(p.pad_bottom, r.g3);
        EXPECT_EQ(p.out_x, r.g4);
        EXPECT_EQ(p.out_y, r.g5);
        EXPECT_EQ(p.stride_x, r.sx);
        EXPECT_EQ(p.stride_y, r.sy);
    }
}

TEST(EngineOps, Conv2dPerPadding) {
    struct Row {
        Padding padding;
        std::vector<uint32_t> dims;
        std::vector<int32_t> expected;
    };
    // A 2x2 all-ones kernel sums the window.
    Row const rows[] = {
        {Padding::Valid, {2, 2, 1}, {12, 16, 24, 28}},
        {Padding::Same, {3, 3, 1}, {12, 16, 9, 24, 28, 15, 15, 17, 9}},
        {Padding::SameUpper, {3, 3, 1}, {1, 3, 5, 5, 12, 16, 11, 24, 28}},
    };
    auto const w = i8({2, 2, 1, 1}, {1, 1, 1, 1});
    for (auto const& r : rows) {
        auto input = nine();
        ImagePatches const g(2, 2, 1, 1, r.padding, input->dimensions());
        auto out = ops::conv2d_v2(*input, g.stride_x, g.stride_y, g.pad_left, g.pad_top, g.out_x, g.out_y, *w, 32);
        EXPECT_EQ(dims_of(*out), r.dims);
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
}

TEST(EngineOps, Conv2dChannelsFiltersStridesAndSaturation) {
    // Two channels into two filters: w[0, 0, c, f] = {{1, 2}, {3, 4}}.
    auto out = ops::conv2d_v2(*i32({1, 1, 2}, {3, -2}), 1, 1, 0, 0, 1, 1, *i8({1, 1, 2, 2}, {1, 2, 3, 4}), 32);
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{-3, -2}));
    // Stride 2, kernel 1: every other pixel.
    out = ops::conv2d_v2(*nine(), 2, 2, 0, 0, 2, 2, *i8({1, 1, 1, 1}, {1}), 32);
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{1, 3, 7, 9}));
    // Four bits clamp every window sum.
    out = ops::conv2d_v2(*nine(), 1, 1, 0, 0, 2, 2, *i8({2, 2, 1, 1}, {1, 1, 1, 1}), 4);
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{7, 7, 7, 7}));
    // Wide values take the 64-bit path and saturate to int32.
    out = ops::conv2d_v2(*i32({1, 1, 2}, {1 << 30, 1 << 30}), 1, 1, 0, 0, 1, 1, *i8({1, 1, 2, 1}, {100, 100}), 32);
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{std::numeric_limits<int32_t>::max()}));
    // Batched input keeps its samples first.
    out = ops::conv2d_v2(*i32({2, 1, 1, 1}, {5, 6}), 1, 1, 0, 0, 1, 1, *i8({1, 1, 1, 1}, {2}), 32);
    EXPECT_EQ(dims_of(*out), (std::vector<uint32_t>{2, 1, 1, 1}));
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{10, 12}));
}

TEST(EngineOps, LinearizeFiltersGivesOneRowPerFilter) {
    // w[0, j, c, f]: (j0 c0) {1, 2}, (j0 c1) {3, 4}, (j1 c0) {5, 6}, (j1 c1) {7, 8}.
    auto out = ops::linearize_filters(*i8({1, 2, 2, 2}, {1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(dims_of(*out), (std::vector<uint32_t>{2, 4}));
    EXPECT_EQ(values_of<int8_t>(*out), (std::vector<int8_t>{1, 3, 5, 7, 2, 4, 6, 8}));
}

TEST(EngineOps, InputConv2dPadsWithTheGivenValue) {
    struct Row {
        uint8_t pad_value;
        std::vector<int32_t> expected;
    };
    Row const rows[] = {
        {10, {10, 26, 27, 34}},
        {0, {10, 6, 7, 4}},
    };
    auto const image = u8({2, 2, 1}, {1, 2, 3, 4});
    auto const filters = ops::linearize_filters(*i8({2, 2, 1, 1}, {1, 1, 1, 1}));
    for (auto const& r : rows) {
        ImagePatches const g(2, 2, 1, 1, Padding::Same, image->dimensions());
        auto out = ops::input_conv2d(*image, r.pad_value, g.stride_x, g.stride_y, g.pad_top, g.pad_bottom, g.pad_left,
                                     g.pad_right, g.out_x, g.out_y, 2, 2, *filters);
        EXPECT_EQ(dims_of(*out), (std::vector<uint32_t>{2, 2, 1}));
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
}

TEST(EngineOps, Conv2dTransposeScattersThroughTheKernel) {
    struct Row {
        int32_t pad_x;
        std::vector<int32_t> expected;
    };
    // Input {1, 2} along x, kernel {1, 10, 100} along x, stride 2, width 4.
    Row const rows[] = {
        {0, {1, 10, 102, 20}},   // the 200 of the second pixel lands at x = 4 and is dropped
        {1, {10, 102, 20, 200}}, // the 1 of the first lands at x = -1 and is dropped
    };
    for (auto const& r : rows) {
        auto out = ops::conv2d_transpose(*i32({2, 1, 1}, {1, 2}), *i8({3, 1, 1, 1}, {1, 10, 100}), 2, r.pad_x, 0, 4, 1);
        EXPECT_EQ(dims_of(*out), (std::vector<uint32_t>{4, 1, 1}));
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
}

TEST(EngineOps, Conv2dTransposeDoublesFourBySixWithStrideTwo) {
    std::vector<int32_t> input(4 * 6 * 2, 1);
    std::vector<int8_t> weights(3 * 3 * 2 * 5, 1);
    // The geometry of the nn binding: pad (3 - 2) / 2 = 0, width 4 x 2, height 6 x 2.
    auto out = ops::conv2d_transpose(*i32({4, 6, 2}, input), *i8({3, 3, 2, 5}, weights), 2, 0, 0, 8, 12);
    EXPECT_EQ(dims_of(*out), (std::vector<uint32_t>{8, 12, 5}));
    // Output (0, 0) gets input (0, 0) through tap (0, 0) only: 2 channels x 1.
    EXPECT_EQ(values_of<int32_t>(*out)[0], 2);
}

TEST(EngineOps, DepthwiseConv2dPerChannel) {
    // Channel 0 = {1, 2, 3, 4}, channel 1 = {10, 20, 30, 40}; kernel c0 all ones, c1 {1, 0, 0, -1}.
    auto const input = i32({2, 2, 2}, {1, 10, 2, 20, 3, 30, 4, 40});
    auto const w = i8({2, 2, 2}, {1, 1, 1, 0, 1, 0, 1, -1});
    struct Row {
        Padding padding;
        std::vector<uint32_t> dims;
        std::vector<int32_t> expected;
    };
    Row const rows[] = {
        {Padding::Valid, {1, 1, 2}, {10, -30}},
        {Padding::Same, {2, 2, 2}, {10, -30, 6, 20, 7, 30, 4, 40}},
    };
    for (auto const& r : rows) {
        ImagePatches const g(2, 2, 1, 1, r.padding, input->dimensions());
        auto out = ops::depthwise_conv2d(*input, g.stride_x, g.stride_y, g.pad_left, g.pad_top, g.out_x, g.out_y, *w);
        EXPECT_EQ(dims_of(*out), r.dims);
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
    // A (x, y, C, 1) kernel is the same kernel.
    auto out = ops::depthwise_conv2d(*input, 1, 1, 0, 0, 1, 1, *i8({2, 2, 2, 1}, {1, 1, 1, 0, 1, 0, 1, -1}));
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{10, -30}));
}

TEST(EngineOps, GlobalAveragePoolingRoundsHalvesUp) {
    struct Row {
        int n;
        std::vector<int32_t> expected;
    };
    // Channel 0 sums to 11 (2.75), channel 1 to -10 (-2.5).
    Row const rows[] = {
        {32, {3, -2}},
        {2, {1, -2}},
    };
    for (auto const& r : rows) {
        auto out = ops::global_average_pooling(*i32({2, 2, 2}, {1, -1, 2, -2, 3, -3, 5, -4}), r.n);
        EXPECT_EQ(dims_of(*out), (std::vector<uint32_t>{1, 1, 2}));
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
}

TEST(EngineOps, MaxPoolingPerPadding) {
    std::vector<int32_t> sixteen(16);
    std::iota(sixteen.begin(), sixteen.end(), 0);  // in[x, y] = 4x + y
    struct Row {
        int8_t pool;
        int8_t stride;
        Padding padding;
        int n;
        std::vector<uint32_t> dims;
        std::vector<int32_t> expected;
    };
    Row const rows[] = {
        {2, 2, Padding::Valid, 32, {2, 2, 1}, {5, 7, 13, 15}},
        {3, 2, Padding::Same, 32, {2, 2, 1}, {10, 11, 14, 15}},
        {3, 2, Padding::SameUpper, 32, {2, 2, 1}, {5, 7, 13, 15}},
        {2, 2, Padding::Valid, 3, {2, 2, 1}, {3, 3, 3, 3}},
    };
    for (auto const& r : rows) {
        auto input = i32({4, 4, 1}, sixteen);
        ImagePatches const g(r.pool, r.pool, r.stride, r.stride, r.padding, input->dimensions());
        auto out = ops::max_pooling(*input, r.pool, r.pool, false, g.out_x, g.out_y, g.stride_x, g.stride_y, g.pad_top,
                                    g.pad_bottom, g.pad_left, g.pad_right, r.n);
        EXPECT_EQ(dims_of(*out), r.dims);
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
}

TEST(EngineOps, MaxPoolingPaddingIgnoredOrZero) {
    auto input = i32({2, 2, 1}, {-5, -6, -7, -8});
    ImagePatches const g(2, 2, 1, 1, Padding::Same, input->dimensions());
    struct Row {
        bool pad_is_zero;
        std::vector<int32_t> expected;
    };
    Row const rows[] = {
        {false, {-5, -6, -7, -8}},
        {true, {-5, 0, 0, 0}},
    };
    for (auto const& r : rows) {
        auto out = ops::max_pooling(*input, 2, 2, r.pad_is_zero, g.out_x, g.out_y, g.stride_x, g.stride_y, g.pad_top,
                                    g.pad_bottom, g.pad_left, g.pad_right, 32);
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
}

TEST(EngineOps, SubsamplingKeepsEveryFactorthPixel) {
    struct Row {
        uint8_t factor;
        std::vector<uint32_t> dims;
        std::vector<int32_t> expected;
    };
    Row const rows[] = {
        {1, {3, 3, 1}, {1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {2, {2, 2, 1}, {1, 3, 7, 9}},
        {5, {1, 1, 1}, {1}},
    };
    for (auto const& r : rows) {
        auto out = ops::subsampling(*nine(), r.factor);
        EXPECT_EQ(dims_of(*out), r.dims);
        EXPECT_EQ(values_of<int32_t>(*out), r.expected);
    }
}

}  // namespace
}  // namespace nuvra
