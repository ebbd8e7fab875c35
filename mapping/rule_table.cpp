#include "mapping/rule_table.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <stdexcept>
#include <string>

#include "engine/inference.h"
#include "engine/layers.h"
#include "hw/format.h"

namespace nuvra {

// A layer whose variables do not fit it is refused before anything reads them; so is a Quantizer
// whose scales hold a NaN, as the software run refuses it (in its words): a Quantizer first in the
// model puts its scales into the program's header, where the driver reads them to quantize every
// sample of a channel, and no scale means anything for a NaN.
MappingStatus variables_status(Layer const& layer) {
    std::string misfit = variable_misfit(layer);
    if (!misfit.empty()) {
        misfit.front() = static_cast<char>(std::toupper(static_cast<unsigned char>(misfit.front())));
        return MappingStatus(layer, misfit + ".");
    }
    std::string nan = nan_scales_refusal(layer);
    if (!nan.empty()) return MappingStatus(layer, std::move(nan));
    return MappingStatus::success();
}

MappingStatus max_input_width_failure(Layer const& layer, uint64_t max, uint64_t got) {
    return {layer, format("The maximum input width is {} (got {}).", max, got)};
}

MappingStatus max_input_height_failure(Layer const& layer, uint64_t max, uint64_t got) {
    return {layer, format("The maximum input height is {} (got {}).", max, got)};
}

MappingStatus max_input_channels_failure(Layer const& layer, uint64_t max, uint64_t got) {
    return {layer, format("The maximum input channel value is {} (got {}).", max, got)};
}

MappingStatus max_filters_failure(Layer const& layer, int64_t max, int64_t got) {
    return {layer, format("The maximum number of filters is {} (got {}).", max, got)};
}

MappingStatus fnp_input_too_large_failure(Layer const& layer, uint64_t max) {
    return {layer, format("Input dimensions are too large to fit in a FNP. The maximum value is {}.", max)};
}

MappingStatus fnp_input_memory_failure(Layer const& layer, uint64_t capacity_words, uint64_t words) {
    // Four bytes a 32-bit word.
    return {layer, format("Input size exceeds memory. Maximum size is {} bytes. (got {} bytes).",
                          capacity_words * 4, words * 4)};
}

MappingStatus np_input_width_failure(Layer const& layer, uint64_t width, uint64_t max) {
    return {layer, format("The input length {} exceeds the maximum value for NP input width: {}.", width, max)};
}

namespace {

struct SharedSequenceCheck {
    LayerList::const_iterator first;
    LayerList::const_iterator last;
};

using SharedSequenceRule = MappingStatus (*)(SharedSequenceCheck const&);

MappingStatus rule_outputs_reach_a_later_layer(SharedSequenceCheck const& check) {
    // The last layer's output is the model's.
    for (auto it = check.first; it + 1 < check.last; ++it)
        if ((*it)->outbound_count() == 0) return {**it, dead_end_output_message};
    return {};
}

constexpr SharedSequenceRule shared_sequence_rules[] = {
    rule_outputs_reach_a_later_layer,
};

}  // namespace

MappingStatus check_shared_sequence_rules(LayerList::const_iterator first, LayerList::const_iterator last) {
    if (first == last) return MappingStatus::success();
    return first_failure(SharedSequenceCheck{first, last}, std::span<SharedSequenceRule const>(shared_sequence_rules));
}

namespace {

bool is_computed(std::shared_ptr<Layer> const& layer) { return !layer->is_target_component(ComponentKind::None); }

// The first layer of `type` in [first, last) with a computed layer before it, and with one after
// it too when `computed_after` holds, refused with `message` in its name; success when there is
// none.
MappingStatus after_computed_layer(LayerList::const_iterator first, LayerList::const_iterator last, LayerType type,
                                   bool computed_after, char const* message) {
    auto const first_computed = std::find_if(first, last, is_computed);
    if (first_computed == last) return {};
    auto const end = computed_after ? std::find_if(std::make_reverse_iterator(last), std::make_reverse_iterator(first),
                                                   is_computed).base() - 1
                                    : last;
    auto const found = std::find_if(first_computed, end,
                                    [type](std::shared_ptr<Layer> const& layer) { return layer->type() == type; });
    if (found == end) return {};
    return {**found, message};
}

}  // namespace

MappingStatus quantizer_between_computed_layers(LayerList::const_iterator first, LayerList::const_iterator last) {
    return after_computed_layer(first, last, LayerType::Quantizer, true, quantizer_not_first_message);
}

MappingStatus dequantizer_between_computed_layers(LayerList::const_iterator first, LayerList::const_iterator last) {
    return after_computed_layer(first, last, LayerType::Dequantizer, true, dequantizer_not_at_end_message);
}

MappingStatus quantizer_after_computed_layer(LayerList::const_iterator first, LayerList::const_iterator last) {
    return after_computed_layer(first, last, LayerType::Quantizer, false, quantizer_not_first_message);
}

void refuse_unrecorded_kind(LayerType type) {
    throw std::runtime_error(format("Unsupported layer type: {}.", static_cast<int32_t>(type)));
}

MappingStatus gather_failures(LayerCheck const& check, std::span<RuleEntry const> rules) {
    MappingStatus result = MappingStatus::success();
    for (RuleEntry const& entry : rules) {
        switch (entry.gate) {
        case RuleGate::always:
            result += entry.rule(check);
            break;
        case RuleGate::skip_if_failed:
            if (!result.failed) result += entry.rule(check);
            break;
        case RuleGate::stop_if_failed:
            if (result.failed) return result;
            result += entry.rule(check);
            break;
        case RuleGate::exclusive: {
            MappingStatus status = entry.rule(check);
            if (status.failed) return status;
            break;
        }
        }
    }
    return result;
}

}  // namespace nuvra
