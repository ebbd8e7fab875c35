#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "engine/params.h"
#include "error_text.h"

namespace nuvra {
namespace {

using testing::error_text;

TEST(EngineLayerParams, GetHasKeysAndType) {
    auto params = LayerParams::create(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", -16}, {"activation", 1}});
    ASSERT_NE(params, nullptr);
    EXPECT_EQ(params->layer_type(), LayerType::Conv2D);
    EXPECT_EQ(params->get("kernel_size"), 3);
    EXPECT_EQ(params->get("filters"), -16);
    EXPECT_TRUE(params->has("activation"));
    EXPECT_FALSE(params->has("kernel_width"));
    EXPECT_EQ(params->keys(), (std::vector<std::string>{"activation", "filters", "kernel_size"}));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { params->get("units"); }), "Key units not found");
}

TEST(EngineLayerParams, CloneIsIndependent) {
    auto params = LayerParams::create(LayerType::Dense1D, {{"units", 10}});
    auto copy = LayerParams::clone(params.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), params.get());
    EXPECT_EQ(copy->layer_type(), LayerType::Dense1D);
    EXPECT_EQ(copy->keys(), params->keys());
    EXPECT_EQ(copy->get("units"), 10);
    params.reset();
    EXPECT_EQ(copy->get("units"), 10);
    EXPECT_EQ(error_text<std::invalid_argument>([] { LayerParams::clone(nullptr); }),
              "Cannot clone missing layer parameters.");
}

TEST(EngineLayerParams, LayerTypeNumbers) {
    struct Row {
        LayerType type;
        int32_t value;
    };
    Row const rows[] = {
        {LayerType::Unknown, 0},
        {LayerType::InputData, 1},
        {LayerType::InputConvolutional, 2},
        {LayerType::FullyConnected, 3},
        {LayerType::Convolutional, 4},
        {LayerType::SeparableConvolutional, 5},
        {LayerType::Add, 6},
        {LayerType::Concatenate, 12},
        {LayerType::Conv2D, 14},
        {LayerType::InputConv2D, 15},
        {LayerType::DepthwiseConv2D, 16},
        {LayerType::Conv2DTranspose, 17},
        {LayerType::Dequantizer, 19},
        {LayerType::DepthwiseConv2DTranspose, 20},
        {LayerType::BufferTempConv, 21},
        {LayerType::DepthwiseBufferTempConv, 22},
        {LayerType::Dense1D, 25},
        {LayerType::StatefulRecurrent, 26},
        {LayerType::Quantizer, 27},
        {LayerType::WispPostProcessing, 28},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(static_cast<int32_t>(row.type), row.value);
        EXPECT_TRUE(is_layer_type(row.value));
        EXPECT_EQ(LayerParams::create(row.type, {})->layer_type(), row.type);
    }
    for (int32_t gap : {-1, 7, 8, 9, 10, 11, 13, 18, 23, 24, 29}) {
        EXPECT_FALSE(is_layer_type(gap)) << gap;
        EXPECT_EQ(error_text<std::invalid_argument>(
                      [&] { LayerParams::create(static_cast<LayerType>(gap), {}); }),
                  "Unknown layer type " + std::to_string(gap));
    }
}

TEST(EngineLearningParams, GetKeysTypeAndClone) {
    auto params = LearningParams::create(LearningType::NuvraUnsupervised,
                                         {{"num_weights", 10.0}, {"min_plasticity", 0.10000000149011612}});
    ASSERT_NE(params, nullptr);
    EXPECT_EQ(params->learning_type(), LearningType::NuvraUnsupervised);
    EXPECT_EQ(params->get("num_weights"), 10.0);
    EXPECT_EQ(params->get("min_plasticity"), 0.10000000149011612);
    EXPECT_EQ(params->keys(), (std::vector<std::string>{"min_plasticity", "num_weights"}));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { params->get("num_classes"); }), "Key num_classes not found");

    auto copy = LearningParams::clone(params.get());
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), params.get());
    EXPECT_EQ(copy->keys(), params->keys());
    EXPECT_EQ(copy->get("num_weights"), 10.0);
    EXPECT_EQ(error_text<std::invalid_argument>([] { LearningParams::clone(nullptr); }),
              "Cannot clone missing learning parameters.");
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [] { LearningParams::create(static_cast<LearningType>(1), {}); }),
              "Unknown learning type 1");
}

}  // namespace
}  // namespace nuvra
