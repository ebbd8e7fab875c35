// The first-generation checker on real engine layers; one row per mended fault.
#include <gtest/gtest.h>

#include "backends/v1/check_rules.h"
#include "backends/v1/checker.h"
#include "engine/layers.h"
#include "hw/presets.h"
#include "mapping/split.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/model_builder.h"
#include "support/v2_checks.h"
#include "support/variable_fill.h"

namespace nuvra::v1 {
namespace {

using testing::fill_variable;
using testing::InputSpec;
using testing::with;
using Params = std::map<std::string, int>;

// A checker of a first-generation device of `version` whose mesh has `input_bytes` of input SRAM.
struct Checker {
    explicit Checker(HwVersion version = hw::ZR62_v1, uint32_t input_bytes = SramSize_v1.input_bytes)
        : device(make_fake_device(version)) {
        device->mutable_mesh().np_sram_size.input_bytes = input_bytes;
        constraints = make_hardware_constraints(IpVersion::v1, device->mesh());
    }
    std::shared_ptr<FakeDevice> device;
    HardwareConstraints constraints;
    CompatibilityCheckerImpl impl{*device, constraints};
    MappingStatus check(Layer const& layer) const {
        return impl.check_layer_compatibility(layer, nullptr, device->version());
    }
};

char const* const ok = "Success.";
InputSpec const nibbles{8, 8, 4, 4};  // the widest input a first-generation CNP or FNP reads

TEST(V1Checker, InputConvolutional) {
    Params const base{{"input_width", 32}, {"input_height", 32}, {"input_channels", 1}, {"kernel_width", 3},
                      {"kernel_height", 3}, {"filters", 8}, {"activation", 1}};
    struct { char const* what; Params changes; char const* expected; float weight = 1, act_step = 0; } const rows[] = {
        {"valid", {}, ok},
        {"3x5, stride_x 4, average", {{"kernel_height", 5}, {"stride_x", 4}, {"pool_type", 2}},
         "Kernel size should be symmetric. The parameter stride_x should be 1, 2 or 3. The parameter pool_type cannot "
         "be Average."},
        {"3 channels, kernel 7, 33 filters", {{"input_channels", 3}, {"kernel_width", 7}, {"kernel_height", 7}, {"filters", 33}},
         "The parameter num_neurons should be set between 1 and 32."},
        // Compared by its low byte, 259 once passed as 3.
        {"kernel 259", {{"kernel_width", 259}, {"kernel_height", 259}, {"filters", 1}, {"padding", 1}},
         "Kernel size should be 3, 5 or 7. Input first dimension size cannot be smaller than kernel size."},
        {"valid, stride_y 2, 4 rows", {{"stride_y", 2}, {"input_height", 4}},
         "With valid padding, a 3 kernel size and a 2 kernel stride, input second dimension size cannot be smaller than 5."},
        {"same, 4 x 4", {{"padding", 1}, {"input_height", 4}, {"input_width", 4}},
         "Input second dimension size cannot be smaller than 5. Input first dimension size cannot be smaller than 5."},
        {"max pooling 3, stride 1 on x", {{"pool_type", 1}, {"pooling_width", 3}, {"pooling_height", 3}, {"pooling_stride_x", 1}},
         "The parameter pooling_y should be 1 or 2. The parameter pooling_x should be 1 or 2. The parameter pool_size and "
         "pool_stride should be equal."},
        {"max pooling to 1 row", {{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}, {"input_height", 5}},
         "With max pooling, output second dimension size must be at least 2."},
        {"activation steps too large", {}, "The parameter act_step should be between 0 and 1048575. Receives act_step 1048576.",
         1, 1048576},
        {"zero weights: steps not looked at", {}, "All weights in a hrc layer cannot be zeroes.", 0, 1048576},
    };
    Checker const checker;
    for (auto const& row : rows) {
        auto layer = testing::make_layer(LayerType::InputConvolutional, with(base, row.changes), "hrc");
        auto model = Model::create();
        model->add(layer);
        fill_variable(*layer, "weights", row.weight);
        fill_variable(*layer, "act_step", row.act_step);
        EXPECT_EQ(checker.check(*layer).message, row.expected) << row.what;
    }
}

TEST(V1Checker, ConvolutionalKinds) {
    Params const conv{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 8}, {"padding", 1}};
    LayerType const std_kind = LayerType::Convolutional, sep = LayerType::SeparableConvolutional;
    struct { char const* what; LayerType type; Params changes; InputSpec input; char const* expected;
             HwVersion version = hw::ZR62_v1; bool zero_weights = false; } const rows[] = {
        {"5x5 stride 2", std_kind, {{"kernel_width", 5}, {"kernel_height", 5}, {"stride_x", 2}, {"stride_y", 2}}, nibbles,
         "Convolution stride 2 is only supported for 3x3 kernels."},
        {"stride 3", std_kind, {{"stride_x", 3}, {"stride_y", 3}}, nibbles, "Convolution stride must be 1 or 2."},
        {"strides 2 and 1", std_kind, {{"stride_x", 2}}, nibbles, "Horizontal and vertical strides must be equal."},
        {"3x3 max pooling on Vexa_v2", std_kind, {{"pool_type", 1}, {"pooling_width", 3}, {"pooling_height", 3}}, nibbles,
         "Pooling size 3 is not supported on Vexa_v2.", hw::Vexa_v2},
        // Compared by its low byte, 257 once passed as 1.
        {"max pooling 257", std_kind, {{"pool_type", 1}, {"pooling_width", 257}, {"pooling_height", 257},
                                       {"pooling_stride_x", 1}, {"pooling_stride_y", 1}}, nibbles,
         "Pooling size must be 1, 2 or 3. Pooling size cannot be greater than input dimensions."},
        {"average pooling 2, 33 wide", std_kind, {{"pool_type", 2}, {"pooling_width", 2}, {"pooling_height", 2}}, {33, 8, 4, 4},
         "Average pooling must be global. With average pooling, input height cannot exceed 32."},
        {"valid, 2049 filters, 3x5", std_kind, {{"padding", 0}, {"filters", 2049}, {"kernel_height", 5}}, nibbles,
         "The maximum number of filters is 2048 (got 2049). Kernel width and height must be equal. Only padding same is "
         "supported."},
        {"kernel 9, 3-bit weights", std_kind, {{"kernel_width", 9}, {"kernel_height", 9}, {"weights_bits", 3}}, nibbles,
         "Kernel size must be 1, 3, 5 or 7. Standard CNP weights bitwidth must be 1, 2 or 4."},
        {"separable kernel 1, 1-bit", sep, {{"kernel_width", 1}, {"kernel_height", 1}, {"weights_bits", 1}}, nibbles,
         "Kernel size must be 3, 5 or 7. Separable CNP weights bitwidth must be 2 or 4."},
        {"separable too big with zero weights", sep, {{"kernel_width", 7}, {"kernel_height", 7}}, {8, 8, 2048, 4},
         "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth. All weights in a "
         "separable CNP layer cannot be zeroes.", hw::ZR62_v1, true},
        // Mended: widths the image holds as half of them in 2 bits were written as another width.
        {"8-bit input", std_kind, {}, {8, 8, 4, 8}, "Input bitwidth should be 1, 2 or 4."},
        {"3-bit input, act_bits 3", sep, {{"activation", 1}, {"act_bits", 3}}, {8, 8, 4, 3},
         "Input bitwidth should be 1, 2 or 4. act_bits should be 1, 2 or 4."},
        {"act_bits 32", std_kind, {{"activation", 1}, {"act_bits", 32}}, nibbles, "act_bits should be 1, 2 or 4."},
        {"1-bit input, act_bits 2", sep, {{"activation", 1}, {"act_bits", 2}}, {8, 8, 4, 1}, ok},
        {"act_bits 3 without activation", std_kind, {{"activation", 0}, {"act_bits", 3}}, nibbles, ok},
    };
    for (auto const& row : rows) {
        auto const built = testing::build_after_input(row.type, with(conv, row.changes), row.input);
        fill_variable(*built.layer, "weights", row.zero_weights ? 0 : 1);
        if (row.type == sep) fill_variable(*built.layer, "weights_pw", 1);
        EXPECT_EQ(Checker(row.version).check(*built.layer).message, row.expected) << row.what;
    }
    auto const unbuilt = testing::make_layer(std_kind, conv, "alone");
    EXPECT_EQ(testing::error_text<std::runtime_error>([&] { Checker().check(*unbuilt); }), "The layer alone is not built.");
}

// The rules both CNP kinds share judge the computed blocks they are given.
TEST(V1Checker, CnpCommonConstraints) {
    Params const conv{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 8}, {"padding", 1}};
    Params const max_2{{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}};
    Params const global{{"pool_type", 2}, {"pooling_width", -1}, {"pooling_height", -1}};
    // conv_rows: the convolution's output rows; pool_x, pool_y: the pooling strides.
    struct { char const* what; Params changes; uint32_t conv_rows; int8_t pool_x, pool_y; char const* expected;
             HwVersion version = hw::ZR62_v1; } const rows[] = {
        {"max pooling, strides 2 and 1", max_2, 8, 2, 1, "Pooling stride x and y must be equal."},
        {"max pooling 2, stride 3", max_2, 8, 3, 3, "Pooling stride must be equal or lower than pooling size."},
        {"global average over 2 rows", global, 2, 1, 1,
         "When using Global Average Pooling, the output of the convolution must have at least 3 rows (currently 2)."},
        {"global average over 3 rows", global, 3, 1, 1, ok},
        {"3x3 max pooling on Vexa_v2", {{"pool_type", 1}, {"pooling_width", 3}, {"pooling_height", 3}}, 8, 3, 3,
         "Pooling size 3 is not supported on Vexa_v2.", hw::Vexa_v2},
    };
    for (auto const& row : rows) {
        auto const built = testing::build_after_input(LayerType::Convolutional, with(conv, row.changes), nibbles);
        ConvCalculatedParams conv_block;
        conv_block.output_height = row.conv_rows;
        PoolingCalculatedParams pool_block;
        pool_block.stride_x = row.pool_x;
        pool_block.stride_y = row.pool_y;
        EXPECT_EQ(check_cnp_common_constraints(*built.layer, conv_block, pool_block, row.version).message, row.expected)
            << row.what;
    }
    // A standard layer reports what the shared rules find on its own blocks, and only that.
    auto const built = testing::build_after_input(LayerType::Convolutional,
                                                  with(conv, {{"stride_x", 3}, {"stride_y", 3}, {"weights_bits", 3}}), nibbles);
    auto const& layer = dynamic_cast<ConvPoolLayer const&>(*built.layer);
    MappingStatus const common = check_cnp_common_constraints(layer, layer.conv_calculated_params(),
                                                              layer.pool_calculated_params(), hw::ZR62_v1);
    EXPECT_EQ(common.message, "Convolution stride must be 1 or 2.");
    EXPECT_EQ(Checker().check(layer), common);
}

