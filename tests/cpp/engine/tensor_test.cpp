#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "engine/tensor.h"
#include "support/error_text.h"

namespace nuvra {
namespace {

using testing::error_text;

TEST(EngineShape, RefusesZeroDimensionsTooManyDimensionsAndOversizedProducts) {
    struct Row { std::vector<uint32_t> dims; std::string message; };
    Row const rows[] = {
        {{2, 0, 3}, "Cannot have a shape with dimension 1 set to 0"},
        {{0, 0}, "Cannot have a shape with dimension 0 set to 0"},  // the first zero is named
        {{1, 1, 1, 1, 1}, "Cannot have a shape with 5 dimensions (at most 4)"},
        {{65536, 65536}, "Tensor shape size 4294967296 exceeds maximum shape size (4294967295)"},
        // Four maximal dimensions saturate instead of wrapping to a small value.
        {{4294967295u, 4294967295u, 4294967295u, 4294967295u},
         "Tensor shape size 18446744073709551615 exceeds maximum shape size (4294967295)"},
    };
    for (auto const& row : rows)
        EXPECT_EQ(error_text<std::runtime_error>([&] { checked_shape_size(Shape(row.dims)); }), row.message);
    EXPECT_EQ(Shape{}.checked_size(), 1u);  // no dimensions: size 1
    EXPECT_EQ(error_text<std::runtime_error>([] { (void)Shape{32, 16, 3}[3]; }),
              "Shape dimension 3 is out of range (the shape has 3 dimensions)");
}

TEST(EngineDense, CopyAndCreate) {
    for (int32_t value : {11, -1}) EXPECT_STREQ(Tensor::type_name(static_cast<TensorType>(value)), "unknown");
    std::vector<int16_t> source{1, -2, 3};
    auto dense = Dense::copy(source.data(), 6, TensorType::int16, Shape{3}, Layout::c_order);
    source[0] = 99;  // the tensor owns a copy
    EXPECT_EQ(tensor_read<int16_t>(*dense, size_t{0}), 1);
    struct Refusal { TensorType type; size_t bytes; std::string message; };
    Refusal const rows[] = {
        {TensorType::int4, 16, ""},  // one byte per sub-byte element
        {TensorType::int32, 16, "Cannot copy 16 bytes into a tensor of 16 int32 elements (64 bytes expected)."},
        {static_cast<TensorType>(11), 16, "Unknown tensor type 11"},
    };
    std::vector<uint8_t> const bytes(64, 7);
    for (auto const& row : rows)
        EXPECT_EQ(error_text<std::invalid_argument>(
                      [&] { Dense::copy(bytes.data(), row.bytes, row.type, Shape{4, 4}, Layout::c_order); }),
                  row.message);
    EXPECT_EQ(error_text<std::invalid_argument>([] { Dense::create(TensorType::int8, Shape{1}, Layout(2)); }),
              "Unknown tensor layout 2");
}

// Elements 0, 1, 2, ... in memory order, so a read shows which memory slot the strides reach.
std::shared_ptr<Dense> counting_int32(Shape const& shape, Layout layout) {
    std::vector<int32_t> values(shape.product());
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int32_t>(i);
    return Dense::copy(values.data(), values.size() * 4, TensorType::int32, shape, layout);
}

TEST(EngineTensorRead, GoesThroughTheStrides) {
    auto c_order = counting_int32({4, 3, 2}, Layout::c_order);
    auto reversed = counting_int32({4, 3, 2}, Layout::reversed);
    // in_c_order, in_reversed: a*6 + b*2 + c, a + b*4 + c*12
    struct Row { uint32_t a, b, c; int32_t in_c_order, in_reversed; };
    Row const rows[] = {{0, 0, 1, 1, 12}, {1, 0, 0, 6, 1}, {2, 1, 0, 14, 6}};
    for (auto const& row : rows) {
        EXPECT_EQ(tensor_read<int32_t>(*c_order, {row.a, row.b, row.c}), row.in_c_order);
        EXPECT_EQ(tensor_read<int32_t>(*reversed, {row.a, row.b, row.c}), row.in_reversed);
        // The linear form counts the same coordinates in row-major order of the dimensions.
        EXPECT_EQ(tensor_read<int32_t>(*reversed, size_t{row.a * 6 + row.b * 2 + row.c}), row.in_reversed);
    }
}

TEST(EngineTensorRead, TypeFamiliesAndWrongTypes) {
    int8_t const raw[] = {-1, 2};
    using T = TensorType;
    for (auto [type, is_signed] : {std::pair{T::int4, true}, {T::bit, true}, {T::uint2, false}}) {
        auto dense = Dense::copy(raw, 2, type, Shape{2}, Layout::c_order);
        std::string const name = Tensor::type_name(type);
        EXPECT_EQ(error_text<std::runtime_error>([&] { EXPECT_EQ(tensor_read<int8_t>(*dense, {0}), -1); }),
                  is_signed ? "" : "Wrong requested type int8 for a tensor of type " + name);
        EXPECT_EQ(error_text<std::runtime_error>([&] { EXPECT_EQ(tensor_read<uint8_t>(*dense, {0}), 255); }),
                  is_signed ? "Wrong requested type uint8 for a tensor of type " + name : "");
    }
    auto u8 = Dense::create(TensorType::uint8, Shape{4}, Layout::c_order);
    // The type is checked before the coordinates.
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int8_t>(*u8, {9}); }),
              "Wrong requested type int8 for a tensor of type uint8");
}

