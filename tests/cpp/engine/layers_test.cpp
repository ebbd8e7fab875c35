// The layer kinds: creation, per-kind answers, shapes, bits, variables and computed blocks.
#include <gtest/gtest.h>

#include <set>

#include "engine/layer_geometry.h"
#include "engine/layers.h"
#include "engine/layers_internal.h"
#include "engine/model.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/layer_fixtures.h"
#include "support/layer_kinds.h"
#include "support/ops_test_util.h"

namespace nuvra {
namespace {

using namespace testing;
using CK = ComponentKind;

TEST(LayerKinds, EveryKindHasItsShapeAnswersBitsAndComponentKind) {
    std::set<LayerType> covered;
    for (auto const& row : testing::kind_rows()) {
        SCOPED_TRACE(static_cast<int>(row.type));
        covered.insert(row.type);
        auto [model, layer] = testing::build_kind(row);
        EXPECT_EQ(layer->output_dimensions().to_vector(), row.output);
        for (int k = 0; k <= 7; ++k)
            EXPECT_EQ(layer->is_target_component(static_cast<ComponentKind>(k)), static_cast<CK>(k) == row.kind) << k;
        std::string flags;
        for (auto [on, letter] : {std::pair{layer->splittable(), 'S'}, {layer->is_depthwise(), 'D'},
                                  {layer->is_separable(), 'P'}, {layer->is_input_layer(), 'I'}})
            if (on) flags += letter;
        EXPECT_EQ(flags, row.flags);
        EXPECT_EQ((std::vector<int>{layer->format_code(), layer->value_mode(), layer->input_bits(),
                                    layer->output_bits(), layer->output_signed()}),
                  (std::vector<int>{row.format_code, row.value_mode, row.input_bits, row.output_bits,
                                    row.output_signed}));
        EXPECT_EQ(layer->macs(), row.macs);
    }
    EXPECT_EQ(covered.size(), 20u);
    EXPECT_EQ(component_kind(hw::Type::SKIP_DMA_LOAD), component_kind(hw::Type::SKIP_DMA_STORE));
    EXPECT_EQ(static_cast<int>(component_kind(hw::Type::DMA)), 7);
    EXPECT_EQ(static_cast<int>(component_kind(static_cast<hw::Type>(255))), 0);  // outside the enum
}

TEST(LayerCreate, KeepsGivenKeysAndAddsTheKindsDefaults) {
    auto layer = make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"pool_size", 2}}, "c");
    LayerParams const& p = *layer->params();
    EXPECT_EQ(p.keys(), (std::vector<std::string>{"activation", "filters", "kernel_size", "kernel_stride",
                                                  "output_bits", "padding", "pool_size", "pool_stride", "pool_type",
                                                  "weights_bits"}));
    EXPECT_EQ((std::vector<int>{p.get("pool_stride"), p.get("weights_bits"), p.get("padding")}),
              (std::vector<int>{2, 8, 0}));  // the pool stride follows the pool size
    // Depthwise kinds get no "filters": its absence means "as many as the input channels".
    EXPECT_FALSE(make_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, "d")->params()->has("filters"));
}

