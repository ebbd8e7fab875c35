#include "backends/v2/record_buffer_temp_conv.h"

#include <limits>
#include <optional>
#include <stdexcept>

#include "backends/v2/format_tnp_b_weights.h"
#include "backends/v2/format_variables.h"
#include "backends/v2/np_registers.h"
#include "backends/v2/record_skip_dma.h"
#include "backends/v2/registers.h"
#include "backends/v2/sizes.h"
#include "engine/params.h"
#include "hw/arith.h"
#include "hw/np_split.h"

namespace nuvra::v2 {

namespace {

// The layer's "fifo_size"; a negative one reads as 4294967295, which no field takes.
uint32_t fifo_size_of(Layer const& layer) {
    int32_t const value = layer.required_params().get("fifo_size");
    return value < 0 ? std::numeric_limits<uint32_t>::max() : uint32_t(value);
}

NpRegisterMap format_tnp_b_np_registers(LayerRecordArgs const& args, bool depthwise) {
    Layer const& layer = args.layer;
    LayerMapping const& mapping = recorded_layer_mapping(layer);
    LayerRoutes const routes(mapping);
    auto const activation = static_cast<ActivationType>(layer.required_params().get("activation"));
    uint32_t const fifo_size = fifo_size_of(layer);
    Shape const input = layer.first_input();
    uint8_t const input_bits = layer.input_bits();
    uint8_t const output_bits = layer.output_bits();
    std::vector<hw::Component> const& components = mapping.mapped_components();

    auto const layer_words = [&](hw::Component const& component) {
        std::vector<uint32_t> regs = default_np_regs(component, mapping.index, args.registers_only, false);
        hw::NpPart const& part = recorded_np_part(layer, component);
        // A 1 x 1 window with stride 1 and no pooling.
        NpSplit const split(input, part.spatial_partition, part.halo_partition, 1, 1, PaddingParams{}, 0, 1,
                            PaddingParams{});
        format_cnp_tnp_common_config_registers(&regs, split,
                                               {.kernel_size = 1,
                                                .kernel_stride = 0,
                                                .activation = activation,
                                                .first_neuron = part.start_neuron,
                                                .filters = part.filters,
                                                .weights_bits = 8,
                                                .layer_nps = components,
                                                .single_buffer = part.single_buffer,
                                                .input_bits = input_bits,
                                                .output_bits = output_bits,
                                                .dual_output_stores = {},
                                                .fnp_padding = args.fnp_padding,
                                                .link_nps = false});
        format_tnp_b_np_words(&regs, {part.spatial_partition.shape[2], part.halo_partition.shape[0],
                                      part.halo_partition.shape[1], input_bits, fifo_size, part.start_neuron,
                                      part.filters, depthwise, input[2]});
        return regs;
    };
    return format_np_images(components, np_image_args(args), np_image_steps(routes, args.mesh_flag, layer_words));
}

std::unique_ptr<program::Record> record_tnp_b_program(Device const& device, Layer const& layer,
                                                      NpRegisterMap const& registers, bool registers_only,
                                                      bool depthwise) {
    LayerMapping const& mapping = recorded_layer_mapping(layer);
    auto record = program::new_record(device.version());
    if (!registers_only) record_skipdma(record.get(), layer);

    // The NPs a pass leaves unused get their registers only: no variable is read for them.
    std::shared_ptr<Dense const> input_shift, weights;
    std::optional<NeuronVariables> neurons;
    std::vector<uint32_t> layer_input_shift;
    uint32_t fifo_size = 0;
    if (!registers_only) {
        input_shift = required_variable(layer, "input_shift");
        if (!depthwise) layer_input_shift = format_input_shift(*input_shift, 0, 0);
        weights = required_variable(layer, "weights");
        neurons.emplace(layer);
        if (!depthwise) fifo_size = fifo_size_of(layer);
    }

    auto const np_blocks = [&](hw::Component const& component) {
        hw::Ident const& ident = component.ident;
        hw::NpPart const& part = recorded_np_part(layer, component);
        uint32_t const first = part.start_neuron;
        uint32_t const count = part.filters;
        record->add_np_track(ident, dma::Target::WeightsAlt, 0,
                             depthwise ? format_tnp_b_depthwise_buffer_temp_conv_weights(*weights, first, count)
                                       : format_tnp_b_buffer_temp_conv_weights(*weights, fifo_size, first, count));
        record->add_np_track(ident, dma::Target::InputShift, 0,
                             depthwise ? format_input_shift(*input_shift, first, count) : layer_input_shift);
        record->add_np_track(ident, dma::Target::Variables, 0, neurons->format(first, count));
    };
    record_np_blocks(*record, mapping.mapped_components(), registers, SkippedNp::left_out, registers_only, np_blocks);
    return record;
}

}  // namespace

void format_tnp_b_np_words(std::vector<uint32_t>* regs, TnpBNpWords const& w) {
    uint64_t const channels4 = align_up(w.channels, 4);
    bool const channel_group = w.depthwise && w.count < w.layer_channels;

    set_np_field(regs, CONTROL_TNP_B, true);
    if (w.depthwise) {
        set_np_field(regs, FORMAT_DEPTHWISE, true);
        set_np_field(regs, FORMAT_IB_CH_GRP_EN, channel_group);
    }
    set_np_field(regs, INPUT_MEMORY_FIFO_FRAMES, w.fifo_size);
    set_np_field(regs, CONTAINER_CHCONT_SIZE, w.depthwise ? 1 : buffer_temp_conv_ch_cont_100b_size(w.count));
    set_np_field(regs, FILTERS_TNP_B_CHANNELS, w.channels);
    if (w.depthwise) {
        set_np_field(regs, CUT_CH_ORIG, channel_group ? w.first : 0);
        set_np_field(regs, CUT_CH_SIZE, channel_group ? w.count : 0);
    }
    set_np_field(regs, INPUT_ROW_CPK_CHCONT_SIZE, channels4);
    set_np_field(regs, INPUT_ROW_WORDS, channels4 * w.width / 4);
    set_np_field(regs, FILTER_GROUPS_COUNT, w.depthwise ? 1 : ceil_div(w.count, 8));

    set_np_field(regs, FIFO_CLEAR_0, false);
    set_np_field(regs, FIFO_ON, true);
    set_np_field(regs, FIFO_SIZE, w.fifo_size);
    set_np_field(regs, FIFO_SLOTS, uint64_t{w.fifo_size} + 1);

    // The NP's input frame, in 32-bit words, then in units of 64 words.
    uint64_t const frame_bits = mul_sat(mul_sat(mul_sat(w.width, w.height), channels4), w.input_bits);
    set_np_field(regs, NP_SLOT_TNP_B_BUFFER, ceil_div(ceil_div(frame_bits, 32), 64));
    set_np_field(regs, NP_SLOT_CLEAR_31, false);
}

NpRegisterMap format_buffer_temp_conv_np_registers(LayerRecordArgs const& args) {
    return format_tnp_b_np_registers(args, false);
}

NpRegisterMap format_depthwise_buffer_temp_conv_np_registers(LayerRecordArgs const& args) {
    return format_tnp_b_np_registers(args, true);
}

std::unique_ptr<program::Record> record_program_buffer_temp_conv_layer(Device const& device,
                                                                       LayerRecordArgs const& args) {
    if (args.layer.type() != LayerType::BufferTempConv)
        throw std::runtime_error(invalid_tnp_b_layer_type_message);
    NpRegisterMap const registers = format_buffer_temp_conv_np_registers(args);
    return record_tnp_b_program(device, args.layer, registers, args.registers_only, false);
}

std::unique_ptr<program::Record> record_program_depthwise_buffer_temp_conv_layer(Device const& device,
                                                                                 LayerRecordArgs const& args) {
    if (args.layer.type() != LayerType::DepthwiseBufferTempConv)
        throw std::runtime_error(invalid_tnp_b_layer_type_message);
    recorded_layer_mapping(args.layer);
    NpRegisterMap const registers = format_depthwise_buffer_temp_conv_np_registers(args);
    return record_tnp_b_program(device, args.layer, registers, args.registers_only, true);
}

std::unique_ptr<program::Record> record_program_buffer_temp_conv_layer(Device const& device, Layer const& layer,
                                                                       std::shared_ptr<Layer> next_layer,
                                                                       bool set_spikes, bool mesh_flag,
                                                                       std::vector<hw::Ident> const& skipped_nps,
                                                                       bool registers_only, bool fnp_padding) {
    return record_program_buffer_temp_conv_layer(
        device, layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps,
                                  registers_only, fnp_padding));
}

