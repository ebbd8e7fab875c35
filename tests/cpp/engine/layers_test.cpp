// The layer kinds: creation, per-kind answers, shapes, bits, variables and computed blocks.
#include <gtest/gtest.h>

#include <set>

#include "engine/error_text.h"
#include "engine/layer_fixtures.h"
#include "engine/layer_geometry.h"
#include "engine/layers.h"
#include "engine/model.h"
#include "engine/stub_layer.h"

namespace nuvra {
namespace {

using testing::error_text;
using testing::impl;
using testing::make_input;
using testing::make_layer;
using Params = std::map<std::string, int>;

struct VariableRow {
    std::string name;
    TensorType type;
    std::vector<uint32_t> dims;
};

struct KindRow {
    LayerType type;
    Params params;
    std::vector<uint32_t> input;  // (w, h, c) of the InputData in front; empty for input kinds
    size_t inbounds;              // how many times the input is linked
    std::vector<uint32_t> output;
    ComponentKind kind;
    int format_code;
    bool splittable, depthwise, separable, input_layer;
    uint8_t input_bits, output_bits;
    bool output_signed;
    uint64_t macs;
    std::vector<VariableRow> variables;
};

using TT = TensorType;
using CK = ComponentKind;

std::vector<VariableRow> cnp_variables(uint32_t c, uint32_t f) {
    return {{"input_shift", TT::uint8, {c}},    {"bias", TT::int8, {f}},
            {"output_shift", TT::int8, {f}},    {"activation_shift", TT::int8, {f}},
            {"bias_shift", TT::uint8, {f}},     {"output_scales", TT::uint8, {f}},
            {"max_value", TT::uint8, {f}},      {"max_value_shift", TT::uint8, {f}},
            {"activation_scales", TT::uint8, {f}}};
}

std::vector<VariableRow> with(std::vector<VariableRow> first, std::vector<VariableRow> const& rest) {
    first.insert(first.end(), rest.begin(), rest.end());
    return first;
}

std::vector<KindRow> const& kind_rows() {
    static std::vector<KindRow> const rows = {
        {LayerType::InputData,
         {{"input_width", 8}, {"input_height", 6}, {"input_channels", 3}, {"input_signed", 1}},
         {}, 0, {8, 6, 3}, CK::None, 0, false, false, false, true, 8, 8, true, 0, {}},
        // The HRC time-out probe's layer: 8x8x1, kernel 3, stride 2, Same, 2x2 max pooling.
        {LayerType::InputConvolutional,
         {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}, {"kernel_width", 3},
          {"kernel_height", 3}, {"padding", 1}, {"stride_x", 2}, {"stride_y", 2}, {"filters", 1},
          {"weights_bits", 1}, {"padding_value", 0}, {"activation", 1}, {"act_bits", 1}, {"pooling_width", 2},
          {"pooling_height", 2}, {"pool_type", 1}, {"pooling_stride_x", 2}, {"pooling_stride_y", 2}},
         {}, 0, {2, 2, 1}, CK::HRC, 1, false, false, false, true, 8, 1, false, 144,
         {{"weights", TT::int8, {3, 3, 1, 1}}, {"act_step", TT::float32, {1}}, {"threshold", TT::int32, {1}}}},
        {LayerType::FullyConnected, {{"units", 10}, {"activation", 1}, {"act_bits", 2}},
         {4, 4, 2}, 1, {1, 1, 10}, CK::FNP, 1, false, false, false, false, 8, 2, false, 320,
         {{"weights", TT::int8, {10, 32, 1, 1}}, {"threshold", TT::int32, {10}}, {"act_step", TT::float32, {10}},
          {"threshold_learning", TT::int32, {10}}, {"thswap", TT::int32, {10}}}},
        {LayerType::Convolutional, {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 6}, {"padding", 1}},
         {8, 8, 4}, 1, {8, 8, 6}, CK::CNP, 1, true, false, false, false, 8, 32, true, 13824,
         {{"weights", TT::int8, {6, 4, 3, 3}}, {"act_step", TT::float32, {6}}, {"threshold", TT::int32, {6}}}},
        {LayerType::SeparableConvolutional,
         {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 6}, {"padding", 1}, {"stride_x", 2},
          {"stride_y", 2}, {"activation", 1}, {"act_bits", 4}},
         {8, 8, 4}, 1, {4, 4, 6}, CK::CNP, 1, true, false, true, false, 8, 4, false, 960,
         {{"weights", TT::int8, {1, 4, 3, 3}}, {"weights_pw", TT::int8, {6, 4, 1, 1}},
          {"act_step", TT::float32, {6}}, {"threshold", TT::int32, {6}}}},
        {LayerType::Add, {}, {8, 8, 4}, 2, {8, 8, 4}, CK::SKIP_DMA, 2, false, false, false, false, 8, 8, true, 0,
         {{"a_shift", TT::uint8, {4}}, {"b_shift", TT::uint8, {4}}, {"output_shift", TT::int8, {4}}}},
        {LayerType::Concatenate, {}, {8, 8, 4}, 2, {8, 8, 8}, CK::SKIP_DMA, 2, false, false, false, false, 8, 8,
         false, 0, {}},
        {LayerType::Conv2D,
         {{"kernel_size", 3}, {"filters", 16}, {"kernel_stride", 2}, {"padding", 1}, {"activation", 1},
          {"output_bits", 4}},
         {32, 32, 3}, 1, {16, 16, 16}, CK::CNP, 2, true, false, false, false, 8, 4, false, 110592,
         with({{"weights", TT::int8, {3, 3, 3, 16}}}, cnp_variables(3, 16))},
        {LayerType::InputConv2D,
         {{"kernel_size", 3}, {"filters", 8}, {"padding", 1}, {"activation", 2}, {"pool_type", 1},
          {"pool_size", 2}, {"pool_stride", 2}},
         {8, 8, 3}, 1, {4, 4, 8}, CK::HRC, 2, false, false, false, false, 8, 8, false, 13824,
         {{"weights", TT::int8, {3, 3, 3, 8}}, {"padding_value", TT::uint8, {3}}, {"output_shift", TT::int8, {8}},
          {"output_scales", TT::uint8, {8}}, {"bias_shift", TT::uint8, {8}}, {"bias", TT::uint8, {8}},
          {"activation_shift", TT::int8, {8}}, {"activation_scales", TT::uint8, {8}},
          {"lut_values", TT::int32, {2048}}}},
        {LayerType::DepthwiseConv2D,
         {{"kernel_size", 3}, {"padding", 1}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}},
         {8, 8, 4}, 1, {4, 4, 4}, CK::CNP, 2, true, true, true, false, 8, 8, true, 2304,
         with({{"weights", TT::int8, {3, 3, 1, 4}}}, cnp_variables(4, 4))},
        {LayerType::Conv2DTranspose, {{"kernel_size", 3}, {"filters", 5}},
         {4, 4, 2}, 1, {8, 8, 5}, CK::CNP, 2, true, false, false, false, 8, 8, true, 1440,
         with({{"weights", TT::int8, {3, 3, 2, 5}}}, cnp_variables(2, 5))},
        {LayerType::Dequantizer, {}, {8, 8, 4}, 1, {8, 8, 4}, CK::None, 0, false, false, false, false, 8, 32, true, 0,
         {{"scales", TT::float32, {4}}}},
        {LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}},
         {4, 4, 3}, 1, {8, 8, 3}, CK::CNP, 2, true, true, true, false, 8, 8, true, 768,
         with({{"weights", TT::int8, {4, 4, 1, 3}}}, cnp_variables(3, 3))},
        {LayerType::BufferTempConv, {{"fifo_size", 4}, {"filters", 6}},
         {8, 8, 4}, 1, {8, 8, 6}, CK::TNP_B, 2, true, false, false, false, 8, 8, true, 6144,
         with({{"weights", TT::int8, {1, 1, 16, 6}}}, cnp_variables(4, 6))},
        {LayerType::DepthwiseBufferTempConv, {{"fifo_size", 3}},
         {8, 8, 4}, 1, {8, 8, 4}, CK::TNP_B, 2, true, true, true, false, 8, 8, true, 768,
         with({{"weights", TT::int8, {1, 1, 3, 4}}}, cnp_variables(4, 4))},
        {LayerType::Dense1D, {{"units", 10}, {"output_bits", 32}},
         {2, 2, 4}, 1, {1, 1, 10}, CK::FNP, 2, false, false, false, false, 8, 32, true, 160,
         {{"weights", TT::int8, {16, 10}}, {"input_shift", TT::uint8, {16}}, {"bias", TT::int8, {10}},
          {"bias_shift", TT::uint8, {10}}, {"output_scales", TT::uint8, {10}}, {"output_shift", TT::int8, {10}}}},
        {LayerType::StatefulRecurrent,
         {{"stateful_channels", 16}, {"output_channels", 8}, {"subsample", 2}, {"activation", 1}},
         {1, 10, 4}, 1, {1, 10, 8}, CK::TNP_R, 3, false, false, false, false, 8, 8, false, 1920,
         {{"in_proj", TT::int8, {16, 4}}, {"out_proj", TT::int8, {8, 16}}, {"A_real", TT::int16, {16}},
          {"A_imag", TT::int16, {16}}, {"internal_state_outputs_shift", TT::int8, {16}},
          {"new_state_scale", TT::uint8, {16}}, {"new_state_shift", TT::int8, {16}},
          {"output_scales", TT::uint8, {8}}, {"output_shift", TT::int8, {8}}, {"bias", TT::int8, {8}},
          {"bias_shift", TT::uint8, {8}}, {"input_shift", TT::uint8, {4}}}},
        {LayerType::Quantizer, {{"output_bits", 4}, {"output_signed", 0}, {"channels_first", 1}},
         {8, 8, 3}, 1, {8, 8, 3}, CK::None, 0, false, false, false, false, 8, 4, false, 0,
         {{"scales", TT::float32, {3}}, {"zero_points", TT::uint8, {3}}}},
        {LayerType::WispPostProcessing, {}, {1, 16, 1}, 1, {1, 1, 1}, CK::TNP_R, 3, false, false, false, false, 8, 8,
         false, 0,
         {{"input_scales", TT::uint8, {1}}, {"input_shift", TT::int8, {1}}, {"threshold", TT::uint16, {1}}}},
        {LayerType::Unknown, {}, {8, 8, 4}, 1, {8, 8, 4}, CK::None, 0, false, false, false, false, 8, 8, false, 0,
         {}},
    };
    return rows;
}