TEST(EngineTensorRead, OutOfRangeAndWrongRank) {
    auto dense = Dense::create(TensorType::int8, Shape{2, 3}, Layout::c_order);
    struct Row { std::function<void()> read; std::string message; };
    Row const rows[] = {
        {[&] { tensor_read<int8_t>(*dense, {2, 0}); }, "Coordinates are out-of-range (linear index 6, tensor size 6)"},
        // A coordinate past its own dimension is refused even when the row-major index is inside.
        {[&] { tensor_read<int8_t>(*dense, {0, 3}); }, "Coordinates are out-of-range (linear index 3, tensor size 6)"},
        {[&] { tensor_read<int8_t>(*dense, {1}); }, "Wrong number of coordinates: 1 for a tensor of 2 dimensions"},
    };
    for (auto const& row : rows) EXPECT_EQ(error_text<std::runtime_error>(row.read), row.message);
}

TEST(EngineTensorWrite, WritesThroughTheStridesWithTheReadChecks) {
    auto dense = Dense::create(TensorType::uint16, Shape{2, 3}, Layout::reversed);
    tensor_write<uint16_t>(*dense, {1, 2}, 0xBEEF);
    tensor_write<uint16_t>(*dense, size_t{1}, 0x1234);  // (0, 1)
    uint16_t raw[6];
    std::memcpy(raw, dense->buffer().data, sizeof raw);
    EXPECT_EQ(raw[1 + 2 * 2], 0xBEEF);  // strides (1, 2)
    EXPECT_EQ(raw[2], 0x1234);
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_write<int16_t>(*dense, {0, 0}, int16_t{1}); }),
              "Wrong requested type int16 for a tensor of type uint16");
}

TEST(EngineDense, SplitByFirstIndexInBothLayouts) {
    for (Layout layout : {Layout::c_order, Layout::reversed}) {
        auto batch = counting_int32({3, 2, 2}, layout);
        auto parts = batch->split();
        ASSERT_EQ(parts.size(), 3u);
        for (uint32_t i = 0; i < 12; ++i)
            EXPECT_EQ(tensor_read<int32_t>(*parts[i / 4], {i / 2 % 2, i % 2}), tensor_read<int32_t>(*batch, size_t{i}));
        EXPECT_EQ(parts[2]->dimensions(), (Shape{2, 2}));
    }
    EXPECT_EQ(error_text<std::invalid_argument>([] { counting_int32({}, Layout::c_order)->split(); }),
              "Cannot split a tensor without dimensions.");
}

// The same elements in row-major order, shared unless the layout orders them otherwise.
TEST(EngineDense, ReshapedSharesTheElementsWhereTheirOrderAllows) {
    struct Row { Layout layout; std::vector<uint32_t> from, to; bool shared; };
    Row const rows[] = {
        {Layout::c_order, {2, 3}, {6, 1}, true},        {Layout::reversed, {3, 2}, {3, 2, 1}, true},
        {Layout::reversed, {3, 2, 1, 1}, {3, 2}, true}, {Layout::reversed, {3, 2}, {2, 3}, false},
    };
    for (auto const& row : rows) {
        auto from = Dense::create(TensorType::int8, Shape(row.from), row.layout);
        for (size_t i = 0; i < 6; ++i) tensor_write<int8_t>(*from, i, int8_t(i + 1));
        auto const to = from->reshaped(Shape(row.to));
        EXPECT_EQ(to->buffer().data == from->buffer().data, row.shared);
        for (size_t i = 0; i < 6; ++i) EXPECT_EQ(tensor_read<int8_t>(*to, i), int8_t(i + 1)) << i;
    }
    auto const dense = Dense::create(TensorType::int8, Shape{2, 3}, Layout::c_order);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { dense->reshaped(Shape{4}); }),
              "Cannot reshape a tensor of 6 elements to a shape of 4.");
    EXPECT_NE(Dense(*dense).buffer().data, dense->buffer().data);  // an object copy owns its elements
}

}  // namespace
}  // namespace nuvra
