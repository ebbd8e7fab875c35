#include "backends/v2/record_dense1d.h"

#include <stdexcept>
#include <utility>

#include "backends/v2/format_fnp.h"
#include "backends/v2/np_registers.h"
#include "backends/v2/record_conv2d.h"
#include "backends/v2/record_skip_dma.h"
#include "backends/v2/registers.h"
#include "backends/v2/routing.h"
#include "hw/arith.h"
#include "program/format_support.h"
#include "hw/format.h"

namespace nuvra::v2 {

namespace {

// The neuron-memory size word of an FNP2, whose neurons sit in external memory.
constexpr uint32_t fnp2_memory_words = 5;

uint32_t width_code(uint8_t bits) { return bits == 4 ? 2 : 3; }

}  // namespace

void format_dense1d_np_registers(HardwareConstraints const& hardware_constraints, std::vector<uint32_t>* regs,
                                 hw::Type np_type, uint8_t input_bits, uint8_t output_bits, bool has_activation,
                                 Shape const& s, bool single_buffer, Dense const& weights, uint8_t weight_bits,
                                 InputPadding padding) {
    bool const fnp2 = np_type == hw::Type::FNP2;
    set_np_field(regs, CONTROL_FNP, true);
    set_np_field(regs, CONTROL_LUT, false);
    set_np_field(regs, CONTROL_SINGLE_BUFFER, single_buffer);
    set_np_field(regs, CONTROL_FNP3, np_type == hw::Type::FNP3);
    set_np_field(regs, CONTROL_CLEAR_25, false);

    if (input_bits != 4 && input_bits != 8) throw std::runtime_error("Wrong input_bits at FNP recording.");
    if (weight_bits != 4 && weight_bits != 8) throw std::runtime_error("Wrong weight bitwidth at FNP recording.");
    if (output_bits != 4 && (output_bits < 8 || output_bits > 32))
        throw std::runtime_error("Wrong output bitwidth at FNP recording.");

    set_np_field(regs, FORMAT_INPUT_BITS, width_code(input_bits));
    set_np_field(regs, FORMAT_WEIGHTS_4BIT, false);
    set_np_field(regs, FORMAT_WEIGHTS_BITS, width_code(weight_bits));
    set_np_field(regs, FORMAT_WEIGHTS_8BIT, true);
    set_np_field(regs, FORMAT_OUTPUT_BITS, width_code(output_bits));
    set_np_field(regs, FORMAT_NO_RELU_OUTPUT, output_bits <= 8 && !has_activation);
    set_np_field(regs, FORMAT_ACTIVATION, has_activation);
    set_np_field(regs, FORMAT_NP_COUNT, 1);

    set_np_field(regs, CUT_I_SIZE, s[1]);
    set_np_field(regs, CUT_J_SIZE, s[0]);

    // Bytes of one input row in the padded layouts, and the words of one plane of rows.
    uint64_t const row = words_for_bits(uint64_t{input_bits} * s[0], 8);
    uint64_t row_bytes = 0;
    uint64_t plane_words = 0;
    if (padding == InputPadding::RowBytePadded) {
        row_bytes = row;
        plane_words = ceil_div(row * s[2], 4);
    } else if (padding == InputPadding::RowWordPadded) {
        row_bytes = align_up(row, 4);
        plane_words = row_bytes * s[2] >> 2;
    }
    set_np_field(regs, CONTAINER_CHCONT_SIZE, row_bytes);
    set_np_field(regs, INPUT_ROW_CPK_CHCONT_SIZE, row_bytes);
    set_np_field(regs, INPUT_ROW_WORDS, plane_words);

    set_np_field(regs, FNP_PKSRAM_SIZE, get_fpksram_size(s[1], s[0], s[2], input_bits, padding));
    set_np_field(regs, FNP_INPUT_SET_29, true);
    set_np_field(regs, FNP_INPUT_CLEAR_30, false);
    set_np_field(regs, FNP_INPUT_SET_31, true);

    require_rank(weights, 2, "weights");
    set_np_field(regs, FNP_NEURON_COUNT, weights.dimensions()[1]);
    set_np_field(regs, FNP_NEURON_WORDS, get_neuron_word_size(s, padding, input_bits, weight_bits));
    set_np_field(regs, FNP_OUTPUT_CLEAR_0_17, 0);

    uint32_t memory_words = fnp2_memory_words;
    if (!fnp2) {
        // The size word counts modulo the FNP3's weight memory.
        if (hardware_constraints.fnp3_sram_words == 0)
            throw std::runtime_error("An FNP3 without weight memory cannot hold a Dense1D layer.");
        memory_words = get_layer_word_size(weights, weight_bits, s, padding, input_bits) %
                       hardware_constraints.fnp3_sram_words;
    }
    set_np_field(regs, FNP_W_SIZE_LAST, memory_words);
    set_np_field(regs, FNP_MEMORY_IN_SRAM, !fnp2);
    set_np_field(regs, FNP_MEMORY_CLEAR_21_23, 0);
}

std::unique_ptr<program::Record> record_program_dense1d_layer(Device const& device,
                                                              HardwareConstraints const& hardware_constraints,
                                                              LayerRecordArgs const& args) {
    Layer const& layer = args.layer;
    bool const flatten = &layer == &args.sequence_first;
    Shape const s = get_fnp_input_dim(layer, flatten);
    auto const shifts = required_variable(layer, "input_shift");
    auto const weights = required_variable(layer, "weights");

    LayerMapping const& mapping = recorded_layer_mapping(layer);
    if (!mapping.components || mapping.components->empty())
        throw std::out_of_range(format("Layer '{}' has no component to record.", layer.get_name()));
    hw::Component const& np = mapping.components->front();

    uint8_t const input_bits = layer.input_bits();
    // A width outside a byte is none the FNP takes: it reads as 0, which is refused.
    int32_t const weight_param = layer.required_params().get("weights_bits");
    uint8_t const weight_bits = weight_param >= 0 && weight_param <= 255 ? uint8_t(weight_param) : 0;
    InputPadding const padding = get_fnp_supported_padding(layer, flatten);

    auto record = program::new_record(device.version());
    if (is_listed(args.skipped_nps, np.ident)) return record;

    auto const layer_words = [&](hw::Component const&) {
        std::vector<uint32_t> regs = default_np_regs(np, mapping.index, args.registers_only, false);
        format_dense1d_np_registers(hardware_constraints, &regs, np.type, input_bits, layer.output_bits(),
                                    layer.has_activation(), s, np.single_buffer(), *weights, weight_bits, padding);
        set_np_field(&regs, LEARNING_ENABLE, false);
        return regs;
    };
    LayerRoutes const routes(mapping);
    NpImageSteps steps = np_image_steps(routes, args.mesh_flag, layer_words);
    // An FNP2 reports to the mesh's configuration DMA.
    if (np.type == hw::Type::FNP2) {
        steps.routing = [&, route = steps.routing](std::vector<uint32_t>* regs) {
            route(regs);
            format_mesh_cfg_dma_reg(regs, device.mesh().dma_conf);
        };
    }
    NpRegisterMap const registers = format_np_images(std::span(&np, 1), np_image_args(args), steps);

    // The input shifts go with the registers, also for the NPs a pass leaves unused.
    record_np_blocks(*record, std::span(&np, 1), registers, SkippedNp::left_out, false, [&](hw::Component const&) {
        record->add_np_track(np.ident, dma::Target::InputShift, 0,
                             format_input_shift_fnp(*shifts, s, padding, input_bits));
        if (args.registers_only) return;
        std::vector<uint32_t> ram = format_fnp_ram(layer, flatten, padding, input_bits, weight_bits);
        // An FNP2's filters are the layer's whole weights: the track takes them over.
        if (np.type == hw::Type::FNP2)
            record->add_fnp2_filters_track(np.ident, std::move(ram));
        else
            record->add_np_track(np.ident, dma::Target::FnpMemory, 0, ram);
    });
    return record;
}

std::unique_ptr<program::Record> record_program_dense1d_layer(Device const& device,
                                                              HardwareConstraints const& hardware_constraints,
                                                              Layer const& layer, Layer const& sequence_first,
                                                              std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                              bool mesh_flag,
                                                              std::vector<hw::Ident> const& skipped_nps,
                                                              bool registers_only) {
    return record_program_dense1d_layer(device, hardware_constraints,
                                        layer_record_args(layer, sequence_first, std::move(next_layer), set_spikes,
                                                          mesh_flag, skipped_nps, registers_only, false));
}

}  // namespace nuvra::v2
