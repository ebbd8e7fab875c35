#include "backends/wisp/tnpr_program.h"

#include <stdexcept>
#include <string>

#include "backends/wisp/chain.h"
#include "backends/wisp/format_sram.h"
#include "engine/dma.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "hw/register.h"
#include "mapping/split.h"
#include "program/backend.h"
#include "program/format_support.h"

namespace nuvra::wisp {

namespace {

// Each block of the TNP-R program starts a track of its own, its header without a size.
constexpr program::TrackOptions tnpr_block{.size_flag = false, .reuse_last = false};

// The words of the two SRAM images, gathered layer by layer in chain order.
struct SramImages {
    std::vector<uint32_t> fsram;
    std::vector<uint32_t> state_update;
    std::vector<uint32_t> output;
    std::vector<uint32_t> input_shift;
};

void append(std::vector<uint32_t>& to, std::vector<uint32_t> const& words) {
    to.insert(to.end(), words.begin(), words.end());
}

// Chain position `i` exists; refused before any per-layer entry is touched.
void require_position(uint32_t i) {
    if (i >= max_chain_layers)
        throw std::out_of_range(format("A TNP-R chain holds at most {} layers.", max_chain_layers));
}

// Runs `step`, which reads values `holder` holds: a failure is refused in the holder's name, with
// the words it would have had in the first layer's. One already named passes as it is.
template <class Step>
void in_name_of(Layer const& holder, Step&& step) {
    try {
        step();
    } catch (MappingStatusError const&) {
        throw;
    } catch (std::exception const& e) {
        throw MappingStatusError(recording_failure(holder, e));
    }
}

// The config entries and SRAM words of the StatefulRecurrent layer at position i.
void format_tnpr_sram_tracks(Layer const& layer, SramImages& images, TnprConfig& config, uint32_t i) {
    if (layer.has_activation_type(ActivationType::ReLU)) config.relu_layers |= uint8_t(1u << i);
    config.subsample[i] = count_param(layer, "subsample");
    config.output_channels[i] = count_param(layer, "output_channels");
    config.input_channels[i] = first_input_dims(layer).channels;

    auto const var = [&layer](char const* name) { return layer.variable(name); };
    append(images.fsram, format_fsram_weights(*var("in_proj"), *var("out_proj")));
    append(images.state_update,
           format_tsram_state_updating_var(*var("A_imag"), *var("A_real"), *var("internal_state_outputs_shift"),
                                           *var("new_state_scale"), *var("new_state_shift")));

    // In front of a post-processing layer the outputs are scaled as that layer expects its inputs.
    std::shared_ptr<Layer> const next = first_outbound_layer(layer);
    bool const feeds_post_processing = next && is_post_processing(*next);
    Layer const& scaling = feeds_post_processing ? *next : layer;
    if (feeds_post_processing) {
        // A shift of the post-processing layer these words cannot hold is that layer's.
        Tensor const& shift = *next->variable("input_shift");
        in_name_of(*next, [&shift] {
            for (size_t k = 0; k < shift.size(); ++k)
                (void)to_signed_field(tensor_read<int8_t>(shift, k), OUT_SHIFT.bits.width);
        });
    }
    append(images.output,
           format_tsram_output_var(*scaling.variable(feeds_post_processing ? "input_scales" : "output_scales"),
                                   *scaling.variable(feeds_post_processing ? "input_shift" : "output_shift"),
                                   *var("bias"), *var("bias_shift")));
    append(images.input_shift, format_tsram_input_shift(*var("input_shift"), layer.input_bits()));
}

// The config entries and SRAM words of the post-processing layer at position i.
void format_post_processing(Layer const& layer, SramImages& images, TnprConfig& config, uint32_t i) {
    config.subsample[i] = 1;
    config.output_channels[i] = 1;
    config.input_channels[i] = 1;
    uint32_t const timesteps = first_input_dims(layer).height;
    uint16_t const threshold = tensor_read<uint16_t>(*layer.variable("threshold"), size_t{0});
    append(images.output, format_tsram_post_processing_output_var(timesteps, threshold));
    append(images.input_shift, format_tsram_post_processing_input_shift());
}

hw::Ident tnpr_ident(Layer const& first) {
    auto const missing = [&first] { return format("The layer {} has no mapped TNP-R component.", first.get_name()); };
    std::shared_ptr<Layer::Mapping> const mapping = first.mapping();
    if (!mapping) throw std::runtime_error(missing());
    // A mapping without components is read past the end of its list.
    if (!mapping->components || mapping->components->empty()) throw std::out_of_range(missing());
    return mapping->components->front().ident;
}

// The layers of a chain by position, the first excepted: a ratio the registers cannot hold is
// refused in its layer's name. Null where no layer is known.
using LaterLayers = std::array<std::shared_ptr<Layer>, max_chain_layers>;

std::vector<uint32_t> format_registers(TnprConfig const& config, LaterLayers const& later) {
    std::vector<uint32_t> regs(tnpr_register_words, 0);
    uint32_t const n = config.num_layers;
    bool const pp = config.has_post_processing;

    set(regs, CHAIN_LAST_LAYER, n - 1);
    set_flag(regs, CHAIN_POST_PROCESSING, pp);
    set_flag(regs, CHAIN_OUTPUT_16BIT, config.output_bits == 16);
    set_flag(regs, CHAIN_INPUT_16BIT, config.input_bits == 16);
    set_flag(regs, CHAIN_POST_PROCESSING_OUT, pp);
    set_flag(regs, CHAIN_OUTPUT_WIDE, config.output_bits > 16);
    set(regs, INPUT_ROW_WORDS, config.input_row_words);
    set(regs, TIMESTEPS, config.timesteps);
    set(regs, TSRAM_INPUT_SHIFT_START, config.tsram_input_shift_start);
    set(regs, TSRAM_OUTPUT_START, config.tsram_output_start);
    set(regs, STSRAM_POST_PROCESSING_START, config.stsram_post_processing_start);
    // The 3-bit layer count above holds n at most 8, so n indexes every per-layer entry safely.
    for (uint32_t k = 0; k < n; ++k) {
        auto const write = [&] { set(regs, subsample_fields[k], config.subsample[k] - 1); };
        if (later[k])
            in_name_of(*later[k], write);
        else
            write();
    }
    set(regs, STATE_CHANNELS, config.stateful_channels);
    for (uint32_t k = 0; k < max_chain_layers; ++k) set(regs, output_channel_fields[k], config.output_channels[k]);
    for (uint32_t k = 0; k < max_chain_layers; ++k) set(regs, input_channel_fields[k], config.input_channels[k]);
    // The post-processing layer is the last position; it reads the last recurrent layer before it.
    set(regs, POST_PROCESSING_LAYER_MASK, pp ? 1u << (n - 1) : 0);
    set(regs, POST_PROCESSING_INPUT_MASK, pp ? (3u << (n - 1)) >> 1 : 0);
    set(regs, RELU_LAYER_MASK, config.relu_layers);
    return regs;
}

}  // namespace

std::vector<uint32_t> format_tnpr_registers(TnprConfig const& config) { return format_registers(config, {}); }

std::unique_ptr<program::Record> record_program_tnpr_layers(Device const& device, Layer const& first) {
    std::unique_ptr<program::Record> record = program::new_record(device.version());
    TnprConfig config;
    SramImages images;

    Layer const* last_recurrent = &first;
    std::shared_ptr<Layer> held;  // keeps the current layer alive while it is read
    LaterLayers later;
    Layer const* layer = &first;
    for (uint32_t i = 0; layer != nullptr && layer->is_target_component(ComponentKind::TNP_R); ++i) {
        require_position(i);
        // A value a later layer holds and its words cannot is refused in that layer's name; the
        // first layer's failures are the recorded layer's.
        auto const format_layer = [&] {
            if (is_stateful_recurrent(*layer)) {
                format_tnpr_sram_tracks(*layer, images, config, i);
                last_recurrent = layer;
            } else {
                format_post_processing(*layer, images, config, i);
                config.has_post_processing = true;
            }
        };
        if (i == 0)
            format_layer();
        else
            in_name_of(*layer, format_layer);
        config.num_layers = i + 1;
        later[i] = held;  // none for the first layer
        held = first_outbound_layer(*layer);
        layer = held.get();
    }

    hw::Ident const ident = tnpr_ident(first);
    // Region starts count 64-bit slots: two image words each.
    config.tsram_output_start = clamp_to<uint32_t>(images.state_update.size() / 2);
    config.tsram_input_shift_start = clamp_to<uint32_t>((images.state_update.size() + images.output.size()) / 2);
    InputDims const input = first_input_dims(first);
    uint32_t const state_channels = count_param(first, "stateful_channels");
    if (config.has_post_processing) {
        config.stsram_post_processing_start = clamp_to<uint32_t>(uint64_t{config.num_layers - 1} * state_channels);
        config.timesteps = input.height;
    }
    config.input_bits = first.input_bits();
    config.input_row_words = clamp_to<uint32_t>(input_row_words(config.input_bits, input.channels));
    config.stateful_channels = state_channels;
    config.output_bits = config.has_post_processing ? 16 : last_recurrent->output_bits();

    std::vector<uint32_t> tsram = std::move(images.state_update);
    append(tsram, images.output);
    append(tsram, images.input_shift);
    // Each ratio is written with the chain's registers, after its images: a ratio a later layer
    // holds and the registers cannot is refused in that layer's name, once nothing before it misfits.
    record->add_np_track(ident, dma::Target::TnprRegisters, 0, format_registers(config, later), tnpr_block);
    record->add_np_track(ident, dma::Target::TnprFsram, 0, images.fsram, tnpr_block);
    record->add_np_track(ident, dma::Target::TnprTsram, 0, tsram, tnpr_block);
    return record;
}

}  // namespace nuvra::wisp
