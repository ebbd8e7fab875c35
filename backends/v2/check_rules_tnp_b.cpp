// Buffered temporal convolutions on a TNP-B. The standard and the depthwise kind obey the same
// rules; a layer without "filters" has as many filters as input channels.
#include "backends/v2/check_rules.h"
#include "backends/v2/check_sizes.h"
#include "hw/format.h"

namespace nuvra::v2 {

namespace {

constexpr uint32_t max_tnp_b_input_width = 4096;
constexpr uint32_t max_tnp_b_input_height = 4096;
constexpr uint32_t max_tnp_b_input_channels = 2048;
constexpr int64_t max_tnp_b_filters = 2048;
// One input row travels through a skip DMA whose horizontal dimension is below 1024 words.
constexpr uint64_t max_skip_dma_row_words = 1024;

MappingStatus rule_tnp_b_output_8_bits(LayerCheck const& check) {
    if (check.layer.output_bits() != 8) return {check.layer, "Output should be 8-bit."};
    return {};
}

MappingStatus rule_tnp_b_input_width(LayerCheck const& check) {
    uint32_t const width = first_input_dims(check.layer).width;
    if (width > max_tnp_b_input_width) return max_input_width_failure(check.layer, max_tnp_b_input_width, width);
    return {};
}

MappingStatus rule_tnp_b_input_height(LayerCheck const& check) {
    uint32_t const height = first_input_dims(check.layer).height;
    if (height > max_tnp_b_input_height)
        return max_input_height_failure(check.layer, max_tnp_b_input_height, height);
    return {};
}

MappingStatus rule_tnp_b_input_channels(LayerCheck const& check) {
    uint32_t const channels = first_input_dims(check.layer).channels;
    if (channels > max_tnp_b_input_channels)
        return max_input_channels_failure(check.layer, max_tnp_b_input_channels, channels);
    return {};
}

MappingStatus rule_tnp_b_weights_8_bits(LayerCheck const& check) {
    if (check.layer.required_params().get("weights_bits") != 8)
        return {check.layer, "Only 8-bit weights are supported."};
    return {};
}

MappingStatus rule_tnp_b_filters(LayerCheck const& check) {
    int64_t const filters = filters_or_channels(check.layer);
    if (filters > max_tnp_b_filters) return max_filters_failure(check.layer, max_tnp_b_filters, filters);
    return {};
}

MappingStatus rule_tnp_b_skip_dma_row(LayerCheck const& check) {
    // Bits of one row of channels, rounded up to 32-bit words.
    uint64_t const row_bits = uint64_t{check.layer.input_bits()} * first_input_dims(check.layer).channels + 31;
    if (row_bits >= max_skip_dma_row_words * 32)
        return {check.layer, format("The skip DMA horizontal dimension must be smaller than {} (got {}).",
                                    max_skip_dma_row_words, row_bits >> 5)};
    return {};
}

MappingStatus rule_tnp_b_input_shift_fits(LayerCheck const& check) {
    uint64_t const words = cnp_tnp_input_shift_words(check.layer);
    if (words > check.constraints.input_shift_memory_size)
        return input_shift_failure(check.layer, check.constraints.input_shift_memory_size, words);
    return {};
}

// The skip DMAs of a TNP-B count fifo_size + 1 frames in an 8-bit delay.
MappingStatus rule_tnp_b_fifo_size(LayerCheck const& check) {
    LayerParams const& params = check.layer.required_params();
    if (!params.has("fifo_size") || checked_fifo_size(params)) return {};
    return {check.layer, fifo_size_out_of_range_message(params.get("fifo_size"))};
}

constexpr RuleEntry tnp_b_rules[] = {
    {rule_input_8_bits},
    {rule_tnp_b_output_8_bits},
    {rule_tnp_b_input_width},
    {rule_tnp_b_input_height},
    {rule_tnp_b_input_channels},
    {rule_tnp_b_weights_8_bits},
    {rule_tnp_b_filters},
    {rule_tnp_b_skip_dma_row},
    {rule_tnp_b_input_shift_fits},
    {rule_tnp_b_fifo_size},
};

}  // namespace

MappingStatus check_tnp_b_constraints(HardwareConstraints const& constraints, Layer const& layer) {
    return gather_failures({constraints, layer}, tnp_b_rules);
}

MappingStatus check_buffer_temp_conv_constraints(HardwareConstraints const& constraints,
                                                 Layer const& layer) {
    return check_tnp_b_constraints(constraints, layer);
}

MappingStatus check_depthwise_buffer_temp_conv_constraints(HardwareConstraints const& constraints,
                                                           Layer const& layer) {
    return check_tnp_b_constraints(constraints, layer);
}

}  // namespace nuvra::v2