// The row's layer, built in a model whose InputData (when the kind needs one) is linked
// row.inbounds times.
std::pair<std::unique_ptr<Model>, std::shared_ptr<Layer>> build_row(KindRow const& row) {
    auto model = Model::create();
    auto layer = make_layer(row.type, row.params, "layer");
    if (row.input.empty()) {
        model->add(layer);
    } else {
        auto input = make_input(row.input[0], row.input[1], row.input[2]);
        model->add(input);
        model->add(layer, std::vector<std::shared_ptr<Layer>>(row.inbounds, input));
    }
    return {std::move(model), layer};
}

TEST(LayerKinds, EveryKindHasItsShapeBitsAnswersAndVariables) {
    std::set<LayerType> covered;
    for (auto const& row : kind_rows()) {
        SCOPED_TRACE(static_cast<int>(row.type));
        covered.insert(row.type);
        auto [model, layer] = build_row(row);
        EXPECT_EQ(layer->params()->layer_type(), row.type);
        EXPECT_EQ(layer->output_dimensions().to_vector(), row.output);
        for (int k = 0; k <= 7; ++k)
            EXPECT_EQ(layer->is_target_component(static_cast<ComponentKind>(k)), static_cast<CK>(k) == row.kind)
                << "kind " << k;
        EXPECT_EQ(layer->format_code(), row.format_code);
        EXPECT_EQ(layer->splittable(), row.splittable);
        EXPECT_EQ(layer->is_depthwise(), row.depthwise);
        EXPECT_EQ(layer->is_separable(), row.separable);
        EXPECT_EQ(layer->is_input_layer(), row.input_layer);
        EXPECT_EQ(layer->input_bits(), row.input_bits);
        EXPECT_EQ(layer->output_bits(), row.output_bits);
        EXPECT_EQ(layer->output_signed(), row.output_signed);
        EXPECT_EQ(layer->macs(), row.macs);
        std::vector<std::string> names;
        for (auto const& v : row.variables) names.push_back(v.name);
        EXPECT_EQ(layer->variables().names(), names);
        for (auto const& v : row.variables) {
            auto const tensor = layer->variables().get(v.name);
            EXPECT_EQ(tensor->type(), v.type) << v.name;
            EXPECT_EQ(tensor->dimensions().to_vector(), v.dims) << v.name;
            EXPECT_EQ(tensor->layout(), Layout::c_order) << v.name;
        }
    }
    EXPECT_EQ(covered.size(), 20u);
}

