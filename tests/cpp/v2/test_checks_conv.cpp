// Convolution checks on a CNP: one row per rule and message, on real engine layers; the two
// facts a real layer cannot get wrong (pooling strides, convolution rows) on the layer double.
#include <gtest/gtest.h>

#include "backends/v2/check_rules.h"
#include "support/v2_checks.h"
#include "support/v2_fake_layer.h"

namespace nuvra::v2 {
namespace {

using testing::InputSpec;
using testing::with;

struct ConvRow {
    char const* name;
    LayerType type;
    std::map<std::string, int> params;  // over the row kind's valid defaults
    InputSpec input;
    char const* expected;
};

std::map<std::string, int> valid_params(LayerType type) {
    switch (type) {
    case LayerType::Conv2D: return {{"kernel_size", 3}, {"filters", 8}, {"padding", 1}, {"activation", 1}};
    case LayerType::DepthwiseConv2D: return {{"kernel_size", 3}, {"padding", 1}, {"activation", 1}};
    case LayerType::Conv2DTranspose: return {{"kernel_size", 3}, {"filters", 8}, {"activation", 1}};
    default: return {{"kernel_size", 3}, {"activation", 1}};
    }
}

MappingStatus run_check(LayerType type, HardwareConstraints const& constraints, Layer const& layer) {
    switch (type) {
    case LayerType::Conv2D: return check_conv2d_constraints(constraints, layer);
    case LayerType::DepthwiseConv2D: return check_dwconv2d_constraints(constraints, layer);
    case LayerType::Conv2DTranspose: return check_conv2dtranspose_constraints(constraints, layer);
    default: return check_dwconv2dtranspose_constraints(constraints, layer);
    }
}

constexpr LayerType conv = LayerType::Conv2D;
constexpr LayerType dw = LayerType::DepthwiseConv2D;
constexpr LayerType tconv = LayerType::Conv2DTranspose;
constexpr LayerType tdw = LayerType::DepthwiseConv2DTranspose;

// Weight memory of the v2 mesh: 51200 * 8 / 100 = 4096 words of 100 bits; single input buffer
// 65536 * 8 / 32 = 16384 words.
ConvRow const conv_rows[] = {
    {"conv2d valid", conv, {}, {}, "Success."},
    {"activated output above 8 bits", conv, {{"output_bits", 16}}, {},
     "With activation output bitwidth should be <= 8. With activation output bitwidth should be 4 or 8."},
    {"4-bit input, 8-bit weights", conv, {}, {8, 8, 4, 4}, "Input bits should be >= weights bits."},
    {"2-bit input", conv, {{"weights_bits", 4}}, {8, 8, 4, 2},
     "Input bits should be >= weights bits. Input should be 4-bit or 8-bit."},
    {"width 4096 passes", conv, {}, {4096, 1, 1, 8}, "Success."},
    {"width and height 4097", conv, {}, {4097, 4097, 1, 8},
     "The maximum input width is 4096 (got 4097). The maximum input height is 4096 (got 4097)."},
    // 2049 channels also make one filter too big, but that rule runs only on a clean layer.
    {"2049 channels", conv, {{"kernel_size", 1}}, {8, 8, 2049, 8},
     "The maximum input channel value is 2048 (got 2049). Input shift exceeds memory. Maximum size is 768 "
     "bytes. (got 771 bytes)."},
    {"2048 filters pass", conv, {{"filters", 2048}}, {}, "Success."},
    {"2049 filters", conv, {{"filters", 2049}}, {}, "The maximum number of filters is 2048 (got 2049)."},
    {"Valid padding", conv, {{"padding", 0}}, {}, "Only padding 'Same' and 'SameUpper' are supported."},
    {"SameUpper stride 1", conv, {{"padding", 2}}, {}, "With SameUpper padding only stride 2 is supported."},
    {"SameUpper 4-bit activation", conv, {{"padding", 2}, {"kernel_stride", 2}, {"output_bits", 4}}, {},
     "With SameUpper padding only 8-bit activations are supported."},
    {"SameUpper 4-bit weights", conv, {{"padding", 2}, {"kernel_stride", 2}, {"weights_bits", 4}}, {},
     "With SameUpper padding only 8-bit weights are supported."},
    {"pooling with stride", conv, {{"pool_type", 1}, {"pool_size", 2}, {"kernel_stride", 2}}, {},
     "The CNP cannot support both pooling and stride."},
    {"max pooling 2 passes", conv, {{"pool_type", 1}, {"pool_size", 2}}, {}, "Success."},
    {"max pooling 3", conv, {{"pool_type", 1}, {"pool_size", 3}}, {}, "Pooling size must be 1 or 2."},
    {"max pooling wider than input", conv, {{"pool_type", 1}, {"pool_size", 2}}, {1, 8, 4, 8},
     "Pooling size cannot be greater than input dimensions."},
    {"max pooling with LUT", conv, {{"pool_type", 1}, {"pool_size", 2}, {"activation", 2}}, {},
     "Max pooling is not supported with activation LUT."},
    {"global average pooling 8 x 8", conv, {{"pool_type", 2}, {"pool_size", -1}}, {}, "Success."},
    {"average pooling not global", conv, {{"pool_type", 2}, {"pool_size", 2}}, {},
     "Global Average pooling must be global."},
    {"average pooling 16-bit output", conv, {{"pool_type", 2}, {"pool_size", -1}, {"activation", 0}, {"output_bits", 16}},
     {}, "With average pooling output bitwidth should be <= 8. Without activation output bitwidth should be 8 or 28."},
    {"average pooling 65 high", conv, {{"pool_type", 2}, {"pool_size", -1}}, {65, 2, 4, 8},
     "When using Global Average Pooling, input height cannot exceed 64."},
    {"average pooling 13 x 12", conv, {{"pool_type", 2}, {"pool_size", -1}}, {13, 12, 4, 8},
     "When using Global Average Pooling, input dimensions width * height cannot exceed 144."},
    // 12 x 12 x 455 takes 16380 single-buffer words, 456 channels 16416.
    {"average pooling fits one buffer", conv, {{"pool_type", 2}, {"pool_size", -1}}, {12, 12, 455, 8}, "Success."},
    {"average pooling needs a split", conv, {{"pool_type", 2}, {"pool_size", -1}}, {12, 12, 456, 8},
     "When using Global Average Pooling, spatial split is impossible."},
    {"kernel 4", conv, {{"kernel_size", 4}}, {}, "Kernel size must be 1, 3, 5 or 7."},
    {"4-bit ReLU output passes", conv, {{"output_bits", 4}}, {}, "Success."},
    {"4-bit LUT output", conv, {{"output_bits", 4}, {"activation", 2}}, {}, "4-bit activation is not supported with LUT."},
    {"28-bit potentials pass", conv, {{"activation", 0}, {"output_bits", 28}}, {}, "Success."},
    {"16-bit potentials", conv, {{"activation", 0}, {"output_bits", 16}}, {},
     "Without activation output bitwidth should be 8 or 28."},
    {"2-bit weights", conv, {{"weights_bits", 2}}, {}, "Weights bitwidth should be 4-bit or 8-bit."},
    // Kernel 1 holds a filter of one channel in 2 words: 2048 channels fill the 4096 words.
    {"one filter fills the weight memory", conv, {{"kernel_size", 1}}, {8, 8, 2048, 8}, "Success."},
    // Kernel 7 takes 56 words a channel: 73 channels need 4088 words, 74 need 4144.
    {"one filter fits", conv, {{"kernel_size", 7}}, {8, 8, 73, 8}, "Success."},
    {"one filter too big", conv, {{"kernel_size", 7}}, {8, 8, 74, 8},
     "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth."},
    {"4-bit weights, 8-bit potentials", conv, {{"weights_bits", 4}, {"activation", 0}}, {},
     "4-bit weights and 8-bit potential is not allowed."},
    {"4-bit weights, 8-bit activations pass", conv, {{"weights_bits", 4}}, {}, "Success."},

    {"depthwise valid", dw, {}, {}, "Success."},
    {"depthwise Valid padding", dw, {{"padding", 0}}, {}, "Only padding 'Same' and 'SameUpper' are supported."},
    {"depthwise kernel 1", dw, {{"kernel_size", 1}}, {}, "Kernel size must be 3, 5 or 7."},
    {"depthwise 4-bit weights, 8-bit activations", dw, {{"weights_bits", 4}}, {},
     "4-bit weights and 8-bit activation is not allowed."},
    {"depthwise 4-bit weights, 8-bit potentials pass", dw, {{"weights_bits", 4}, {"activation", 0}}, {}, "Success."},
    {"depthwise 2049 channels", dw, {}, {8, 8, 2049, 8},
     "The maximum input channel value is 2048 (got 2049). The maximum number of filters is 2048 (got 2049). "
     "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes)."},

    {"transposed valid", tconv, {}, {}, "Success."},
    {"transposed 4-bit input", tconv, {}, {8, 8, 4, 4}, "Input bits should be >= weights bits. Input should be 8-bit."},
    {"transposed 4-bit ReLU output", tconv, {{"output_bits", 4}}, {}, "With activation output bitwidth should be 8."},
    {"transposed 4-bit weights", tconv, {{"weights_bits", 4}}, {}, "Weights should be 8-bit."},
    {"transposed kernel 5", tconv, {{"kernel_size", 5}}, {}, "Kernel size must be 3 or 4."},
    // Kernel 4 takes 12 words a channel: 341 channels need 4092 words, 342 need 4104.
    {"transposed filter fits", tconv, {{"kernel_size", 4}}, {8, 8, 341, 8}, "Success."},
    {"transposed filter too big", tconv, {{"kernel_size", 4}}, {8, 8, 342, 8},
     "Filter size is too big to fit in a CNP: try decreasing the input."},

    {"depthwise transposed valid", tdw, {}, {}, "Success."},
    {"depthwise transposed kernel 5", tdw, {{"kernel_size", 5}}, {}, "Kernel size must be 3 or 4."},
    {"depthwise transposed 16-bit activation", tdw, {{"output_bits", 16}}, {},
     "With activation output bitwidth should be <= 8. With activation output bitwidth should be 8."},
};

void PrintTo(ConvRow const& row, std::ostream* out) { *out << row.name; }

class ConvChecks : public ::testing::TestWithParam<ConvRow> {};

TEST_P(ConvChecks, ReportEveryBrokenRule) {
    ConvRow const& row = GetParam();
    testing::BuiltLayer built =
        testing::build_after_input(row.type, with(valid_params(row.type), row.params), row.input, "conv");
    MappingStatus const status = run_check(row.type, testing::v2_constraints(), *built.layer);
    EXPECT_EQ(status.message, row.expected);
    bool const success = std::string(row.expected) == "Success.";
    EXPECT_EQ(status.failed, !success);
    EXPECT_EQ(status.layer_name, success ? "" : "conv");
}

INSTANTIATE_TEST_SUITE_P(Rows, ConvChecks, ::testing::ValuesIn(conv_rows), testing::RowName{});

// The input-shift memory holds 256 words of eight shifts: 2048 shifts fit, 2049 do not.
TEST(ConvChecks, InputShiftMemoryBoundary) {
    struct Row {
        uint32_t shifts;
        char const* expected;
    } const rows[] = {
        {2048, "Success."},
        {2049, "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes)."},
    };
    for (Row const& row : rows) {
        testing::BuiltLayer built = testing::build_after_input(conv, valid_params(conv), {}, "conv");
        built.layer->variables().set("input_shift", testing::filled<uint8_t>(TensorType::uint8, row.shifts, 0));
        EXPECT_EQ(check_conv2d_constraints(testing::v2_constraints(), *built.layer).message, row.expected)
            << row.shifts;
    }
}

// A layer double for what a built engine layer always gets right.
std::shared_ptr<testing::V2FakeLayer> fake_conv(std::map<std::string, int> const& params) {
    auto layer = testing::V2FakeLayer::make("conv", {ComponentKind::CNP});
    layer->set_params(LayerType::Conv2D, with(valid_params(LayerType::Conv2D), with({{"kernel_stride", 1},
        {"weights_bits", 8}, {"output_bits", 8}, {"pool_type", 0}}, params)));
    layer->set_input_dims({Shape{8, 8, 4}}).set_bits(8, 8);
    layer->set_activation(ActivationType::ReLU);
    layer->vars().set("input_shift", testing::filled<uint8_t>(TensorType::uint8, 4, 0));
    layer->set_conv_block({1, 1, 8, 8, {}});
    layer->set_pool_block({});
    return layer;
}

TEST(ConvChecks, PoolingBlocks) {
    auto uneven = fake_conv({{"pool_type", 1}, {"pool_size", 2}});
    uneven->set_pool_block({2, 1, 4, 8, {}, false});
    EXPECT_EQ(check_conv2d_constraints(testing::v2_constraints(), *uneven).message,
              "Pooling stride x and y must be equal.");

    auto no_rows = fake_conv({{"pool_type", 2}, {"pool_size", -1}});
    no_rows->set_conv_block({1, 1, 8, 0, {}});
    EXPECT_EQ(check_conv2d_constraints(testing::v2_constraints(), *no_rows).message,
              "When using Global Average Pooling, the output of the convolution must have at least 1 rows "
              "(currently 0).");
}

// Huge dimensions are counted in 64 bits: refused, never wrapped into a fit.
TEST(ConvChecks, HugeInputIsRefusedNotWrapped) {
    auto layer = fake_conv({{"pool_type", 2}, {"pool_size", -1}});
    layer->set_input_dims({Shape{64, 2, 0x40000000u}});
    MappingStatus const status = check_conv2d_constraints(testing::v2_constraints(), *layer);
    EXPECT_NE(status.message.find("When using Global Average Pooling, spatial split is impossible."),
              std::string::npos)
        << status.message;
}

}  // namespace
}  // namespace nuvra::v2
