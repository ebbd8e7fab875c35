#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "engine/variables.h"
#include "error_text.h"

namespace nuvra {
namespace {

using testing::error_text;

TEST(EngineVariables, NamesKeepInsertionOrder) {
    VariablesImpl vars;
    EXPECT_TRUE(vars.names().empty());
    vars.set("weights", Dense::create(TensorType::int8, Shape{3, 3, 1, 4}, Layout::c_order));
    vars.set("bias", Dense::create(TensorType::int8, Shape{4}, Layout::c_order));
    vars.set("input_shift", Dense::create(TensorType::uint8, Shape{1}, Layout::c_order));
    vars.set("bias", Dense::create(TensorType::int8, Shape{8}, Layout::c_order));  // replaced in place
    EXPECT_EQ(vars.names(), (std::vector<std::string>{"weights", "bias", "input_shift"}));
    EXPECT_TRUE(vars.has("bias"));
    EXPECT_FALSE(vars.has("threshold"));
}

TEST(EngineVariables, SetKeepsThePointerAndAnyShape) {
    VariablesImpl vars;
    auto first = Dense::create(TensorType::float32, Shape{2, 2}, Layout::c_order);
    vars.set("scales", first);
    auto second = Dense::create(TensorType::float32, Shape{5}, Layout::c_order);
    vars.set("scales", second);
    EXPECT_EQ(vars.get("scales").get(), second.get());
    EXPECT_EQ(vars.get("scales")->dimensions(), (Shape{5}));
    // The replaced tensor is untouched: whoever shares it keeps its values.
    EXPECT_EQ(first->dimensions(), (Shape{2, 2}));
}

TEST(EngineVariables, MissingNameAndNullTensorAreRefused) {
    VariablesImpl vars;
    Variables& store = vars;
    EXPECT_EQ(error_text<std::invalid_argument>([&] { store.get("threshold"); }), "Variable threshold not found");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { store.set("threshold", nullptr); }),
              "Cannot set variable threshold to a missing tensor.");
    EXPECT_FALSE(store.has("threshold"));
}

}  // namespace
}  // namespace nuvra
