#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "python/nn_geometry.h"
#include "support/error_text.h"

namespace nuvra::python {
namespace {

TEST(NnGeometry, ConvolutionKernelIsTheWeightsFirstTwoDimensions) {
    // A 3 x 5 kernel over 7 x 9, stride 2, Same: 4 x 5 out, pads 1 + 1 and 2 + 2.
    ImagePatches const g = conv_patches(Shape{1, 7, 9, 2}, Shape{3, 5, 2, 4}, 2, Padding::Same);
    EXPECT_EQ((std::vector<int64_t>{g.pad_left, g.pad_right, g.pad_top, g.pad_bottom, g.out_x, g.out_y, g.stride_x}),
              (std::vector<int64_t>{1, 1, 2, 2, 4, 5, 2}));
}

TEST(NnGeometry, TransposedConvolution) {
    struct Row {
        Shape inputs, weights;
        uint8_t stride;
        TransposeGeometry expected;
    };
    Row const rows[] = {
        {{4, 6, 3}, {3, 3, 3, 1}, 2, {0, 0, 8, 12}},
        {{4, 6, 3}, {5, 4, 3, 1}, 1, {2, 1, 4, 6}},
        {{4, 6, 3}, {1, 1, 3, 1}, 2, {0, 0, 8, 12}},     // a kernel smaller than the stride
        {{2, 4, 6, 3}, {3, 3, 3, 1}, 2, {0, 0, 8, 12}},  // a batch: the sizes of its images
        {{4294967295u, 1, 1}, {255, 1, 1, 1}, 1, {127, 0, 4294967295u, 1}},
    };
    for (auto const& r : rows) EXPECT_EQ(transpose_geometry(r.inputs, r.weights, r.stride), r.expected);
    std::pair<std::function<void()>, std::string> const refused[] = {
        {[] { transpose_geometry({4, 6, 3}, {3, 256, 3, 1}, 2); },  // would be a kernel of 0
         "conv2d_transpose: kernel size 256 does not fit 8 bits."},
        {[] { transpose_geometry({2147483648u, 6, 3}, {3, 3, 3, 1}, 2); },
         "conv2d_transpose: output width 4294967296 does not fit 32 bits."},
        {[] { transpose_geometry({4, 4294967295u, 3}, {3, 3, 3, 1}, 255); },
         "conv2d_transpose: output height 1095216660225 does not fit 32 bits."},
    };
    for (auto const& [call, message] : refused)
        EXPECT_EQ(nuvra::testing::error_text<std::invalid_argument>(call), message);
}

}  // namespace
}  // namespace nuvra::python
