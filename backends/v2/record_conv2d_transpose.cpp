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
    setup.kernel_size = recorded_params(layer).get("kernel_size");
    setup.kernel_stride = transposed_stride;
    setup.weights_bits = transposed_weights_bits;
    setup.transposed = true;
    setup.split = [](hw::NpPart const& part) -> std::variant<NpSplit, TransposedCnpSplit> {
        return TransposedCnpSplit(part.spatial_partition, part.halo_partition);
    };
    return setup;
}

NpRegisterMap format_transposed_conv2d_np_registers(Layer const& layer, std::shared_ptr<Layer> layer_ptr,
                                                    bool flag_a, bool flag_b, std::vector<hw::Ident> const& idents,
                                                    bool flag_c, bool flag_d) {
    return format_cnp_conv_np_registers(layer, layer_ptr, flag_a, flag_b, idents, flag_c, flag_d,
                                        transposed_cnp_conv_setup(layer));
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