TEST(LayerKinds, ValueModeMarksUnsignedInputs) {
    struct Row {
        LayerType type;
        Params params;
        int value_mode;
    };
    Row const rows[] = {
        {LayerType::InputData, {{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}}, 1},
        {LayerType::InputData, {{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}, {"input_signed", 1}}, 0},
        {LayerType::InputConv2D, {{"kernel_size", 3}, {"filters", 1}}, 1},
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 1}}, 0},
        {LayerType::Dense1D, {{"units", 3}}, 0},
    };
    for (auto const& row : rows) {
        auto layer = make_layer(row.type, row.params, "l");
        EXPECT_EQ(layer->value_mode(), row.value_mode) << static_cast<int>(row.type);
    }
}

// ---- Creation ----

TEST(LayerCreate, KeepsGivenKeysAndAddsTheKindsDefaults) {
    auto layer = make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"pool_size", 2}, {"extra", 7}}, "c");
    LayerParams const& p = *layer->params();
    std::vector<std::string> const keys = {"activation", "extra", "filters", "kernel_size", "kernel_stride",
                                           "output_bits", "padding", "pool_size", "pool_stride", "pool_type",
                                           "weights_bits"};
    EXPECT_EQ(p.keys(), keys);
    EXPECT_EQ(p.get("extra"), 7);
    EXPECT_EQ(p.get("pool_stride"), 2);  // follows the pool size
    EXPECT_EQ(p.get("weights_bits"), 8);
    EXPECT_EQ(p.get("padding"), 0);
    // Depthwise kinds get no "filters": its absence means "as many as the input channels".
    EXPECT_FALSE(make_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, "d")->params()->has("filters"));
    EXPECT_FALSE(make_layer(LayerType::BufferTempConv, {{"fifo_size", 2}, {"filters", 1}}, "b")->params()->has("pool_type"));
}