TEST(V1Checker, FullyConnected) {
    Params const fc{{"units", 10}, {"weights_bits", 4}};
    struct { char const* what; Params changes; InputSpec input; char const* expected; int8_t weight = 0;
             HwVersion version = hw::ZR62_v1; uint32_t input_bytes = SramSize_v1.input_bytes; } const rows[] = {
        {"240 x 240 on Vexa_v2", {}, {240, 240, 1, 4}, "Input dimensions are too large to fit in a FNP. The maximum value is 57334.",
         0, hw::Vexa_v2},
        {"4096 x 2 x 3 over the limits", {}, {4097, 2, 3, 1}, "The maximum input width is 4096 (got 4097)."},
        {"8-bit input, 5-bit weights, 3 act bits", {{"weights_bits", 5}, {"activation", 1}, {"act_bits", 3}}, {8, 8, 1, 8},
         "Input bitwidth should be 1, 2 or 4. Weight bits should be between 1 and 4 inclusive. act_bits should be 1, 2 or 4."},
        // A quarter of 4096 bytes holds 32768 one-bit inputs.
        {"input memory", {}, {200, 200, 1, 4}, "Input size exceeds memory. Maximum size is 4096 bytes. (got 5000 bytes).", 0,
         hw::ZR62_v1, 4096},
        {"4-bit weights holding 8", {}, {8, 8, 1, 4}, "Weights contain values out of range (-7, 7) (e.g.: 8).", 8},
        // Accepted once, then written into the next neuron's block.
        {"1-bit weight -1", {{"weights_bits", 1}}, {8, 8, 1, 4}, "Weights contain values out of range (0, 1) (e.g.: -1).", -1},
        // Accepted once, then giving a negative FNP size.
        {"0-bit weights", {{"weights_bits", 0}}, {8, 8, 1, 4}, "Weight bits should be between 1 and 4 inclusive."},
    };
    for (auto const& row : rows) {
        auto const built = testing::build_after_input(LayerType::FullyConnected, with(fc, row.changes), row.input);
        fill_variable(*built.layer, "weights", row.weight);
        EXPECT_EQ(Checker(row.version, row.input_bytes).check(*built.layer).message, row.expected) << row.what;
    }

    // 4096 x 4096 x 2048 inputs once counted 0 in 32 bits.
    auto huge = testing::FakeLayer::make("huge", {ComponentKind::FNP});
    huge->set_params(LayerType::FullyConnected, {{"units", 1}, {"weights_bits", 4}, {"activation", 0}}).set_input_dims({Shape{4096, 4096, 2048}}).set_bits(1, 32);
    EXPECT_EQ(Checker().check(*huge).message, "Input dimensions are too large to fit in a FNP. The maximum value is 81920.");

    // A learning layer's neurons each keep num_weights connections; 1e30 fits no count (it once
    // overflowed its conversion).
    struct { double num_weights; char const* expected; } const learning[] = {
        {2, "The number of weights per neuron should match the num_weights NuvraUnsupervised parameter."},
        {1e30, "The number of weights per neuron should match the num_weights NuvraUnsupervised parameter."},
    };
    for (auto const& row : learning) {
        auto const built = testing::build_after_input(LayerType::FullyConnected, fc, {8, 8, 1, 4});
        built.model->compile(LearningParams::create(LearningType::NuvraUnsupervised, {{"num_weights", row.num_weights}}));
        EXPECT_EQ(Checker().check(*built.layer).message, row.expected) << row.num_weights;
    }
}

