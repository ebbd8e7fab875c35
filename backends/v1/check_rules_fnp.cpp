// FullyConnected layers on first-generation FNPs: the input, bit widths and input memory, then the
// weight values and, for a learning layer, the connections of each neuron.
#include <cmath>

#include "backends/v1/check_rules.h"
#include "backends/v1/format_fnp.h"
#include "program/format_support.h"

namespace nuvra::v1 {

namespace {

constexpr uint64_t max_fnp_inputs = 81920;
constexpr uint64_t max_fnp_inputs_vexa_v2 = 57334;
constexpr int32_t max_weight_bits = 4;

int32_t p(LayerCheck const& check, char const* key) { return param(check.layer, key); }

// ---- Input, bit widths and input memory ----

MappingStatus rule_fnp_input_bits(LayerCheck const& check) { return check_input_bits_1_2_or_4(check.layer); }

MappingStatus rule_fnp_input_count(LayerCheck const& check) {
    Shape const input = check.layer.first_input();
    uint64_t const limit = is_vexa_v2(check.version) ? max_fnp_inputs_vexa_v2 : max_fnp_inputs;
    if (input.rank() > 0 && input.product() > limit) return fnp_input_too_large_failure(check.layer, limit);
    return {};
}

// A 1 x 1 x C input is a flat vector: only its element count matters.
MappingStatus rule_fnp_input_dimensions(LayerCheck const& check) {
    InputDims const input = first_input_dims(check.layer);
    if (input.width == 1 && input.height == 1) return {};
    return check_max_input_dimensions(check.layer, input);
}

MappingStatus rule_fnp_weight_bits(LayerCheck const& check) {
    int32_t const bits = p(check, "weights_bits");
    if (bits < 1 || bits > max_weight_bits) return {check.layer, "Weight bits should be between 1 and 4 inclusive."};
    return {};
}

MappingStatus rule_fnp_act_bits(LayerCheck const& check) { return check_act_bits_1_2_or_4(check.layer); }

MappingStatus rule_fnp_input_memory(LayerCheck const& check) {
    uint64_t const words = fnp_input_words(check.layer);
    if (words > check.constraints.fnp_input_sram_words)
        return fnp_input_memory_failure(check.layer, check.constraints.fnp_input_sram_words, words);
    return {};
}

constexpr RuleEntry fnp_common_rules[] = {
    {rule_fnp_input_bits},
    {rule_fnp_input_count},
    {rule_fnp_input_dimensions, RuleGate::skip_if_failed},
    {rule_fnp_weight_bits},
    {rule_fnp_act_bits},
    {rule_fnp_input_memory, RuleGate::skip_if_failed},
};

// ---- Weights ----

// Every weight must be one the FNP's bit planes hold; the first that is not is reported.
MappingStatus rule_fc_weight_values(LayerCheck const& check) {
    WeightRange const range = fnp_weight_range(p(check, "weights_bits"));
    if (auto const value = first_int8_outside(*check.layer.variable("weights"), range.low, range.high))
        return {check.layer, weights_out_of_range_message(range, *value)};
    return {};
}

// A learning layer's neurons each keep exactly "num_weights" non-zero connections. The value is
// compared as the double it is, after truncation: one past any count never matches.
MappingStatus rule_fc_connections_per_neuron(LayerCheck const& check) {
    std::shared_ptr<LearningParams> const learning = check.layer.learning();
    if (!check.layer.can_learn() || !learning) return {};
    double const wanted = std::trunc(learning->get("num_weights"));
    Tensor const& weights = *check.layer.variable("weights");
    ByteElements<int8_t> const w(weights);
    std::array<uint32_t, 4> const e = extents(weights);
    for (uint32_t n = 0; n < e[0]; ++n) {
        uint64_t count = 0;
        for (uint32_t b = 0; b < e[1]; ++b)
            for (uint32_t c = 0; c < e[2]; ++c)
                for (uint32_t d = 0; d < e[3]; ++d) count += w.at(n, b, c, d) != 0;
        if (static_cast<double>(count) != wanted)
            return {check.layer,
                    "The number of weights per neuron should match the num_weights NuvraUnsupervised parameter."};
    }
    return {};
}

constexpr RuleEntry fully_connected_rules[] = {
    {sub_table<fnp_common_rules>, RuleGate::exclusive},
    {rule_fc_weight_values, RuleGate::exclusive},
    {rule_fc_connections_per_neuron, RuleGate::exclusive},
};

}  // namespace

MappingStatus check_fnp_common_rules(HardwareConstraints const& constraints, Layer const& layer, HwVersion version) {
    return gather_failures({constraints, layer, nullptr, version}, fnp_common_rules);
}

MappingStatus check_fully_connected_constraints(HardwareConstraints const& constraints, Layer const& layer,
                                                HwVersion version) {
    return gather_failures({constraints, layer, nullptr, version}, fully_connected_rules);
}

}  // namespace nuvra::v1