TEST(LayerCreate, ClonesTheParameters) {
    auto const params = LayerParams::create(LayerType::Dense1D, {{"units", 5}});
    auto const layer = Layer::create(params.get(), "dense");
    EXPECT_NE(layer->params(), params.get());
    EXPECT_EQ(layer->params()->get("units"), 5);
    EXPECT_EQ(layer->get_name(), "dense");
}

TEST(LayerCreate, RefusesMissingAndOutOfRangeParameters) {
    struct Row {
        LayerType type;
        Params params;
        std::string message;
    };
    Row const rows[] = {
        {LayerType::Conv2D, {{"filters", 4}}, "Layer 'x': parameter 'kernel_size' is required for Conv2D layers."},
        {LayerType::InputData, {{"input_width", 4}, {"input_height", 4}},
         "Layer 'x': parameter 'input_channels' is required for InputData layers."},
        {LayerType::InputData, {{"input_width", 0}, {"input_height", 4}, {"input_channels", 1}},
         "Layer 'x': parameter 'input_width' must be at least 1 (got 0)."},
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"padding", 3}},
         "Layer 'x': parameter 'padding' must be 0, 1 or 2 (got 3)."},
        {LayerType::Conv2D, {{"kernel_size", 0}, {"filters", 4}},
         "Layer 'x': parameter 'kernel_size' must be at least 1 (got 0)."},
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", -1}},
         "Layer 'x': parameter 'filters' must be at least 0 (got -1)."},
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 1}, {"output_bits", 33}},
         "Layer 'x': parameter 'output_bits' must be between 1 and 32 (got 33)."},
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 1}, {"pool_type", 1}, {"pool_size", 0}},
         "Layer 'x': parameter 'pool_size' must be at least 1, or -1 for global pooling (got 0)."},
        {LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 1}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 128}},
         "Layer 'x': parameter 'pool_stride' must be between 1 and 127 (got 128)."},
        {LayerType::BufferTempConv, {{"fifo_size", 15}, {"filters", 1}},
         "Layer 'x': parameter 'fifo_size' must be between 1 and 14 (got 15)."},
        {LayerType::Quantizer, {{"channels_first", 2}}, "Layer 'x': parameter 'channels_first' must be 0 or 1 (got 2)."},
        {LayerType::FullyConnected, {{"units", 2}, {"activation", 1}, {"act_bits", 0}},
         "Layer 'x': parameter 'act_bits' must be between 1 and 32 (got 0)."},
        {LayerType::Convolutional,
         {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 1}, {"pool_type", 1}, {"pooling_stride_x", 0}},
         "Layer 'x': parameter 'pooling_stride_x' must be between 1 and 127, or negative for the pool size (got 0)."},
    };
    for (auto const& row : rows)
        EXPECT_EQ(error_text<std::invalid_argument>([&] { make_layer(row.type, row.params, "x"); }), row.message);
}

