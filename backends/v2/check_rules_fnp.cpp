// A fully connected Dense1D layer on an FNP: bit widths, activation, the layout of its input in
// FNP memory, and whether its input-shift block and its input fit the FNP's memories.
#include "backends/v2/check_rules.h"
#include "backends/v2/sizes.h"
#include "hw/format.h"

namespace nuvra::v2 {

namespace {

// Largest FNP input, in 32-bit words, that one of the layouts can hold.
constexpr uint32_t max_fnp_layout_words = 2048;

bool no_previous(LayerCheck const& check) { return check.previous == nullptr; }

bool previous_is(LayerCheck const& check, ComponentKind kind) {
    return check.previous && check.previous->is_target_component(kind);
}

InputPadding input_layout(LayerCheck const& check) {
    return get_fnp_supported_padding(check.layer, no_previous(check));
}

MappingStatus rule_fnp_output_width(LayerCheck const& check) {
    uint8_t const bits = check.layer.output_bits();
    if (bits < 8 && bits != 4) return {check.layer, "Output bits should be 4, 8 or > 8."};
    return {};
}

MappingStatus rule_fnp_activated_output(LayerCheck const& check) {
    uint8_t const bits = check.layer.output_bits();
    if (check.layer.has_activation() && bits != 4 && bits != 8)
        return {check.layer, "With activation output bitwidth should be 4 or 8."};
    return {};
}

MappingStatus rule_fnp_unactivated_output(LayerCheck const& check) {
    uint8_t const bits = check.layer.output_bits();
    if (!check.layer.has_activation() && bits != 8 && bits != 28 && bits != 32)
        return {check.layer, "Without activation output bitwidth should be 8, 28 or 32."};
    return {};
}

// A packed input comes from the host or another FNP; a padded one from a CNP, a TNP-B or (rows
// padded to bytes only) the HRC.
MappingStatus rule_fnp_input_layout(LayerCheck const& check) {
    bool fits = false;
    switch (input_layout(check)) {
    case InputPadding::Packed:
        fits = no_previous(check) || previous_is(check, ComponentKind::None) ||
               previous_is(check, ComponentKind::FNP);
        break;
    case InputPadding::RowBytePadded:
        fits = previous_is(check, ComponentKind::CNP) || previous_is(check, ComponentKind::TNP_B) ||
               previous_is(check, ComponentKind::HRC);
        break;
    case InputPadding::RowWordPadded:
        fits = previous_is(check, ComponentKind::CNP) || previous_is(check, ComponentKind::TNP_B);
        break;
    default:
        break;
    }
    if (!fits)
        return fnp_input_too_large_failure(check.layer, max_fnp_layout_words);
    return {};
}

MappingStatus rule_fnp_4bit_weights_output(LayerCheck const& check) {
    if (check.layer.required_params().get("weights_bits") == 4 && check.layer.output_bits() == 8)
        return {check.layer, "With 4-bit weights, output must be 4-bit or 32-bit."};
    return {};
}

MappingStatus rule_fnp_input_shift_fits(LayerCheck const& check) {
    std::shared_ptr<Tensor> const shifts = check.layer.variable("input_shift");
    InputDims const input = first_input_dims(check.layer);
    Shape const dims{input.width, input.height, input.channels};
    uint64_t const words =
        fnp_input_shift_24b_size(*shifts->ensure_dense(), dims, input_layout(check), check.layer.input_bits());
    if (words > check.constraints.input_shift_memory_size)
        return input_shift_failure(check.layer, check.constraints.input_shift_memory_size, words);
    return {};
}

MappingStatus rule_fnp_input_fits(LayerCheck const& check) {
    uint64_t const words = get_fnp_input_size(check.layer, no_previous(check));
    uint64_t const capacity = check.constraints.fnp_input_sram_words;
    if (words > capacity) return fnp_input_memory_failure(check.layer, capacity, words);
    return {};
}

// The memory rules run only for a layer whose widths and layout passed: they need a layout.
constexpr RuleEntry fnp_rules[] = {
    {rule_input_4_or_8_bits},
    {rule_fnp_output_width},
    {rule_fnp_activated_output},
    {rule_4bit_activation_is_relu},
    {rule_fnp_unactivated_output},
    {rule_fnp_input_layout},
    {rule_weights_4_or_8_bits},
    {rule_fnp_4bit_weights_output},
    {rule_4bit_weight_values},
    {rule_input_not_narrower_than_weights},
    {rule_fnp_input_shift_fits, RuleGate::stop_if_failed},
    {rule_fnp_input_fits},
};

}  // namespace

MappingStatus check_fnp_constraints(HardwareConstraints const& constraints, Layer const& layer,
                                    Layer const* previous) {
    return gather_failures({constraints, layer, previous}, fnp_rules);
}

}  // namespace nuvra::v2