NpRegisterMap format_buffer_temp_conv_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer,
                                                   bool set_spikes, bool mesh_flag,
                                                   std::vector<hw::Ident> const& skipped_nps, bool registers_only,
                                                   bool fnp_padding) {
    return format_buffer_temp_conv_np_registers(
        layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps, registers_only,
                          fnp_padding));
}

std::unique_ptr<program::Record> record_program_depthwise_buffer_temp_conv_layer(Device const& device,
                                                                                 Layer const& layer,
                                                                                 std::shared_ptr<Layer> next_layer,
                                                                                 bool set_spikes, bool mesh_flag,
                                                                                 std::vector<hw::Ident> const& skipped_nps,
                                                                                 bool registers_only,
                                                                                 bool fnp_padding) {
    return record_program_depthwise_buffer_temp_conv_layer(
        device, layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps,
                                  registers_only, fnp_padding));
}

NpRegisterMap format_depthwise_buffer_temp_conv_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer,
                                                             bool set_spikes, bool mesh_flag,
                                                             std::vector<hw::Ident> const& skipped_nps,
                                                             bool registers_only, bool fnp_padding) {
    return format_depthwise_buffer_temp_conv_np_registers(
        layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps, registers_only,
                          fnp_padding));
}

}  // namespace nuvra::v2
