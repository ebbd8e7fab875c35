// InputConv2D checks on the HRC: one row per rule and message, on real engine layers; weights the
// engine cannot hold (none at all) on the layer double.
#include <gtest/gtest.h>

#include "backends/v2/check_rules.h"
#include "support/v2_checks.h"
#include "support/v2_fake_layer.h"

namespace nuvra::v2 {
namespace {

using testing::InputSpec;
using testing::with;

enum class Weights {
    first_nonzero,  // one non-zero weight, the first
    last_nonzero,   // one non-zero weight, the last
    zeros,          // every weight 0
};

struct InputConvRow {
    char const* name;
    std::map<std::string, int> params;  // over a valid ReLU layer, kernel 3, 8 filters
    InputSpec input;
    Weights weights;
    char const* expected;
};

void PrintTo(InputConvRow const& row, std::ostream* out) { *out << row.name; }

InputSpec const rgb{32, 32, 3, 8};
constexpr Weights nonzero = Weights::first_nonzero;

#define POOLING_MESSAGE(pair)                                                                     \
    "Unsupported max-pooling size, max-pooling stride combinaison. The only supported combinaison of " \
    "(Pool_size, Pool_stride) are :(2, 2) or (3, 2). Received " pair "."

InputConvRow const input_conv_rows[] = {
    {"valid", {}, rgb, nonzero, "Success."},
    {"kernel 6", {{"kernel_size", 6}}, rgb, nonzero,
     "Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. 6 given."},
    {"kernel 6 stride 7", {{"kernel_size", 6}, {"kernel_stride", 7}}, rgb, nonzero,
     "Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. 6 given. "
     "For a kernel size 6, the kernel stride must be smaller than 6."},
    {"kernel 3 stride 3", {{"kernel_stride", 3}}, rgb, nonzero, "Success."},
    {"kernel 3 stride 4", {{"kernel_stride", 4}}, rgb, nonzero,
     "For a kernel size 3, the kernel stride must be smaller than 3."},
    {"kernel 7 stride 6", {{"kernel_size", 7}, {"kernel_stride", 6}}, rgb, nonzero, "Success."},
    {"kernel 7 stride 7", {{"kernel_size", 7}, {"kernel_stride", 7}}, rgb, nonzero,
     "For a kernel size 7, the kernel stride must be smaller than 6."},
    {"max pooling 2, 2", {{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}}, rgb, nonzero, "Success."},
    {"max pooling 3, 2", {{"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 2}}, rgb, nonzero, "Success."},
    {"max pooling 3, 3", {{"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 3}}, rgb, nonzero,
     POOLING_MESSAGE("(3, 3)")},
    {"max pooling 2, 1", {{"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 1}}, rgb, nonzero,
     POOLING_MESSAGE("(2, 1)")},
    {"no pooling ignores 3, 3", {{"pool_size", 3}, {"pool_stride", 3}}, rgb, nonzero, "Success."},
    {"input 4 x 10", {}, {4, 10, 3, 8}, nonzero,
     "Unsupported input size. Received: 4 as first dimension.\n The first dimension should be >= 5."},
    {"input 5 x 385", {}, {5, 385, 3, 8}, nonzero,
     "Unsupported input size. Received: 385 as second dimension.\n The second dimension should be between 5 and "
     "384."},
    {"input 5 x 4", {}, {5, 4, 3, 8}, nonzero,
     "Unsupported input size. Received: 4 as second dimension.\n The second dimension should be between 5 and 384."},
    {"input 5 x 384", {}, {5, 384, 3, 8}, nonzero, "Success."},
    {"input 5 x 5", {}, {5, 5, 3, 8}, nonzero, "Success."},
    {"no activation", {{"activation", 0}, {"output_bits", 2}}, rgb, nonzero,
     "The first convolutional layer of a model can only be mapped if its activations are enabled."},
    {"2-bit activations", {{"output_bits", 2}}, rgb, nonzero, "Output should be 4-bit or 8-bit. 2 given."},
    {"LUT, 4 bits, max pooling", {{"activation", 2}, {"output_bits", 4}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}},
     rgb, nonzero, "4-bit activation is not supported with LUT. Max pooling is not supported with activation LUT."},
    {"LUT, 8 bits, no pooling", {{"activation", 2}}, rgb, nonzero, "Success."},
    // Without filters the engine creates no weights: nothing non-zero either.
    {"0 filters", {{"filters", 0}}, rgb, nonzero,
     "The filters number should be set between 1 and 512. 0 given. All weights cannot be zeroes."},
    {"1 filter", {{"filters", 1}}, rgb, nonzero, "Success."},
    {"512 filters", {{"filters", 512}}, rgb, nonzero, "Success."},
    {"513 filters", {{"filters", 513}}, rgb, nonzero, "The filters number should be set between 1 and 512. 513 given."},
    {"all weights zero", {}, rgb, Weights::zeros, "All weights cannot be zeroes."},
    {"last weight non-zero", {}, rgb, Weights::last_nonzero, "Success."},
    {"4-bit weights", {{"weights_bits", 4}}, rgb, nonzero, "Only 8-bit weigths are supported."},
    {"SameUpper kernel 4 stride 1", {{"padding", 2}, {"kernel_size", 4}}, rgb, nonzero,
     "With SameUpper padding only kernels 3, 5, 7 are supported. With SameUpper padding only stride 2 is supported."},
    {"SameUpper 4-bit activations", {{"padding", 2}, {"kernel_stride", 2}, {"output_bits", 4}}, rgb, nonzero,
     "With SameUpper padding only 8-bit activations are supported."},
    {"SameUpper kernel 3 stride 2", {{"padding", 2}, {"kernel_stride", 2}}, rgb, nonzero, "Success."},
};

class InputConvChecks : public ::testing::TestWithParam<InputConvRow> {};

TEST_P(InputConvChecks, ReportEveryBrokenRule) {
    InputConvRow const& row = GetParam();
    std::map<std::string, int> const params = with({{"kernel_size", 3}, {"filters", 8}, {"activation", 1}}, row.params);
    testing::BuiltLayer built = testing::build_after_input(LayerType::InputConv2D, params, row.input, "hrc");
    if (built.layer->variables().has("weights")) {
        std::shared_ptr<Tensor> const weights = built.layer->variables().get("weights");
        if (row.weights == Weights::first_nonzero) tensor_write<int8_t>(*weights, size_t{0}, 1);
        if (row.weights == Weights::last_nonzero) tensor_write<int8_t>(*weights, weights->size() - 1, -1);
    }
    MappingStatus const status = check_input_conv2d_constraints(*built.layer);
    EXPECT_EQ(status.message, row.expected);
    bool const success = std::string(row.expected) == "Success.";
    EXPECT_EQ(status.failed, !success);
    EXPECT_EQ(status.layer_name, success ? "" : "hrc");
}

INSTANTIATE_TEST_SUITE_P(Rows, InputConvChecks, ::testing::ValuesIn(input_conv_rows), testing::RowName{});

// A "weights" tensor without any element is refused like one of zeros, never read out of range.
TEST(InputConvChecks, EmptyWeightsAreRefused) {
    auto layer = testing::V2FakeLayer::make("hrc", {ComponentKind::HRC});
    layer->set_params(LayerType::InputConv2D, {{"kernel_size", 3}, {"kernel_stride", 1}, {"filters", 8},
                                               {"activation", 1}, {"output_bits", 8}, {"weights_bits", 8},
                                               {"pool_type", 0}, {"padding", 0}});
    layer->set_input_dims({Shape{32, 32, 3}}).set_bits(8, 8);
    layer->set_activation(ActivationType::ReLU);
    layer->vars().set_any("weights", std::make_shared<testing::EmptyTensor>(TensorType::int8));
    MappingStatus const status = check_input_conv2d_constraints(*layer);
    EXPECT_TRUE(status.failed);
    EXPECT_EQ(status.message, "All weights cannot be zeroes.");
}

// Weights of an element type other than the signed bytes fail as the typed read says.
TEST(InputConvChecks, WeightsOfAnotherTypePanic) {
    testing::BuiltLayer built = testing::build_after_input(
        LayerType::InputConv2D, {{"kernel_size", 3}, {"filters", 8}, {"activation", 1}}, rgb, "hrc");
    built.layer->variables().set("weights", testing::filled<int32_t>(TensorType::int32, 4, 1));
    try {
        check_input_conv2d_constraints(*built.layer);
        FAIL() << "no exception";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Wrong requested type int8 for a tensor of type int32");
    }
}

}  // namespace
}  // namespace nuvra::v2
