// The software kernels: geometry, arithmetic, saturation, in-place updates and refusals.
#include <gtest/gtest.h>

#include <functional>
#include <limits>

#include "engine/ops.h"
#include "support/error_text.h"
#include "support/ops_test_util.h"

namespace nuvra {
namespace {

using namespace testing;
using TensorPtr = std::shared_ptr<Tensor>;

constexpr double kMax = std::numeric_limits<int32_t>::max();

// Geometry from ImagePatches, as the nn binding calls the kernels.
TensorPtr conv(Tensor const& in, Tensor const& w, Padding padding) {
    ImagePatches const g(int(w.dimensions()[0]), int(w.dimensions()[1]), 1, 1, padding, in.dimensions());
    return ops::conv2d_v2(in, g.stride_x, g.stride_y, g.pad_left, g.pad_top, g.out_x, g.out_y, w, 32);
}
TensorPtr conv1x1(Dense const& in, Dense const& w) { return ops::conv2d_v2(in, 1, 1, 0, 0, 1, 1, w, 32); }
TensorPtr input_conv(uint8_t pad_value) {
    auto const image = u8({2, 2, 1}, {1, 2, 3, 4});
    ImagePatches const g(2, 2, 1, 1, Padding::Same, image->dimensions());
    return ops::input_conv2d(*image, pad_value, g.stride_x, g.stride_y, g.pad_top, g.pad_bottom, g.pad_left,
                             g.pad_right, g.out_x, g.out_y, 2, 2,
                             *ops::linearize_filters(*i8({2, 2, 1, 1}, {1, 1, 1, 1})));
}
TensorPtr max_pool(Tensor const& in, int8_t pool, int8_t stride, Padding padding, int n, bool pad_is_zero = false) {
    ImagePatches const g(pool, pool, stride, stride, padding, in.dimensions());
    return ops::max_pooling(in, pool, pool, pad_is_zero, g.out_x, g.out_y, g.stride_x, g.stride_y, g.pad_top,
                            g.pad_bottom, g.pad_left, g.pad_right, n);
}

TEST(EngineImagePatches, OutputSizesAndPaddingPerMode) {
    // expected: pad left, right, top, bottom, out x, out y
    struct Row { std::vector<uint32_t> input; int32_t kx, ky, sx, sy; Padding padding; std::vector<int64_t> expected; };
    Row const rows[] = {
        {{5, 7, 3}, 3, 3, 2, 2, Padding::Same, {1, 1, 1, 1, 3, 4}},
        // An odd total: Same pads bottom right, SameUpper top left.
        {{4, 6, 1}, 2, 4, 1, 1, Padding::Same, {0, 1, 1, 2, 4, 6}},
        {{4, 6, 1}, 2, 4, 1, 1, Padding::SameUpper, {1, 0, 2, 1, 4, 6}},
        {{2, 5, 7, 3}, 3, 3, 2, 2, Padding::Valid, {0, 0, 0, 0, 2, 3}},  // a batch: its last three dimensions
    };
    for (auto const& r : rows) {
        ImagePatches const p(r.kx, r.ky, r.sx, r.sy, r.padding, Shape(r.input));
        EXPECT_EQ((std::vector<int64_t>{p.pad_left, p.pad_right, p.pad_top, p.pad_bottom, p.out_x, p.out_y}),
                  r.expected);
    }
}

TEST(EngineOps, Arithmetic) {
    struct Row { const char* what; std::function<TensorPtr()> run; Dims dims; std::vector<double> values;
                 TensorType type = TensorType::int32; };
    auto const ones = i8({2, 2, 1, 1}, {1, 1, 1, 1});
    auto const pair = i32({2, 2, 2}, {1, 10, 2, 20, 3, 30, 4, 40});  // channels {1, 2, 3, 4} and {10, 20, 30, 40}
    auto const dw = i8({2, 2, 2}, {1, 1, 1, 0, 1, 0, 1, -1});        // c0 all ones, c1 {1, 0, 0, -1}
    auto const a23 = i32({2, 3}, {1, 2, 3, 4, 5, 6});
    auto const a22 = i32({2, 2}, {1, 2, 3, 4});
    Row const rows[] = {
        // A 2x2 all-ones kernel sums the window.
        {"conv2d Same", [&] { return conv(*i32({3, 3, 1}, {1, 2, 3, 4, 5, 6, 7, 8, 9}), *ones, Padding::Same); },
         {3, 3, 1}, {12, 16, 9, 24, 28, 15, 15, 17, 9}},
        {"conv2d channels", [] { return conv1x1(*i32({1, 1, 2}, {3, -2}), *i8({1, 1, 2, 2}, {1, 2, 3, 4})); },
         {1, 1, 2}, {-3, -2}},
        {"conv2d saturates", [] { return conv1x1(*i32({1, 1, 2}, {1 << 30, 1 << 30}), *i8({1, 1, 2, 1}, {100, 100})); },
         {1, 1, 1}, {kMax}},
        {"input_conv2d pads with 10", [] { return input_conv(10); }, {2, 2, 1}, {10, 26, 27, 34}},
        // Input {1, 2} along x, kernel {1, 10, 100}, stride 2, pad 1, width 4: what lands outside is dropped.
        {"conv2d_transpose pad 1",
         [] { return ops::conv2d_transpose(*i32({2, 1, 1}, {1, 2}), *i8({3, 1, 1, 1}, {1, 10, 100}), 2, 1, 0, 4, 1); },
         {4, 1, 1}, {10, 102, 20, 200}},
        {"depthwise Same", [&] { return ops::depthwise_conv2d(*pair, 1, 1, 0, 0, 2, 2, *dw); },
         {2, 2, 2}, {10, -30, 6, 20, 7, 30, 4, 40}},
        // Channel sums 11 (2.75) and -10 (-2.5): halves round up.
        {"average", [] { return ops::global_average_pooling(*i32({2, 2, 2}, {1, -1, 2, -2, 3, -3, 5, -4}), 32); },
         {1, 1, 2}, {3, -2}},
        // in[x, y] = 4x + y.
        {"max pool Same", [] { return max_pool(*i32({4, 4, 1}, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}),
                                                3, 2, Padding::Same, 32); }, {2, 2, 1}, {10, 11, 14, 15}},
        {"pad zero", [] { return max_pool(*i32({2, 2, 1}, {-5, -6, -7, -8}), 2, 1, Padding::Same, 32, true); },
         {2, 2, 1}, {-5, 0, 0, 0}},
        {"lshift past 32 bits", [] { return ops::lshift(*i32({2}, {1, 0}), *u8({1}, {40}), 32); }, {2}, {kMax, 0}},
        {"shift floors negatives", [] { return ops::shift(*i32({3}, {8, -7, 5}), *i8({3}, {-1, -1, 2}), 32); },
         {3}, {4, -4, 20}},
        {"shift_out rounds halves up", [] { return ops::shift_out(*i32({4}, {6, -6, 5, 7}), *i8({1}, {2}), 32); },
         {4}, {2, -1, 1, 2}},
        {"matmul transposed", [&] { return ops::matmul(*a23, *i32({2, 3}, {1, 0, 1, 0, 1, 1}), 32, true); },
         {2, 2}, {4, 5, 10, 11}},
        {"add per channel", [&] { return ops::add(*a22, *i32({2}, {100, -100}), 32); }, {2, 2}, {101, -98, 103, -96}},
        {"add 8 bits", [&] { return ops::add(*a22, *i32({1}, {125}), 8); }, {2, 2}, {126, 127, 127, 127}},
        {"concatenate", [] { return ops::concatenate_last_dim({i32({2, 1}, {1, 2}), i32({2, 2}, {3, 4, 5, 6})}); },
         {2, 3}, {1, 3, 4, 2, 5, 6}},
        {"scale_out", [] { return ops::scale_out(*i32({3}, {10, -10, 3}), *u8({1}, {3}), *i8({3}, {1, 1, 0}), 8, 1); },
         {3}, {15, -15, 9}},
        {"scale_out u4", [] { return ops::scale_out(*i32({3}, {10, -10, 100}), *u16({1}, {1}), *i8({1}, {0}), 4, 0); },
         {3}, {10, 0, 15}},
        // Right shifts of 63 and 127 leave 0; left shifts of 128 saturate and of 31 reach -2^31 exactly.
        {"scale_out at the shift extremes", [] {
             return ops::scale_out(*i32({4}, {2147483647, -2147483647 - 1, 1, -1}), *u16({4}, {65535, 65535, 3, 1}),
                                   *i8({4}, {63, 127, -128, -31}), 32, 1); }, {4}, {0, 0, kMax, -kMax - 1}},
        {"dequantize, scale 0", [] { return ops::dequantize(*i32({3}, {4, -6, 5}), *f32({3}, {2, 0.5f, 0})); },
         {3}, {2, -12, 0}, TensorType::float32},
        {"relu per channel", [] { return ops::relu_activation(*i32({2, 2}, {-5, 3, 10, 7}), *i32({2}, {5, 8})); },
         {2, 2}, {0, 3, 5, 7}},
        {"look_up clamps", [] { return ops::look_up(*i32({6}, {-1, 0, 1, 2, 3, 100}), *i32({3}, {10, 20, 30})); },
         {6}, {10, 10, 20, 30, 30, 30}},
        {"wisp post-processing rounds -1.5 up", [] {
             return ops::wisp_post_processing(*i16({4}, {100, -100, 300, -31}), *i16({1}, {28}), *u16({1}, {128}), 16,
                                              false); }, {4}, {64, -36, 164, -1}, TensorType::int16},
        // 0.03125 x 16 = 0.5 rounds away from zero; 3e9 x 16 saturates.
        {"t16", [] { return get_threshold_t16_from_act_steps(*f32({5}, {0.5f, 1.0f, 0.03125f, -0.25f, 3e9f})); },
         {5}, {8, 16, 1, -4, kMax}},
        {"depthwise_like_conv",
        [] { return ops::depthwise_like_conv(*i32({3, 2}, {1, 2, 3, 4, 5, 6}), *i8({3, 2}, {1, -1, 2, 0, 1, 1}), 32); },
         {2}, {12, 4}},
        // Logical (2, 3) = [[1, 2, 3], [4, 5, 6]] stored first dimension fastest is read in logical order.
        {"reversed layout", [] {
             std::vector<int32_t> const stored{1, 4, 2, 5, 3, 6};
             auto const a = Dense::copy(stored.data(), 24, TensorType::int32, Shape{2, 3}, Layout::reversed);
             return ops::add(*a, *i32({1}, {0}), 32);
         }, {2, 3}, {1, 2, 3, 4, 5, 6}},
    };
    for (auto const& r : rows) {
        auto const out = r.run();
        EXPECT_EQ(out->type(), r.type) << r.what;
        EXPECT_EQ(dims_of(*out), r.dims) << r.what;
        EXPECT_EQ(numbers(*out), r.values) << r.what;
    }
}

TEST(EngineOps, InPlaceUpdatesTouchOnlyTheirState) {
    // The fifo moves one place towards index 0 and takes the input last.
    auto fifo = i8({3, 2}, {1, 2, 3, 4, 5, 6});
    ops::fifo_op(*fifo, *i8({1, 2}, {-7, -8}));
    EXPECT_EQ(values_of<int8_t>(*fifo), (std::vector<int8_t>{3, 4, 5, 6, -7, -8}));
    // Input {10, 20} with shifts {0, 1}: u = {10, 40}. Coefficients with 2 fractional bits:
    // channel 0 is 1 (4/4), channel 1 is i (4/4 imaginary).
    using V = std::vector<int32_t>;
    struct Row { V re, im; std::vector<int16_t> e, f; int m; V next_re, next_im; };
    Row const rows[] = {
        {{100, 8}, {0, 4}, {4, 0}, {0, 4}, 32, {110, 36}, {0, 8}},
        {{100, 8}, {0, 4}, {4, 0}, {0, 4}, 6, {31, 31}, {0, 8}},  // 6 bits: [-32, 31]
        {{1, 1}, {0, 0}, {3, 3}, {1, 1}, 32, {11, 41}, {0, 0}},   // 0.75 -> 1, 0.25 -> 0
    };
    for (auto const& r : rows) {
        auto a = i32({1, 2}, {10, 20}), re = i32({1, 2}, r.re), im = i32({1, 2}, r.im);
        auto [next_re, next_im] =
            ops::update_internal_state(*a, *i8({2}, {0, 1}), *re, *im, *i16({2}, r.e), *i16({2}, r.f), r.m, 2);
        EXPECT_EQ(values_of<int32_t>(*next_re), r.next_re);
        EXPECT_EQ(values_of<int32_t>(*next_im), r.next_im);
        EXPECT_EQ(values_of<int32_t>(*re), r.next_re);  // the states are updated in place
        EXPECT_EQ(values_of<int32_t>(*im), r.next_im);
        EXPECT_EQ(values_of<int32_t>(*a), (std::vector<int32_t>{10, 20}));
    }
    // A refused update leaves the states as they were.
    auto re = i32({2}, {1, 2}), im = i32({2}, {3, 4});
    EXPECT_THROW(ops::update_internal_state(*i32({2}, {0, 0}), *i8({3}, {0, 0, 0}), *re, *im, *i16({1}, {1}),
                                            *i16({1}, {1}), 32, 0),
                 std::invalid_argument);
    EXPECT_EQ(values_of<int32_t>(*re), (std::vector<int32_t>{1, 2}));
    EXPECT_EQ(values_of<int32_t>(*im), (std::vector<int32_t>{3, 4}));
}

TEST(EngineOps, RefusesBadArguments) {
    struct Row { std::function<void()> call; std::string message; };
    auto const img = i32({3, 3, 1}, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    auto const img2 = i32({3, 3, 2}, std::vector<int32_t>(18, 1));
    auto const w = i8({2, 2, 1, 1}, {1, 1, 1, 1});
    auto const pix = u8({2, 2, 1}, {1, 2, 3, 4});
    auto const lin = i8({1, 4}, {1, 1, 1, 1});
    auto const s1 = i16({1}, {1});
    Row const invalid[] = {
        {[] { ImagePatches(3, 3, 0, 1, Padding::Same, Shape{5, 5, 1}); },
         "ImagePatches: strides must be between 1 and 127 (got 0 and 1)"},
        {[] { ImagePatches(0, 3, 1, 1, Padding::Valid, Shape{5, 5, 1}); },
         "ImagePatches: kernel sizes must be positive (got 0 and 3)"},
        {[] { ImagePatches(3, 6, 1, 1, Padding::Valid, Shape{5, 5, 1}); },
         "ImagePatches: kernel y (6) is larger than the input (5) with Valid padding"},
        {[&] { ops::conv2d_v2(*img, 1, -56, 0, 0, 2, 2, *w, 32); },
         "conv2d_v2: strides must be positive (got 1 and -56)"},
        {[&] { ops::conv2d_v2(*img2, 1, 1, 0, 0, 2, 2, *w, 32); },
         "conv2d_v2: weights for 1 channels given an input of 2 channels"},
        {[&] { ops::conv2d_v2(*i32({3, 3}, std::vector<int32_t>(9)), 1, 1, 0, 0, 2, 2, *w, 32); },
         "conv2d_v2: inputs must have 3 dimensions (x, y, channels) or 4 (samples, x, y, channels), not 2"},
        {[&] { ops::input_conv2d(*pix, 0, 1, 1, 0, 1, 0, 1, 2, 2, 3, 2, *lin); },
         "input_conv2d: filters must be (filters, 6) for a 3x2 kernel over 1 channels"},
        {[&] { ops::input_conv2d(*pix, 0, 1, 1, 0, 1, 0, 1, 3, 2, 2, 2, *lin); },
         "input_conv2d: x windows reach 4 but the padded input holds 3"},
        {[&] { ops::max_pooling(*img, int8_t(200), 2, false, 1, 1, 1, 1, 0, 0, 0, 0, 32); },
         "max_pooling: pool sizes must be positive (got -56 and 2)"},
        {[&] { ops::subsampling(*img, 0); }, "subsampling: factor must be positive (got 0)"},
        {[] { ops::shift(*i32({1, 2}, {1, 2}), *i8({3}, {0, 0, 0}), 32); }, "shift: 3 shifts for 2 channels"},
        {[] { ops::shift_out(*i32({1}, {1}), *i8({1}, {0}), 33); },
         "shift_out: bit width must be between 1 and 32 (got 33)"},
        {[] { ops::matmul(*i32({2, 3}, std::vector<int32_t>(6)), *i32({2, 2}, {1, 1, 1, 1}), 32, false); },
         "matmul: a has 3 columns but b has 2 rows"},
        {[] { ops::add(*i32({2, 2}, {1, 2, 3, 4}), *i32({3}, {1, 2, 3}), 32); },
         "add: b of 3 elements matches neither a's shape nor its 2 channels"},
        {[] { ops::concatenate_last_dim({i32({1}, {1}), i8({1}, {1})}); },
         "concatenate_last_dim: cannot join int32 and int8 tensors"},
        {[] { ops::fifo_op(*i8({3, 2}, {1, 2, 3, 4, 5, 6}), *i8({3}, {1, 2, 3})); },
         "fifo_op: an input of 3 elements for fifo entries of 2 elements"},
        {[] { ops::depthwise_like_conv(*i32({3, 2}, std::vector<int32_t>(6)), *i8({2, 2}, {1, 1, 1, 1}), 32); },
         "depthwise_like_conv: b must be (3, 2) for a of 3 steps and 2 channels"},
        {[&] {
             auto re = i32({3}, {0, 0, 0}), im = i32({2}, {0, 0});
             ops::update_internal_state(*i32({2}, {0, 0}), *i8({1}, {0}), *re, *im, *s1, *s1, 32, 0);
         },
         "update_internal_state: the states must have the shape of the input"},
        {[] { get_threshold_t16_from_act_steps(*f32({1}, {std::numeric_limits<float>::quiet_NaN()})); },
         "act_step nan is not a finite number"},
    };
    for (auto const& r : invalid) EXPECT_EQ(error_text<std::invalid_argument>(r.call), r.message);
    EXPECT_THROW(ops::shift(*f32({1}, {1.0f}), *i8({1}, {0}), 32), std::runtime_error);  // the typed accessor
}

}  // namespace
}  // namespace nuvra
