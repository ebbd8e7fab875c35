#include "backends/v2/record_conv2d.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <stdexcept>

#include "backends/v2/check_sizes.h"
#include "backends/v2/format_conv_weights.h"
#include "backends/v2/format_variables.h"
#include "backends/v2/np_registers.h"
#include "backends/v2/partial_reconfig.h"
#include "backends/v2/record_skip_dma.h"
#include "backends/v2/registers.h"
#include "backends/v2/routing.h"
#include "backends/v2/sizes.h"
#include "engine/params.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "hw/np_split.h"
#include "hw/panic.h"
#include "program/format_support.h"

namespace nuvra::v2 {

namespace {

// A parameter that the hardware reads as one byte (a bit width or a pool size); a value outside
// 0..255 would wrap onto another one, so it stops with the 8-bit overflow message.
// A negative value is reported as 4294967295.
uint8_t byte_value(int64_t value) {
    return static_cast<uint8_t>(fitting_value(8, value < 0 ? std::numeric_limits<uint32_t>::max() : uint64_t(value)));
}

std::shared_ptr<Dense const> dense_of(std::shared_ptr<Tensor> const& tensor) {
    return tensor ? tensor->ensure_dense() : nullptr;
}

// The tensors every NP of the layer reads, and the blocks that are the same for all of them,
// made when the first NP needs them.
struct LayerTensors {
    std::shared_ptr<Dense const> input_shift, weights;
    NeuronVariables neurons;
    uint8_t weights_bits = 0;
    dma::Target weight_target = dma::Target::Weights;
    std::optional<std::vector<uint32_t>> layer_input_shift;
    std::optional<std::vector<uint32_t>> lut;
    std::optional<std::vector<uint32_t>> layer_merge_shift;

