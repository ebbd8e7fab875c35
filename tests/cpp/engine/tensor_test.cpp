#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/tensor.h"
#include "error_text.h"

namespace nuvra {
namespace {

using testing::error_text;

TEST(EngineShape, ZeroDimensionNamesItsIndex) {
    struct Row {
        std::vector<uint32_t> dims;
        std::string message;
    };
    Row const rows[] = {
        {{0}, "Cannot have a shape with dimension 0 set to 0"},
        {{2, 0, 3}, "Cannot have a shape with dimension 1 set to 0"},
        {{4, 3, 2, 0}, "Cannot have a shape with dimension 3 set to 0"},
        {{0, 0}, "Cannot have a shape with dimension 0 set to 0"},  // the first zero is named
    };
    for (auto const& row : rows)
        EXPECT_EQ(error_text<std::runtime_error>([&] { Shape shape(row.dims); }), row.message);
}

TEST(EngineShape, RankProductAndIndexing) {
    Shape const empty;
    EXPECT_EQ(empty.rank(), 0u);
    EXPECT_EQ(empty.product(), 1u);
    EXPECT_EQ(empty.checked_size(), 1u);

    Shape const shape{32, 16, 3};
    EXPECT_EQ(shape.rank(), 3u);
    EXPECT_EQ(shape[0], 32u);
    EXPECT_EQ(shape[2], 3u);
    EXPECT_EQ(shape.product(), 1536u);
    EXPECT_EQ(shape.to_vector(), (std::vector<uint32_t>{32, 16, 3}));
    EXPECT_EQ(error_text<std::runtime_error>([&] { (void)shape[3]; }),
              "Shape dimension 3 is out of range (the shape has 3 dimensions)");
    EXPECT_EQ(error_text<std::runtime_error>([] { Shape shape(std::vector<uint32_t>{1, 1, 1, 1, 1}); }),
              "Cannot have a shape with 5 dimensions (at most 4)");
    EXPECT_TRUE((Shape{1, 2} == Shape{1, 2}));
    EXPECT_FALSE((Shape{1, 2} == Shape{1, 2, 1}));
}

TEST(EngineShape, CheckedSizeBoundary) {
    struct Row {
        Shape shape;
        std::string message;  // "" when the size is accepted
    };
    Row const rows[] = {
        {{4294967295u}, ""},
        {{65535, 65537}, ""},  // exactly 4294967295
        {{65536, 65536}, "Tensor shape size 4294967296 exceeds maximum shape size (4294967295)"},
        {{2, 2147483648u}, "Tensor shape size 4294967296 exceeds maximum shape size (4294967295)"},
        // The product of four maximal dimensions saturates instead of wrapping to a small value.
        {{4294967295u, 4294967295u, 4294967295u, 4294967295u},
         "Tensor shape size 18446744073709551615 exceeds maximum shape size (4294967295)"},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(error_text<std::runtime_error>([&] { row.shape.checked_size(); }), row.message);
        EXPECT_EQ(error_text<std::runtime_error>([&] { checked_shape_size(row.shape); }), row.message);
    }
}

TEST(EngineTensor, TypeNamesAndItemSizes) {
    struct Row {
        int32_t value;
        const char* name;
        size_t item;
    };
    Row const rows[] = {
        {0, "int32", 4},  {1, "float32", 4}, {2, "uint8", 1}, {3, "int16", 2},  {4, "int8", 1},
        {5, "int4", 1},   {6, "int2", 1},    {7, "uint4", 1}, {8, "uint2", 1},  {9, "bit", 1},
        {10, "uint16", 2}, {11, "unknown", 0}, {-1, "unknown", 0}, {255, "unknown", 0},
    };
    for (auto const& row : rows) {
        EXPECT_STREQ(Tensor::type_name(static_cast<TensorType>(row.value)), row.name) << row.value;
        EXPECT_EQ(Tensor::item_size(static_cast<TensorType>(row.value)), row.item) << row.value;
    }
}

TEST(EngineDense, CopyChecksTheByteCount) {
    std::vector<uint8_t> const bytes(64, 7);
    struct Row {
        TensorType type;
        Shape shape;
        size_t bytes;
        std::string message;  // "" when accepted
    };
    Row const rows[] = {
        {TensorType::int32, {2, 3}, 24, ""},
        {TensorType::int32, {2, 3}, 6, "Cannot copy 6 bytes into a tensor of 6 int32 elements (24 bytes expected)."},
        {TensorType::int16, {5}, 10, ""},
        {TensorType::uint16, {5}, 11, "Cannot copy 11 bytes into a tensor of 5 uint16 elements (10 bytes expected)."},
        {TensorType::int4, {4, 4}, 16, ""},  // one byte per sub-byte element
        {TensorType::bit, {3}, 3, ""},
        {TensorType::float32, {1}, 0, "Cannot copy 0 bytes into a tensor of 1 float32 elements (4 bytes expected)."},
        {static_cast<TensorType>(11), {1}, 1, "Unknown tensor type 11"},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(error_text<std::invalid_argument>(
                      [&] { Dense::copy(bytes.data(), row.bytes, row.type, row.shape, Layout::c_order); }),
                  row.message)
            << Tensor::type_name(row.type);
    }
}

TEST(EngineDense, CopyOwnsItsBytes) {
    std::vector<int16_t> source{1, -2, 3};
    auto dense = Dense::copy(source.data(), 6, TensorType::int16, Shape{3}, Layout::c_order);
    source[0] = 99;
    EXPECT_EQ(dense->type(), TensorType::int16);
    EXPECT_EQ(dense->size(), 3u);
    EXPECT_EQ(dense->buffer().bytes, 6u);
    EXPECT_EQ(tensor_read<int16_t>(*dense, size_t{0}), 1);
    EXPECT_EQ(tensor_read<int16_t>(*dense, size_t{1}), -2);
    EXPECT_EQ(dense->layout(), Layout::c_order);
}

TEST(EngineDense, CreateIsZeroFilled) {
    auto dense = Dense::create(TensorType::int32, Shape{2, 2}, Layout::reversed);
    ASSERT_EQ(dense->buffer().bytes, 16u);
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(tensor_read<int32_t>(*dense, i), 0);
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [] { Dense::create(TensorType::int8, Shape{1}, static_cast<Layout>(2)); }),
              "Unknown tensor layout 2");
}