TEST(V1Checker, VersionsAndKinds) {
    auto const input = testing::make_input(8, 8, 1);
    auto const conv2d = testing::make_layer(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 1}}, "conv2d");
    EXPECT_EQ(Checker(hw::Vexa_v1).check(*input).message,
              "Vexa_v1 is not supported on this version. Please install nuvra 2.0.5 instead.");
    EXPECT_EQ(Checker().check(*conv2d).message, "Unsupported layer type on Nuvra v1.");
}

TEST(V1Checker, Sequences) {
    testing::ModelBuilder m;
    m.input("in", 4);
    m.layer(LayerType::Convolutional, "pool",
            {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 4}, {"padding", 1}, {"pool_type", 1},
             {"pooling_width", 2}, {"pooling_height", 2}},
            {"in"});
    m.layer(LayerType::FullyConnected, "fc", {{"units", 2}}, {"pool"});
    // conv -> dq -> q -> after, and conv -> lone -> next: quantizers between computed layers.
    Params const conv{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 4}, {"padding", 1}};
    m.layer(LayerType::Convolutional, "conv", conv, {"in"});
    m.layer(LayerType::Dequantizer, "dq", {}, {"conv"});
    m.layer(LayerType::Quantizer, "q", {{"output_bits", 4}}, {"dq"});
    m.layer(LayerType::Convolutional, "after", conv, {"q"});
    m.layer(LayerType::Quantizer, "lone", {{"output_bits", 4}}, {"conv"});
    m.layer(LayerType::Convolutional, "next", conv, {"lone"});
    struct { std::vector<std::string> run; char const* layer; char const* expected; } const rows[] = {
        {{"in", "pool"}, "pool",
         "A convolutional or separable convolutional layer with max pooling cannot be the last layer of a sequence."},
        {{"pool", "fc"}, "fc",
         "A convolutional or separable convolutional layer with max pooling must be followed by another convolutional or "
         "separable convolutional layer. Layer 'pool' has max pooling."},
        {{"fc"}, "", ok},  // the pooling layer ends an earlier sequence
        {{"in", "conv", "dq", "q", "after"}, "dq", "Only 1 Dequantizer at the end of the model is supported."},
        {{"in", "conv", "lone", "next"}, "lone", "A Quantizer is only supported as the first layer of the model."},
        {{"in", "conv", "dq", "q"}, "", ok},  // nothing computed after the pair
        {{}, "", ok},      // nothing to read the last layer of
    };
    Checker const checker;
    for (auto const& row : rows) {
        LayerList const run = m.list(row.run);
        MappingStatus const status = checker.impl.check_layer_sequence(run.begin(), run.end(), hw::ZR62_v1);
        EXPECT_EQ(status.message, row.expected) << row.layer;
        EXPECT_EQ(status.layer_name, row.layer);
    }
}