TEST(LayerCreate, PoolingKeysAreCheckedOnlyWhenTheLayerPools) {
    EXPECT_NO_THROW(make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 1}, {"pool_size", 0}}, "x"));
}

TEST(LayerCreate, RefusesNullParameters) {
    EXPECT_EQ(error_text<std::invalid_argument>([] { Layer::create(nullptr, "x"); }),
              "Layer 'x': missing layer parameters.");
}

TEST(LayerCreate, NeverReturnsNullForAnyKind) {
    for (auto const& row : kind_rows()) {
        auto const layer = make_layer(row.type, row.params, "l");
        ASSERT_NE(layer, nullptr);
        EXPECT_EQ(layer->params()->layer_type(), row.type);
        EXPECT_FALSE(impl(*layer).is_built());
    }
}

// ---- Accessors before and after building ----

TEST(LayerAccessors, InputAndOutputSizesBeforeTheLayerIsBuilt) {
    auto const layer = make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 1}}, "c");
    EXPECT_EQ(error_text<std::runtime_error>([&] { layer->input_dimensions(); }),
              "Cannot get input size before it is set.");
    EXPECT_EQ(error_text<std::runtime_error>([&] { layer->output_dimensions(); }),
              "Cannot get output size before it is set.");
}

TEST(LayerAccessors, OutputSizeAboveTheTensorLimitPanics) {
    auto model = Model::create();
    auto const input = make_input(65536, 65536, 2);
    model->add(input);
    EXPECT_EQ(error_text<std::runtime_error>([&] { input->output_dimensions(); }),
              "Tensor shape size 8589934592 exceeds maximum shape size (4294967295)");
    // 65536 x 65535 x 1 = 4294901760 is within the limit.
    auto model2 = Model::create();
    auto const fits = make_input(65536, 65535, 1);
    model2->add(fits);
    EXPECT_EQ(fits->output_dimensions().to_vector(), (std::vector<uint32_t>{65536, 65535, 1}));
}

TEST(LayerAccessors, ZeroOutputDimensionReportsNoOutput) {
    // Valid padding with a kernel larger than the input: no output rows.
    auto const conv = make_layer(LayerType::Conv2D, {{"kernel_size", 5}, {"filters", 2}}, "c");
    auto model = testing::model_with(conv, 8, 3, 1);
    EXPECT_EQ(error_text<std::runtime_error>([&] { conv->output_dimensions(); }),
              "Cannot get output size before it is set.");
    EXPECT_EQ(conv->input_dimensions().front().to_vector(), (std::vector<uint32_t>{8, 3, 1}));
    // Filters 0: the output has no channels and no variable shaped by the filters is created.
    auto const none = make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 0}}, "n");
    auto model2 = testing::model_with(none, 8, 8, 2);
    EXPECT_THROW(none->output_dimensions(), std::runtime_error);
    EXPECT_EQ(none->variables().names(), std::vector<std::string>{"input_shift"});
}

