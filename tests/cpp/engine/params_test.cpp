// Layer and learning parameters, the variable store and the bit widths of variables.
#include <gtest/gtest.h>

#include "engine/bitwidth.h"
#include "engine/params.h"
#include "engine/variables.h"
#include "support/error_text.h"
#include "support/fake_layer.h"

namespace nuvra {
namespace {

using testing::error_text;

TEST(EngineLayerParams, KeysCloneAndRefusals) {
    auto params = LayerParams::create(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", -16}, {"activation", 1}});
    EXPECT_EQ(params->keys(), (std::vector<std::string>{"activation", "filters", "kernel_size"}));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { params->get("units"); }), "Key units not found");
    // A bit width is read whole or refused, never as its low byte.
    auto const wide = LayerParams::create(LayerType::Conv2D, {{"weights_bits", 260}});
    EXPECT_EQ(error_text<std::invalid_argument>([&] { wide->get_as<uint8_t>("weights_bits"); }),
              "weights_bits: 260 does not fit in [0, 255].");
    auto copy = LayerParams::clone(params.get());
    params.reset();
    EXPECT_EQ(copy->get("kernel_size"), 3);
    EXPECT_EQ(error_text<std::invalid_argument>([] { LayerParams::clone(nullptr); }),
              "Cannot clone missing layer parameters.");
}

TEST(EngineLayerParams, RefusesTheGapsBetweenLayerTypes) {
    for (int32_t known : {0, 6, 12, 14, 28}) EXPECT_TRUE(is_layer_type(known)) << known;
    for (int32_t gap : {-1, 7, 13, 18, 29}) {
        EXPECT_FALSE(is_layer_type(gap)) << gap;
        EXPECT_EQ(error_text<std::invalid_argument>([&] { LayerParams::create(static_cast<LayerType>(gap), {}); }),
                  "Unknown layer type " + std::to_string(gap));
    }
}

TEST(EngineLearningParams, KeysCloneAndRefusals) {
    auto params = LearningParams::create(LearningType::NuvraUnsupervised,
                                         {{"num_weights", 10.0}, {"min_plasticity", 0.10000000149011612}});
    EXPECT_EQ(LearningParams::clone(params.get())->get("num_weights"), 10.0);
    EXPECT_EQ(error_text<std::invalid_argument>([] { LearningParams::clone(nullptr); }),
              "Cannot clone missing learning parameters.");
    EXPECT_EQ(error_text<std::invalid_argument>([] { LearningParams::create(static_cast<LearningType>(1), {}); }),
              "Unknown learning type 1");
}

TEST(EngineVariables, KeepInsertionOrderAndReplaceInPlace) {
    VariablesImpl vars;
    auto first = Dense::create(TensorType::int8, Shape{4}, Layout::c_order);
    auto second = Dense::create(TensorType::int8, Shape{8}, Layout::c_order);
    for (auto [name, tensor] : {std::pair{"weights", first}, {"bias", first}, {"input_shift", first}, {"bias", second}})
        vars.set(name, tensor);  // any shape; the name keeps its place
    EXPECT_EQ(vars.names(), (std::vector<std::string>{"weights", "bias", "input_shift"}));
    EXPECT_EQ(vars.get("bias").get(), second.get());
    EXPECT_EQ(first->dimensions(), (Shape{4}));  // the replaced tensor is untouched
    Variables& store = vars;
    EXPECT_EQ(error_text<std::invalid_argument>([&] { store.get("threshold"); }), "Variable threshold not found");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { store.set("threshold", nullptr); }),
              "Cannot set variable threshold to a missing tensor.");
    EXPECT_FALSE(store.has("threshold"));
}

template <class T>
std::shared_ptr<Dense> dense_of(TensorType type, std::vector<T> const& values) {
    return Dense::copy(values.data(), values.size() * sizeof(T), type, Shape{static_cast<uint32_t>(values.size())},
                       Layout::c_order);
}

TEST(EngineBitwidth, SignedTypesCountTheSignBitUnsignedOnesDoNot) {
    struct Row { std::vector<int32_t> values; int bits; };
    Row const rows[] = {
        {{0, 0}, 0}, {{-1}, 1}, {{1}, 2}, {{1, 128, -3}, 9}, {{-2147483647 - 1}, 32},
    };
    for (auto const& row : rows)
        EXPECT_EQ(evaluate_bitwidth(*dense_of(TensorType::int32, row.values)), row.bits) << row.values[0];
    EXPECT_EQ(evaluate_bitwidth(*dense_of<int8_t>(TensorType::int4, {7, -8})), 4);
    EXPECT_EQ(evaluate_bitwidth(*dense_of<uint8_t>(TensorType::uint8, {128, 3})), 8);
    EXPECT_EQ(error_text<std::invalid_argument>([] { evaluate_bitwidth(*dense_of<float>(TensorType::float32, {1})); }),
              "Cannot evaluate the bit width of a tensor of type float32.");
}

TEST(EngineCheckBitwidth, FitsOrNamesTheVariable) {
    testing::FakeLayer layer("conv_1");
    layer.variables().set("output_shift", dense_of<int8_t>(TensorType::int8, {-32, 31, 0}));  // 6 bits
    // message: "" when it fits
    struct Row { const char* variable; int bits; bool required; std::string message; };
    Row const rows[] = {
        {"output_shift", 6, true, ""},
        {"output_shift", 5, false, "Variable output_shift needs 6 bits, but at most 5 bits are supported."},
        {"bias_shift", 5, false, ""},  // absent, not required
        {"bias_shift", 5, true, "Variable bias_shift is missing."},
    };
    for (auto const& row : rows) {
        MappingStatus const status = check_bitwidth(layer, row.bits, row.variable, row.required);
        EXPECT_EQ(status.failed ? status.to_string() : "",
                  row.message.empty() ? "" : "Cannot map layer 'conv_1'. " + row.message);
    }
}

}  // namespace
}  // namespace nuvra