hw::Component cnp(uint32_t x, uint32_t width, uint32_t filters = 8, hw::Type type = hw::Type::CNP1) {
    hw::Component component;
    component.type = type;
    component.np_part = hw::NpPart{0, filters, NpSpace{x, 0, Shape{width, 8, 1}}, {}, false};
    return component;
}

TEST(V1Checker, ComponentRules) {
    Params const conv{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 32}, {"padding", 1}};
    Params const strided_pool = with(conv, {{"stride_x", 2}, {"stride_y", 2}, {"pool_type", 1}, {"pooling_width", 2},
                                            {"pooling_height", 2}});
    char const* const strided = "Cannot have convolution stride > 1 and max pooling if the layer is mapped on multiple NPs.";
    char const* const odd = "With one input channel, the number of neurons per NP / 8 must be even.";
    struct { char const* what; LayerType type; Params params; std::vector<hw::Component> components; std::string expected;
             HwVersion version = hw::ZR62_v1; } const rows[] = {
        {"share 33 wide", LayerType::Convolutional, conv, {cnp(0, 33)}, "The input length 36 exceeds the maximum value for NP input width: 32."},
        // A pooling stride of -1 is the pool size: it once counted as smaller than the pool.
        {"stride 2, max pooling, split", LayerType::Convolutional, strided_pool, {cnp(0, 4), cnp(4, 4)}, strided},
        {"split, pool 2 stride 1", LayerType::Convolutional, with(strided_pool, {{"pooling_stride_x", 1}}),
         {cnp(0, 4), cnp(4, 4)},
         std::string(strided) + " Cannot have pooling size > pooling stride if the layer is mapped spatially on multiple NPs."},
        {"Vexa_v2, 24 + 8 filters", LayerType::Convolutional, conv, {cnp(0, 8, 24), cnp(0, 8, 8)},
         std::string(odd) + " " + odd, hw::Vexa_v2},
        {"input data", LayerType::InputData, {}, {}, "unknown Layer type."},
    };
    for (auto const& row : rows) {
        Checker const checker(row.version);
        auto const built = row.type == LayerType::InputData
                               ? testing::BuiltLayer{nullptr, testing::make_input(8, 8, 1)}
                               : testing::build_after_input(row.type, row.params, {8, 8, 1, 4});
        EXPECT_EQ(checker.impl.check_layer_mappings(*built.layer, row.components, false).message, row.expected) << row.what;
    }
}