TEST(LayerAccessors, Conv2DStride2SameOn32x32x3Gives16x16x16) {
    auto const conv = make_layer(
        LayerType::Conv2D, {{"kernel_size", 3}, {"kernel_stride", 2}, {"padding", 1}, {"filters", 16}}, "conv");
    auto model = testing::model_with(conv, 32, 32, 3);
    EXPECT_EQ(conv->output_dimensions().to_vector(), (std::vector<uint32_t>{16, 16, 16}));
    auto const* block = dynamic_cast<HasConvParams const&>(*conv).conv_params();
    ASSERT_NE(block, nullptr);
    // Padding total (16 - 1) * 2 + 3 - 32 = 1, after the input (bottom, right) for Same.
    EXPECT_EQ(*block, (ConvCalculatedParams{2, 2, 16, 16, PaddingParams{0, 1, 0, 1}}));
    auto const* pool = dynamic_cast<HasPoolParams const&>(*conv).pool_params();
    ASSERT_NE(pool, nullptr);
    EXPECT_EQ(*pool, (PoolingCalculatedParams{1, 1, 16, 16, PaddingParams{}, false}));
}

TEST(LayerAccessors, DepthwisePoolingBlockExistsOnlyOnceBuilt) {
    auto const dw = make_layer(LayerType::DepthwiseConv2D,
                               {{"kernel_size", 3}, {"padding", 1}, {"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 2}},
                               "dw");
    auto const& cast = dynamic_cast<DepthwiseConv2D const&>(*dw);
    EXPECT_EQ(error_text<std::runtime_error>([&] { cast.pool_calculated_params(); }), "The layer dw is not built.");
    EXPECT_EQ(dynamic_cast<HasPoolParams const&>(*dw).pool_params(), nullptr);
    EXPECT_EQ(dynamic_cast<HasConvParams const&>(*dw).conv_params(), nullptr);

    auto model = testing::model_with(dw, 9, 8, 4);
    // Convolution 9x8 (Same, stride 1); pooling 3/2 Same: ceil(9/2)=5, total (5-1)*2+3-9 = 2 -> 1, 1;
    // ceil(8/2)=4, total (4-1)*2+3-8 = 1 -> 0, 1.
    EXPECT_EQ(cast.pool_calculated_params(), (PoolingCalculatedParams{2, 2, 5, 4, PaddingParams{0, 1, 1, 1}, false}));
    EXPECT_EQ(cast.conv_calculated_params(), (ConvCalculatedParams{1, 1, 9, 8, PaddingParams{1, 1, 1, 1}}));
    EXPECT_EQ(dw->output_dimensions().to_vector(), (std::vector<uint32_t>{5, 4, 4}));
}

TEST(LayerAccessors, GlobalPoolingGivesOneByOneAndSetsTheFlag) {
    auto const conv = make_layer(LayerType::Conv2D,
                                 {{"kernel_size", 3}, {"filters", 7}, {"pool_type", 2}, {"pool_size", -1}}, "gap");
    auto model = testing::model_with(conv, 8, 8, 2);
    EXPECT_EQ(conv->output_dimensions().to_vector(), (std::vector<uint32_t>{1, 1, 7}));
    EXPECT_EQ(dynamic_cast<Conv2D const&>(*conv).pool_calculated_params(),
              (PoolingCalculatedParams{1, 1, 1, 1, PaddingParams{}, true}));
    // A convolution without output rows still pools globally to 1 x 1; its block reports 0 rows.
    auto const empty = make_layer(LayerType::Conv2D,
                                  {{"kernel_size", 5}, {"filters", 1}, {"pool_type", 2}, {"pool_size", -1}}, "e");
    auto model2 = testing::model_with(empty, 8, 2, 1);
    EXPECT_EQ(dynamic_cast<Conv2D const&>(*empty).conv_calculated_params().output_height, 0u);
    EXPECT_EQ(empty->output_dimensions().to_vector(), (std::vector<uint32_t>{1, 1, 1}));
}

TEST(LayerAccessors, FirstGenerationNegativePoolingStrideIsThePoolSize) {
    auto const conv = make_layer(LayerType::Convolutional,
                                 {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 2}, {"padding", 1},
                                  {"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}},
                                 "c");
    auto model = testing::model_with(conv, 8, 6, 1);
    auto const& block = dynamic_cast<Convolutional const&>(*conv).pool_calculated_params();
    EXPECT_EQ(block.stride_x, 2);
    EXPECT_EQ(block.stride_y, 2);
    EXPECT_EQ(conv->output_dimensions().to_vector(), (std::vector<uint32_t>{4, 3, 2}));
    EXPECT_TRUE(conv->has_pooling_type(PoolType::Max));
    EXPECT_FALSE(conv->has_pooling_type(PoolType::Average));
}

TEST(LayerAccessors, ActivationQueries) {
    struct Row {
        LayerType type;
        Params params;
        bool has, relu, lut, none;
    };
    Row const rows[] = {
        {LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}, {"activation", 2}}, true, false, true, false},
        {LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}}, false, false, false, true},
        {LayerType::StatefulRecurrent, {{"stateful_channels", 1}, {"output_channels", 1}, {"activation", 1}}, true,
         true, false, false},
        // Add knows no activation, whatever its parameters say.
        {LayerType::Add, {{"activation", 1}}, false, false, false, true},
    };
    for (auto const& row : rows) {
        auto const layer = make_layer(row.type, row.params, "l");
        EXPECT_EQ(layer->has_activation(), row.has);
        EXPECT_EQ(layer->has_activation_type(ActivationType::ReLU), row.relu);
        EXPECT_EQ(layer->has_activation_type(ActivationType::LUT), row.lut);
        EXPECT_EQ(layer->has_activation_type(ActivationType::NoActivation), row.none);
    }
}

