#include "backends/v2/record_conv2d_transpose.h"

#include <stdexcept>

#include "backends/v2/np_registers.h"
#include "backends/v2/record_skip_dma.h"
#include "backends/v2/routing.h"
#include "backends/v2/sizes.h"
#include "engine/params.h"
#include "hw/np_split.h"

namespace nuvra::v2 {

namespace {

// The NP runs a transposed convolution with stride 1 and 8-bit weights, and without pooling.
constexpr int transposed_stride = 1;
constexpr uint8_t transposed_weights_bits = 8;
constexpr uint8_t no_pool_size = 1;
constexpr uint8_t no_pool_factor = 1;

}  // namespace

NpRegisterMap format_transposed_conv2d_np_registers(Layer const& layer, std::shared_ptr<Layer> layer_ptr,
                                                    bool flag_a, bool flag_b, std::vector<hw::Ident> const& idents,
                                                    bool flag_c, bool flag_d) {
    LayerMapping const& mapping = recorded_layer_mapping(layer);
    std::vector<hw::Component> const sources = routing_sources(mapping);
    std::vector<hw::Component> const destinations = routing_destinations(mapping);
    LayerParams const& params = recorded_params(layer);

    auto const activation = static_cast<ActivationType>(params.get("activation"));
    Shape const input = recorded_input_shape(layer);
    int const kernel_size = params.get("kernel_size");
    uint8_t const input_bits = layer.input_bits();
    uint8_t const output_bits = layer.output_bits();
    bool const pooled_input = inbound_max_pool(layer);
    std::vector<hw::Component> const dual_stores = dual_output_stores(mapping);
    hw::Component const* load = mapping.skipdma_load();
    bool const merge_is_add = mapping.merge_info && mapping.merge_info->add;

    NpRegisterMap registers;
    std::vector<hw::Component> const components = mapping.components ? *mapping.components : std::vector<hw::Component>{};
    for (hw::Component const& component : components) {
        if (is_listed(idents, component.ident)) continue;
        std::vector<uint32_t> regs = default_np_regs(component, mapping.index, flag_c, merge_is_add);
        hw::NpPart const& part = recorded_np_part(layer, component);

        TransposedCnpSplit const split(part.spatial_partition, part.halo_partition);
        format_cnp_tnp_common_config_registers(&regs, split, kernel_size, transposed_stride, activation,
                                               first_output_channel(part, mapping), part.filters,
                                               transposed_weights_bits, components, part.single_buffer, true,
                                               input_bits, output_bits, mapping.merge_info, load, dual_stores,
                                               flag_d, !flag_c);
        format_cnp_input_and_filter_words(
            &regs, part.spatial_partition.shape[2], part.halo_partition.shape[0], part.halo_partition.shape[1],
            input_bits,
            conv2d_ch_cont_100b_size(static_cast<uint32_t>(kernel_size), part.filters, transposed_weights_bits),
            part.filters);
        format_cnp_pooling_registers(&regs, input, part.spatial_partition, no_pool_size, no_pool_factor, false,
                                     PaddingParams{}, pooled_input);
        format_mesh_registers_set_output_to_NPs(&regs, sources, components, destinations, mapping.alt_info,
                                                mapping.link_index, mapping.p2p_in, mapping.p2p_out, flag_b);
        apply_linked_layer(&regs, layer_ptr, component.ident, flag_b);
        if (flag_a) set_ib_spikes(&regs);
        registers[component.ident] = std::move(regs);
    }
    return registers;
}

std::unique_ptr<program::Record> record_program_transposed_conv2d_layer(
    Device const& device, Layer const& layer, std::shared_ptr<Layer> layer_ptr, bool flag_a, bool flag_b,
    std::vector<hw::Ident> const& idents, bool flag_c, bool flag_d) {
    if (recorded_params(layer).layer_type() != LayerType::Conv2DTranspose)
        throw std::runtime_error(invalid_cnp_layer_type_message);
    NpRegisterMap const registers =
        format_transposed_conv2d_np_registers(layer, std::move(layer_ptr), flag_a, flag_b, idents, flag_c, flag_d);
    return record_cnp_conv_program(device, layer, registers, flag_c);
}

}  // namespace nuvra::v2
