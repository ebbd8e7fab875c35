// TNP-B checks of the buffered temporal convolutions: one row per rule and message, on real engine
// layers; FIFO sizes the engine refuses to build on the layer double.
#include <gtest/gtest.h>

#include "backends/v2/check_rules.h"
#include "backends/v2/check_sizes.h"
#include "support/v2_checks.h"
#include "support/v2_fake_layer.h"

namespace nuvra::v2 {
namespace {

using testing::InputSpec;
using testing::with;

struct TnpBRow {
    char const* name;
    LayerType kind;
    std::map<std::string, int> params;  // over fifo_size 3 (and 8 filters for BufferTempConv)
    InputSpec input;
    uint32_t shifts;  // elements of "input_shift"; 0 keeps the layer's own (one per channel)
    char const* expected;
};

void PrintTo(TnpBRow const& row, std::ostream* out) { *out << row.name; }

constexpr LayerType btc = LayerType::BufferTempConv;
constexpr LayerType dwbtc = LayerType::DepthwiseBufferTempConv;

InputSpec const frame{8, 8, 16, 8};

TnpBRow const tnp_b_rows[] = {
    {"valid", btc, {}, frame, 0, "Success."},
    {"valid depthwise", dwbtc, {}, frame, 0, "Success."},
    {"4-bit input and output", btc, {{"output_bits", 4}}, {8, 8, 16, 4}, 0,
     "Input should be 8-bit. Output should be 8-bit."},
    {"width 4096", dwbtc, {}, {4096, 1, 1, 8}, 0, "Success."},
    {"width and height 4097", dwbtc, {}, {4097, 4097, 1, 8}, 0,
     "The maximum input width is 4096 (got 4097). The maximum input height is 4096 (got 4097)."},
    {"2049 channels without filters", dwbtc, {}, {1, 1, 2049, 8}, 8,
     "The maximum input channel value is 2048 (got 2049). The maximum number of filters is 2048 (got 2049)."},
    {"4-bit weights", btc, {{"weights_bits", 4}}, frame, 0, "Only 8-bit weights are supported."},
    {"2048 filters", btc, {{"filters", 2048}}, frame, 0, "Success."},
    {"2049 filters", btc, {{"filters", 2049}}, frame, 0, "The maximum number of filters is 2048 (got 2049)."},
    // 8-bit rows of 4092 channels take 1023 words, of 4093 channels 1024.
    {"skip DMA row of 1023 words", dwbtc, {}, {1, 1, 4092, 8}, 8,
     "The maximum input channel value is 2048 (got 4092). The maximum number of filters is 2048 (got 4092)."},
    {"skip DMA row of 1024 words", dwbtc, {}, {1, 1, 4093, 8}, 8,
     "The maximum input channel value is 2048 (got 4093). The maximum number of filters is 2048 (got 4093). "
     "The skip DMA horizontal dimension must be smaller than 1024 (got 1024)."},
    {"2048 input shifts", btc, {}, frame, 2048, "Success."},
    {"2049 input shifts", btc, {}, frame, 2049, "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes)."},
};

MappingStatus run_both(LayerType kind, Layer const& layer) {
    HardwareConstraints const constraints = testing::v2_constraints();
    MappingStatus const standard = check_buffer_temp_conv_constraints(constraints, layer);
    MappingStatus const depthwise = check_depthwise_buffer_temp_conv_constraints(constraints, layer);
    MappingStatus const shared = check_tnp_b_constraints(constraints, layer);
    // Both kinds obey the same rules.
    EXPECT_EQ(standard, shared);
    EXPECT_EQ(depthwise, shared);
    return shared;
}

class TnpBChecks : public ::testing::TestWithParam<TnpBRow> {};

TEST_P(TnpBChecks, ReportEveryBrokenRule) {
    TnpBRow const& row = GetParam();
    std::map<std::string, int> base{{"fifo_size", 3}};
    if (row.kind == btc) base["filters"] = 8;
    testing::BuiltLayer built = testing::build_after_input(row.kind, with(base, row.params), row.input, "tnp");
    if (row.shifts) built.layer->variables().set("input_shift", testing::filled<uint8_t>(TensorType::uint8, row.shifts, 0));
    MappingStatus const status = run_both(row.kind, *built.layer);
    EXPECT_EQ(status.message, row.expected);
    bool const success = std::string(row.expected) == "Success.";
    EXPECT_EQ(status.failed, !success);
    EXPECT_EQ(status.layer_name, success ? "" : "tnp");
}

INSTANTIATE_TEST_SUITE_P(Rows, TnpBChecks, ::testing::ValuesIn(tnp_b_rows), testing::RowName{});

// The skip DMAs count fifo_size + 1 frames in 8 bits: 254 is the largest FIFO; a negative one, or
// 255 (which would wrap the delay to 0), is refused.
TEST(TnpBChecks, FifoSizeFitsTheEightBitDelay) {
    struct Row {
        int fifo;
        char const* expected;
    } const rows[] = {
        {0, "Success."},
        {254, "Success."},
        {255, "The FIFO size must be between 0 and 254 (got 255)."},
        {-1, "The FIFO size must be between 0 and 254 (got -1)."},
    };
    for (Row const& row : rows) {
        auto layer = testing::V2FakeLayer::make("tnp", {ComponentKind::TNP_B});
        layer->set_params(btc, {{"fifo_size", row.fifo}, {"filters", 8}, {"weights_bits", 8}});
        layer->set_input_dims({Shape{8, 8, 16}}).set_bits(8, 8);
        layer->vars().set("input_shift", testing::filled<uint8_t>(TensorType::uint8, 16, 0));
        EXPECT_EQ(run_both(btc, *layer).message, row.expected) << row.fifo;
    }
}

}  // namespace
}  // namespace nuvra::v2
