// FNP checks of a Dense1D layer: one row per rule and message, on real engine layers.
#include <gtest/gtest.h>

#include "backends/v2/check_rules.h"
#include "support/v2_checks.h"
#include "support/v2_fake_layer.h"

namespace nuvra::v2 {
namespace {

using testing::InputSpec;
using testing::with;

// The layer before the Dense1D layer in the sequence.
enum class Previous {
    none,   // the Dense1D layer opens the sequence
    input,  // the model's input layer (no hardware component)
    cnp,    // a layer mapped on a CNP
};

struct FnpRow {
    char const* name;
    std::map<std::string, int> params;  // over a valid ReLU layer of 10 units with 8-bit weights
    InputSpec input;
    Previous previous;
    uint32_t shifts;            // elements of "input_shift"; 0 keeps the layer's own
    uint32_t input_sram_bytes;  // of the mesh: FNP input memory is a quarter of it in words
    char const* expected;
};

void PrintTo(FnpRow const& row, std::ostream* out) { *out << row.name; }

InputSpec const flat64{1, 1, 64, 8};    // 64 bytes: 16 words, padding kind 1
InputSpec const flat4096{1, 1, 4096, 8};  // too large for any layout

char const* const weights_message = "Weights bitwidth should be 4-bit or 8-bit.";

FnpRow const fnp_rows[] = {
    {"valid first layer", {}, flat64, Previous::none, 0, 65536, "Success."},
    {"valid after the input layer", {}, flat64, Previous::input, 0, 65536, "Success."},
    {"2-bit input", {}, {1, 1, 64, 2}, Previous::none, 0, 65536,
     "Input should be 4-bit or 8-bit. Input bits should be >= weights bits."},
    {"2-bit input hides memory", {}, {1, 1, 64, 2}, Previous::none, 2049, 65536,
     "Input should be 4-bit or 8-bit. Input bits should be >= weights bits."},
    {"2-bit activated output", {{"output_bits", 2}}, flat64, Previous::none, 0, 65536,
     "Output bits should be 4, 8 or > 8. With activation output bitwidth should be 4 or 8."},
    {"16-bit potentials", {{"activation", 0}, {"output_bits", 16}}, flat64, Previous::none, 0, 65536,
     "Without activation output bitwidth should be 8, 28 or 32."},
    {"28-bit potentials pass", {{"activation", 0}, {"output_bits", 28}}, flat64, Previous::none, 0, 65536, "Success."},
    {"32-bit potentials pass", {{"activation", 0}, {"output_bits", 32}}, flat64, Previous::none, 0, 65536, "Success."},
    {"32-bit activation", {{"output_bits", 32}}, flat64, Previous::none, 0, 65536,
     "With activation output bitwidth should be 4 or 8."},
    {"4-bit LUT output", {{"output_bits", 4}, {"activation", 2}}, flat64, Previous::none, 0, 65536,
     "4-bit activation is not supported with LUT."},
    {"4-bit weights, 8-bit output", {{"weights_bits", 4}}, flat64, Previous::none, 0, 65536,
     "With 4-bit weights, output must be 4-bit or 32-bit."},
    {"4-bit weights, 4-bit output pass", {{"weights_bits", 4}, {"output_bits", 4}}, flat64, Previous::none, 0, 65536,
     "Success."},
    {"4-bit weights, 32-bit output pass", {{"weights_bits", 4}, {"activation", 0}, {"output_bits", 32}}, flat64,
     Previous::none, 0, 65536, "Success."},
    {"2-bit weights", {{"weights_bits", 2}}, flat64, Previous::none, 0, 65536, weights_message},
    {"packed input after a CNP", {}, flat64, Previous::cnp, 0, 65536,
     "Input dimensions are too large to fit in a FNP. The maximum value is 2048."},
    {"input too large for any layout", {}, flat4096, Previous::none, 0, 65536,
     "Input dimensions are too large to fit in a FNP. The maximum value is 2048."},
    {"257-word input shift", {}, flat64, Previous::none, 2049, 65536,
     "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes)."},
    {"256-word input shift passes", {}, flat64, Previous::none, 2048, 65536, "Success."},
    {"input fills the FNP input memory", {}, flat64, Previous::none, 0, 64, "Success."},
    {"input one word too many", {}, flat64, Previous::none, 0, 60,
     "Input size exceeds memory. Maximum size is 60 bytes. (got 64 bytes)."},
};

class FnpChecks : public ::testing::TestWithParam<FnpRow> {};

TEST_P(FnpChecks, ReportEveryBrokenRule) {
    FnpRow const& row = GetParam();
    std::map<std::string, int> const params =
        with({{"units", 10}, {"activation", 1}, {"weights_bits", 8}, {"output_bits", 8}}, row.params);
    testing::BuiltLayer built = testing::build_after_input(LayerType::Dense1D, params, row.input, "dense");
    if (row.shifts) built.layer->variables().set("input_shift", testing::filled<uint8_t>(TensorType::uint8, row.shifts, 0));

    auto cnp = testing::V2FakeLayer::make("cnp", {ComponentKind::CNP});
    Layer const* previous = nullptr;
    if (row.previous == Previous::input) previous = built.model->get_layer(0).get();
    if (row.previous == Previous::cnp) previous = cnp.get();

    MappingStatus const status =
        check_fnp_constraints(testing::v2_constraints(row.input_sram_bytes), *built.layer, previous);
    EXPECT_EQ(status.message, row.expected);
    bool const success = std::string(row.expected) == "Success.";
    EXPECT_EQ(status.failed, !success);
    EXPECT_EQ(status.layer_name, success ? "" : "dense");
}

INSTANTIATE_TEST_SUITE_P(Rows, FnpChecks, ::testing::ValuesIn(fnp_rows), testing::RowName{});

}  // namespace
}  // namespace nuvra::v2
