#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "engine/ops.h"
#include "error_text.h"
#include "ops_test_util.h"

namespace nuvra {
namespace {

using namespace testing;

struct Refusal {
    char const* what;
    std::function<void()> call;
    std::string message;
};

TEST(EngineOps, RefusesBadArgumentsWithInvalidArgument) {
    auto const img = i32({3, 3, 1}, {1, 2, 3, 4, 5, 6, 7, 8, 9});
    auto const img2 = i32({3, 3, 2}, std::vector<int32_t>(18, 1));
    auto const w = i8({2, 2, 1, 1}, {1, 1, 1, 1});
    auto const pix = u8({2, 2, 1}, {1, 2, 3, 4});
    auto const lin = i8({1, 4}, {1, 1, 1, 1});
    Refusal const rows[] = {
        {"ImagePatches stride 0", [] { ImagePatches(3, 3, 0, 1, Padding::Same, Shape{5, 5, 1}); },
         "ImagePatches: strides must be between 1 and 127 (got 0 and 1)"},
        {"ImagePatches stride 200", [] { ImagePatches(3, 3, 1, 200, Padding::Same, Shape{5, 5, 1}); },
         "ImagePatches: strides must be between 1 and 127 (got 1 and 200)"},
        {"ImagePatches kernel 0", [] { ImagePatches(0, 3, 1, 1, Padding::Valid, Shape{5, 5, 1}); },
         "ImagePatches: kernel sizes must be positive (got 0 and 3)"},
        {"ImagePatches Valid kernel larger than input", [] { ImagePatches(3, 6, 1, 1, Padding::Valid, Shape{5, 5, 1}); },
         "ImagePatches: kernel y (6) is larger than the input (5) with Valid padding"},
        {"ImagePatches 2-D shape", [] { ImagePatches(1, 1, 1, 1, Padding::Valid, Shape{5, 5}); },
         "ImagePatches: the input shape must have 3 or 4 dimensions, not 2"},
        {"ImagePatches unknown padding", [] { ImagePatches(1, 1, 1, 1, static_cast<Padding>(3), Shape{5, 5, 1}); },
         "ImagePatches: unknown padding 3"},
        {"conv2d_v2 stride 0", [&] { ops::conv2d_v2(*img, 0, 1, 0, 0, 2, 2, *w, 32); },
         "conv2d_v2: strides must be positive (got 0 and 1)"},
        {"conv2d_v2 negative stride", [&] { ops::conv2d_v2(*img, 1, -56, 0, 0, 2, 2, *w, 32); },
         "conv2d_v2: strides must be positive (got 1 and -56)"},
        {"conv2d_v2 weights vs channels", [&] { ops::conv2d_v2(*img2, 1, 1, 0, 0, 2, 2, *w, 32); },
         "conv2d_v2: weights for 1 channels given an input of 2 channels"},
        {"conv2d_v2 bit width 0", [&] { ops::conv2d_v2(*img, 1, 1, 0, 0, 2, 2, *w, 0); },
         "conv2d_v2: bit width must be between 1 and 32 (got 0)"},
        {"conv2d_v2 output 0", [&] { ops::conv2d_v2(*img, 1, 1, 0, 0, 0, 2, *w, 32); },
         "conv2d_v2: output size must be positive (got 0 x 2)"},
        {"conv2d_v2 2-D input", [&] { ops::conv2d_v2(*i32({3, 3}, std::vector<int32_t>(9)), 1, 1, 0, 0, 2, 2, *w, 32); },
         "conv2d_v2: inputs must have 3 dimensions (x, y, channels) or 4 (samples, x, y, channels), not 2"},
        {"depthwise_conv2d stride 0", [&] { ops::depthwise_conv2d(*img, 1, 0, 0, 0, 3, 3, *i8({1, 1, 1}, {1})); },
         "depthwise_conv2d: strides must be positive (got 1 and 0)"},
        {"depthwise_conv2d weights vs channels",
         [&] { ops::depthwise_conv2d(*img2, 1, 1, 0, 0, 3, 3, *i8({1, 1, 1}, {1})); },
         "depthwise_conv2d: weights for 1 channels given an input of 2 channels"},
        {"input_conv2d stride 0", [&] { ops::input_conv2d(*pix, 0, 0, 0, 0, 1, 0, 1, 2, 2, 2, 2, *lin); },
         "input_conv2d: strides must be positive (got 0 and 0)"},
        {"input_conv2d filters vs kernel", [&] { ops::input_conv2d(*pix, 0, 1, 1, 0, 1, 0, 1, 2, 2, 3, 2, *lin); },
         "input_conv2d: filters must be (filters, 6) for a 3x2 kernel over 1 channels"},
        {"input_conv2d windows past the padding",
         [&] { ops::input_conv2d(*pix, 0, 1, 1, 0, 1, 0, 1, 3, 2, 2, 2, *lin); },
         "input_conv2d: x windows reach 4 but the padded input holds 3"},
        {"conv2d_transpose stride 0", [&] { ops::conv2d_transpose(*img, *w, 0, 0, 0, 6, 6); },
         "conv2d_transpose: strides must be positive (got 0 and 0)"},
        {"conv2d_transpose weights vs channels", [&] { ops::conv2d_transpose(*img2, *w, 2, 0, 0, 6, 6); },
         "conv2d_transpose: weights for 1 channels given an input of 2 channels"},
        {"max_pooling pool 0", [&] { ops::max_pooling(*img, 0, 2, false, 1, 1, 1, 1, 0, 0, 0, 0, 32); },
         "max_pooling: pool sizes must be positive (got 0 and 2)"},
        {"max_pooling pool 200 as a signed byte",
         [&] { ops::max_pooling(*img, static_cast<int8_t>(200), 2, false, 1, 1, 1, 1, 0, 0, 0, 0, 32); },
         "max_pooling: pool sizes must be positive (got -56 and 2)"},
        {"max_pooling stride 0", [&] { ops::max_pooling(*img, 2, 2, false, 1, 1, 0, 1, 0, 0, 0, 0, 32); },
         "max_pooling: strides must be positive (got 0 and 1)"},
        {"max_pooling negative padding", [&] { ops::max_pooling(*img, 2, 2, false, 1, 1, 1, 1, -1, 0, 0, 0, 32); },
         "max_pooling: padding must not be negative"},
        {"subsampling factor 0", [&] { ops::subsampling(*img, 0); }, "subsampling: factor must be positive (got 0)"},
        {"shift shifts vs channels", [&] { ops::shift(*i32({1, 2}, {1, 2}), *i8({3}, {0, 0, 0}), 32); },
         "shift: 3 shifts for 2 channels"},
        {"lshift shifts vs channels", [&] { ops::lshift(*i32({1, 2}, {1, 2}), *u8({3}, {0, 0, 0}), 32); },
         "lshift: 3 shifts for 2 channels"},
        {"shift_out bit width 33", [&] { ops::shift_out(*i32({1}, {1}), *i8({1}, {0}), 33); },
         "shift_out: bit width must be between 1 and 32 (got 33)"},
        {"scale_out scales vs channels", [&] { ops::scale_out(*i32({2}, {1, 2}), *u8({3}, {1, 1, 1}), *i8({1}, {0}), 8, 1); },
         "scale_out: 3 scales for 2 channels"},
        {"scale_out unsigned 32 bits", [&] { ops::scale_out(*i32({1}, {1}), *u8({1}, {1}), *i8({1}, {0}), 32, 0); },
         "scale_out: bit width must be between 1 and 31 (got 32)"},
        {"matmul inner sizes", [&] { ops::matmul(*i32({2, 3}, std::vector<int32_t>(6)), *i32({2, 2}, {1, 1, 1, 1}), 32, false); },
         "matmul: a has 3 columns but b has 2 rows"},
        {"add shapes", [&] { ops::add(*i32({2, 2}, {1, 2, 3, 4}), *i32({3}, {1, 2, 3}), 32); },
         "add: b of 3 elements matches neither a's shape nor its 2 channels"},
        {"concatenate types", [&] { ops::concatenate_last_dim({i32({1}, {1}), i8({1}, {1})}); },
         "concatenate_last_dim: cannot join int32 and int8 tensors"},
        {"concatenate other dimensions", [&] { ops::concatenate_last_dim({i32({1, 1}, {1}), i32({2, 1}, {1, 2})}); },
         "concatenate_last_dim: tensors differ in a dimension other than the last"},
        {"dequantize scales vs channels", [&] { ops::dequantize(*i32({2}, {1, 2}), *f32({3}, {1, 1, 1})); },
         "dequantize: 3 scales for 2 channels"},
        {"fifo input size", [&] {
             auto fifo = i8({3, 2}, {1, 2, 3, 4, 5, 6});
             ops::fifo_op(*fifo, *i8({3}, {1, 2, 3}));
         },
         "fifo_op: an input of 3 elements for fifo entries of 2 elements"},
        {"depthwise_like_conv b vs a", [&] { ops::depthwise_like_conv(*i32({3, 2}, std::vector<int32_t>(6)), *i8({2, 2}, {1, 1, 1, 1}), 32); },
         "depthwise_like_conv: b must be (3, 2) for a of 3 steps and 2 channels"},
        {"update_internal_state state shape",
         [&] {
             auto r = i32({3}, {0, 0, 0});
             auto i = i32({2}, {0, 0});
             ops::update_internal_state(*i32({2}, {0, 0}), *i8({1}, {0}), *r, *i, *i16({1}, {1}), *i16({1}, {1}), 32, 0);
         },
         "update_internal_state: the states must have the shape of the input"},
        {"update_internal_state fraction bits",
         [&] {
             auto r = i32({2}, {0, 0});
             auto i = i32({2}, {0, 0});
             ops::update_internal_state(*i32({2}, {0, 0}), *i8({1}, {0}), *r, *i, *i16({1}, {1}), *i16({1}, {1}), 32, 31);
         },
         "update_internal_state: coefficient fraction bits must be between 0 and 30 (got 31)"},
        {"wisp_post_processing bit width 17",
         [&] { ops::wisp_post_processing(*i16({1}, {1}), *i16({1}, {0}), *u16({1}, {256}), 17, false); },
         "wisp_post_processing: bit width must be between 1 and 16 (got 17)"},
        {"global_average_pooling 1-D", [&] { ops::global_average_pooling(*i32({4}, {1, 2, 3, 4}), 32); },
         "global_average_pooling: inputs must have 3 dimensions (x, y, channels) or 4 (samples, x, y, channels), not 1"},
    };
    for (auto const& r : rows) EXPECT_EQ(error_text<std::invalid_argument>(r.call), r.message) << r.what;
}

TEST(EngineOps, WrongElementTypeFailsThroughTheTypedAccessor) {
    Refusal const rows[] = {
        {"shift of floats", [] { ops::shift(*f32({1}, {1.0f}), *i8({1}, {0}), 32); },
         "Wrong requested type int32 for a tensor of type float32"},
        {"conv2d_v2 int32 weights",
         [] { ops::conv2d_v2(*i32({1, 1, 1}, {1}), 1, 1, 0, 0, 1, 1, *i32({1, 1, 1, 1}, {1}), 32); },
         "Wrong requested type int8 for a tensor of type int32"},
        {"fifo of uint8", [] {
             auto fifo = u8({2, 1}, {1, 2});
             ops::fifo_op(*fifo, *i8({1}, {1}));
         },
         "Wrong requested type int8 for a tensor of type uint8"},
    };
    for (auto const& r : rows) EXPECT_EQ(error_text<std::runtime_error>(r.call), r.message) << r.what;
}

}  // namespace
}  // namespace nuvra
