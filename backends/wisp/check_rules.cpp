#include "backends/wisp/check_rules.h"

#include <algorithm>
#include <bit>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "backends/wisp/chain.h"
#include "backends/wisp/registers.h"
#include "backends/wisp/sizes.h"
#include "engine/bitwidth.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "mapping/rule_table.h"
#include "mapping/split.h"

namespace nuvra::wisp {

namespace {

// ---- limits ----

constexpr uint32_t max_state_channels = 256;
constexpr uint32_t max_output_channels = 256;
constexpr uint32_t max_subsample = 4;
constexpr uint64_t max_input_row_words = 128;  // 512 bytes
constexpr uint32_t max_input_channels_8bit = 256;
constexpr uint32_t max_input_channels_wide = 128;
constexpr uint8_t relu_max_value = 127;
constexpr uint8_t relu_max_value_shift = 31;
constexpr uint32_t min_timesteps = 3;
constexpr uint32_t max_timesteps = 128;

MappingStatus failed_status(Layer const& layer, std::string text) { return MappingStatus(layer, std::move(text)); }

// A failure of the whole model rather than of one layer.
MappingStatus unnamed_failure(std::string text) {
    MappingStatus status;
    status.failed = true;
    status.message = std::move(text);
    return status;
}

// A parameter as the hardware reads it: unsigned, so a negative value is a huge one.
uint32_t unsigned_param(Layer const& layer, char const* key) {
    return static_cast<uint32_t>(layer.required_params().get(key));
}

// ---- one StatefulRecurrent layer ----

struct RecurrentCheck {
    Layer const& layer;
    uint32_t chain_state_channels;  // of the chain's first layer
};

using RecurrentRule = MappingStatus (*)(RecurrentCheck const&);

MappingStatus rule_new_state_shift_width(RecurrentCheck const& c) {
    return check_bitwidth(c.layer, 6, "new_state_shift", true);
}

MappingStatus rule_new_state_scale_width(RecurrentCheck const& c) {
    return check_bitwidth(c.layer, 8, "new_state_scale", true);
}

MappingStatus rule_outputs_shift_width(RecurrentCheck const& c) {
    return check_bitwidth(c.layer, 5, "internal_state_outputs_shift", true);
}

MappingStatus rule_input_row(RecurrentCheck const& c) { return check_tnpr_input_constraints(c.layer); }

MappingStatus rule_relu_max_values(RecurrentCheck const& c) { return check_tnpr_relu_max_values(c.layer); }

// The TNP-R applies no look-up table: a layer that asks for one would run without its activation.
MappingStatus rule_no_lut_activation(RecurrentCheck const& c) {
    if (!c.layer.has_activation_type(ActivationType::LUT)) return {};
    return failed_status(c.layer, "A LUT activation is not supported on TNP-R.");
}

MappingStatus rule_input_bits(RecurrentCheck const& c) {
    unsigned const bits = c.layer.input_bits();
    if (is_chain_head(c.layer)) {
        if (bits == 8 || bits == 16) return {};
        return failed_status(
            c.layer, format("For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( {}).", bits));
    }
    if (bits == 8) return {};
    return failed_status(c.layer,
                         format("For intermediate StatefulRecurrent layer, input must be 8-bit. got( {}).", bits));
}

MappingStatus rule_state_channel_limit(RecurrentCheck const& c) {
    if (unsigned_param(c.layer, "stateful_channels") <= max_state_channels) return {};
    return failed_status(c.layer, "State channels exceeds max limit of 256 for TNP-R.");
}

MappingStatus rule_state_channel_power_of_2(RecurrentCheck const& c) {
    uint32_t const channels = unsigned_param(c.layer, "stateful_channels");
    if (std::has_single_bit(channels)) return {};
    return failed_status(c.layer, format("State channels must be a power of 2. (got {}).", channels));
}

MappingStatus rule_state_channels_shared(RecurrentCheck const& c) {
    uint32_t const channels = unsigned_param(c.layer, "stateful_channels");
    if (channels == c.chain_state_channels) return {};
    return failed_status(c.layer, format("State channels must be the same for all stateful layers. Expected "
                                         "{}(got {}).",
                                         c.chain_state_channels, channels));
}

MappingStatus rule_output_channels(RecurrentCheck const& c) {
    if (unsigned_param(c.layer, "output_channels") <= max_output_channels) return {};
    return failed_status(c.layer, "Output channels exceeds max limit of 256 for TNP-R.");
}

MappingStatus rule_subsample(RecurrentCheck const& c) {
    uint32_t const ratio = unsigned_param(c.layer, "subsample");
    if (ratio <= max_subsample) return {};
    return failed_status(c.layer, format("Subsample ratio exceeds max limit of 4 for TNP-R. (got {}).", ratio));
}

MappingStatus rule_last_layer_outputs(RecurrentCheck const& c) {
    std::shared_ptr<Layer> const next = first_outbound_layer(c.layer);
    if (next && is_stateful_recurrent(*next)) return {};
    unsigned const bits = c.layer.output_bits();
    if (bits == 8 || bits == 28 || bits == 32) return {};
    return failed_status(c.layer, format("For the last StatefulRecurrent layer, outputs must be 8-bit, 28-bit or "
                                         "32-bit. (got {}).",
                                         bits));
}

constexpr RecurrentRule recurrent_rules[] = {
    rule_new_state_shift_width, rule_new_state_scale_width, rule_outputs_shift_width, rule_input_row,
    rule_relu_max_values,       rule_no_lut_activation,     rule_input_bits,          rule_state_channel_limit,
    rule_state_channel_power_of_2, rule_state_channels_shared, rule_output_channels,  rule_subsample,
    rule_last_layer_outputs,
};

MappingStatus check_recurrent_layer(RecurrentCheck const& check) {
    MappingStatus status;
    for (RecurrentRule const rule : recurrent_rules) status += rule(check);
    return status;
}

// ---- ReLU saturation ----

struct Mismatch {
    unsigned value;
    size_t index;
};

// The first element of the variable `name` (unsigned bytes) that is not `expected`.
std::optional<Mismatch> first_mismatch(Layer const& layer, char const* name, uint8_t expected) {
    if (!layer.variables().has(name)) return std::nullopt;
    std::shared_ptr<Tensor> const tensor = layer.variable(name);
    for (size_t i = 0; i < tensor->size(); ++i) {
        uint8_t const value = tensor_read<uint8_t>(*tensor, i);
        if (value != expected) return Mismatch{value, i};
    }
    return std::nullopt;
}

// ---- memories ----

struct MemoryRule {
    uint64_t (*need)(Layer const& first);
    uint32_t HardwareConstraints::*capacity;
    std::string (*message)(uint32_t capacity, uint64_t need);
};

constexpr MemoryRule memory_rules[] = {
    {get_tnpr_evsram_32b_size, &HardwareConstraints::evsram_32b_size,
     [](uint32_t capacity, uint64_t need) {
         return format("EVSRAM size exceeds max limit of {} 32-bit words for TNP-R (got {}).", capacity, need);
     }},
    {get_tnpr_stsram_32b_size, &HardwareConstraints::stsram_32b_size,
     [](uint32_t capacity, uint64_t need) {
         return format("STSRAM size exceeds max limit of {} 32-bit words for TNP-R (got {}).", capacity, need);
     }},
    {get_tnpr_fsram_64b_size, &HardwareConstraints::fsram_64b_size,
     [](uint32_t capacity, uint64_t need) {
         return format("FSRAM size exceeds max limit of {} 64-bit words for TNP-R (got {}).", capacity, need);
     }},
    {get_tnpr_tsram_51b_size, &HardwareConstraints::tsram_51b_size,
     [](uint32_t capacity, uint64_t need) {
         return format("TSRAM size exceeds max limit of {} 51-bit words for TNP-R (got {}).", capacity, need);
     }},
};

MappingStatus check_memories(HardwareConstraints const& constraints, Layer const& first) {
    uint64_t needs[std::size(memory_rules)] = {};
    try {
        for (size_t i = 0; i < std::size(memory_rules); ++i) needs[i] = memory_rules[i].need(first);
    } catch (std::runtime_error const& e) {
        // A chain that cannot be sized is reported once, as why, after what the walk found.
        return failed_status(first, e.what());
    } catch (std::logic_error const& e) {
        return failed_status(first, e.what());
    }
    MappingStatus status;
    for (size_t i = 0; i < std::size(memory_rules); ++i) {
        uint32_t const capacity = constraints.*memory_rules[i].capacity;
        if (needs[i] > capacity) status += failed_status(first, memory_rules[i].message(capacity, needs[i]));
    }
    return status;
}

// The last StatefulRecurrent layer before a post-processing layer: its first input when that is
// one, else its second input when that is one; null otherwise (another post-processing layer,
// also on the TNP-R, holds no output scale or shift).
std::shared_ptr<Layer> last_recurrent_input(Layer const& layer) {
    std::vector<std::shared_ptr<Layer>> const inbounds = layer.inbound_layers();
    for (size_t i = 0; i < std::min<size_t>(inbounds.size(), 2); ++i)
        if (inbounds[i] && is_stateful_recurrent(*inbounds[i])) return inbounds[i];
    return nullptr;
}

}  // namespace

MappingStatus check_tnpr_input_constraints(Layer const& layer) {
    uint64_t const channels = first_input_dims(layer).channels;
    uint64_t const bits = layer.input_bits();
    if (!is_chain_head(layer)) return {};

    MappingStatus status;
    uint64_t const row_bits = bits * channels;
    uint64_t const words = words_for_bits(row_bits, 32);
    if (!std::has_single_bit(words))
        status += failed_status(layer, format("The packed input row (channels x input bits) must occupy a power-of-2 "
                                              "number of 32-bit words (got {} words for {} channels at {}-bit).",
                                              words, channels, bits));
    if (words > 1) {
        uint64_t const padded = std::bit_ceil(words);
        if (padded > max_input_row_words)
            status += failed_status(layer, format("The maximum input row size (input_channels * input_bits, padded "
                                                  "to a power-of-2 number of 32-bit words) is {} bytes (got {}).",
                                                  4 * max_input_row_words, 4 * padded));
    }
    uint64_t const max_channels = bits == 8 ? max_input_channels_8bit : max_input_channels_wide;
    if (channels > max_channels)
        status += failed_status(
            layer, format("The maximum input channels for {}-bit input is {} (got {}).", bits, max_channels, channels));
    return status;
}

MappingStatus check_tnpr_relu_max_values(Layer const& layer) {
    if (!layer.has_activation_type(ActivationType::ReLU)) return {};
    MappingStatus status;
    if (auto const bad = first_mismatch(layer, "max_value", relu_max_value))
        status += failed_status(layer, format("When activation is ReLU, all max_value elements must be {} (got {} at "
                                              "index {}).",
                                              relu_max_value, bad->value, bad->index));
    if (auto const bad = first_mismatch(layer, "max_value_shift", relu_max_value_shift))
        status += failed_status(layer, format("When activation is ReLU, all max_value_shift elements must be {} (got "
                                              "{} at index {}).",
                                              relu_max_value_shift, bad->value, bad->index));
    return status;
}

MappingStatus check_post_processing_layer(Layer const& layer) {
    LayerType const type = layer.type();
    if (type == LayerType::Dequantizer) return {};
    MappingStatus status;
    if (type != LayerType::WispPostProcessing)
        status += failed_status(layer, "Only a Dequantizer or a WispPostProcessing is allowed a the end of a serie of "
                                       "StatefulRecurrent layers.");
    InputDims const input = first_input_dims(layer);
    if (input.channels != 1)
        status += failed_status(
            layer, format("WispPostProcessing layer input must have a single channel (got {}).", input.channels));
    if (input.height < min_timesteps)
        status += failed_status(
            layer, format("Timesteps dimension must be at least {} (got {}).", min_timesteps, input.height));
    else if (input.height > max_timesteps)
        status += failed_status(
            layer, format("Timesteps dimension must be at most {} (got {}).", max_timesteps, input.height));

    std::shared_ptr<Layer> const last = last_recurrent_input(layer);
    if (!last) return status += failed_status(layer, post_processing_without_chain_message);
    unsigned const scale = tensor_read<uint8_t>(*last->variable("output_scales"), size_t{0});
    if (scale != 1)
        status += failed_status(layer, format("Output scales must be 1 for the last StatefulRecurrent layer before a "
                                              "WispPostProcessing layer (got {}).",
                                              scale));
    int const shift = tensor_read<int8_t>(*last->variable("output_shift"), size_t{0});
    if (shift != 0)
        status += failed_status(layer, format("Output shift must be 0 for the last StatefulRecurrent layer before a "
                                              "WispPostProcessing layer (got {}).",
                                              shift));
    return status;
}

bool closes_a_chain(Layer const& layer) {
    for (std::shared_ptr<Layer> const& input : layer.inbound_layers())
        if (input && is_stateful_recurrent(*input) && first_outbound_layer(*input).get() == &layer) return true;
    return false;
}

MappingStatus check_tnp_r_constraints(HardwareConstraints const& constraints, Layer const& first) {
    // Every layer after the first along first outbound layers, to the model's end (past the layer
    // that closes the chain, which the chain's rules refuse when anything follows it), is judged on
    // its own values before those rules read them, and refused in its own name and words, as its
    // run refuses it.
    for (std::shared_ptr<Layer> layer = first_outbound_layer(first); layer; layer = first_outbound_layer(*layer)) {
        MappingStatus own = variables_status(*layer);
        if (own.failed) return own;
    }
    RecurrentCheck const head{first, unsigned_param(first, "stateful_channels")};
    MappingStatus status;
    uint64_t tnp_r_layers = 0;
    std::shared_ptr<Layer> held;  // keeps the current layer alive while it is checked
    for (Layer const* layer = &first; layer != nullptr && !status.failed; layer = held.get()) {
        if (layer->is_target_component(ComponentKind::TNP_R)) ++tnp_r_layers;
        if (is_stateful_recurrent(*layer)) {
            status += check_recurrent_layer({*layer, head.chain_state_channels});
        } else {
            status += check_post_processing_layer(*layer);
            if (!layer->outbound_layers().empty())
                status += failed_status(*layer, "Dequantizer/WispPostProcessing must be the last layer.");
        }
        held = first_outbound_layer(*layer);
    }
    if (tnp_r_layers > max_chain_layers)
        status += unnamed_failure(
            format("A model cannot have more that {} StatefulRecurrent layers.", max_chain_layers));
    status += check_memories(constraints, first);
    return status;
}

}  // namespace nuvra::wisp