TEST(LayerCreate, RefusesMissingAndOutOfRangeParameters) {
    struct Row { LayerType type; Params params; std::string message; };
    Row const rows[] = {
        {LayerType::Conv2D, {{"filters", 4}}, "Layer 'x': parameter 'kernel_size' is required for Conv2D layers."},
        {LayerType::InputData, {{"input_width", 0}, {"input_height", 4}, {"input_channels", 1}},
         "Layer 'x': parameter 'input_width' must be at least 1 (got 0)."},
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"padding", 3}},
         "Layer 'x': parameter 'padding' must be 0, 1 or 2 (got 3)."},
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 1}, {"output_bits", 33}},
         "Layer 'x': parameter 'output_bits' must be between 1 and 32 (got 33)."},
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 1}, {"pool_type", 1}, {"pool_size", 0}},
         "Layer 'x': parameter 'pool_size' must be at least 1, or -1 for global pooling (got 0)."},
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 1}, {"pool_size", 0}}, ""},  // checked only when pooling
        {LayerType::Convolutional,
         {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 1}, {"pool_type", 1}, {"pooling_stride_x", 0}},
         "Layer 'x': parameter 'pooling_stride_x' must be between 1 and 127, or negative for the pool size (got 0)."},
        // A Quantizer's input shape comes whole or not at all.
        {LayerType::Quantizer, {{"input_width", 4}},
         "Layer 'x': parameter 'input_height' is required for Quantizer layers given an input shape."},
        {LayerType::Quantizer, {{"input_height", 4}, {"input_width", 4}},
         "Layer 'x': parameter 'input_channels' is required for Quantizer layers given an input shape."},
        {LayerType::Quantizer, {{"input_channels", 2}},
         "Layer 'x': parameter 'input_width' is required for Quantizer layers given an input shape."},
        {LayerType::Quantizer, {{"input_width", 4}, {"input_height", 0}, {"input_channels", 1}},
         "Layer 'x': parameter 'input_height' must be at least 1 (got 0)."},
    };
    for (auto const& row : rows)
        EXPECT_EQ(error_text<std::invalid_argument>([&] { make_layer(row.type, row.params, "x"); }), row.message);
    EXPECT_EQ(error_text<std::invalid_argument>([] { Layer::create(nullptr, "x"); }),
              "Layer 'x': missing layer parameters.");
}

// Mended: a key the kind does not have was kept without a word, so that a misspelt "padding" left
// a layer of 6 x 6 outputs where 8 x 8 were meant.
TEST(LayerCreate, RefusesKeysItsKindDoesNotHave) {
    std::pair<Params, std::string> const conv2d[] = {
        {{{"kernel_size", 3}, {"filters", 4}, {"paddding", 1}}, "paddding"},
        {{{"kernal_size", 3}, {"filters", 4}}, "kernal_size"},  // before the required key it stands for
        {{{"kernel_size", 3}, {"filters", 4}, {"stride_x", 2}}, "stride_x"},  // a per-axis name
        // Mended: bytes that are not text made the message itself undecodable in Python.
        {{{"kernel_size", 3}, {"filters", 4}, {"pad\xff", 1}}, "pad\\xff"},
    };
    for (auto const& row : conv2d)
        EXPECT_EQ(error_text<std::invalid_argument>([&] { make_layer(LayerType::Conv2D, row.first, "c"); }),
                  "Layer 'c': Conv2D layers have no parameter '" + row.second + "'.");
    EXPECT_EQ(
        error_text<std::invalid_argument>([] { make_layer(LayerType::Convolutional, {{"kernel_size", 3}}, "c"); }),
        "Layer 'c': Convolutional layers have no parameter 'kernel_size'.");  // an alias name
    // A depthwise kind keeps "filters" when it is given.
    EXPECT_TRUE(make_layer(LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}, {"filters", 4}}, "d")
                    ->params()->has("filters"));
    for (auto const& kind : testing::kind_rows()) {  // every kind names itself
        Params params = kind.params;
        params.emplace("paddding", 1);
        EXPECT_EQ(error_text<std::invalid_argument>([&] { make_layer(kind.type, params, "c"); }),
                  std::string("Layer 'c': ") + layer_type_name(kind.type) + " layers have no parameter 'paddding'.");
    }
}

