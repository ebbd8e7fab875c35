// Times the per-neuron readers against the value-by-value forms they must match, in the same run:
// the CNP / TNP-B variables of 32 to 1024 filters (every variable present, as a MobileNet-like
// network's Conv2D layers hold them) against v2::format_cnp_tnp_variables_checked; the FNP memory
// of a Dense1D of 1000 units over 1024 inputs (a classifier head) against checked_fnp_ram; and
// evaluate_bitwidth of 4.2 M int8 weights and of a 1024-filter variable against
// checked_evaluate_bitwidth (tests/cpp/support/reference_variables.h, reference_bitwidth.h). Each line gives both best
// times and checked / new, the factor the new path saves. Not a test: run it on a Release build.
//   format_variables [repeats]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backends/v2/format_fnp.h"
#include "backends/v2/format_variables.h"
#include "engine/bitwidth.h"
#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "support/reference_bitwidth.h"
#include "support/reference_variables.h"
#include "timing.h"

namespace {

using namespace nuvra;

using bench::best_us;

// Times `fast` and `checked`, which must give the same result, and prints both and their ratio.
template <class Result>
void report(std::string const& name, int repeats, std::function<Result()> const& fast,
            std::function<Result()> const& checked) {
    Result fast_result{};
    Result checked_result{};
    double const fast_us = best_us(repeats, [&] { fast_result = fast(); });
    double const checked_us = best_us(std::max(1, repeats / 4), [&] { checked_result = checked(); });
    std::printf("%-50s new %10.2f us  checked %10.2f us  checked / new %7.1f%s\n", name.c_str(), fast_us, checked_us,
                checked_us / fast_us, fast_result == checked_result ? "" : "  RESULTS DIFFER");
}

// `count` bytes cycling through low .. high, as a one-dimensional tensor of `type`.
std::shared_ptr<Dense> vector_of(TensorType type, uint32_t count, int low, int high, int step) {
    std::vector<uint8_t> bytes(count);
    int const span = high - low + 1;
    for (uint32_t i = 0; i < count; ++i) bytes[i] = uint8_t(low + int(i) * step % span);
    return Dense::copy(bytes.data(), bytes.size(), type, Shape{count}, Layout::c_order);
}

std::shared_ptr<Layer> make_layer(LayerType type, std::map<std::string, int> const& entries, char const* name) {
    auto const params = LayerParams::create(type, entries);
    return Layer::create(params.get(), name);
}

}  // namespace

int main(int argc, char** argv) {
    int const repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 40;

    // Per-neuron variables in range: shifts of 5 bits, output shifts of 6 signed bits.
    uint32_t constexpr most_filters = 1024;
    auto const max_value = vector_of(TensorType::uint8, most_filters, 0, 255, 7);
    auto const max_value_shift = vector_of(TensorType::uint8, most_filters, 0, 31, 3);
    auto const activation_shift = vector_of(TensorType::int8, most_filters, -32, 31, 5);
    auto const activation_scales = vector_of(TensorType::uint8, most_filters, 0, 255, 11);
    auto const output_shift = vector_of(TensorType::int8, most_filters, -32, 31, 13);
    auto const bias_shift = vector_of(TensorType::uint8, most_filters, 0, 31, 17);
    auto const bias = vector_of(TensorType::int8, most_filters, -128, 127, 19);
    auto const output_scales = vector_of(TensorType::uint8, most_filters, 0, 255, 23);
    for (uint32_t filters = 32; filters <= most_filters; filters *= 2) {
        auto const run = [&](auto format) {
            return format(max_value.get(), max_value_shift.get(), activation_shift.get(), activation_scales.get(),
                          output_shift.get(), bias_shift.get(), bias.get(), output_scales.get(), 0, filters);
        };
        report<std::vector<uint32_t>>(
            "format_cnp_tnp_variables, " + std::to_string(filters) + " filters", repeats * 10,
            [&] { return run(v2::format_cnp_tnp_variables); },
            [&] { return run(v2::format_cnp_tnp_variables_checked); });
    }

    // A Dense1D of 1000 units behind 1024 inputs, the whole FNP memory: packed (the input from
    // a layer on neither a CNP nor the HRC) and row-byte padded (from a CNP), 8-bit weights.
    auto model = Model::create();
    model->add(make_layer(LayerType::InputData, {{"input_width", 1}, {"input_height", 1}, {"input_channels", 1024}},
                          "input"));
    auto const dense = make_layer(LayerType::Dense1D, {{"units", 1000}, {"weights_bits", 8}}, "classifier");
    model->add(dense);
    std::vector<int8_t> weights(1024 * 1000);
    for (size_t i = 0; i < weights.size(); ++i) weights[i] = int8_t(int(i * 37 % 255) - 127);
    dense->variables().set("weights", Dense::copy(weights.data(), weights.size(), TensorType::int8,
                                                  Shape{1024, 1000}, Layout::c_order));
    dense->variables().set("bias", vector_of(TensorType::int8, 1000, -128, 127, 19));
    dense->variables().set("bias_shift", vector_of(TensorType::uint8, 1000, 0, 31, 17));
    dense->variables().set("output_scales", vector_of(TensorType::uint8, 1000, 0, 255, 23));
    dense->variables().set("output_shift", vector_of(TensorType::int8, 1000, -32, 31, 13));
    for (auto const& [padding, label] : {std::pair{v2::InputPadding::Packed, "packed"},
                                         std::pair{v2::InputPadding::RowBytePadded, "row-byte padded"}}) {
        report<std::vector<uint32_t>>(
            std::string("format_fnp_ram, Dense1D 1024 -> 1000, ") + label, repeats,
            [&, padding = padding] { return v2::format_fnp_ram(*dense, false, padding, 8, 8); },
            [&, padding = padding] { return testing::checked_fnp_ram(*dense, false, padding, 8, 8); });
    }

    // The weights of the MobileNet-like network, 4.2 M int8 values, in one tensor.
    uint32_t constexpr weight_count = 4200000;
    std::vector<int8_t> all_weights(weight_count);
    for (uint32_t i = 0; i < weight_count; ++i) all_weights[i] = int8_t(int(i * 97 % 255) - 127);
    auto const network = Dense::copy(all_weights.data(), all_weights.size(), TensorType::int8,
                                     Shape{1, 1, 1000, weight_count / 1000}, Layout::c_order);
    report<int>(
        "evaluate_bitwidth, 4.2 M int8 weights", std::max(1, repeats / 4),
        [&] { return evaluate_bitwidth(*network); }, [&] { return testing::checked_evaluate_bitwidth(*network); });
    report<int>(
        "evaluate_bitwidth, 1024 uint8 (a per-filter variable)", repeats * 10,
        [&] { return evaluate_bitwidth(*output_scales); },
        [&] { return testing::checked_evaluate_bitwidth(*output_scales); });
    return 0;
}
