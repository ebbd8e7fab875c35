// The input convolution of a model, InputConvolutional, on the first-generation HRC. Every broken
// rule is reported; the activation steps are looked at only when nothing else failed.
#include <algorithm>
#include <stdexcept>

#include "backends/v1/check_rules.h"
#include "engine/ops.h"
#include "hw/format.h"

namespace nuvra::v1 {

namespace {

constexpr int32_t max_hrc_stride = 3;
constexpr int64_t min_hrc_input = 5;           // both input dimensions
constexpr int32_t max_hrc_input_height = 256;  // second input dimension
constexpr int32_t max_hrc_pool = 2;
constexpr uint32_t min_pooled_rows = 2;
constexpr uint32_t max_threshold = 0xFFFFFF;   // 24 bits, four of them fractional

int32_t p(LayerCheck const& check, char const* key) { return param(check.layer, key); }
int32_t kernel(LayerCheck const& check) { return p(check, "kernel_width"); }
bool kernel_3_5_or_7(int32_t k) { return k == 3 || k == 5 || k == 7; }
bool stride_1_to_3(int32_t stride) { return stride >= 1 && stride <= max_hrc_stride; }
bool pool_1_or_2(int32_t size) { return size >= 1 && size <= max_hrc_pool; }
PoolType pool_type(LayerCheck const& check) { return static_cast<PoolType>(p(check, "pool_type")); }

// A negative pooling stride stands for the pool size of its axis.
int32_t pool_stride(LayerCheck const& check, char const* stride, char const* size) {
    int32_t const value = p(check, stride);
    return value < 0 ? p(check, size) : value;
}

MappingStatus input_too_small(LayerCheck const& check, std::string const& what, int64_t minimum) {
    return {check.layer, format("{} second dimension size cannot be smaller than {}.", what, minimum)};
}

MappingStatus rule_symmetric_kernel(LayerCheck const& check) {
    if (p(check, "kernel_height") != kernel(check)) return {check.layer, "Kernel size should be symmetric."};
    return {};
}

MappingStatus rule_kernel_3_5_or_7(LayerCheck const& check) {
    if (!kernel_3_5_or_7(kernel(check))) return {check.layer, "Kernel size should be 3, 5 or 7."};
    return {};
}

MappingStatus rule_act_bits(LayerCheck const& check) {
    int32_t const bits = p(check, "act_bits");
    if (p(check, "activation") != 0 && bits != 1 && bits != 2 && bits != 4)
        return {check.layer, "The parameter act_bits should be 1, 2 or 4."};
    return {};
}

MappingStatus rule_input_channels(LayerCheck const& check) {
    int32_t const channels = p(check, "input_channels");
    if (channels != 1 && channels != 3) return {check.layer, "The parameter input_channels must be 1 or 3."};
    return {};
}

MappingStatus rule_stride_x(LayerCheck const& check) {
    if (!stride_1_to_3(p(check, "stride_x"))) return {check.layer, "The parameter stride_x should be 1, 2 or 3."};
    return {};
}

MappingStatus rule_stride_y(LayerCheck const& check) {
    if (!stride_1_to_3(p(check, "stride_y"))) return {check.layer, "The parameter stride_y should be 1, 2 or 3."};
    return {};
}

// Only for a kernel the HRC has.
MappingStatus rule_neurons(LayerCheck const& check) {
    int32_t const k = kernel(check);
    if (!kernel_3_5_or_7(k)) return {};
    int32_t const max = hrc_max_neurons(p(check, "input_channels"), k);
    int32_t const filters = p(check, "filters");
    if (filters < 1 || filters > max)
        return {check.layer, format("The parameter num_neurons should be set between 1 and {}.", max)};
    return {};
}

MappingStatus rule_input_height(LayerCheck const& check) {
    int64_t const height = p(check, "input_height");
    if (static_cast<Padding>(p(check, "padding")) != Padding::Valid) {
        if (height < min_hrc_input) return input_too_small(check, "Input", min_hrc_input);
        return {};
    }
    int64_t const minimum = std::max(int64_t{p(check, "kernel_height")} + p(check, "stride_y"), min_hrc_input);
    if (height >= minimum) return {};
    std::string const what = format("With valid padding, a {} kernel size and a {} kernel stride, input",
                                    static_cast<uint32_t>(kernel(check)), p(check, "stride_y"));
    return input_too_small(check, what, minimum);
}

MappingStatus rule_input_width(LayerCheck const& check) {
    if (p(check, "input_width") < min_hrc_input)
        return {check.layer, "Input first dimension size cannot be smaller than 5."};
    return {};
}

MappingStatus rule_input_width_kernel(LayerCheck const& check) {
    if (p(check, "input_width") < kernel(check))
        return {check.layer, "Input first dimension size cannot be smaller than kernel size."};
    return {};
}

MappingStatus rule_max_input_height(LayerCheck const& check) {
    int32_t const height = p(check, "input_height");
    if (height > max_hrc_input_height)
        return {check.layer, format("The maximum input second dimension size is 256 (got {}).", height)};
    return {};
}

MappingStatus rule_no_average_pooling(LayerCheck const& check) {
    if (pool_type(check) == PoolType::Average) return {check.layer, "The parameter pool_type cannot be Average."};
    return {};
}

MappingStatus rule_max_pool_height(LayerCheck const& check) {
    if (pool_type(check) == PoolType::Max && !pool_1_or_2(p(check, "pooling_height")))
        return {check.layer, "The parameter pooling_y should be 1 or 2."};
    return {};
}

MappingStatus rule_max_pool_width(LayerCheck const& check) {
    if (pool_type(check) == PoolType::Max && !pool_1_or_2(p(check, "pooling_width")))
        return {check.layer, "The parameter pooling_x should be 1 or 2."};
    return {};
}

MappingStatus rule_max_pool_stride(LayerCheck const& check) {
    if (pool_type(check) != PoolType::Max) return {};
    if (pool_stride(check, "pooling_stride_x", "pooling_width") != p(check, "pooling_width") ||
        pool_stride(check, "pooling_stride_y", "pooling_height") != p(check, "pooling_height"))
        return {check.layer, "The parameter pool_size and pool_stride should be equal."};
    return {};
}

MappingStatus rule_max_pool_output_rows(LayerCheck const& check) {
    if (pool_type(check) != PoolType::Max) return {};
    Shape const output = check.layer.output_dimensions();
    if (output.rank() < 2 || output[1] < min_pooled_rows)
        return {check.layer, "With max pooling, output second dimension size must be at least 2."};
    return {};
}

MappingStatus rule_activation_enabled(LayerCheck const& check) {
    if (p(check, "activation") == 0)
        return {check.layer,
                "The first convolutional layer of a model can only be mapped if its activations are enabled."};
    return {};
}

MappingStatus rule_weights_not_zero(LayerCheck const& check) {
    if (all_zero(*check.layer.variable("weights")))
        return {check.layer, "All weights in a hrc layer cannot be zeroes."};
    return {};
}

MappingStatus rule_act_steps(LayerCheck const& check) {
    std::shared_ptr<Dense> const thresholds = get_threshold_t16_from_act_steps(*check.layer.variable("act_step"));
    for (size_t i = 0; i < thresholds->size(); ++i) {
        int32_t const t = tensor_read<int32_t>(*thresholds, i);
        if (static_cast<uint32_t>(t) > max_threshold)
            return {check.layer, format("The parameter act_step should be between 0 and 1048575. Receives act_step {}.",
                                        t / 16)};
    }
    return {};
}

constexpr RuleEntry hrc_rules[] = {
    {rule_symmetric_kernel},
    {rule_kernel_3_5_or_7},
    {rule_act_bits},
    {rule_input_channels},
    {rule_stride_x},
    {rule_stride_y},
    {rule_neurons},
    {rule_input_height},
    {rule_input_width},
    {rule_input_width_kernel},
    {rule_max_input_height},
    {rule_no_average_pooling},
    {rule_max_pool_height},
    {rule_max_pool_width},
    {rule_max_pool_stride},
    {rule_max_pool_output_rows},
    {rule_activation_enabled},
    {rule_weights_not_zero},
    {rule_act_steps, RuleGate::skip_if_failed},
};

HardwareConstraints const no_constraints{};

}  // namespace

int32_t hrc_max_neurons(int32_t input_channels, int32_t kernel) {
    bool const rgb = input_channels == 3;
    switch (kernel) {
    case 3: return rgb ? 192 : 512;
    case 5: return rgb ? 64 : 192;
    case 7: return rgb ? 32 : 96;
    default: throw std::runtime_error("Wrong kernel size.");
    }
}

MappingStatus check_input_convolutional_constraints(Layer const& layer) {
    return gather_failures({no_constraints, layer}, hrc_rules);
}

}  // namespace nuvra::v1
