#include "backends/v2/record_conv2d_transpose.h"

#include <stdexcept>

#include "backends/v2/record_skip_dma.h"
#include "engine/params.h"
#include "hw/np_split.h"

namespace nuvra::v2 {

namespace {

// The NP runs a transposed convolution with stride 1 and 8-bit weights, and without pooling (the
// setup's pooling defaults).
constexpr int transposed_stride = 1;
constexpr uint8_t transposed_weights_bits = 8;

}  // namespace

CnpConvSetup transposed_cnp_conv_setup(Layer const& layer) {
    CnpConvSetup setup;
    setup.kernel_size = layer.required_params().get("kernel_size");
    setup.kernel_stride = transposed_stride;
    setup.weights_bits = transposed_weights_bits;
    setup.transposed = true;
    setup.split = [](hw::NpPart const& part) -> std::variant<NpSplit, TransposedCnpSplit> {
        return TransposedCnpSplit(part.spatial_partition, part.halo_partition);
    };
    return setup;
}

NpRegisterMap format_transposed_conv2d_np_registers(LayerRecordArgs const& args) {
    return format_cnp_conv_np_registers(args, transposed_cnp_conv_setup(args.layer));
}

std::unique_ptr<program::Record> record_program_transposed_conv2d_layer(Device const& device,
                                                                        LayerRecordArgs const& args) {
    if (args.layer.type() != LayerType::Conv2DTranspose)
        throw std::runtime_error(invalid_cnp_layer_type_message);
    NpRegisterMap const registers = format_transposed_conv2d_np_registers(args);
    return record_cnp_conv_program(device, args.layer, registers, args.registers_only);
}

std::unique_ptr<program::Record> record_program_transposed_conv2d_layer(Device const& device, Layer const& layer,
                                                                        std::shared_ptr<Layer> next_layer,
                                                                        bool set_spikes, bool mesh_flag,
                                                                        std::vector<hw::Ident> const& skipped_nps,
                                                                        bool registers_only, bool fnp_padding) {
    return record_program_transposed_conv2d_layer(
        device, layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps,
                                  registers_only, fnp_padding));
}

NpRegisterMap format_transposed_conv2d_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer,
                                                    bool set_spikes, bool mesh_flag,
                                                    std::vector<hw::Ident> const& skipped_nps, bool registers_only,
                                                    bool fnp_padding) {
    return format_transposed_conv2d_np_registers(
        layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps, registers_only,
                          fnp_padding));
}

}  // namespace nuvra::v2
