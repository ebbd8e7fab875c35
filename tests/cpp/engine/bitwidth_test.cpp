// evaluate_bitwidth's one pass over a tensor's buffer against the element-by-element reading: the
// same width for every integer type, any rank and layout, and values on the edges of each width.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "engine/bitwidth.h"
#include "support/ops_test_util.h"
#include "support/reference_bitwidth.h"

namespace nuvra {
namespace {

using namespace testing;

// A tensor of `type` whose elements, in buffer order, are the low bytes of `values` (little-endian).
std::shared_ptr<Dense> tensor_of(TensorType type, Shape const& shape, Layout layout,
                                 std::vector<int64_t> const& values) {
    auto tensor = Dense::create(type, shape, layout);
    size_t const item = Tensor::item_size(type);
    auto* const data = static_cast<uint8_t*>(tensor->mutable_buffer().data);
    for (size_t i = 0; i < values.size(); ++i) std::memcpy(data + i * item, &values[i], item);
    return tensor;
}

TEST(EngineBitwidthFastPath, MatchesTheElementByElementReading) {
    TensorType const types[] = {TensorType::int32, TensorType::int16, TensorType::int8,   TensorType::int4,
                                TensorType::int2,  TensorType::bit,   TensorType::uint16, TensorType::uint8,
                                TensorType::uint4, TensorType::uint2};
    std::mt19937 random(6124);
    for (int trial = 0; trial < 3000; ++trial) {
        TensorType const type = types[roll(random, std::size(types))];
        std::vector<uint32_t> dims(1 + roll(random, 4));
        for (uint32_t& d : dims) d = 1 + roll(random, dims.size() == 1 ? 300 : 7);
        Shape const shape(dims);
        Layout const layout = roll(random, 2) ? Layout::c_order : Layout::reversed;
        // Mostly small values, so that a value on the edge of a width decides it (+-2^k, +-(2^k - 1),
        // -2^k - 1, up to the storage's extremes once cut); all zeros now and then.
        int64_t const small = roll(random, 10) == 0 ? 0 : int64_t{1} << roll(random, 6);
        std::vector<int64_t> values(shape.product(), 0);
        if (small != 0)
            for (int64_t& v : values) v = int64_t(roll(random, uint64_t(2 * small))) - small;
        for (uint32_t e = small == 0 ? 0 : roll(random, 3); e > 0; --e) {
            int64_t const p = int64_t{1} << roll(random, 8 * Tensor::item_size(type));
            values[roll(random, values.size())] = std::array{p, p - 1, -p, 1 - p, -p - 1}[roll(random, 5)];
        }
        auto const tensor = tensor_of(type, shape, layout, values);
        ASSERT_EQ(evaluate_bitwidth(*tensor), checked_evaluate_bitwidth(*tensor))
            << "trial " << trial << ": " << Tensor::type_name(type) << ", " << values.size() << " elements";
    }
}

// Edges of the 16-bit and sub-byte storages.
TEST(EngineBitwidthFastPath, EdgesOfEachStorage) {
    struct Row { TensorType type; std::vector<int64_t> values; int bits; };
    Row const rows[] = {
        {TensorType::int8, {0, -1}, 1},           {TensorType::int16, {-32768}, 16},
        {TensorType::int16, {16383, -16384}, 15}, {TensorType::uint16, {65535}, 16},
        {TensorType::uint16, {0, 256}, 9},        {TensorType::uint2, {0, 0}, 0},
    };
    for (Row const& row : rows) {
        auto const tensor = tensor_of(row.type, Shape{uint32_t(row.values.size())}, Layout::c_order, row.values);
        EXPECT_EQ(evaluate_bitwidth(*tensor), row.bits) << Tensor::type_name(row.type) << " " << row.values[0];
    }
}

}  // namespace
}  // namespace nuvra
