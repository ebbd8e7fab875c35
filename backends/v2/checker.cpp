#include "backends/v2/checker.h"

#include <limits>
#include <stdexcept>

#include "backends/v2/check_rules.h"
#include "backends/v2/check_sizes.h"
#include "backends/v2/sizes.h"
#include "engine/bitwidth.h"
#include "hw/format.h"

namespace nuvra::v2 {

namespace {

// Widths the NPs hold each per-channel variable in.
struct VariableWidth {
    char const* name;
    int bits;
};

constexpr VariableWidth variable_widths[] = {
    {"input_shift", 3},
    {"max_value_shift", 5},
    {"bias_shift", 5},
    {"output_shift", 6},
    {"output_scales", 8},
};

// The kinds the second generation runs, each with its check (none for the kinds that only carry
// data in or out).
using KindCheck = MappingStatus (*)(LayerCheck const&);

struct KindEntry {
    LayerType type;
    KindCheck check;
};

constexpr KindEntry kind_checks[] = {
    {LayerType::InputData, nullptr},
    {LayerType::Dequantizer, nullptr},
    {LayerType::Quantizer, nullptr},
    {LayerType::Add, [](LayerCheck const& c) { return check_add_constraints(c.layer); }},
    {LayerType::Concatenate, [](LayerCheck const& c) { return check_concatenate_constraints(c.layer); }},
    {LayerType::Conv2D, [](LayerCheck const& c) { return check_conv2d_constraints(c.constraints, c.layer); }},
    {LayerType::InputConv2D, [](LayerCheck const& c) { return check_input_conv2d_constraints(c.layer); }},
    {LayerType::DepthwiseConv2D,
     [](LayerCheck const& c) { return check_dwconv2d_constraints(c.constraints, c.layer); }},
    {LayerType::Conv2DTranspose,
     [](LayerCheck const& c) { return check_conv2dtranspose_constraints(c.constraints, c.layer); }},
    {LayerType::DepthwiseConv2DTranspose,
     [](LayerCheck const& c) { return check_dwconv2dtranspose_constraints(c.constraints, c.layer); }},
    {LayerType::BufferTempConv,
     [](LayerCheck const& c) { return check_buffer_temp_conv_constraints(c.constraints, c.layer); }},
    {LayerType::DepthwiseBufferTempConv,
     [](LayerCheck const& c) { return check_depthwise_buffer_temp_conv_constraints(c.constraints, c.layer); }},
    {LayerType::Dense1D,
     [](LayerCheck const& c) { return check_fnp_constraints(c.constraints, c.layer, c.previous); }},
};

// A weight row of one NP is addressed with 18 bits of 100-bit words.
constexpr uint64_t max_weight_row_100b = 0x3FFFF;

char const* activation_name(int32_t activation) {
    switch (static_cast<ActivationType>(activation)) {
    case ActivationType::NoActivation: return "NoActivation";
    case ActivationType::ReLU: return "ReLU";
    case ActivationType::LUT: return "LUT";
    }
    return "Unknown";
}

// Off the CNP and the HRC an activation must be a ReLU.
MappingStatus rule_activation_is_relu(Layer const& layer) {
    if (layer.is_target_component(ComponentKind::CNP) || layer.is_target_component(ComponentKind::HRC))
        return {};
    if (!layer.has_activation() || layer.has_activation_type(ActivationType::ReLU)) return {};
    return {layer, format("Does not support activation type '{}'.",
                          activation_name(layer.required_params().get("activation")))};
}

MappingStatus rule_lut_on_all_nps(Layer const& layer, Mesh const& mesh) {
    if (layer.has_activation_type(ActivationType::LUT) && !mesh.has_lut_on_all_nps())
        return {layer, "Lookup tables are missing on some NPs."};
    return {};
}

bool is_temporal_kind(LayerType type) {
    return type == LayerType::BufferTempConv || type == LayerType::DepthwiseBufferTempConv;
}

}  // namespace

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(Layer const& layer, Layer const* previous,
                                                                  HwVersion) const {
    KindEntry const* kind = find_kind(kind_checks, layer.type());
    if (!kind) return {layer, "Unsupported layer type on Nuvra v2."};

    MappingStatus result;
    for (VariableWidth const& width : variable_widths)
        result += check_bitwidth(layer, width.bits, width.name, false);
    result += check_supported_activation(layer);
    if (kind->check) result += kind->check({constraints_, layer, previous, {}, &depths_});
    return result;
}

MappingStatus CompatibilityCheckerImpl::check_supported_activation(Layer const& layer) const {
    MappingStatus result;
    result += rule_activation_is_relu(layer);
    result += rule_lut_on_all_nps(layer, device_.mesh());
    return result;
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerList::const_iterator first,
                                                             LayerList::const_iterator last, HwVersion) const {
    return check_sequence_rules(first, last);
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(Layer const& layer,
                                                             std::vector<hw::Component> const& components,
                                                             bool new_pass) const {
    return check_component_rules(layer, components, new_pass);
}

bool CompatibilityCheckerImpl::input_fits(InputChunk const& chunk, uint32_t buffer_words) const {
    uint64_t const size =
        chunk_input_32b_size(chunk.type, chunk.height, chunk.width, chunk.channels, chunk.fifo_size, chunk.bits);
    return fits_beside(size, chunk.reserved, buffer_words);
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(Layer const& layer, uint32_t filters) const {
    uint64_t const size = weights_100b_size_64(layer, filters);
    LayerParams const& params = layer.required_params();
    // The row of weights one input channel (one FIFO slot on a TNP-B) feeds must be addressable.
    uint64_t row = 0;
    switch (params.layer_type()) {
    case LayerType::Conv2D:
    case LayerType::Conv2DTranspose:
        row = conv2d_ch_cont_100b_size(static_cast<uint32_t>(params.get("kernel_size")), filters,
                                       params.get_as<uint8_t>("weights_bits"));
        break;
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose: row = size; break;
    case LayerType::BufferTempConv: row = buffer_temp_conv_ch_cont_100b_size(filters); break;
    default: break;  // DepthwiseBufferTempConv: no row limit
    }
    return row <= max_weight_row_100b && size <= constraints_.weight_sram_words;
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type type, LayerParams const& params) const {
    auto const optional = [&](char const* key) {
        return params.has(key) ? static_cast<uint32_t>(params.get(key)) : 0u;
    };
    // A CNP reads half a kernel of halo on each side; a TNP-B convolves over time only.
    uint32_t const halo = type == hw::Type::TNP_B ? 0 : static_cast<uint32_t>(params.get("kernel_size")) >> 1;
    uint32_t const pool_size = optional("pool_size");
    NpSplitParams result;
    result.halo = {.left = halo, .right = halo, .top = halo, .bottom = halo};
    result.pool_type = optional("pool_type");
    result.pool_width = pool_size;
    result.pool_height = pool_size;
    result.filters = optional("filters");
    return result;
}

uint64_t CompatibilityCheckerImpl::fnp_memory_words(Layer const& layer) const { return get_fnp_sram_size(layer); }

uint32_t CompatibilityCheckerImpl::reserved_input_words(Layer const& layer) const {
    return get_add_pksram_shift(layer);
}

uint32_t get_weights_100b_size(Layer const& layer, uint32_t filters) {
    LayerParams const& params = layer.required_params();
    if (is_temporal_kind(params.layer_type()) && !checked_fifo_size(params))
        throw std::runtime_error(fifo_size_out_of_range_message(params.get("fifo_size")));
    uint64_t const size = weights_100b_size_64(layer, filters);
    if (size > std::numeric_limits<uint32_t>::max())
        throw std::runtime_error(
            format("The weights of layer '{}' need more than 4294967295 100-bit words.", layer.get_name()));
    return static_cast<uint32_t>(size);
}

}  // namespace nuvra::v2