// Keys only the mapping reads: kept when given (never defaulted), in their ranges; a TNP-B layer
// given a pooling does not pool, and its output keeps the input's width and height.
TEST(LayerCreate, KeysOnlyTheMappingReadsAreKeptWhenGiven) {
    using LT = LayerType;
    auto const plus = [](Params base, Params const& more) {
        base.insert(more.begin(), more.end());
        return base;
    };
    Params const v1{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 2}};
    Params const btc{{"fifo_size", 2}, {"filters", 2}};
    struct Row { LT type; Params params; char const* key; std::string refusal; };
    Row const rows[] = {
        {LT::Convolutional, plus(v1, {{"pool_size", 2}}), "pool_size", ""},
        {LT::SeparableConvolutional, plus(v1, {{"pool_size", 2}}), "pool_size", ""},
        {LT::Convolutional, plus(v1, {{"pool_size", 0}}), "pool_size", ""},  // not pooling: unchecked
        {LT::Convolutional, plus(v1, {{"pool_type", 1}, {"pool_size", 0}}), "pool_size",
         "parameter 'pool_size' must be at least 1, or -1 for global pooling (got 0)."},
        {LT::Convolutional, plus(v1, {{"fifo_size", 8}}), "fifo_size", ""},
        {LT::SeparableConvolutional, plus(v1, {{"fifo_size", 0}}), "fifo_size", ""},
        {LT::Conv2D, {{"kernel_size", 3}, {"filters", 2}, {"fifo_size", 14}}, "fifo_size", ""},
        {LT::Conv2D, {{"kernel_size", 3}, {"filters", 2}, {"fifo_size", 15}}, "fifo_size",
         "parameter 'fifo_size' must be between 0 and 14 (got 15)."},
        {LT::DepthwiseConv2D, {{"kernel_size", 3}, {"fifo_size", 8}}, "fifo_size", ""},
        {LT::DepthwiseConv2D, {{"kernel_size", 3}, {"fifo_size", -1}}, "fifo_size",
         "parameter 'fifo_size' must be between 0 and 14 (got -1)."},
        {LT::InputConv2D, {{"kernel_size", 3}, {"filters", 2}, {"fifo_size", 8}}, "fifo_size",
         "InputConv2D layers have no parameter 'fifo_size'."},  // the HRC is never split
        {LT::BufferTempConv, plus(btc, {{"pool_type", 1}, {"pool_size", 2}}), "pool_size", ""},
        {LT::DepthwiseBufferTempConv, {{"fifo_size", 2}, {"pool_type", 2}}, "pool_type", ""},
        {LT::BufferTempConv, plus(btc, {{"pool_type", 3}}), "pool_type",
         "parameter 'pool_type' must be 0, 1 or 2 (got 3)."},
        {LT::DepthwiseBufferTempConv, {{"fifo_size", 2}, {"pool_type", 1}, {"pool_size", 0}}, "pool_size",
         "parameter 'pool_size' must be at least 1, or -1 for global pooling (got 0)."},
        {LT::BufferTempConv, plus(btc, {{"pool_size", 0}}), "pool_size", ""},  // not pooling: unchecked
        {LT::BufferTempConv, plus(btc, {{"pool_stride", 2}}), "pool_stride",
         "BufferTempConv layers have no parameter 'pool_stride'."},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(std::string(layer_type_name(row.type)) + " " + row.key);
        std::string const refusal =
            error_text<std::invalid_argument>([&] { make_layer(row.type, row.params, "x"); });
        EXPECT_EQ(refusal, row.refusal.empty() ? "" : "Layer 'x': " + row.refusal);
        if (!refusal.empty()) continue;
        EXPECT_EQ(make_layer(row.type, row.params, "x")->params()->get(row.key), row.params.at(row.key));
        Params without = row.params;
        without.erase(row.key);
        EXPECT_FALSE(make_layer(row.type, without, "x")->params()->has(row.key));
    }

    struct Pooling { LT type; Params params; bool max; std::vector<uint32_t> output; };
    Pooling const poolings[] = {
        {LT::BufferTempConv, plus(btc, {{"pool_type", 1}, {"pool_size", 2}}), false, {8, 6, 2}},
        {LT::DepthwiseBufferTempConv, {{"fifo_size", 2}, {"pool_type", 1}, {"pool_size", 2}}, false, {8, 6, 3}},
        {LT::Conv2D, {{"kernel_size", 1}, {"filters", 2}, {"pool_type", 1}, {"pool_size", 2}, {"fifo_size", 3}},
         true, {4, 3, 2}},
    };
    for (auto const& row : poolings) {
        auto const layer = make_layer(row.type, row.params, "p");
        auto model = model_with(layer, 8, 6, 3);
        EXPECT_EQ(layer->has_pooling_type(PoolType::Max), row.max) << layer_type_name(row.type);
        EXPECT_EQ(layer->has_pooling_type(PoolType::NoPooling), !row.max) << layer_type_name(row.type);
        EXPECT_EQ(layer->output_dimensions().to_vector(), row.output) << layer_type_name(row.type);
    }
}

