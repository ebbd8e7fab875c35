// The first convolution of a model, InputConv2D, on the HRC. Its limits are fixed by the HRC.
#include <algorithm>

#include "backends/v2/check_rules.h"
#include "engine/tensor.h"
#include "hw/format.h"

namespace nuvra::v2 {

namespace {

constexpr int32_t max_hrc_stride = 6;             // and never more than the kernel size
constexpr uint32_t min_hrc_input_width = 5;       // first input dimension
constexpr uint32_t min_hrc_input_height = 5;      // second input dimension
constexpr uint32_t max_hrc_input_height = 384;
constexpr int32_t max_hrc_filters = 512;          // at least 1

HardwareConstraints const no_constraints{};

int32_t param(LayerCheck const& check, char const* key) { return check.layer.required_params().get(key); }

bool lut_activation(LayerCheck const& check) {
    return static_cast<ActivationType>(param(check, "activation")) == ActivationType::LUT;
}

MappingStatus rule_hrc_kernel_size(LayerCheck const& check) {
    int32_t const k = param(check, "kernel_size");
    if (k != 3 && k != 4 && k != 5 && k != 7)
        return {check.layer,
                format("Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. {} given.", k)};
    return {};
}

MappingStatus rule_hrc_stride(LayerCheck const& check) {
    int32_t const k = param(check, "kernel_size");
    int32_t const max_stride = std::min(k, max_hrc_stride);
    if (param(check, "kernel_stride") > max_stride)
        return {check.layer,
                format("For a kernel size {}, the kernel stride must be smaller than {}.", k, max_stride)};
    return {};
}

MappingStatus rule_hrc_max_pooling(LayerCheck const& check) {
    if (static_cast<PoolType>(param(check, "pool_type")) != PoolType::Max) return {};
    int32_t const size = param(check, "pool_size");
    int32_t const stride = param(check, "pool_stride");
    if ((size == 2 || size == 3) && stride == 2) return {};
    return {check.layer,
            format("Unsupported max-pooling size, max-pooling stride combinaison. The only supported "
                   "combinaison of (Pool_size, Pool_stride) are :(2, 2) or (3, 2). Received ({}, {}).",
                   size, stride)};
}

MappingStatus rule_hrc_input_width(LayerCheck const& check) {
    uint32_t const width = first_input_dims(check.layer).width;
    if (width < min_hrc_input_width)
        return {check.layer,
                format("Unsupported input size. Received: {} as first dimension.\n The first dimension "
                       "should be >= {}.",
                       width, min_hrc_input_width)};
    return {};
}

MappingStatus rule_hrc_input_height(LayerCheck const& check) {
    uint32_t const height = first_input_dims(check.layer).height;
    if (height < min_hrc_input_height || height > max_hrc_input_height)
        return {check.layer,
                format("Unsupported input size. Received: {} as second dimension.\n The second "
                       "dimension should be between {} and {}.",
                       height, min_hrc_input_height, max_hrc_input_height)};
    return {};
}

MappingStatus rule_hrc_activation_enabled(LayerCheck const& check) {
    if (!check.layer.has_activation())
        return {check.layer,
                "The first convolutional layer of a model can only be mapped if its activations are "
                "enabled."};
    return {};
}

// The activation rules below apply only to an activated layer.
MappingStatus rule_hrc_output_bits(LayerCheck const& check) {
    if (!check.layer.has_activation()) return {};
    int32_t const bits = param(check, "output_bits");
    if (bits != 4 && bits != 8) return {check.layer, format("Output should be 4-bit or 8-bit. {} given.", bits)};
    return {};
}

MappingStatus rule_hrc_lut_output_bits(LayerCheck const& check) {
    if (check.layer.has_activation() && lut_activation(check) && param(check, "output_bits") == 4)
        return {check.layer, "4-bit activation is not supported with LUT."};
    return {};
}

MappingStatus rule_hrc_lut_pooling(LayerCheck const& check) {
    if (check.layer.has_activation() && lut_activation(check) &&
        static_cast<PoolType>(param(check, "pool_type")) != PoolType::NoPooling)
        return {check.layer, "Max pooling is not supported with activation LUT."};
    return {};
}

MappingStatus rule_hrc_filters(LayerCheck const& check) {
    int32_t const filters = param(check, "filters");
    if (filters < 1 || filters > max_hrc_filters)
        return {check.layer,
                format("The filters number should be set between 1 and {}. {} given.", max_hrc_filters, filters)};
    return {};
}

// Weights are read as signed bytes. A layer without weights, or with a tensor without elements,
// has no non-zero weight either.
MappingStatus rule_hrc_nonzero_weights(LayerCheck const& check) {
    if (check.layer.variables().has("weights")) {
        std::shared_ptr<Tensor> const weights = check.layer.variable("weights");
        size_t const count = weights->size();
        for (size_t i = 0; i < count; ++i)
            if (tensor_read<int8_t>(*weights, i) != 0) return {};
    }
    return {check.layer, "All weights cannot be zeroes."};
}

MappingStatus rule_hrc_weights_8_bits(LayerCheck const& check) {
    if (param(check, "weights_bits") != 8) return {check.layer, "Only 8-bit weigths are supported."};
    return {};
}

MappingStatus rule_hrc_same_upper_kernel(LayerCheck const& check) {
    if (static_cast<Padding>(param(check, "padding")) != Padding::SameUpper) return {};
    int32_t const k = param(check, "kernel_size");
    if (k != 3 && k != 5 && k != 7)
        return {check.layer, "With SameUpper padding only kernels 3, 5, 7 are supported."};
    return {};
}

// The activation: on, of 4 or 8 bits, and without what a look-up table excludes.
constexpr RuleEntry hrc_activation_rules[] = {
    {rule_hrc_activation_enabled},
    {rule_hrc_output_bits},
    {rule_hrc_lut_output_bits},
    {rule_hrc_lut_pooling},
};

// What 'same upper' padding asks of the layer.
constexpr RuleEntry hrc_same_upper_rules[] = {
    {rule_hrc_same_upper_kernel},
    {rule_same_upper_stride},
    {rule_same_upper_activation},
};

constexpr RuleEntry input_conv2d_rules[] = {
    {rule_hrc_kernel_size},
    {rule_hrc_stride},
    {rule_hrc_max_pooling},
    {rule_hrc_input_width},
    {rule_hrc_input_height},
    {sub_table<hrc_activation_rules>},
    {rule_hrc_filters},
    {rule_hrc_nonzero_weights},
    {rule_hrc_weights_8_bits},
    {sub_table<hrc_same_upper_rules>},
};

}  // namespace

MappingStatus check_input_conv2d_constraints(Layer const& layer) {
    return gather_failures({no_constraints, layer}, input_conv2d_rules);
}

}  // namespace nuvra::v2
