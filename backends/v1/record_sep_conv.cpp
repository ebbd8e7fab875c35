#include "backends/v1/record_sep_conv.h"

#include <utility>

#include "backends/v1/format_cnp_weights.h"
#include "backends/v1/np_registers.h"
#include "backends/v1/registers.h"
#include "backends/v1/sizes.h"
#include "engine/layers.h"
#include "hw/arith.h"
#include "mapping/split.h"

namespace nuvra::v1 {

namespace {

// A weight width as the separable words take it, halved; a negative width wraps to a value no
// field holds.
uint32_t halved(int32_t bits) { return static_cast<uint32_t>(bits >> 1); }

}  // namespace

NpRegisterMap format_sep_conv_np_registers(Layer const& layer, NpImageArgs const& args) {
    (void)dynamic_cast<SeparableConvolutional const&>(layer);
    LayerParams const& params = layer.required_params();
    int32_t const weights_bits = params.get("weights_bits");
    uint32_t const dw_size =
        get_dw_weights_sram_size(params.get("kernel_width"), first_input_dims(layer).channels, weights_bits);

    auto const kind_words = [&](std::vector<uint32_t>* regs, hw::NpPart const& part) {
        set_np_field(regs, FORMAT_DEPTHWISE, 1);
        set_np_field(regs, FORMAT_WEIGHTS_BITS, halved(weights_bits));
        set_np_field(regs, FORMAT_PW_WEIGHTS_BITS, halved(weights_bits));
        set_np_field(regs, KERNEL_PW_WORDS, get_nb_words_per_pw_channel(part.filters, weights_bits));
        set_np_field(regs, DEPTHWISE_WORDS, dw_size >> 1);  // SRAM words, two 32-bit words each
    };
    return format_cnp_conv_np_registers(layer, args, kind_words);
}

std::unique_ptr<program::Record> record_program_sep_conv_layer(Device const& device, LayerRecordArgs const& args) {
    Layer const& layer = args.layer;
    (void)dynamic_cast<SeparableConvolutional const&>(layer);
    auto const depthwise = layer.variable("weights")->ensure_dense();
    auto const pointwise = layer.variable("weights_pw")->ensure_dense();
    int32_t const weights_bits = layer.required_params().get("weights_bits");

    // The depthwise weights are the same on every NP; the pointwise weights start on the next
    // 16-word block.
    auto const dw_words =
        std::make_shared<std::vector<uint32_t> const>(format_sep_cnp_dw_weights(*depthwise, weights_bits));
    auto const pw_address = narrow<uint16_t>(ceil_div(dw_words->size(), 16), "depthwise weight blocks");

    NpRegisterMap const registers = format_sep_conv_np_registers(layer, np_image_args(args));
    auto const weight_blocks = [&](hw::NpPart const& part) {
        auto pw = format_sep_cnp_pw_weights(*pointwise, weights_bits, part.start_neuron, part.filters);
        return std::vector<WeightBlock>{{0, dw_words},
                                        {pw_address, std::make_shared<std::vector<uint32_t> const>(std::move(pw))}};
    };
    return record_cnp_conv_program(device, args, registers, weight_blocks);
}


std::unique_ptr<program::Record> record_program_sep_conv_layer(Device const& device, Layer const& layer,
                                                               std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                               bool mesh_flag,
                                                               std::vector<hw::Ident> const& skipped_nps,
                                                               bool registers_only) {
    return record_program_sep_conv_layer(
        device, layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps,
                                  registers_only, false));
}

NpRegisterMap format_sep_conv_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer, bool set_spikes,
                                           bool mesh_flag, std::vector<hw::Ident> const& skipped_nps) {
    return format_sep_conv_np_registers(
        layer,
        np_image_args(layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps,
                                        false, false)));
}

}  // namespace nuvra::v1
