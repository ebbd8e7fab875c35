// Convolutions on a CNP: Conv2D, DepthwiseConv2D and their transposed forms.
#include <array>
#include <stdexcept>

#include "backends/v2/check_rules.h"
#include "backends/v2/check_sizes.h"
#include "backends/v2/sizes.h"
#include "hw/format.h"
#include "program/format_support.h"

namespace nuvra::v2 {

namespace {

// Limits of a CNP that are not read from the hardware constraints.
constexpr uint8_t max_activated_output_bits = 8;
constexpr uint8_t max_average_pooling_output_bits = 8;
constexpr int32_t global_pool_size = -1;            // "pool_size" of a global average pooling
constexpr uint32_t max_global_pooling_height = 64;  // first input dimension
constexpr uint64_t max_global_pooling_area = 144;   // first x second input dimension
constexpr uint32_t lut_shift_bits = 6;              // a LUT's activation_shift in the variable image
constexpr int min_lut_shift = -32;
constexpr int max_lut_shift = 31;

int32_t param(LayerCheck const& check, char const* key) { return check.layer.required_params().get(key); }

Padding padding(LayerCheck const& check) { return static_cast<Padding>(param(check, "padding")); }
PoolType pool_type(LayerCheck const& check) { return static_cast<PoolType>(param(check, "pool_type")); }
int32_t weights_bits(LayerCheck const& check) { return param(check, "weights_bits"); }

PoolingCalculatedParams const& pooling_block(Layer const& layer) {
    PoolingCalculatedParams const* block = dynamic_cast<HasPoolParams const&>(layer).pool_params();
    if (!block) throw std::runtime_error(format("Layer '{}' has no pooling parameters.", layer.get_name()));
    return *block;
}

ConvCalculatedParams const& conv_block(Layer const& layer) {
    ConvCalculatedParams const* block = dynamic_cast<HasConvParams const&>(layer).conv_params();
    if (!block) throw std::runtime_error(format("Layer '{}' has no convolution parameters.", layer.get_name()));
    return *block;
}

// 100-bit words of one filter over all input channels.
uint64_t one_filter_100b_size(LayerCheck const& check) {
    auto const kernel = static_cast<uint32_t>(param(check, "kernel_size"));
    auto const bits = static_cast<uint8_t>(weights_bits(check));
    return mul_sat(conv2d_ch_cont_100b_size(kernel, 1, bits), first_input_dims(check.layer).channels);
}

// ---- Common rules ----

MappingStatus rule_activated_output_width(LayerCheck const& check) {
    if (check.layer.output_bits() > max_activated_output_bits && check.layer.has_activation())
        return {check.layer, "With activation output bitwidth should be <= 8."};
    return {};
}

MappingStatus rule_max_input_width(LayerCheck const& check) {
    uint32_t const width = first_input_dims(check.layer).width;
    if (width > check.constraints.max_input_width)
        return max_input_width_failure(check.layer, check.constraints.max_input_width, width);
    return {};
}

MappingStatus rule_max_input_height(LayerCheck const& check) {
    uint32_t const height = first_input_dims(check.layer).height;
    if (height > check.constraints.max_input_height)
        return max_input_height_failure(check.layer, check.constraints.max_input_height, height);
    return {};
}

MappingStatus rule_max_input_channels(LayerCheck const& check) {
    uint32_t const channels = first_input_dims(check.layer).channels;
    if (channels > check.constraints.max_input_channels)
        return max_input_channels_failure(check.layer, check.constraints.max_input_channels, channels);
    return {};
}

MappingStatus rule_max_filters(LayerCheck const& check) {
    int64_t const filters = filters_or_channels(check.layer);
    if (filters > int64_t{check.constraints.max_filters})
        return max_filters_failure(check.layer, check.constraints.max_filters, filters);
    return {};
}

// A LUT layer's activation_shift goes into 6 signed bits of its variable image.
MappingStatus rule_lut_shift_fits(LayerCheck const& check) {
    if (static_cast<ActivationType>(param(check, "activation")) != ActivationType::LUT ||
        !check.layer.variables().has("activation_shift"))
        return {};
    if (auto const shift = first_int8_outside(*check.layer.variable("activation_shift"), min_lut_shift, max_lut_shift))
        return {check.layer, signed_field_misfit(*shift, lut_shift_bits) + "."};
    return {};
}

MappingStatus rule_input_shift_fits(LayerCheck const& check) {
    uint64_t const words = cnp_tnp_input_shift_words(check.layer);
    if (words > check.constraints.input_shift_memory_size)
        return input_shift_failure(check.layer, check.constraints.input_shift_memory_size, words);
    return {};
}

// ---- Bit widths and kernels ----

MappingStatus rule_weights_8_bits(LayerCheck const& check) {
    if (weights_bits(check) != 8) return {check.layer, "Weights should be 8-bit."};
    return {};
}

MappingStatus rule_kernel_1_3_5_7(LayerCheck const& check) {
    int32_t const k = param(check, "kernel_size");
    if (k != 1 && k != 3 && k != 5 && k != 7) return {check.layer, "Kernel size must be 1, 3, 5 or 7."};
    return {};
}

MappingStatus rule_kernel_3_5_7(LayerCheck const& check) {
    int32_t const k = param(check, "kernel_size");
    if (k != 3 && k != 5 && k != 7) return {check.layer, "Kernel size must be 3, 5 or 7."};
    return {};
}

MappingStatus rule_kernel_3_4(LayerCheck const& check) {
    int32_t const k = param(check, "kernel_size");
    if (k != 3 && k != 4) return {check.layer, "Kernel size must be 3 or 4."};
    return {};
}

// ---- Strides: the NP image says only whether the stride is 2 ----

MappingStatus rule_stride_1_or_2(LayerCheck const& check) {
    int32_t const stride = param(check, "kernel_stride");
    if (stride != 1 && stride != 2) return {check.layer, "Convolution stride must be 1 or 2."};
    return {};
}

// A transposed convolution always doubles its input.
MappingStatus rule_transposed_stride_2(LayerCheck const& check) {
    if (param(check, "kernel_stride") != 2) return {check.layer, "Kernel stride must be 2."};
    return {};
}

// ---- Padding ----

MappingStatus rule_padding_same(LayerCheck const& check) {
    Padding const p = padding(check);
    if (p != Padding::Same && p != Padding::SameUpper)
        return {check.layer, "Only padding 'Same' and 'SameUpper' are supported."};
    return {};
}

MappingStatus rule_same_upper_weights(LayerCheck const& check) {
    if (padding(check) == Padding::SameUpper && weights_bits(check) != 8)
        return {check.layer, "With SameUpper padding only 8-bit weights are supported."};
    return {};
}

// ---- Pooling: nothing beyond "pool_type" is read without pooling ----

MappingStatus rule_pooling_without_stride(LayerCheck const& check) {
    if (pool_type(check) != PoolType::NoPooling && param(check, "kernel_stride") > 1)
        return {check.layer, "The CNP cannot support both pooling and stride."};
    return {};
}

MappingStatus rule_max_pool_size(LayerCheck const& check) {
    if (pool_type(check) != PoolType::Max) return {};
    int32_t const size = param(check, "pool_size");
    if (size != 1 && size != 2) return {check.layer, "Pooling size must be 1 or 2."};
    return {};
}

MappingStatus rule_max_pool_square_stride(LayerCheck const& check) {
    if (pool_type(check) != PoolType::Max) return {};
    PoolingCalculatedParams const& pool = pooling_block(check.layer);
    if (pool.stride_x != pool.stride_y) return {check.layer, "Pooling stride x and y must be equal."};
    return {};
}

MappingStatus rule_max_pool_within_input(LayerCheck const& check) {
    if (pool_type(check) != PoolType::Max) return {};
    int64_t const size = param(check, "pool_size");
    InputDims const dims = first_input_dims(check.layer);
    if (int64_t{dims.width} < size || int64_t{dims.height} < size)
        return {check.layer, "Pooling size cannot be greater than input dimensions."};
    return {};
}

MappingStatus rule_max_pool_without_lut(LayerCheck const& check) {
    if (pool_type(check) == PoolType::Max && check.layer.has_activation_type(ActivationType::LUT))
        return {check.layer, "Max pooling is not supported with activation LUT."};
    return {};
}

MappingStatus rule_average_pool_output_width(LayerCheck const& check) {
    if (pool_type(check) == PoolType::Average &&
        check.layer.output_bits() > max_average_pooling_output_bits)
        return {check.layer, "With average pooling output bitwidth should be <= 8."};
    return {};
}

MappingStatus rule_average_pool_global(LayerCheck const& check) {
    if (pool_type(check) == PoolType::Average && param(check, "pool_size") != global_pool_size)
        return {check.layer, "Global Average pooling must be global."};
    return {};
}

MappingStatus rule_average_pool_height(LayerCheck const& check) {
    if (pool_type(check) == PoolType::Average &&
        first_input_dims(check.layer).width > max_global_pooling_height)
        return {check.layer, "When using Global Average Pooling, input height cannot exceed 64."};
    return {};
}

MappingStatus rule_average_pool_output_rows(LayerCheck const& check) {
    if (pool_type(check) == PoolType::Average && conv_block(check.layer).output_height == 0)
        return {check.layer,
                "When using Global Average Pooling, the output of the convolution must have at least "
                "1 rows (currently 0)."};
    return {};
}

MappingStatus rule_average_pool_area(LayerCheck const& check) {
    if (pool_type(check) != PoolType::Average) return {};
    InputDims const dims = first_input_dims(check.layer);
    if (uint64_t{dims.width} * dims.height > max_global_pooling_area)
        return {check.layer,
                "When using Global Average Pooling, input dimensions width * height cannot exceed 144."};
    return {};
}

MappingStatus rule_average_pool_single_buffer(LayerCheck const& check) {
    if (pool_type(check) != PoolType::Average) return {};
    // The whole input must sit in one NP's single input buffer.
    InputDims const dims = first_input_dims(check.layer);
    uint64_t const words = chunk_input_32b_size(hw::Type::CNP2, dims.height, dims.width, dims.channels,
                                                0, check.layer.input_bits());
    if (words > check.constraints.input_sram_single_buffer_words)
        return {check.layer, "When using Global Average Pooling, spatial split is impossible."};
    return {};
}

// ---- Activation ----

template <bool allow_4bit_output>
MappingStatus rule_activation_output_width(LayerCheck const& check) {
    uint8_t const bits = check.layer.output_bits();
    if (!check.layer.has_activation()) {
        if (bits != 8 && bits != 28)
            return {check.layer, "Without activation output bitwidth should be 8 or 28."};
        return {};
    }
    if (bits == 8 || (bits == 4 && allow_4bit_output)) return {};
    if (allow_4bit_output) return {check.layer, "With activation output bitwidth should be 4 or 8."};
    return {check.layer, "With activation output bitwidth should be 8."};
}

// ---- Weights ----

MappingStatus rule_conv_filter_fits(LayerCheck const& check) {
    if (one_filter_100b_size(check) > check.constraints.weight_sram_words)
        return {check.layer,
                "Filter size is too big to fit in a CNP: try decreasing the input channels or the "
                "bitwidth."};
    return {};
}

MappingStatus rule_transposed_filter_fits(LayerCheck const& check) {
    if (one_filter_100b_size(check) > check.constraints.weight_sram_words)
        return {check.layer, "Filter size is too big to fit in a CNP: try decreasing the input."};
    return {};
}

bool four_bit_weights_eight_bit_output(LayerCheck const& check) {
    return weights_bits(check) == 4 && check.layer.output_bits() == 8;
}

MappingStatus rule_4bit_weights_8bit_potential(LayerCheck const& check) {
    if (four_bit_weights_eight_bit_output(check) && !check.layer.has_activation())
        return {check.layer, "4-bit weights and 8-bit potential is not allowed."};
    return {};
}

MappingStatus rule_4bit_weights_8bit_activation(LayerCheck const& check) {
    if (four_bit_weights_eight_bit_output(check) && check.layer.has_activation())
        return {check.layer, "4-bit weights and 8-bit activation is not allowed."};
    return {};
}

// ---- Tables ----

// What every CNP convolution checks first: its activated output, its input and filter limits and
// its input shifts.
constexpr RuleEntry cnp_input_rules[] = {
    {rule_activated_output_width},
    {rule_input_not_narrower_than_weights},
    {rule_max_input_width},
    {rule_max_input_height},
    {rule_max_input_channels},
    {rule_max_filters},
    {rule_input_shift_fits},
    {rule_lut_shift_fits},
};

// The padding of a convolution with its own pooling, and what 'same upper' padding asks of it.
constexpr RuleEntry same_upper_padding_rules[] = {
    {rule_padding_same},
    {rule_same_upper_stride},
    {rule_same_upper_activation},
    {rule_same_upper_weights},
};

// The pooling of a convolution with its own pooling: max, then average.
constexpr RuleEntry pooling_rules[] = {
    {rule_pooling_without_stride},
    {rule_max_pool_size},
    {rule_max_pool_square_stride},
    {rule_max_pool_within_input},
    {rule_max_pool_without_lut},
    {rule_average_pool_output_width},
    {rule_average_pool_global},
    {rule_average_pool_height},
    {rule_average_pool_output_rows},
    {rule_average_pool_area},
    {rule_average_pool_single_buffer},
};

constexpr RuleEntry conv2d_rules[] = {
    {sub_table<cnp_input_rules>},
    {rule_input_4_or_8_bits},
    {sub_table<same_upper_padding_rules>},
    {sub_table<pooling_rules>},
    {rule_kernel_1_3_5_7},
    {rule_activation_output_width<true>},
    {rule_4bit_activation_is_relu},
    {rule_weights_4_or_8_bits},
    {rule_conv_filter_fits, RuleGate::skip_if_failed},
    {rule_4bit_weights_8bit_potential},
    {rule_4bit_weight_values},
    {rule_stride_1_or_2},
};

constexpr RuleEntry dwconv2d_rules[] = {
    {sub_table<cnp_input_rules>},
    {rule_input_4_or_8_bits},
    {sub_table<same_upper_padding_rules>},
    {sub_table<pooling_rules>},
    {rule_kernel_3_5_7},
    {rule_activation_output_width<true>},
    {rule_4bit_activation_is_relu},
    {rule_weights_4_or_8_bits},
    {rule_4bit_weights_8bit_activation},
    {rule_stride_1_or_2},
};

constexpr RuleEntry conv2dtranspose_rules[] = {
    {sub_table<cnp_input_rules>},
    {rule_input_8_bits},
    {rule_activation_output_width<false>},
    {rule_4bit_activation_is_relu},
    {rule_weights_8_bits},
    {rule_kernel_3_4},
    {rule_transposed_filter_fits, RuleGate::skip_if_failed},
    {rule_transposed_stride_2},
};

constexpr RuleEntry dwconv2dtranspose_rules[] = {
    {sub_table<cnp_input_rules>},
    {rule_input_8_bits},
    {rule_activation_output_width<false>},
    {rule_4bit_activation_is_relu},
    {rule_weights_8_bits},
    {rule_kernel_3_4},
    {rule_transposed_stride_2},
};

}  // namespace

MappingStatus check_conv2d_constraints(HardwareConstraints const& constraints, Layer const& layer) {
    return gather_failures({constraints, layer}, conv2d_rules);
}

MappingStatus check_dwconv2d_constraints(HardwareConstraints const& constraints, Layer const& layer) {
    return gather_failures({constraints, layer}, dwconv2d_rules);
}

MappingStatus check_conv2dtranspose_constraints(HardwareConstraints const& constraints,
                                                Layer const& layer) {
    return gather_failures({constraints, layer}, conv2dtranspose_rules);
}

MappingStatus check_dwconv2dtranspose_constraints(HardwareConstraints const& constraints,
                                                  Layer const& layer) {
    return gather_failures({constraints, layer}, dwconv2dtranspose_rules);
}

}  // namespace nuvra::v2