TEST(LayerAccessors, SizesBeforeBuildingAndAtTheLimits) {
    auto const conv = make_layer(LayerType::Conv2D, {{"kernel_size", 5}, {"filters", 2}}, "c");
    EXPECT_EQ(error_text<std::runtime_error>([&] { conv->input_dimensions(); }),
              "Cannot get input size before it is set.");
    // Valid padding with a kernel larger than the input: no output rows.
    auto model = model_with(conv, 8, 3, 1);
    EXPECT_EQ(error_text<std::runtime_error>([&] { conv->output_dimensions(); }),
              "Cannot get output size before it is set.");
    // Filters 0: no channels, and no variable shaped by the filters.
    auto const none = make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 0}}, "n");
    auto model2 = model_with(none, 8, 8, 2);
    EXPECT_THROW(none->output_dimensions(), std::runtime_error);
    EXPECT_EQ(none->variables().names(), std::vector<std::string>{"input_shift"});
    // 65536 x 65536 x 2 is above the tensor limit.
    auto big = make_input(65536, 65536, 2);
    Model::create()->add(big);
    EXPECT_EQ(error_text<std::runtime_error>([&] { big->output_dimensions(); }),
              "Tensor shape size 8589934592 exceeds maximum shape size (4294967295)");
}

TEST(LayerAccessors, ComputedConvolutionAndPoolingBlocks) {
    auto const dw =
        make_layer(LayerType::DepthwiseConv2D,
                   {{"kernel_size", 3}, {"padding", 1}, {"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 2}}, "dw");
    auto const& cast = dynamic_cast<DepthwiseConv2D const&>(*dw);
    EXPECT_EQ(error_text<std::runtime_error>([&] { cast.pool_calculated_params(); }), "The layer dw is not built.");
    EXPECT_EQ(dynamic_cast<HasPoolParams const&>(*dw).pool_params(), nullptr);
    auto model2 = model_with(dw, 9, 8, 4);
    // Pooling 3/2 Same: ceil(9/2) = 5, total 2 -> 1, 1; ceil(8/2) = 4, total 1 -> 0, 1.
    EXPECT_EQ(cast.pool_calculated_params(), (PoolingCalculatedParams{2, 2, 5, 4, PaddingParams{0, 1, 1, 1}, false}));
    EXPECT_EQ(dw->output_dimensions().to_vector(), (std::vector<uint32_t>{5, 4, 4}));

    // Global pooling gives 1 x 1 and sets the flag, even over a convolution without output rows.
    auto const gap =
        make_layer(LayerType::Conv2D, {{"kernel_size", 5}, {"filters", 7}, {"pool_type", 2}, {"pool_size", -1}}, "g");
    auto model3 = model_with(gap, 8, 2, 1);
    EXPECT_EQ(dynamic_cast<Conv2D const&>(*gap).pool_calculated_params(),
              (PoolingCalculatedParams{1, 1, 1, 1, PaddingParams{}, true}));
    EXPECT_EQ(gap->output_dimensions().to_vector(), (std::vector<uint32_t>{1, 1, 7}));

    // First generation: a missing (negative) pooling stride is the pool size.
    auto const first = make_layer(LayerType::Convolutional,
                                  {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 2}, {"padding", 1},
                                   {"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}},
                                  "c");
    auto model4 = model_with(first, 8, 6, 1);
    EXPECT_EQ(first->output_dimensions().to_vector(), (std::vector<uint32_t>{4, 3, 2}));
}

TEST(LayerAccessors, AddKnowsNoActivationWhateverItsParametersSay) {
    auto const add = make_layer(LayerType::Add, {}, "a");  // it has no "activation" parameter
    EXPECT_FALSE(add->has_activation());
    EXPECT_TRUE(add->has_activation_type(ActivationType::NoActivation));
}

TEST(LayerGraph, RefusedDepthwiseLayerStaysOut) {
    auto model = Model::create();
    auto const input = make_input(8, 8, 4);
    model->add(input);
    auto const dw = make_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"filters", 5}}, "dw");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->add(dw, {input}); }),
              "Layer 'dw': a depthwise layer has as many filters as input channels (4), not 5.");
    EXPECT_EQ(model->layer_count() + input->outbound_count(), 1u);
    EXPECT_FALSE(impl(*dw).is_built());
}

TEST(LayerGraph, OutboundLayersThatAreGoneDoNotCount) {
    auto const input = make_input(8, 8, 4);
    {
        auto model = Model::create();
        model->add(input);
        model->add(make_layer(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 4}}, "a"));
    }
    EXPECT_EQ(input->outbound_count(), 0u);
    EXPECT_TRUE(input->outbound_layers().empty());
}

