#include "backends/v1/format_fnp.h"

#include <algorithm>
#include <array>
#include <span>

#include "backends/v1/registers.h"
#include "backends/v1/sizes.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "program/format_support.h"

namespace nuvra::v1 {

namespace {

constexpr uint64_t max_planes = 8;  // a signed byte has no magnitude bit above 7

// The neuron record that opens the block of neuron n.
std::span<uint32_t> neuron_record(std::vector<uint32_t>& image, FnpLayout const& layout, uint64_t n) {
    return std::span(image).subspan(n * layout.block, NEURON_RECORD_WORDS);
}

}  // namespace

FnpError::FnpError(std::string const& message) : std::runtime_error("Backend hardware(FullyConnected): " + message) {}

WeightRange fnp_weight_range(int bits) {
    if (bits <= 1) return {0, 1};
    int64_t const half = int64_t{1} << std::min(bits - 1, 32);
    return {1 - half, half - 1};
}

std::string weights_out_of_range_message(int bits, int value) {
    return weights_out_of_range_message(fnp_weight_range(bits), value);
}

std::string weights_out_of_range_message(WeightRange const& range, int value) {
    return format("Weights contain values out of range ({}, {}) (e.g.: {}).", range.low, range.high, value);
}

std::string act_step_message(int32_t step) {
    return format("act_step should be between 0 and 65535. Receives act_step {}.", step / 16);
}

std::vector<uint32_t> format_fnp_ram(Tensor const& weights, Tensor const& thresholds, Tensor const& steps,
                                     int bits, bool activation) {
    FnpLayout const layout = fnp_layout(weights.dimensions(), bits);
    std::vector<uint32_t> image(narrow_words(layout.words(), "FNP memory"), 0u);
    WeightRange const range = fnp_weight_range(bits);
    uint64_t const planes = std::min(layout.planes, max_planes);
    uint64_t const half = layout.half_words();

    ByteElements<int8_t> const w(weights);
    for (uint64_t n = 0; n < layout.neurons; ++n) {
        uint64_t const base = n * layout.block + NEURON_RECORD_WORDS;
        for (uint64_t g = 0; g < layout.groups; ++g) {
            // The planes of 32 inputs: positive half, then negative half.
            std::array<std::array<uint32_t, max_planes>, 2> group{};
            uint64_t const end = std::min(layout.inputs, 32 * (g + 1));
            for (uint64_t i = 32 * g; i < end; ++i) {
                int const v = w.at(n, i, 0, 0);
                if (v < range.low || v > range.high) throw FnpError(weights_out_of_range_message(bits, v));
                uint32_t const magnitude = uint32_t(v < 0 ? -v : v);
                uint32_t const bit = uint32_t{1} << (i & 31);
                for (uint64_t k = 0; k < planes; ++k)
                    if ((magnitude >> k) & 1u) group[v < 0][k] |= bit;
            }
            for (uint64_t k = 0; k < planes; ++k) {
                image.at(base + g * layout.planes + k) = group[0][k];
                if (layout.halves == 2) image.at(base + half + g * layout.planes + k) = group[1][k];
            }
        }
    }

    if (!activation) {
        for (uint64_t n = 0; n < layout.neurons; ++n)
            set(neuron_record(image, layout, n), NEURON_THRESHOLD, NEURON_NO_THRESHOLD);
        return image;
    }
    // One value per neuron, element n of each in row-major order whatever the tensor's shape.
    require_flat_elements(thresholds, layout.neurons, "threshold");
    require_flat_elements(steps, layout.neurons, "act_step");
    for (uint64_t n = 0; n < layout.neurons; ++n) {
        std::span<uint32_t> const neuron = neuron_record(image, layout, n);
        int32_t const threshold = tensor_read<int32_t>(thresholds, n);
        set(neuron, NEURON_THRESHOLD, to_signed_field(threshold, NEURON_THRESHOLD.bits.width));
        int32_t const s = tensor_read<int32_t>(steps, n);
        if (uint32_t(s) > NEURON_MAX_ACT_STEP) throw FnpError(act_step_message(s));
        set(neuron, NEURON_ACT_STEP, uint32_t(s));
    }
    return image;
}

}  // namespace nuvra::v1
