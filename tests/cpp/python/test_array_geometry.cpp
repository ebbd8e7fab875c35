// Numpy shapes and strides of tensors, tensor shapes of arrays, and nn window geometry.
#include <gtest/gtest.h>

#include "python/nn_geometry.h"
#include "python/tensor_layout.h"
#include "support/error_text.h"

namespace nuvra::python {
namespace {

using Dims = std::vector<int64_t>;
using nuvra::testing::error_text;

TEST(TensorLayout, NumpyShapeAndByteStrides) {
    struct Row { TensorType type; Layout layout; std::vector<uint32_t> dims; std::string dtype; Dims shape, strides; };
    Row const rows[] = {
        {TensorType::int32, Layout::reversed, {4, 3, 2}, "int32", {2, 3, 4}, {48, 16, 4}},
        {TensorType::bit, Layout::c_order, {1, 2}, "int8", {1, 2}, {2, 1}},
        {TensorType::uint2, Layout::reversed, {2, 3}, "uint8", {3, 2}, {2, 1}},
        {TensorType::uint16, Layout::c_order, {3}, "uint16", {3}, {2}},
    };
    for (auto const& row : rows) {
        ArrayLayout const got = array_layout(*Dense::create(row.type, Shape(row.dims), row.layout));
        EXPECT_EQ(std::make_tuple(std::string(got.element.dtype), got.shape, got.strides),
                  std::make_tuple(row.dtype, row.shape, row.strides));
    }
}

TEST(TensorLayout, DenseShapeOfArrayDimensions) {
    std::pair<Dims, std::string> const rows[] = {
        {{1, 1, 1, 1, 1}, "Cannot instantiate a Dense with 5 dimensions (min 1, max 4).\n"},
        {{2, 4294967296}, "Cannot have a shape with dimension 1 set to 4294967296 (max 4294967295)."},
        {{2, 4294967295}, ""},
    };
    for (auto const& [dims, error] : rows)
        EXPECT_EQ(error_text<std::exception>([&dims = dims] { dense_shape(dims); }), error);
}

TEST(NnGeometry, ConvolutionKernelIsTheWeightsFirstTwoDimensions) {
    // A 3 x 5 kernel over 7 x 9, stride 2, Same: 4 x 5 out, pads 1 + 1 and 2 + 2.
    ImagePatches const g = conv_patches(Shape{1, 7, 9, 2}, Shape{3, 5, 2, 4}, 2, Padding::Same);
    EXPECT_EQ((std::vector<int64_t>{g.pad_left, g.pad_right, g.pad_top, g.pad_bottom, g.out_x, g.out_y, g.stride_x}),
              (std::vector<int64_t>{1, 1, 2, 2, 4, 5, 2}));
}

TEST(NnGeometry, TransposedConvolution) {
    struct Row { Shape inputs, weights; uint8_t stride; TransposeGeometry expected; };
    Row const rows[] = {
        {{4, 6, 3}, {3, 3, 3, 1}, 2, {0, 0, 8, 12}},
        {{4, 6, 3}, {5, 4, 3, 1}, 1, {2, 1, 4, 6}},
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
    for (auto const& [call, message] : refused) EXPECT_EQ(error_text<std::invalid_argument>(call), message);
}

}  // namespace
}  // namespace nuvra::python
