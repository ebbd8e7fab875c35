// The table of layer kinds: each row reached from its value, the classes Layer::create makes from
// it, each kind's parameter list, and the input counts each kind's software run refuses.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <typeinfo>

#include "engine/inference_layers.h"
#include "engine/layers.h"
#include "engine/layers_internal.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/layer_fixtures.h"
#include "support/layer_kinds.h"

namespace nuvra {
namespace {

using testing::error_text;

TEST(LayerKindTable, EachRowIsFoundFromItsValueAndNoOtherValueNamesAKind) {
    std::set<std::string> names;
    std::set<int32_t> values;
    size_t index = 0;
    for (LayerKind const& kind : layer_kinds()) {
        int32_t const value = static_cast<int32_t>(kind.type);
        SCOPED_TRACE(kind.name);
        EXPECT_TRUE(names.insert(kind.name).second);
        EXPECT_TRUE(values.insert(value).second);
        EXPECT_TRUE(is_layer_type(value));
        EXPECT_EQ(kind_index(kind.type), index++);
        EXPECT_EQ(&layer_kind(kind.type), &kind);
        EXPECT_EQ(std::string(layer_type_name(kind.type)), kind.name);
        EXPECT_EQ(LayerParams::create(kind.type, {})->layer_type(), kind.type);
    }
    // Below, between and above the values the rows hold.
    for (int32_t value : {INT32_MIN, -1, 7, 11, 13, 18, 23, 24, 29, INT32_MAX}) {
        EXPECT_FALSE(is_layer_type(value)) << value;
        EXPECT_EQ(error_text<std::invalid_argument>([&] { layer_kind(static_cast<LayerType>(value)); }),
                  "Unknown layer type " + std::to_string(value));
    }
}

// Two kinds are input layers; only InputData passes the samples on, the HRC's kind computes.
TEST(LayerKindTable, OnlyInputDataPassesTheSamplesOn) {
    std::set<std::string> inputs, passing;
    for (LayerKind const& kind : layer_kinds()) {
        if (kind.is_input_layer()) inputs.insert(kind.name);
        if (kind.passes_samples_on()) passing.insert(kind.name);
    }
    EXPECT_EQ(inputs, (std::set<std::string>{"InputData", "InputConvolutional"}));
    EXPECT_EQ(passing, std::set<std::string>{"InputData"});
}

TEST(LayerKindTable, EachKindListsAKeyOnce) {
    for (LayerKind const& kind : layer_kinds()) {
        std::set<std::string> keys;
        for (KeySpec const& spec : kind_rules(kind.type).keys)
            EXPECT_TRUE(keys.insert(spec.key).second) << kind.name << ": " << spec.key;
    }
}

// The back ends reach some kinds through a class of their own: a layer of the kind is one, a layer
// of another kind is not, and the kinds that compute convolution and pooling blocks give them.
TEST(LayerKindTable, LayerCreateMakesTheClassOfEachKind) {
    struct Row {
        LayerType type;
        bool fully_connected, separable, conv2d, depthwise, transposed, depthwise_transposed, blocks;
    };
    using LT = LayerType;
    Row const rows[] = {
        {LT::FullyConnected, true, false, false, false, false, false, false},
        {LT::SeparableConvolutional, false, true, false, false, false, false, true},
        {LT::Conv2D, false, false, true, false, false, false, true},
        {LT::DepthwiseConv2D, false, false, false, true, false, false, true},
        {LT::Conv2DTranspose, false, false, false, false, true, false, false},
        {LT::DepthwiseConv2DTranspose, false, false, false, false, false, true, false},
        {LT::Convolutional, false, false, false, false, false, false, true},
        {LT::InputConvolutional, false, false, false, false, false, false, true},
        {LT::InputConv2D, false, false, false, false, false, false, true},
        {LT::DepthwiseBufferTempConv, false, false, false, false, false, false, false},
        {LT::Dense1D, false, false, false, false, false, false, false},
    };
    for (auto const& row : rows) {
        for (auto const& kind : testing::kind_rows()) {
            if (kind.type != row.type) continue;
            SCOPED_TRACE(layer_type_name(row.type));
            auto [model, layer] = testing::build_kind(kind);
            Layer const* l = layer.get();
            EXPECT_EQ(dynamic_cast<FullyConnected const*>(l) != nullptr, row.fully_connected);
            EXPECT_EQ(dynamic_cast<SeparableConvolutional const*>(l) != nullptr, row.separable);
            EXPECT_EQ(dynamic_cast<Conv2D const*>(l) != nullptr, row.conv2d);
            EXPECT_EQ(dynamic_cast<DepthwiseConv2D const*>(l) != nullptr, row.depthwise);
            EXPECT_EQ(dynamic_cast<Conv2DTranspose const*>(l) != nullptr, row.transposed);
            EXPECT_EQ(dynamic_cast<DepthwiseConv2DTranspose const*>(l) != nullptr, row.depthwise_transposed);
            auto const* conv = dynamic_cast<HasConvParams const*>(l);
            auto const* pool = dynamic_cast<HasPoolParams const*>(l);
            EXPECT_EQ(conv != nullptr && conv->conv_params() != nullptr, row.blocks);
            EXPECT_EQ(pool != nullptr && pool->pool_params() != nullptr, row.blocks);
        }
    }
}

TEST(LayerKindTable, AConvolutionLayerIsReachedAsItsOwnKindOnly) {
    auto const conv = testing::make_layer(
        LayerType::Convolutional, {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 2}}, "conv");
    auto model = testing::model_with(conv, 8, 8, 1);
    EXPECT_EQ(&conv_pool_layer(*conv, LayerType::Convolutional), conv.get());
    EXPECT_EQ(conv_pool_layer(*conv, LayerType::Convolutional).conv_calculated_params().output_width, 6u);
    auto const dense = testing::make_layer(LayerType::Dense1D, {{"units", 2}}, "dense");
    testing::FakeLayer fake("fake");
    fake.set_params(LayerType::Convolutional, {});
    EXPECT_THROW(conv_pool_layer(*conv, LayerType::InputConvolutional), std::bad_cast);  // another kind with blocks
    EXPECT_THROW(conv_pool_layer(*dense, LayerType::Dense1D), std::bad_cast);             // a kind without them
    EXPECT_THROW(conv_pool_layer(fake, LayerType::Convolutional), std::bad_cast);         // not an engine layer
}

// Each kind's run counts its inputs before anything else; the kinds without software meaning say
// so whatever they are given.
TEST(LayerKindTable, EachKindsRunRefusesTheWrongNumberOfInputs) {
    auto const value = Dense::create(TensorType::int32, Shape{1, 8, 8, 4}, Layout::c_order);
    for (auto const& kind : testing::kind_rows()) {
        SCOPED_TRACE(layer_type_name(kind.type));
        auto const built = testing::build_kind(kind);
        Layer const& layer = *built.second;
        std::string const prefix = std::string("Layer 'layer' (") + layer_type_name(kind.type) + "): ";
        inference::LayerState state;
        auto const refusal = [&](size_t count) {
            return error_text<std::runtime_error>(
                [&] { inference::run_layer(layer, std::vector<inference::Value>(count, value), state); });
        };
        KindInbound const inbound = layer_kind(kind.type).inbound;
        if (kind.type == LayerType::WispPostProcessing || kind.type == LayerType::Unknown) {
            EXPECT_EQ(refusal(1), prefix + "this kind has no software implementation");
        } else if (inbound == KindInbound::sum_of_two) {
            EXPECT_EQ(refusal(3), prefix + "3 inputs given where 2 are needed");
        } else if (inbound == KindInbound::join) {
            EXPECT_EQ(refusal(1), prefix + "1 inputs given where 2 are needed");
        } else {
            EXPECT_EQ(refusal(0), prefix + "0 inputs given where 1 are needed");
            EXPECT_EQ(refusal(2), prefix + "2 inputs given where 1 are needed");
        }
    }
}

}  // namespace
}  // namespace nuvra