TEST(LayerAccessors, CastsReachTheKindsAndRefuseOthers) {
    auto const conv = make_layer(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}}, "c");
    EXPECT_NO_THROW((void)dynamic_cast<Conv2D const&>(*conv));
    EXPECT_THROW((void)dynamic_cast<DepthwiseConv2D const&>(*conv), std::bad_cast);
    auto const transpose = make_layer(LayerType::Conv2DTranspose, {{"kernel_size", 3}, {"filters", 1}}, "t");
    EXPECT_NO_THROW((void)dynamic_cast<Conv2DTranspose const&>(*transpose));
    EXPECT_THROW((void)dynamic_cast<HasConvParams const&>(*transpose), std::bad_cast);
    auto const fc = make_layer(LayerType::FullyConnected, {{"units", 1}}, "f");
    EXPECT_NO_THROW((void)dynamic_cast<FullyConnected const&>(*fc));
}

TEST(LayerAccessors, DepthwiseFiltersMustMatchTheChannels) {
    auto const dw = make_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}, {"filters", 5}}, "dw");
    auto model = Model::create();
    model->add(make_input(8, 8, 4));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { model->add(dw); }),
              "Layer 'dw': a depthwise layer has as many filters as input channels (4), not 5.");
    EXPECT_EQ(model->layer_count(), 1u);
    EXPECT_FALSE(impl(*dw).is_built());
}

// ---- Graph and mapping slot ----

TEST(LayerGraph, InboundLayersAreTheModelsOwnObjects) {
    auto model = Model::create();
    auto const input = make_input(8, 8, 4);
    model->add(input);
    auto const a = make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, "a");
    auto const b = make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, "b");
    model->add(a);
    model->add(b, {input});
    auto const add = make_layer(LayerType::Add, {}, "add");
    model->add(add, {a, b});

    auto const inbounds = add->inbound_layers();
    ASSERT_EQ(inbounds.size(), 2u);
    EXPECT_EQ(inbounds[0].get(), model->get_layer(1).get());
    EXPECT_EQ(inbounds[1].get(), model->get_layer("b").get());
    EXPECT_EQ(a->inbound_layers().front().get(), input.get());
    auto const outs = input->outbound_layers();
    ASSERT_EQ(outs.size(), 2u);
    EXPECT_EQ(outs[0].get(), a.get());
    EXPECT_EQ(outs[1].get(), b.get());
    EXPECT_EQ(a->outbound_layers().front().get(), add.get());
    EXPECT_EQ(add->input_dimensions().size(), 2u);
}