TEST(EngineDense, StridesForBothLayouts) {
    struct Row {
        Shape shape;
        Layout layout;
        Strides strides;
    };
    Row const rows[] = {
        {{4, 3, 2}, Layout::c_order, {6, 2, 1}},
        {{4, 3, 2}, Layout::reversed, {1, 4, 12}},
        {{5}, Layout::c_order, {1}},
        {{5}, Layout::reversed, {1}},
        {{2, 3, 4, 5}, Layout::c_order, {60, 20, 5, 1}},
        {{2, 3, 4, 5}, Layout::reversed, {1, 2, 6, 24}},
        {{}, Layout::c_order, {}},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(Dense::eval_strides(row.shape, row.layout), row.strides);
        EXPECT_EQ(Dense::create(TensorType::uint8, row.shape, row.layout)->strides(), row.strides);
    }
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
    struct Row {
        uint32_t a, b, c;
        int32_t in_c_order;   // a*6 + b*2 + c
        int32_t in_reversed;  // a + b*4 + c*12
    };
    Row const rows[] = {
        {0, 0, 0, 0, 0}, {0, 0, 1, 1, 12}, {0, 1, 0, 2, 4}, {1, 0, 0, 6, 1}, {3, 2, 1, 23, 23}, {2, 1, 0, 14, 6},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(tensor_read<int32_t>(*c_order, {row.a, row.b, row.c}), row.in_c_order);
        EXPECT_EQ(tensor_read<int32_t>(*reversed, {row.a, row.b, row.c}), row.in_reversed);
        // The linear form counts the same coordinates in row-major order of the dimensions.
        size_t const linear = row.a * 6 + row.b * 2 + row.c;
        EXPECT_EQ(tensor_read<int32_t>(*c_order, linear), row.in_c_order);
        EXPECT_EQ(tensor_read<int32_t>(*reversed, linear), row.in_reversed);
    }
}

TEST(EngineTensorRead, SignedAndUnsignedByteFamilies) {
    int8_t const raw[] = {-1, 2};
    struct Row {
        TensorType type;
        bool as_int8;
        bool as_uint8;
    };
    Row const rows[] = {
        {TensorType::int8, true, false},  {TensorType::int4, true, false},  {TensorType::int2, true, false},
        {TensorType::bit, true, false},   {TensorType::uint8, false, true}, {TensorType::uint4, false, true},
        {TensorType::uint2, false, true},
    };
    for (auto const& row : rows) {
        auto dense = Dense::copy(raw, 2, row.type, Shape{2}, Layout::c_order);
        std::string const name = Tensor::type_name(row.type);
        EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int8_t>(*dense, {0}); }),
                  row.as_int8 ? "" : "Wrong requested type int8 for a tensor of type " + name);
        EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<uint8_t>(*dense, {0}); }),
                  row.as_uint8 ? "" : "Wrong requested type uint8 for a tensor of type " + name);
        if (row.as_int8) {
            EXPECT_EQ(tensor_read<int8_t>(*dense, {0}), -1);
        }
        if (row.as_uint8) {
            EXPECT_EQ(tensor_read<uint8_t>(*dense, {0}), 255);
        }
    }
}

