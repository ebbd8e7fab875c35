// The second-generation per-neuron readers written the slow, obviously checked way: every value
// read through tensor_read (coordinates, type and buffer checked per element) and every field
// written through set_field. v2::format_input_shift and v2::format_fnp_ram must give exactly these
// words and the same refusals; bench/format_variables times them as the checked path. (The checked
// form of v2::format_cnp_tnp_variables is part of the back end: format_cnp_tnp_variables_checked.)
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "backends/v2/format_fnp.h"
#include "backends/v2/registers.h"
#include "backends/v2/sizes.h"
#include "engine/layer.h"
#include "engine/tensor.h"
#include "hw/register.h"
#include "program/format_support.h"
#include "support/reference_formats.h"

namespace nuvra::testing {

// v2::format_input_shift of a channel range, shift by shift.
inline std::vector<uint32_t> checked_input_shift(Dense const& input_shift, uint32_t first_channel, uint32_t count) {
    require_rank(input_shift, 1, "input_shift");
    uint64_t const n = count != 0 ? count : input_shift.size();
    require_dimension(input_shift, 0, uint64_t(first_channel) + n, "input_shift");
    WordImage image(2 * ((n + 7) / 8));
    for (uint64_t i = 0; i < n; ++i)
        image.set_byte(i, tensor_read<uint8_t>(input_shift, {uint32_t(first_channel + i)}));
    return std::move(image).release();
}

// v2::format_fnp_ram, neuron by neuron and value by value: the variables through tensor_read and
// set, the weights through checked_fnp_weights. The weight checks come after the first
// neuron's variables, through v2::format_fnp_weights of that neuron.
inline std::vector<uint32_t> checked_fnp_ram(Layer const& layer, bool flatten, v2::InputPadding padding,
                                             uint8_t bits, uint8_t weights_bits) {
    auto const variable = [&](char const* name) {
        return std::as_const(*layer.variables().get(name)).ensure_dense();
    };
    auto const weights = variable("weights");
    auto const bias = variable("bias");
    auto const bias_shift = variable("bias_shift");
    auto const output_scales = variable("output_scales");
    auto const output_shift = variable("output_shift");
    bool const has_max = layer.variables().has("max_value") || layer.variables().has("max_value_shift");
    auto const max_value = has_max ? variable("max_value") : nullptr;
    auto const max_value_shift = has_max ? variable("max_value_shift") : nullptr;

    Shape const s = v2::get_fnp_input_dim(layer, flatten);
    require_rank(*weights, 2, "weights");
    uint32_t const neurons = weights->dimensions()[1];
    for (auto const& [tensor, name] : {std::pair{bias, "bias"}, {bias_shift, "bias_shift"},
                                       {output_scales, "output_scales"}, {output_shift, "output_shift"},
                                       {max_value, "max_value"}, {max_value_shift, "max_value_shift"}})
        if (tensor) require_vector(*tensor, neurons, name);

    uint64_t const record_words = v2::get_neuron_word_size(s, padding, bits, weights_bits);
    WordImage image(v2::get_layer_word_size(*weights, weights_bits, s, padding, bits));
    for (uint32_t n = 0; n < neurons; ++n) {
        uint64_t const record = uint64_t(n) * record_words;
        image.set(record, v2::NEURON_BIAS, uint8_t(tensor_read<int8_t>(*bias, {n})));
        image.set(record, v2::NEURON_BIAS_SHIFT, tensor_read<uint8_t>(*bias_shift, {n}));
        if (has_max) {
            image.set(record, v2::NEURON_MAX_VALUE, tensor_read<uint8_t>(*max_value, {n}));
            image.set(record, v2::NEURON_MAX_VALUE_SHIFT, tensor_read<uint8_t>(*max_value_shift, {n}));
        }
        image.set(record, v2::NEURON_OUTPUT_SCALE, tensor_read<uint8_t>(*output_scales, {n}));
        image.set(record, v2::NEURON_OUTPUT_SHIFT, uint8_t(tensor_read<int8_t>(*output_shift, {n})));
        if (n == 0) (void)v2::format_fnp_weights(0, *weights, weights_bits, s, padding, bits);
        image.copy_in(record + 2, checked_fnp_weights(n, *weights, weights_bits, s, padding, bits));
    }
    return std::move(image).release();
}

}  // namespace nuvra::testing
