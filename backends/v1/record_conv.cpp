#include "backends/v1/record_conv.h"

#include <algorithm>
#include <utility>

#include "backends/v1/cnp_registers.h"
#include "backends/v1/format_cnp_weights.h"
#include "backends/v1/format_fnp.h"
#include "backends/v1/np_registers.h"
#include "backends/v1/registers.h"
#include "backends/v1/sizes.h"
#include "engine/layers.h"
#include "engine/ops.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "mapping/layer_mapping.h"
#include "mapping/routing.h"
#include "mapping/split.h"
#include "program/format_support.h"

namespace nuvra::v1 {

namespace {

hw::NpPart const& np_part_of(Layer const& layer, hw::Component const& np) {
    if (!np.np_part)
        throw std::invalid_argument(format("Layer {} has an NP without its share of the layer.", layer.get_name()));
    return *np.np_part;
}

// The pooling of the layer: none, or "pooling_width" with the computed stride and padding.
CnpPooling pool_settings(LayerParams const& params, PoolingCalculatedParams const& pool) {
    auto const type = static_cast<PoolType>(params.get("pool_type"));
    if (type == PoolType::NoPooling) return {};
    int32_t const width = params.get("pooling_width");
    // A width that does not fit the word's 3 bits is refused there, never cut to its low bits.
    CnpPooling settings{static_cast<uint32_t>(width), static_cast<uint8_t>(pool.stride_x), pool.padding, pool.flag};
    if (type == PoolType::Average && width == -1) settings.size = 1;  // global average pooling
    return settings;
}

// The weights of a Convolutional layer as (filters, channels, ky, kx).
std::shared_ptr<Dense const> conv_weights(Layer const& layer) {
    auto weights = layer.variable("weights")->ensure_dense();
    require_rank(*weights, 4, "weights");
    return weights;
}

}  // namespace

CnpError::CnpError(std::string const& message) : std::runtime_error("Backend hardware(CNP): " + message) {}

std::vector<uint32_t> format_cnp_threshold_steps(Tensor const& threshold, Tensor const& steps, bool activation,
                                                 uint32_t first, uint32_t count) {
    if (count == 0) return {};
    uint64_t const end = uint64_t{first} + count;
    require_elements(threshold, end, "threshold");
    require_elements(steps, end, "act_step");
    (void)tensor_read<int32_t>(threshold, size_t{first});  // both are int32, whether read or not
    (void)tensor_read<int32_t>(steps, size_t{first});

    // Per filter the first two words of a neuron record: the threshold and the step.
    std::vector<uint32_t> words(2 * size_t{count}, 0u);
    for (uint32_t k = 0; k < count; ++k) {
        size_t const i = size_t{first} + k;
        std::span<uint32_t> const filter = std::span(words).subspan(2 * size_t{k}, 2);
        uint32_t const bits = NEURON_THRESHOLD.bits.width;
        set(filter, NEURON_THRESHOLD,
            activation ? to_signed_field(tensor_read<int32_t>(threshold, i), bits) : NEURON_NO_THRESHOLD);
        int32_t const step = tensor_read<int32_t>(steps, i);
        if (static_cast<uint32_t>(step) > NEURON_MAX_ACT_STEP) throw CnpError(act_step_message(step));
        set(filter, NEURON_ACT_STEP, static_cast<uint32_t>(step));
    }
    return words;
}

NpRegisterMap format_cnp_conv_np_registers(Layer const& layer, NpImageArgs const& args,
                                           CnpKindWords const& kind_words) {
    auto const& built = dynamic_cast<ConvPoolLayer const&>(layer);
    LayerMapping const& mapping = recorded_layer_mapping(layer);
    LayerRoutes const routes(mapping);
    ConvCalculatedParams const& conv = built.conv_calculated_params();
    LayerParams const& params = layer.required_params();

    std::vector<hw::Component> const& components = mapping.mapped_components();

    CnpCommonConfig config;
    config.input = layer.first_input();
    config.layer_index = mapping.index;
    config.input_bits = layer.input_bits();
    config.kernel_width = params.get("kernel_width");
    config.stride_x = params.get("stride_x");
    config.conv_padding = conv.padding;
    config.activation = params.get("activation") != 0;
    config.act_bits = params.get("act_bits");
    config.pool = pool_settings(params, built.pool_calculated_params());
    config.np_count = clamp_to<uint32_t>(components.size());

    auto const layer_words = [&](hw::Component const& component) {
        hw::NpPart const& part = np_part_of(layer, component);
        std::vector<uint32_t> regs = default_np_regs();
        config.window = part.spatial_partition;
        config.cut = part.halo_partition;
        config.filters = part.filters;
        config.start_neuron = part.start_neuron;
        config.single_buffer = part.single_buffer;
        format_cnp_common_config_registers(regs, config);
        format_cnp_pooling_registers(regs, config.input, part.spatial_partition, config.pool);
        kind_words(&regs, part);
        return regs;
    };
    return format_np_images(components, args, np_image_steps(routes, args.ends_pass, layer_words));
}

std::unique_ptr<program::Record> record_cnp_conv_program(Device const& device, LayerRecordArgs const& args,
                                                         NpRegisterMap const& registers,
                                                         CnpWeightBlocks const& weight_blocks) {
    Layer const& layer = args.layer;
    LayerMapping const& mapping = recorded_layer_mapping(layer);
    bool const activation = layer.required_params().get("activation") != 0;
    auto record = program::new_record(device.version());
    // The steps are worked out once, when the first NP needs them.
    std::shared_ptr<Tensor> threshold;
    std::shared_ptr<Dense> steps;

    // The weight blocks are made for every NP, registers only or not: the loop is asked for every
    // NP's blocks and records them unless registers only.
    auto const np_blocks = [&](hw::Component const& component) {
        hw::NpPart const& part = np_part_of(layer, component);
        std::vector<WeightBlock> const blocks = weight_blocks(part);
        if (args.registers_only) return;
        for (WeightBlock const& block : blocks)
            record->add_np_track(component.ident, dma::Target::Weights, block.address, *block.words);
        if (!steps) {
            threshold = layer.variable("threshold");
            steps = get_threshold_t16_from_act_steps(*layer.variable("act_step"));
        }
        record->add_np_track(
            component.ident, dma::Target::Thresholds, 0,
            format_cnp_threshold_steps(*threshold, *steps, activation, part.start_neuron, part.filters));
    };
    record_np_blocks(*record, mapping.mapped_components(), registers, SkippedNp::empty_registers, false, np_blocks);
    return record;
}

NpRegisterMap format_conv_np_registers(Layer const& layer, NpImageArgs const& args) {
    (void)conv_pool_layer(layer, LayerType::Convolutional);
    LayerParams const& params = layer.required_params();
    int32_t const weights_bits = params.get("weights_bits");
    int32_t const kernel_width = params.get("kernel_width");
    auto const weights = conv_weights(layer);
    // The packing the weight formatters use: 4 bits, ternary, or one bit for every other width.
    int const packed_bits = weights_bits == 4 ? 4 : weights_bits == 2 ? 2 : 1;
    uint32_t const kernel = weights->dimensions()[3];

    auto const kind_words = [&](std::vector<uint32_t>* regs, hw::NpPart const& part) {
        // Weight words of one input channel, in groups of four.
        set_np_field(regs, CONTAINER_CHCONT_SIZE, std_cnp_block_words(kernel, part.filters, packed_bits) >> 2);
        set_np_field(regs, FORMAT_DEPTHWISE, 0);
        set_np_field(regs, FORMAT_WEIGHTS_4BIT, weights_bits == 4);
        // The filter count goes where the kernel and weight width have their counter.
        bool const pointwise = kernel_width == 1;
        set_np_field(regs, KERNEL_1X1_FILTERS, pointwise ? part.filters : 0);
        set_np_field(regs, FILTERS_MULTIBIT, !pointwise && weights_bits >= 2 ? part.filters : 0);
        set_np_field(regs, FILTERS_BINARY, !pointwise && weights_bits == 1 ? part.filters : 0);
        set_np_field(regs, DEPTHWISE_FILTERS, 0);
    };
    return format_cnp_conv_np_registers(layer, args, kind_words);
}

std::unique_ptr<program::Record> record_program_conv_layer(Device const& device, LayerRecordArgs const& args) {
    Layer const& layer = args.layer;
    (void)conv_pool_layer(layer, LayerType::Convolutional);
    auto const weights = conv_weights(layer);
    int32_t const weights_bits = layer.required_params().get("weights_bits");
    NpRegisterMap const registers = format_conv_np_registers(layer, np_image_args(args));
    auto const weight_blocks = [&](hw::NpPart const& part) {
        auto words = weights_bits == 4
                         ? format_4bits_std_cnp_weights(*weights, part.start_neuron, part.filters)
                         : format_std_cnp_weights(*weights, weights_bits == 2, part.start_neuron, part.filters);
        return std::vector<WeightBlock>{{0, std::make_shared<std::vector<uint32_t> const>(std::move(words))}};
    };
    return record_cnp_conv_program(device, args, registers, weight_blocks);
}

std::unique_ptr<program::Record> record_program_conv_layer(Device const& device, Layer const& layer,
                                                           std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                           bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                                           bool registers_only) {
    return record_program_conv_layer(
        device, layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps,
                                  registers_only, false));
}

NpRegisterMap format_conv_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer, bool set_spikes,
                                       bool mesh_flag, std::vector<hw::Ident> const& skipped_nps) {
    return format_conv_np_registers(
        layer,
        np_image_args(layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps,
                                        false, false)));
}

}  // namespace nuvra::v1