TEST(EngineTensorRead, WrongTypeMessageNamesRequestedTypeFirst) {
    auto u8 = Dense::create(TensorType::uint8, Shape{4}, Layout::c_order);
    auto i32 = Dense::create(TensorType::int32, Shape{4}, Layout::c_order);
    auto f32 = Dense::create(TensorType::float32, Shape{4}, Layout::c_order);
    auto i16 = Dense::create(TensorType::int16, Shape{4}, Layout::c_order);
    auto u16 = Dense::create(TensorType::uint16, Shape{4}, Layout::c_order);
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int32_t>(*u8, {0}); }),
              "Wrong requested type int32 for a tensor of type uint8");
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<float>(*i32, size_t{0}); }),
              "Wrong requested type float32 for a tensor of type int32");
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int16_t>(*u16, {0}); }),
              "Wrong requested type int16 for a tensor of type uint16");
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<uint16_t>(*i16, {0}); }),
              "Wrong requested type uint16 for a tensor of type int16");
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int32_t>(*f32, {0}); }),
              "Wrong requested type int32 for a tensor of type float32");
    // The type is checked before the coordinates.
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int8_t>(*u8, {9}); }),
              "Wrong requested type int8 for a tensor of type uint8");
}

TEST(EngineTensorRead, OutOfRangeAndWrongRank) {
    auto dense = Dense::create(TensorType::int8, Shape{2, 3}, Layout::c_order);
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int8_t>(*dense, {2, 0}); }),
              "Coordinates are out-of-range (linear index 6, tensor size 6)");
    // A coordinate past its own dimension is refused even when the row-major index is inside.
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int8_t>(*dense, {0, 3}); }),
              "Coordinates are out-of-range (linear index 3, tensor size 6)");
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int8_t>(*dense, {1, 2}); }), "");
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int8_t>(*dense, size_t{6}); }),
              "Coordinates are out-of-range (linear index 6, tensor size 6)");
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int8_t>(*dense, size_t{5}); }), "");
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int8_t>(*dense, {1}); }),
              "Wrong number of coordinates: 1 for a tensor of 2 dimensions");
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_read<int8_t>(*dense, {0, 0, 0}); }),
              "Wrong number of coordinates: 3 for a tensor of 2 dimensions");
}

TEST(EngineTensorWrite, WritesThroughTheStrides) {
    auto dense = Dense::create(TensorType::uint16, Shape{2, 3}, Layout::reversed);
    tensor_write<uint16_t>(*dense, {1, 2}, 0xBEEF);
    tensor_write<uint16_t>(*dense, size_t{1}, 0x1234);  // (0, 1)
    uint16_t raw[6];
    std::memcpy(raw, dense->buffer().data, sizeof raw);
    EXPECT_EQ(raw[1 + 2 * 2], 0xBEEF);  // strides (1, 2)
    EXPECT_EQ(raw[2], 0x1234);
    EXPECT_EQ(tensor_read<uint16_t>(*dense, {1, 2}), 0xBEEF);
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_write<int16_t>(*dense, {0, 0}, int16_t{1}); }),
              "Wrong requested type int16 for a tensor of type uint16");
    EXPECT_EQ(error_text<std::runtime_error>([&] { tensor_write<uint16_t>(*dense, {2, 0}, uint16_t{1}); }),
              "Coordinates are out-of-range (linear index 6, tensor size 6)");
}

TEST(EngineDense, SplitByFirstIndexInBothLayouts) {
    for (Layout layout : {Layout::c_order, Layout::reversed}) {
        auto batch = counting_int32({3, 2, 2}, layout);
        auto parts = batch->split();
        ASSERT_EQ(parts.size(), 3u);
        for (uint32_t n = 0; n < 3; ++n) {
            EXPECT_EQ(parts[n]->dimensions(), (Shape{2, 2}));
            EXPECT_EQ(parts[n]->layout(), layout);
            EXPECT_EQ(parts[n]->type(), TensorType::int32);
            for (uint32_t y = 0; y < 2; ++y)
                for (uint32_t x = 0; x < 2; ++x)
                    EXPECT_EQ(tensor_read<int32_t>(*parts[n], {y, x}), tensor_read<int32_t>(*batch, {n, y, x}));
        }
    }
    auto flat = counting_int32({4}, Layout::c_order);
    auto scalars = flat->split();
    ASSERT_EQ(scalars.size(), 4u);
    EXPECT_EQ(scalars[3]->dimensions(), (Shape{1}));
    EXPECT_EQ(tensor_read<int32_t>(*scalars[3], {0}), 3);
    EXPECT_EQ(error_text<std::invalid_argument>([] { counting_int32({}, Layout::c_order)->split(); }),
              "Cannot split a tensor without dimensions.");
}

TEST(EngineDense, EnsureDenseSharesOrCopies) {
    auto shared = Dense::create(TensorType::int8, Shape{2}, Layout::c_order);
    EXPECT_EQ(shared->ensure_dense().get(), shared.get());
    std::shared_ptr<Tensor const> as_const = shared;
    EXPECT_EQ(as_const->ensure_dense().get(), shared.get());
}

}  // namespace
}  // namespace nuvra
