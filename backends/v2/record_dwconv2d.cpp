#include "backends/v2/record_dwconv2d.h"

#include <stdexcept>

#include "backends/v2/format_dwconv_weights.h"
#include "backends/v2/np_registers.h"
#include "backends/v2/record_conv2d_transpose.h"
#include "backends/v2/record_skip_dma.h"
#include "backends/v2/registers.h"
#include "backends/v2/sizes.h"
#include "engine/params.h"
#include "hw/arith.h"

namespace nuvra::v2 {

namespace {

// What the depthwise words of an NP depend on besides the NP's part.
struct DepthwiseWords {
    uint8_t input_bits = 0;
    uint32_t input_channels = 0;  // of the whole layer
    uint32_t kernel_size = 0;
    uint8_t ch_cont_bits = 8;     // the weight width the weight count is taken for
    bool group_before_packets = false;
};

void format_depthwise_np_words(std::vector<uint32_t>* regs, hw::NpPart const& part, DepthwiseWords const& d) {
    uint32_t const channels = part.spatial_partition.shape[2];
    uint32_t const width = part.halo_partition.shape[0];
    uint32_t const height = part.halo_partition.shape[1];
    uint32_t const first = part.start_neuron;
    uint32_t const count = part.filters;

    set_np_field(regs, FORMAT_DEPTHWISE, true);
    // An NP holding only some of the input channels takes its group of them.
    auto channel_group = [&] {
        if (count >= d.input_channels) return;
        set_np_field(regs, FORMAT_IB_CH_GRP_EN, true);
        set_np_field(regs, CUT_CH_ORIG, first);
        set_np_field(regs, CUT_CH_SIZE, count);
    };
    if (d.group_before_packets) channel_group();
    set_np_field(regs, INPUT_MEMORY_CPKSRAM_SIZE, cnp_input_packet_words(channels, width, height, d.input_bits));
    if (!d.group_before_packets) channel_group();
    set_np_field(regs, CONTAINER_CHCONT_SIZE, dwc_ch_cont_100b_size(d.kernel_size, count, d.ch_cont_bits));

    // 32-bit words of one input row of one channel.
    uint64_t const row_words = words_for_bits(uint64_t{d.input_bits} * width, 32);
    set_np_field(regs, INPUT_ROW_CPK_CHCONT_SIZE, mul_sat({4, row_words, uint64_t{height}}));
    set_np_field(regs, FILTER_GROUPS_COUNT, 1);
    set_np_field(regs, INPUT_ROW_WORDS, row_words);
}

CnpConvBlocks const depthwise_blocks{format_depthwise_conv_cnp_weights, dwc_dma_target, true};

// The np_words hook of a depthwise setup.
void add_depthwise_words(CnpConvSetup* setup, Layer const& layer, uint8_t ch_cont_bits, bool group_before_packets) {
    DepthwiseWords const words{layer.input_bits(), layer.first_input()[2],
                               static_cast<uint32_t>(setup->kernel_size), ch_cont_bits, group_before_packets};
    setup->np_words = [words](std::vector<uint32_t>* regs, hw::NpPart const& part) {
        format_depthwise_np_words(regs, part, words);
    };
}

}  // namespace

NpRegisterMap format_dwconv2d_np_registers(LayerRecordArgs const& args) {
    recorded_layer_mapping(args.layer);
    CnpConvSetup setup = pooled_cnp_conv_setup(args.layer);
    add_depthwise_words(&setup, args.layer, setup.weights_bits, false);
    return format_cnp_conv_np_registers(args, setup);
}

NpRegisterMap format_transposed_dwconv2d_np_registers(LayerRecordArgs const& args) {
    CnpConvSetup setup = transposed_cnp_conv_setup(args.layer);
    add_depthwise_words(&setup, args.layer, 8, true);
    return format_cnp_conv_np_registers(args, setup);
}

std::unique_ptr<program::Record> record_program_dwconv2d_layer(Device const& device, LayerRecordArgs const& args) {
    if (args.layer.type() != LayerType::DepthwiseConv2D)
        throw std::runtime_error(invalid_cnp_layer_type_message);
    NpRegisterMap const registers = format_dwconv2d_np_registers(args);
    return record_cnp_conv_program(device, args.layer, registers, args.registers_only, depthwise_blocks);
}

std::unique_ptr<program::Record> record_program_transposed_dwconv2d_layer(Device const& device,
                                                                          LayerRecordArgs const& args) {
    if (args.layer.type() != LayerType::DepthwiseConv2DTranspose)
        throw std::runtime_error(invalid_cnp_layer_type_message);
    NpRegisterMap const registers = format_transposed_dwconv2d_np_registers(args);
    return record_cnp_conv_program(device, args.layer, registers, args.registers_only, depthwise_blocks);
}

std::unique_ptr<program::Record> record_program_dwconv2d_layer(Device const& device, Layer const& layer,
                                                               std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                               bool mesh_flag,
                                                               std::vector<hw::Ident> const& skipped_nps,
                                                               bool registers_only, bool fnp_padding) {
    return record_program_dwconv2d_layer(
        device, layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps,
                                  registers_only, fnp_padding));
}

NpRegisterMap format_dwconv2d_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer, bool set_spikes,
                                           bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                           bool registers_only, bool fnp_padding) {
    return format_dwconv2d_np_registers(
        layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps, registers_only,
                          fnp_padding));
}

std::unique_ptr<program::Record> record_program_transposed_dwconv2d_layer(Device const& device, Layer const& layer,
                                                                          std::shared_ptr<Layer> next_layer,
                                                                          bool set_spikes, bool mesh_flag,
                                                                          std::vector<hw::Ident> const& skipped_nps,
                                                                          bool registers_only, bool fnp_padding) {
    return record_program_transposed_dwconv2d_layer(
        device, layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps,
                                  registers_only, fnp_padding));
}

NpRegisterMap format_transposed_dwconv2d_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer,
                                                      bool set_spikes, bool mesh_flag,
                                                      std::vector<hw::Ident> const& skipped_nps,
                                                      bool registers_only, bool fnp_padding) {
    return format_transposed_dwconv2d_np_registers(
        layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps, registers_only,
                          fnp_padding));
}

}  // namespace nuvra::v2