TEST(V1Checker, FitsAndSplitParameters) {
    Checker const checker;  // input SRAM: 10752 words, 5376 a buffer
    CompatibilityCheckerImpl const& c = checker.impl;
    // 8 rows of 32 x 64 four-bit values: 256 words a row.
    EXPECT_TRUE(c.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 8, 32, 64, 0, 4, 0));
    EXPECT_TRUE(c.is_sram_input_fit_single_buffer(hw::Type::CNP1, 42, 32, 64, 0, 4, 0));  // 10752: equal fits
    EXPECT_FALSE(c.is_sram_input_fit_single_buffer(hw::Type::CNP1, 43, 32, 64, 0, 4, 0));
    EXPECT_FALSE(c.is_sram_input_fit_single_buffer(hw::Type::CNP1, 4096, 4096, 2048, 0, 8, 0));  // once 0 words

    auto const small = testing::build_after_input(LayerType::FullyConnected, {{"units", 10}}, {100, 1, 1, 1});
    auto const large = testing::build_after_input(LayerType::FullyConnected, {{"units", 1000}}, {1000, 1, 1, 1});
    EXPECT_TRUE(c.is_fnp3_compatible(*small.layer));    // 280 words
    EXPECT_FALSE(c.is_fnp3_compatible(*large.layer));   // 196000 words

    auto const params = LayerParams::create(LayerType::Convolutional, {{"kernel_width", 5}, {"kernel_height", 3},
        {"filters", 7}, {"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}});
    NpSplitParams expected;
    expected.halo = {.left = 2, .right = 2, .top = 1, .bottom = 1};
    expected.pool_type = 1;
    expected.pool_width = expected.pool_height = 2;
    expected.filters = 7;
    EXPECT_EQ(c.np_split_params(hw::Type::CNP1, *params), expected);
    // Left and right from the kernel's width, top and bottom from its height.
    EXPECT_EQ(c.np_split_params(hw::Type::CNP1, *params).halo, (Halo{.left = 2, .right = 2, .top = 1, .bottom = 1}));
}

}  // namespace
}  // namespace nuvra::v1