TEST(LayerGraph, OnlyEngineLayersTakeAMapping) {
    auto const layer = make_layer(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}}, "c");
    auto mapping = std::make_shared<Layer::Mapping>();
    testing::FakeLayer fake("fake");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { set_layer_mapping(fake, mapping); }),
              "Layer 'fake' was not made by Layer::create.");
}

// A variable keeps the shape it was written in; the layer reads a value that fits it in its own
// shape over the same elements, a value that does not fit as it was written, and out of its model
// every value as it was written.
TEST(LayerVariables, KeepTheirWrittenShapeAndAreReadInTheLayersShape) {
    using Params = std::map<std::string, int>;
    Params const conv{{"kernel_size", 3}, {"filters", 1}};
    Params const fc{{"units", 4}};
    // The layer is fed (4, 4, 4) values; `before`: the value is set before the layer joins its
    // model; `misfit`: the refusal a run or a mapping then gives.
    struct Row { LayerType type; Params params; char const* variable; TensorType element; Dims written, read;
                 bool before = false; std::string misfit = {}; };
    Row const rows[] = {
        {LayerType::Conv2D, conv, "weights", TensorType::int8, {3, 3, 4}, {3, 3, 4, 1}},
        {LayerType::Conv2D, conv, "weights", TensorType::int8, {3, 3, 4}, {3, 3, 4, 1}, true},
        {LayerType::Conv2D, conv, "weights", TensorType::int8, {3, 3, 4, 2}, {3, 3, 4, 2}, false,
         "variable 'weights' has shape (3, 3, 4, 2), but the layer needs shape (3, 3, 4, 1)"},
        {LayerType::FullyConnected, fc, "act_step", TensorType::float32, {4, 1}, {4}},
        {LayerType::FullyConnected, fc, "act_step", TensorType::float32, {2, 2}, {4}, true},
        {LayerType::FullyConnected, fc, "weights", TensorType::int8, {4, 64}, {4, 64, 1, 1}},
        {LayerType::FullyConnected, fc, "weights", TensorType::int8, {64, 4}, {64, 4}, false,
         "variable 'weights' has shape (64, 4), but the layer needs shape (4, 64, 1, 1)"},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(::testing::PrintToString(row.written));
        auto const layer = make_layer(row.type, row.params, "l");
        auto const value = Dense::create(row.element, Shape(row.written), Layout::c_order);
        std::unique_ptr<Model> model;
        if (!row.before) model = model_with(layer, 4, 4, 4);
        layer->variables().set(row.variable, value);
        if (row.before) model = model_with(layer, 4, 4, 4);
        EXPECT_EQ(layer->variables().get(row.variable), value);
        auto const read = layer->variable(row.variable);
        EXPECT_EQ(dims_of(*read), row.read);
        EXPECT_EQ(read->buffer().data, value->buffer().data);  // the very elements, not a copy
        EXPECT_EQ(variable_misfit(*layer), row.misfit);
        model->pop_layer();
        EXPECT_EQ(layer->variable(row.variable), value);
    }
    EXPECT_EQ(error_text<std::invalid_argument>([&] { make_layer(LayerType::Conv2D, conv, "c")->variable("bias"); }),
              "Variable bias not found");
    // Any other Layer implementation reads its store as it is.
    testing::FakeLayer fake("fake");
    auto const value = Dense::create(TensorType::int8, Shape{3, 3}, Layout::c_order);
    fake.variables().set("weights", value);
    EXPECT_EQ(fake.variable("weights"), value);
}

