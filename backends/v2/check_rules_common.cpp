// The machinery shared by the second-generation rule tables.
#include <stdexcept>

#include "backends/v2/check_rules.h"
#include "backends/v2/sizes.h"
#include "engine/variables.h"
#include "hw/format.h"
#include "program/format_support.h"

namespace nuvra::v2 {

MappingStatus unnamed_failure(std::string message) {
    MappingStatus status;
    status.failed = true;
    status.message = std::move(message);
    return status;
}

MappingStatus input_shift_failure(Layer const& layer, uint64_t max_words, uint64_t words) {
    // Three bytes a 24-bit word.
    return {layer, format("Input shift exceeds memory. Maximum size is {} bytes. (got {} bytes).",
                          max_words * 3, words * 3)};
}

uint64_t cnp_tnp_input_shift_words(Layer const& layer) {
    std::shared_ptr<Tensor> const shifts = layer.variable("input_shift");
    return cnp_tnp_input_shift_24b_size(*shifts->ensure_dense());
}

int64_t filters_or_channels(Layer const& layer) {
    LayerParams const& params = layer.required_params();
    if (params.has("filters")) return params.get("filters");
    return first_input_dims(layer).channels;
}

// ---- Rules shared by several kinds ----

namespace {

int32_t param(LayerCheck const& check, char const* key) { return check.layer.required_params().get(key); }

}  // namespace

MappingStatus rule_input_4_or_8_bits(LayerCheck const& check) {
    uint8_t const bits = check.layer.input_bits();
    if (bits != 4 && bits != 8) return {check.layer, "Input should be 4-bit or 8-bit."};
    return {};
}

MappingStatus rule_input_8_bits(LayerCheck const& check) {
    if (check.layer.input_bits() != 8) return {check.layer, "Input should be 8-bit."};
    return {};
}

MappingStatus rule_input_not_narrower_than_weights(LayerCheck const& check) {
    if (check.layer.input_bits() < param(check, "weights_bits"))
        return {check.layer, "Input bits should be >= weights bits."};
    return {};
}

MappingStatus rule_weights_4_or_8_bits(LayerCheck const& check) {
    int32_t const bits = param(check, "weights_bits");
    if (bits != 4 && bits != 8) return {check.layer, "Weights bitwidth should be 4-bit or 8-bit."};
    return {};
}

MappingStatus rule_4bit_weight_values(LayerCheck const& check) {
    constexpr uint32_t bits = 4;
    if (param(check, "weights_bits") != int32_t{bits}) return {};
    if (auto const weight = first_int8_outside(*check.layer.variable("weights"), -8, 7))
        return {check.layer, signed_field_misfit(*weight, bits) + "."};
    return {};
}

MappingStatus rule_4bit_activation_is_relu(LayerCheck const& check) {
    if (check.layer.has_activation() && check.layer.output_bits() == 4 &&
        static_cast<ActivationType>(param(check, "activation")) != ActivationType::ReLU)
        return {check.layer, "4-bit activation is not supported with LUT."};
    return {};
}

MappingStatus rule_same_upper_stride(LayerCheck const& check) {
    if (static_cast<Padding>(param(check, "padding")) == Padding::SameUpper &&
        param(check, "kernel_stride") != 2)
        return {check.layer, "With SameUpper padding only stride 2 is supported."};
    return {};
}

MappingStatus rule_same_upper_activation(LayerCheck const& check) {
    if (static_cast<Padding>(param(check, "padding")) == Padding::SameUpper &&
        check.layer.has_activation() && check.layer.output_bits() != 8)
        return {check.layer, "With SameUpper padding only 8-bit activations are supported."};
    return {};
}

}  // namespace nuvra::v2