    LayerTensors(Layer const& layer, CnpConvBlocks const& blocks)
        : input_shift(required_variable(layer, "input_shift")),
          weights(required_variable(layer, "weights")),
          neurons(layer),
          weights_bits(byte_value(layer.required_params().get("weights_bits"))) {
        // The kernel size is the weights' first dimension (x, y, c, f).
        require_rank(*weights, 4, "weights");
        weight_target = blocks.weight_target(weights->dimensions()[0], weights_bits);
    }
};

std::vector<uint32_t> const& lut_words(Layer const& layer, LayerTensors* t) {
    if (!t->lut) {
        auto const lut = optional_variable(layer, "lut_values");
        t->lut = format_lut_values_for_cnp(lut.get());
    }
    return *t->lut;
}

std::vector<uint32_t> merge_shift_words(MergeLayerInfo const& merge, uint32_t first, uint32_t count) {
    return format_merge_layer_shift(dense_of(merge.a_shift), dense_of(merge.b_shift), dense_of(merge.output_shift),
                                    first, count);
}

// The merge shifts of every channel of the Add.
std::vector<uint32_t> const& layer_merge_shift_words(MergeLayerInfo const& merge, LayerTensors* t) {
    if (!t->layer_merge_shift) {
        auto const a = dense_of(merge.a_shift);
        if (a) require_rank(*a, 1, "a_shift");
        t->layer_merge_shift = merge_shift_words(merge, 0, a ? a->dimensions()[0] : 0);
    }
    return *t->layer_merge_shift;
}

}  // namespace

// ---- shared by the CNP convolution recorders ----

std::shared_ptr<Dense const> required_variable(Layer const& layer, const char* name) {
    return layer.variable(name)->ensure_dense();
}

std::shared_ptr<Dense const> optional_variable(Layer const& layer, const char* name) {
    if (!layer.variables().has(name)) return nullptr;
    return layer.variable(name)->ensure_dense();
}

NeuronVariables::NeuronVariables(Layer const& layer)
    : max_value(optional_variable(layer, "max_value")),
      max_value_shift(optional_variable(layer, "max_value_shift")),
      activation_shift(optional_variable(layer, "activation_shift")),
      activation_scales(optional_variable(layer, "activation_scales")),
      output_shift(optional_variable(layer, "output_shift")),
      bias_shift(optional_variable(layer, "bias_shift")),
      bias(optional_variable(layer, "bias")),
      output_scales(optional_variable(layer, "output_scales")) {
    // The ceiling pair and the look-up pair share bits of the image: only the pair the activation
    // reads goes in, so that the other cannot overwrite it.
    LayerParams const& params = layer.required_params();
    if (!params.has("activation")) return;
    switch (static_cast<ActivationType>(params.get("activation"))) {
    case ActivationType::ReLU:
        activation_shift.reset();
        activation_scales.reset();
        break;
    case ActivationType::LUT:
        max_value.reset();
        max_value_shift.reset();
        break;
    default:
        break;
    }
}

std::vector<uint32_t> NeuronVariables::format(uint32_t first, uint32_t count) const {
    return format_cnp_tnp_variables(max_value.get(), max_value_shift.get(), activation_shift.get(),
                                    activation_scales.get(), output_shift.get(), bias_shift.get(), bias.get(),
                                    output_scales.get(), first, count);
}

uint64_t cnp_input_packet_words(uint32_t channels, uint32_t width, uint32_t height, uint8_t bits) {
    return chunk_input_32b_size(hw::Type::CNP1, height, width, channels, 0, bits);
}

void format_cnp_input_and_filter_words(std::vector<uint32_t>* regs, uint32_t channels, uint32_t cut_width,
                                       uint32_t cut_height, uint8_t input_bits, uint32_t ch_cont,
                                       uint32_t filters) {
    // Bytes of one input row of one channel, rounded up to whole words.
    uint64_t const row_bytes = round_up(words_for_bits(uint64_t{input_bits} * cut_width, 8), 4);

    set_np_field(regs, INPUT_MEMORY_CPKSRAM_SIZE, cnp_input_packet_words(channels, cut_width, cut_height, input_bits));
    set_np_field(regs, CONTAINER_CHCONT_SIZE, ch_cont);
    set_np_field(regs, FILTERS_TF_TOTAL, filters);
    set_np_field(regs, INPUT_ROW_CPK_CHCONT_SIZE, row_bytes);
    set_np_field(regs, FILTER_GROUPS_COUNT, ceil_div(filters, 8));
    set_np_field(regs, INPUT_ROW_WORDS, mul_sat(channels, row_bytes) / 4);
}

hw::NpPart const& recorded_np_part(Layer const& layer, hw::Component const& component) {
    if (!component.np_part)
        throw std::invalid_argument(format("An NP of layer {} has no NP part.", layer.get_name()));
    return *component.np_part;
}

uint32_t first_output_channel(hw::NpPart const& part, LayerMapping const& mapping) {
    uint64_t const first = uint64_t{part.start_neuron} + mapping.sram_output_shift.value_or(0);
    return clamp_to<uint32_t>(first);
}

std::vector<hw::Component> dual_output_stores(LayerMapping const& mapping) {
    hw::Component const* store = mapping.skipdma_store_dual_output();
    return store ? std::vector<hw::Component>{*store} : std::vector<hw::Component>{};
}

NpImageSteps np_image_steps(LayerRoutes const& routes, bool mesh_flag,
                            std::function<std::vector<uint32_t>(hw::Component const& np)> layer_words) {
    return {.layer_words = std::move(layer_words),
            .routing = [&routes, mesh_flag](std::vector<uint32_t>* regs) {
                format_mesh_registers_set_output_to_NPs(regs, routes, mesh_flag);
            },
            .linked_layer = [mesh_flag](std::vector<uint32_t>* regs, Layer const& linked,
                                        hw::Component const& component) {
                update_partial_reconfig_regs(regs, linked, component, mesh_flag);
            }};
}

std::unique_ptr<program::Record> record_cnp_conv_program(Device const& device, Layer const& layer,
                                                         NpRegisterMap const& registers, bool registers_only,
                                                         CnpConvBlocks const& blocks) {
    LayerMapping const& mapping = recorded_layer_mapping(layer);
    auto record = program::new_record(device.version());
    // The NPs a pass leaves unused get their registers only: no variable is read for them.
    std::optional<LayerTensors> tensors;
    if (!registers_only) tensors.emplace(layer, blocks);
    bool const has_lut = layer.has_activation_type(ActivationType::LUT);
    MergeLayerInfo const* add_merge = mapping.merge_info && mapping.merge_info->add ? mapping.merge_info.get() : nullptr;

    auto const np_blocks = [&](hw::Component const& component) {
        hw::Ident const& ident = component.ident;
        LayerTensors& t = *tensors;
        hw::NpPart const& part = recorded_np_part(layer, component);
        uint32_t const first = part.start_neuron;
        uint32_t const count = part.filters;
        record->add_np_track(ident, t.weight_target, 0,
                             blocks.format_weights(*t.weights, first, count, t.weights_bits));
        if (blocks.channel_shifts) {
            record->add_np_track(ident, dma::Target::InputShift, 0, format_input_shift(*t.input_shift, first, count));
        } else {
            if (!t.layer_input_shift) t.layer_input_shift = format_input_shift(*t.input_shift, 0, 0);
            record->add_np_track(ident, dma::Target::InputShift, 0, *t.layer_input_shift);
        }
        record->add_np_track(ident, dma::Target::Variables, 0, t.neurons.format(first, count));
        if (has_lut) record->add_np_track(ident, dma::Target::ActivationLut, 0, lut_words(layer, &t));
        if (add_merge) {
            record->add_np_track(ident, dma::Target::MergeShift, 0,
                                 blocks.channel_shifts ? merge_shift_words(*add_merge, first, count)
                                                       : layer_merge_shift_words(*add_merge, &t));
        }
    };
    record_np_blocks(*record, mapping.mapped_components(), registers, SkippedNp::left_out, registers_only, np_blocks);

    if (!registers_only) record_skipdma(record.get(), layer);
    return record;
}

// ---- Conv2D ----

CnpConvSetup pooled_cnp_conv_setup(Layer const& layer) {
    LayerParams const& params = layer.required_params();

    // The computed blocks of the convolution and its pooling.
    auto const* conv_layer = dynamic_cast<HasConvParams const*>(&layer);
    auto const* pool_layer = dynamic_cast<HasPoolParams const*>(&layer);
    ConvCalculatedParams const* conv = conv_layer ? conv_layer->conv_params() : nullptr;
    PoolingCalculatedParams const* pool_block = pool_layer ? pool_layer->pool_params() : nullptr;
    if (conv == nullptr || pool_block == nullptr)
        throw std::runtime_error("The layer " + layer.get_name() + " is not built.");
    PoolingCalculatedParams pool = *pool_block;

    // The pool value: 1 without pooling and for a global average pooling.
    int64_t const pool_size = params.get("pool_size");
    auto const pool_type = static_cast<PoolType>(params.get("pool_type"));
    int64_t pool_value = pool_size;
    if (pool_type == PoolType::NoPooling) {
        get_no_pooling_params(&pool, conv->output_width, conv->output_height);
        pool_value = 1;
    } else if (pool_type == PoolType::Average && pool_size == -1) {
        pool_value = 1;
    }
    Shape const input = layer.first_input();
    CnpConvSetup setup;
    setup.kernel_size = params.get("kernel_size");
    setup.kernel_stride = params.get("kernel_stride");
    setup.weights_bits = byte_value(params.get("weights_bits"));
    setup.pool_size = byte_value(pool_value);
    setup.pool_factor = static_cast<uint8_t>(pool.stride_x);
    setup.global_pool = pool.flag;
    setup.pool_padding = pool.padding;
    setup.split = [input, padding = conv->padding, kernel = setup.kernel_size, stride = setup.kernel_stride,
                   pool_size = setup.pool_size, pool_factor = setup.pool_factor,
                   pool_padding = pool.padding](hw::NpPart const& part) -> std::variant<NpSplit, TransposedCnpSplit> {
        return NpSplit(input, part.spatial_partition, part.halo_partition, kernel, stride, padding, pool_size,
                       pool_factor, pool_padding);
    };
    return setup;
}

NpRegisterMap format_conv2d_np_registers(LayerRecordArgs const& args) {
    recorded_layer_mapping(args.layer);
    return format_cnp_conv_np_registers(args, pooled_cnp_conv_setup(args.layer));
}

NpRegisterMap format_cnp_conv_np_registers(LayerRecordArgs const& args, CnpConvSetup const& setup) {
    Layer const& layer = args.layer;
    LayerMapping const& mapping = recorded_layer_mapping(layer);
    LayerRoutes const routes(mapping);
    LayerParams const& params = layer.required_params();

    auto const activation = static_cast<ActivationType>(params.get("activation"));
    Shape const input = layer.first_input();
    uint8_t const input_bits = layer.input_bits();
    uint8_t const output_bits = layer.output_bits();
    bool const pooled_input = inbound_max_pool(layer);
    std::vector<hw::Component> const dual_stores = dual_output_stores(mapping);
    hw::Component const* load = mapping.skipdma_load();
    bool const merge_is_add = mapping.merge_info && mapping.merge_info->add;
    uint32_t const kernel_size = static_cast<uint32_t>(setup.kernel_size);
    std::vector<hw::Component> const& components = mapping.mapped_components();

    auto const layer_words = [&](hw::Component const& component) {
        std::vector<uint32_t> regs = default_np_regs(component, mapping.index, args.registers_only, merge_is_add);
        hw::NpPart const& part = recorded_np_part(layer, component);
        std::visit(
            [&](NpSplitInterface const& split) {
                format_cnp_tnp_common_config_registers(&regs, split,
                                                       {.kernel_size = setup.kernel_size,
                                                        .kernel_stride = setup.kernel_stride,
                                                        .activation = activation,
                                                        .first_neuron = first_output_channel(part, mapping),
                                                        .filters = part.filters,
                                                        .weights_bits = setup.weights_bits,
                                                        .layer_nps = components,
                                                        .single_buffer = part.single_buffer,
                                                        .transposed = setup.transposed,
                                                        .input_bits = input_bits,
                                                        .output_bits = output_bits,
                                                        .merge_info = mapping.merge_info.get(),
                                                        .skipdma_load = load,
                                                        .dual_output_stores = dual_stores,
                                                        .fnp_padding = args.fnp_padding,
                                                        .link_nps = !args.registers_only});
            },
            setup.split(part));
        if (setup.np_words) {
            setup.np_words(&regs, part);
        } else {
            format_cnp_input_and_filter_words(
                &regs, part.spatial_partition.shape[2], part.halo_partition.shape[0], part.halo_partition.shape[1],
                input_bits, conv2d_ch_cont_100b_size(kernel_size, part.filters, setup.weights_bits), part.filters);
        }
        format_cnp_pooling_registers(&regs, input, part.spatial_partition, setup.pool_size, setup.pool_factor,
                                     setup.global_pool, setup.pool_padding, pooled_input);
        return regs;
    };
    return format_np_images(components, np_image_args(args), np_image_steps(routes, args.mesh_flag, layer_words));
}

std::unique_ptr<program::Record> record_program_conv2d_layer(Device const& device, LayerRecordArgs const& args) {
    if (args.layer.type() != LayerType::Conv2D)
        throw std::runtime_error(invalid_cnp_layer_type_message);
    NpRegisterMap const registers = format_conv2d_np_registers(args);
    return record_cnp_conv_program(device, args.layer, registers, args.registers_only);
}

std::unique_ptr<program::Record> record_program_conv2d_layer(Device const& device, Layer const& layer,
                                                             std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                             bool mesh_flag,
                                                             std::vector<hw::Ident> const& skipped_nps,
                                                             bool registers_only, bool fnp_padding) {
    return record_program_conv2d_layer(
        device, layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps,
                                  registers_only, fnp_padding));
}

NpRegisterMap format_conv2d_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer, bool set_spikes,
                                         bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                         bool registers_only, bool fnp_padding) {
    return format_conv2d_np_registers(
        layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps, registers_only,
                          fnp_padding));
}

}  // namespace nuvra::v2
