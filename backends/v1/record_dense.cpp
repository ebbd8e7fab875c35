#include "backends/v1/record_dense.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "backends/v1/format_fnp.h"
#include "backends/v1/np_registers.h"
#include "backends/v1/registers.h"
#include "backends/v1/sizes.h"
#include "engine/ops.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "mapping/layer_mapping.h"
#include "mapping/routing.h"
#include "mapping/split.h"

namespace nuvra::v1 {

namespace {

constexpr uint64_t fnp3_block_unit = 256;  // word 12 counts the FNP3 weight block in 256 words

}  // namespace

hw::Component const& dense_np(LayerMapping const& mapping) {
    if (!mapping.components) throw std::out_of_range("A FullyConnected layer has no NP to record.");
    return mapping.components->at(0);
}

uint32_t dense_units(Layer const& layer) {
    int32_t const units = layer.required_params().get("units");
    Shape const weights = layer.variable("weights")->dimensions();
    if (units < 0 || weights.rank() == 0 || static_cast<uint32_t>(units) != weights[0])
        throw std::invalid_argument(format("Layer {} has {} units but weights for {} neurons.", layer.get_name(),
                                           units, weights.rank() == 0 ? 0 : weights[0]));
    return static_cast<uint32_t>(units);
}

std::vector<uint32_t> format_dense_fnp_image(Layer const& layer) {
    LayerParams const& params = layer.required_params();
    auto const steps = get_threshold_t16_from_act_steps(*layer.variable("act_step"));
    return format_fnp_ram(*layer.variable("weights"), *layer.variable("threshold"), *steps, params.get("weights_bits"),
                          params.get("activation") != 0);
}

NpRegisterMap format_dense_np_registers(Device const& device, Layer const& layer, NpImageArgs const& args,
                                        bool learning) {
    LayerMapping const& mapping = recorded_layer_mapping(layer);
    hw::Component const& np = dense_np(mapping);
    bool const fnp3 = np.type == hw::Type::FNP3;
    uint8_t const input_bits = layer.input_bits();
    InputDims const input = first_input_dims(layer);
    LayerParams const& params = layer.required_params();
    int32_t const weights_bits = params.get("weights_bits");
    bool const activation = params.get("activation") != 0;
    Shape const weights = layer.variable("weights")->dimensions();

    auto const layer_words = [&](hw::Component const&) {
        std::vector<uint32_t> regs = default_np_regs();
        set(regs, CONTROL_FNP, 1);
        set(regs, CONTROL_SET_5, 1);
        set(regs, CONTROL_SET_6, 1);
        set(regs, CONTROL_NP2NP_CFG, fnp3 ? 1 : 3);
        if (fnp3) set(regs, CONTROL_CNP4FNP_NUM, 1);
        if (input_bits == 4 && !np.single_buffer())
            throw std::invalid_argument("4-bit FNP inputs require single buffer mode.");
        set(regs, CONTROL_SINGLE_BUFFER, np.single_buffer());

        set(regs, FORMAT_INPUT_BITS, input_bits >> 1);
        bool const one_bit = weights_bits == 1;
        set(regs, FORMAT_WEIGHTS_BITS, one_bit ? 0 : static_cast<uint32_t>(weights_bits - 2));
        set(regs, FORMAT_MULTIBIT_WEIGHTS, !one_bit);
        set(regs, FORMAT_OUTPUT_BITS, static_cast<uint32_t>(params.get("act_bits") >> 1));
        set(regs, FORMAT_ACTIVATION, activation);
        set(regs, FORMAT_NP_COUNT, 1);  // bit 16 set, bits 17-23 clear
        set(regs, FORMAT_LAYER_INDEX, mapping.index);

        uint64_t const pixels = mul_sat(input.width, input.height);
        set(regs, CUT_I_SIZE, input.height);
        set(regs, CUT_J_SIZE, input.width);
        set(regs, CONTAINER_ICONT_SIZE, 0);
        set(regs, CONTAINER_CH_SIZE, pixels);
        set(regs, FNP_INPUT_SET_31, 1);
        set(regs, FNP_FPKT_WSIZE, ceil_div(mul_sat(pixels, input.channels), 32));

        // The NP computes "units" neurons; the memory image holds one block per neuron of the weights.
        set(regs, FNP_NEURON_COUNT, dense_units(layer));
        set(regs, FNP_OUTPUT_CLEAR_0_17, 0);
        set(regs, FNP_OUTPUT_CLEAR_28, 0);
        set(regs, FNP_ACTIVATION, activation);

        if (fnp3) {
            uint64_t const words = fnp_layout(weights, weights_bits).words();
            uint64_t const block = fnp3_block_unit * get(regs, FNP_BLOCK_SIZE);
            set(regs, FNP_W_SIZE_LAST, words);
            set(regs, FNP_W_BLK_COUNT, ceil_div(words, block));
        }

        format_learning_common_regs(&regs, learning ? layer.learning().get() : nullptr);
        return regs;
    };
    LayerRoutes const routes(mapping);
    NpImageSteps steps = np_image_steps(routes, args.ends_pass, layer_words);
    // An FNP2 reports to the mesh's configuration DMA.
    if (!fnp3) {
        steps.routing = [&, route = steps.routing](std::vector<uint32_t>* regs) {
            route(regs);
            format_mesh_cfg_dma_reg(regs, device.mesh().dma_conf);
        };
    }
    return format_np_images(std::span(&np, 1), args, steps);
}

std::unique_ptr<program::Record> record_program_dense_layer(Device const& device, LayerRecordArgs const& args) {
    Layer const& layer = args.layer;
    hw::Component const np = dense_np(recorded_layer_mapping(layer));
    auto record = program::new_record(device.version());
    if (is_listed(args.skipped_nps, np.ident)) return record;

    NpRegisterMap const registers = format_dense_np_registers(device, layer, np_image_args(args));
    record_np_blocks(*record, std::span(&np, 1), registers, SkippedNp::left_out, args.registers_only,
                     [&](hw::Component const&) {
                         std::vector<uint32_t> const image = format_dense_fnp_image(layer);
                         if (np.type == hw::Type::FNP3)
                             record->add_np_track(np.ident, dma::Target::FnpMemory, 0, image);
                         else
                             record->add_fnp2_filters_track(np.ident, image);
                     });
    return record;
}

std::unique_ptr<program::Record> record_program_dense_layer(Device const& device, Layer const& layer,
                                                            std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                            bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                                            bool registers_only) {
    return record_program_dense_layer(
        device, layer_record_args(layer, layer, std::move(next_layer), set_spikes, mesh_flag, skipped_nps,
                                  registers_only, false));
}

NpRegisterMap format_dense_np_registers(Device const& device, Layer const& layer, bool learning,
                                        std::shared_ptr<Layer> const& next_layer, bool set_spikes, bool mesh_flag) {
    std::vector<hw::Ident> const no_skipped_nps;
    LayerRecordArgs const args =
        layer_record_args(layer, layer, next_layer, set_spikes, mesh_flag, no_skipped_nps, false, false);
    return format_dense_np_registers(device, layer, np_image_args(args), learning);
}

}  // namespace nuvra::v1