struct TestMapping : Layer::Mapping {
    int id = 0;
};

TEST(LayerGraph, MappingSlotIsSetAndResetThroughTheImplementation) {
    auto const layer = make_layer(LayerType::Dense1D, {{"units", 1}}, "d");
    EXPECT_EQ(layer->mapping(), nullptr);
    auto mapping = std::make_shared<TestMapping>();
    set_layer_mapping(*layer, mapping);
    EXPECT_EQ(layer->mapping().get(), mapping.get());
    impl(*layer).set_mapping(nullptr);
    EXPECT_EQ(layer->mapping(), nullptr);

    testing::StubLayer stub("stub");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { set_layer_mapping(stub, mapping); }),
              "Layer 'stub' was not made by Layer::create.");
}

TEST(LayerTestHooks, OverridesReplaceTheKindsAnswers) {
    auto const layer = make_layer(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}}, "c");
    LayerImpl& l = impl(*layer);
    l.override_target_components({ComponentKind::CNP, ComponentKind::SKIP_DMA});
    l.override_format_code(1);
    EXPECT_TRUE(layer->is_target_component(ComponentKind::SKIP_DMA));
    EXPECT_TRUE(layer->is_target_component(ComponentKind::CNP));
    EXPECT_FALSE(layer->is_target_component(ComponentKind::None));
    EXPECT_EQ(layer->format_code(), 1);
    l.clear_overrides();
    EXPECT_FALSE(layer->is_target_component(ComponentKind::SKIP_DMA));
    EXPECT_EQ(layer->format_code(), 2);
}

// ---- Geometry ----

TEST(LayerGeometry, WindowAxisPerPaddingMode) {
    struct Row {
        uint32_t size, kernel, stride;
        Padding padding;
        AxisGeometry expected;
    };
    Row const rows[] = {
        {32, 3, 2, Padding::Same, {16, 0, 1}},      {32, 3, 2, Padding::SameUpper, {16, 1, 0}},
        {32, 3, 1, Padding::Same, {32, 1, 1}},      {7, 3, 2, Padding::Valid, {3, 0, 0}},
        {3, 3, 1, Padding::Valid, {1, 0, 0}},       {2, 3, 1, Padding::Valid, {0, 0, 0}},
        {8, 2, 2, Padding::Same, {4, 0, 0}},        {5, 2, 2, Padding::Same, {3, 0, 1}},
        {1, 7, 1, Padding::Same, {1, 3, 3}},        {1, 4, 1, Padding::Same, {1, 1, 2}},
        {1, 4, 1, Padding::SameUpper, {1, 2, 1}},   {0, 3, 1, Padding::Same, {0, 0, 0}},
        {4294967295u, 1, 1, Padding::Same, {4294967295u, 0, 0}},
    };
    for (auto const& row : rows)
        EXPECT_EQ(window_axis(row.size, row.kernel, row.stride, row.padding), row.expected)
            << row.size << " " << row.kernel << " " << row.stride << " " << static_cast<int>(row.padding);
}

TEST(LayerGeometry, ConvolutionThenPooling) {
    ConvPoolSpec spec;
    spec.kernel_x = spec.kernel_y = 3;
    spec.padding = Padding::Valid;
    spec.pool_type = PoolType::Max;
    spec.pool_x = spec.pool_y = 2;
    spec.pool_stride_x = spec.pool_stride_y = 2;
    ConvPoolGeometry const g = conv_pool_geometry(10, 7, spec);
    EXPECT_EQ(g.conv, (ConvCalculatedParams{1, 1, 8, 5, PaddingParams{}}));
    EXPECT_EQ(g.pool, (PoolingCalculatedParams{2, 2, 4, 2, PaddingParams{}, false}));
}

}  // namespace
}  // namespace nuvra