// A user's value of a variable the kind declares as optional and the built layer does not hold is
// added in the declared type once its element count fits; any other name the layer does not hold
// stays unknown, and a held variable is replaced as it is given (a misfit is refused by the run).
TEST(LayerVariables, AUsersValueAddsADeclaredOptionalVariableThatFits) {
    using Params = std::map<std::string, int>;
    enum class State { built, not_built, popped, holding_3 };
    struct Row { LayerType type; Params params; State state; char const* name; Dims written, read;
                 std::string refusal = {}; };
    Params const dense{{"units", 10}, {"activation", 1}};
    Params const recurrent{{"stateful_channels", 2}, {"output_channels", 1}};
    std::string const unknown = "Variable max_value not found";
    Row const rows[] = {
        {LayerType::Dense1D, dense, State::built, "max_value", {10}, {10}},
        {LayerType::Dense1D, dense, State::built, "max_value", {2, 5}, {10}},
        {LayerType::Dense1D, dense, State::built, "max_value", {3}, {},
         "Layer 'l' (Dense1D): variable 'max_value' has shape (3), but the layer needs shape (10), or any shape of "
         "10 values"},
        {LayerType::Dense1D, dense, State::holding_3, "max_value", {5}, {5}},
        {LayerType::Dense1D, dense, State::not_built, "max_value", {10}, {}, unknown},
        {LayerType::Dense1D, dense, State::popped, "max_value", {10}, {}, unknown},
        {LayerType::Dense1D, dense, State::built, "min_value", {10}, {}, "Variable min_value not found"},
        {LayerType::StatefulRecurrent, recurrent, State::built, "max_value", {1}, {1}},
        {LayerType::StatefulRecurrent, recurrent, State::built, "max_value", {2}, {},
         "Layer 'l' (StatefulRecurrent): variable 'max_value' has shape (2), but the layer needs shape (1), or any "
         "shape of 1 value"},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(std::string(layer_type_name(row.type)) + " " + ::testing::PrintToString(row.written));
        auto const layer = make_layer(row.type, row.params, "l");
        std::unique_ptr<Model> model;
        if (row.state != State::not_built) model = model_with(layer, 4, 4, 4);
        if (row.state == State::popped) model->pop_layer();
        if (row.state == State::holding_3) layer->variables().set(row.name, u8({3}, {1, 2, 3}));
        Variables& variables = layer->variables();
        std::vector<std::string> const names = variables.names();
        auto const value = Dense::create(TensorType::uint8, Shape(row.written), Layout::c_order);
        bool const unknown_name = row.refusal.starts_with("Variable ");
        TensorType type = TensorType::int32;
        EXPECT_EQ(error_text<std::invalid_argument>([&] { type = variables.written_type(row.name); }),
                  unknown_name ? row.refusal : "");
        EXPECT_EQ(type, unknown_name ? TensorType::int32 : TensorType::uint8);
        EXPECT_EQ(error_text<std::invalid_argument>([&] { variables.assign(row.name, value); }), row.refusal);
        if (!row.refusal.empty()) {
            EXPECT_EQ(variables.names(), names);  // nothing new is held
            continue;
        }
        EXPECT_EQ(variables.get(row.name), value);
        EXPECT_EQ(dims_of(*layer->variable(row.name)), row.read);
        EXPECT_EQ(variables.names().back(), row.name);
    }
    // Another store takes a user's value only for a name it holds.
    testing::AnyVariables any;
    auto const value = u8({2}, {1, 2});
    EXPECT_EQ(error_text<std::invalid_argument>([&] { any.assign("w", value); }), "Variable w not found");
    any.set("w", i8({1}, {0}));
    any.assign("w", value);
    EXPECT_EQ(any.get("w"), value);
    EXPECT_EQ(any.written_type("w"), TensorType::uint8);
}

TEST(LayerGeometry, WindowAxisPerPaddingMode) {
    struct Row { uint32_t size, kernel, stride; Padding padding; AxisGeometry expected; };
    Row const rows[] = {
        // Padding total (16 - 1) * 2 + 3 - 32 = 1, after the input (bottom, right) for Same.
        {32, 3, 2, Padding::Same, {16, 0, 1}}, {2, 3, 1, Padding::Valid, {0, 0, 0}}, {0, 3, 1, Padding::Same, {}},
        {1, 4, 1, Padding::Same, {1, 1, 2}}, {1, 4, 1, Padding::SameUpper, {1, 2, 1}},
        {4294967295u, 1, 1, Padding::Same, {4294967295u, 0, 0}},
    };
    for (auto const& row : rows)
        EXPECT_EQ(window_axis(row.size, row.kernel, row.stride, row.padding), row.expected)
            << row.size << " " << row.kernel << " " << row.stride << " " << static_cast<int>(row.padding);
}

}  // namespace
}  // namespace nuvra
