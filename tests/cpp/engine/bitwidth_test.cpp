// evaluate_bitwidth's one pass over a tensor's buffer against the element-by-element reading: the
// same width for every integer type, any rank and layout, and values on the edges of each width.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "engine/bitwidth.h"
#include "support/reference_bitwidth.h"

namespace nuvra {
namespace {

using testing::checked_evaluate_bitwidth;

// A number below `n`.
uint32_t roll(std::mt19937& random, uint64_t n) { return uint32_t(random() % n); }

// A tensor of `type` whose elements, in buffer order, are `values` cast to the type's storage.
std::shared_ptr<Dense> tensor_of(TensorType type, Shape const& shape, Layout layout, std::vector<int64_t> const& values) {
    auto tensor = Dense::create(type, shape, layout);
    MutableBuffer const buffer = tensor->mutable_buffer();
    size_t const item = Tensor::item_size(type);
    for (size_t i = 0; i < values.size(); ++i) {
        int64_t const v = values[i];
        uint8_t* at = static_cast<uint8_t*>(buffer.data) + i * item;
        if (item == 4) {
            int32_t const x = int32_t(v);
            std::memcpy(at, &x, 4);
        } else if (item == 2) {
            int16_t const x = int16_t(v);
            std::memcpy(at, &x, 2);
        } else {
            *at = uint8_t(v);
        }
    }
    return tensor;
}

// Values on the edges of every width of the storage: 0, +-1, +-2^k and +-(2^k - 1), the extremes.
std::vector<int64_t> edge_values(size_t item) {
    std::vector<int64_t> values{0, 1, -1};
    for (int k = 1; k < int(8 * item); ++k) {
        int64_t const p = int64_t{1} << k;
        values.insert(values.end(), {p, p - 1, -p, -(p - 1), -p - 1});
    }
    values.push_back(int64_t{1} << (8 * item - 1));  // the storage's minimum once cast
    return values;
}

TEST(EngineBitwidthFastPath, MatchesTheElementByElementReading) {
    TensorType const types[] = {TensorType::int32, TensorType::int16, TensorType::int8,   TensorType::int4,
                                TensorType::int2,  TensorType::bit,   TensorType::uint16, TensorType::uint8,
                                TensorType::uint4, TensorType::uint2};
    std::mt19937 random(6124);
    for (int trial = 0; trial < 3000; ++trial) {
        TensorType const type = types[roll(random, std::size(types))];
        size_t const item = Tensor::item_size(type);
        std::vector<uint32_t> dims(1 + roll(random, 4));
        for (uint32_t& d : dims) d = 1 + roll(random, dims.size() == 1 ? 300 : 7);
        Shape const shape(dims);
        Layout const layout = roll(random, 2) ? Layout::c_order : Layout::reversed;
        std::vector<int64_t> const edges = edge_values(item);
        // Mostly small values, so that one edge value decides the width; all zeros now and then.
        int const small = 1 << roll(random, 6);
        bool const zeros = roll(random, 10) == 0;
        std::vector<int64_t> values(shape.product());
        for (int64_t& v : values) v = zeros ? 0 : int64_t(roll(random, uint64_t(2 * small))) - small;
        if (!zeros)
            for (uint32_t e = roll(random, 3); e > 0; --e)
                values[roll(random, values.size())] = edges[roll(random, edges.size())];
        auto const tensor = tensor_of(type, shape, layout, values);
        ASSERT_EQ(evaluate_bitwidth(*tensor), checked_evaluate_bitwidth(*tensor))
            << "trial " << trial << ": " << Tensor::type_name(type) << ", " << values.size() << " elements";
    }
}

// Edges of the 16-bit and sub-byte storages, and the widest element last, in the tail after
// whole blocks of the loop.
TEST(EngineBitwidthFastPath, EdgesOfEachStorage) {
    struct Row { TensorType type; std::vector<int64_t> values; int bits; };
    Row const rows[] = {
        {TensorType::int8, {0, -1}, 1},         {TensorType::int16, {-32768}, 16},
        {TensorType::int16, {16383, -16384}, 15}, {TensorType::uint16, {65535}, 16},
        {TensorType::uint16, {0, 256}, 9},      {TensorType::uint2, {0, 0}, 0},
    };
    for (Row const& row : rows) {
        auto const tensor = tensor_of(row.type, Shape{uint32_t(row.values.size())}, Layout::c_order, row.values);
        EXPECT_EQ(evaluate_bitwidth(*tensor), row.bits) << Tensor::type_name(row.type) << " " << row.values[0];
    }
    for (uint32_t length : {1u, 15u, 16u, 17u, 63u, 64u, 65u, 1001u}) {
        std::vector<int64_t> values(length, 1);
        values.back() = -65;
        EXPECT_EQ(evaluate_bitwidth(*tensor_of(TensorType::int8, Shape{length}, Layout::c_order, values)), 8) << length;
        values.back() = 64;
        EXPECT_EQ(evaluate_bitwidth(*tensor_of(TensorType::uint8, Shape{length}, Layout::c_order, values)), 7) << length;
    }
}

}  // namespace
}  // namespace nuvra
