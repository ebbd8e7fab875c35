#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "python/tensor_layout.h"

namespace nuvra::python {
namespace {

using Dims = std::vector<int64_t>;

TEST(TensorLayout, NumpyShapeAndByteStrides) {
    struct Row {
        TensorType type;
        Layout layout;
        std::vector<uint32_t> dims;
        std::string dtype;
        Dims shape, strides;
    };
    Row const rows[] = {
        {TensorType::int16, Layout::c_order, {4, 3, 2}, "int16", {4, 3, 2}, {12, 4, 2}},
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
    for (auto const& [dims, error] : rows) {
        std::string got;
        try {
            dense_shape(dims);
        } catch (std::exception const& e) {
            got = e.what();
        }
        EXPECT_EQ(got, error);
    }
}

}  // namespace
}  // namespace nuvra::python
