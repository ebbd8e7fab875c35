#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/bitwidth.h"
#include "error_text.h"
#include "stub_layer.h"

namespace nuvra {
namespace {

using testing::error_text;
using testing::StubLayer;

template <class T>
std::shared_ptr<Dense> dense_of(TensorType type, std::vector<T> const& values) {
    return Dense::copy(values.data(), values.size() * sizeof(T), type, Shape{static_cast<uint32_t>(values.size())},
                       Layout::c_order);
}

TEST(EngineBitwidth, SignedTypesCountTheSignBit) {
    struct Row {
        std::vector<int32_t> values;
        int bits;
    };
    Row const rows[] = {
        {{0}, 0},
        {{0, 0, 0}, 0},
        {{-1}, 1},
        {{1}, 2},
        {{-2}, 2},
        {{2}, 3},
        {{3, -4}, 3},
        {{-5}, 4},
        {{127}, 8},
        {{-128}, 8},
        {{128}, 9},
        {{1, 200, -3}, 9},  // the widest element decides
        {{2147483647}, 32},
        {{-2147483647 - 1}, 32},
    };
    for (auto const& row : rows)
        EXPECT_EQ(evaluate_bitwidth(*dense_of(TensorType::int32, row.values)), row.bits) << row.values[0];
}

TEST(EngineBitwidth, EachTypeReadsItsOwnElements) {
    EXPECT_EQ(evaluate_bitwidth(*dense_of<int16_t>(TensorType::int16, {-32768, 5})), 16);
    EXPECT_EQ(evaluate_bitwidth(*dense_of<int16_t>(TensorType::int16, {255})), 9);
    EXPECT_EQ(evaluate_bitwidth(*dense_of<int8_t>(TensorType::int8, {-128})), 8);
    EXPECT_EQ(evaluate_bitwidth(*dense_of<int8_t>(TensorType::int4, {7, -8})), 4);
    EXPECT_EQ(evaluate_bitwidth(*dense_of<int8_t>(TensorType::bit, {-1, 0})), 1);
    EXPECT_EQ(evaluate_bitwidth(*dense_of<uint8_t>(TensorType::uint8, {0})), 0);
    EXPECT_EQ(evaluate_bitwidth(*dense_of<uint8_t>(TensorType::uint8, {1})), 1);
    EXPECT_EQ(evaluate_bitwidth(*dense_of<uint8_t>(TensorType::uint8, {128, 3})), 8);
    EXPECT_EQ(evaluate_bitwidth(*dense_of<uint8_t>(TensorType::uint8, {255})), 8);
    EXPECT_EQ(evaluate_bitwidth(*dense_of<uint8_t>(TensorType::uint4, {15})), 4);
    EXPECT_EQ(evaluate_bitwidth(*dense_of<uint16_t>(TensorType::uint16, {65535})), 16);
    EXPECT_EQ(evaluate_bitwidth(*dense_of<uint16_t>(TensorType::uint16, {256})), 9);
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [] { evaluate_bitwidth(*dense_of<float>(TensorType::float32, {1.0f})); }),
              "Cannot evaluate the bit width of a tensor of type float32.");
}

TEST(EngineCheckBitwidth, FitsOrNamesTheVariable) {
    StubLayer layer("conv_1");
    layer.vars.set("output_shift", dense_of<int8_t>(TensorType::int8, {-32, 31, 0}));  // 6 bits
    layer.vars.set("input_shift", dense_of<uint8_t>(TensorType::uint8, {7, 8}));       // 4 bits
    struct Row {
        const char* variable;
        int bits;
        bool required;
        bool failed;
        std::string message;
    };
    Row const rows[] = {
        {"output_shift", 6, false, false, "Success."},
        {"output_shift", 5, false, true, "Variable output_shift needs 6 bits, but at most 5 bits are supported."},
        {"input_shift", 4, false, false, "Success."},
        {"input_shift", 3, true, true, "Variable input_shift needs 4 bits, but at most 3 bits are supported."},
        {"bias_shift", 5, false, false, "Success."},  // absent, not required
        {"bias_shift", 5, true, true, "Variable bias_shift is missing."},
    };
    for (auto const& row : rows) {
        MappingStatus const status = check_bitwidth(layer, row.bits, row.variable, row.required);
        EXPECT_EQ(status.failed, row.failed) << row.variable << " " << row.bits;
        EXPECT_EQ(status.message, row.message);
        EXPECT_EQ(status.layer_name, row.failed ? "conv_1" : "");
    }
}

}  // namespace
}  // namespace nuvra
