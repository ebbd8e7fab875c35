#include "backends/v2/np_registers.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backends/v2/registers.h"
#include "hw/arith.h"
#include "program/format_support.h"
#include "program/np_words.h"

namespace nuvra::v2 {

namespace {

using namespace np_word;

// The words the NP needs at reset; the others start at zero.
constexpr Preset presets[] = {
    {CONTROL, 0x20},         {INPUT_BUFFER, 0x8}, {PRESET_5, 0x130100},   {PRESET_6, 0x08040000},
    {PRESET_12, 0x52000000}, {PRESET_13, 0x10},   {PRESET_37, 0xFF000000}, {PRESET_57, 0x40},
};

// The merge words: how the skip input joins this layer and where the skip-DMA load sits.
void format_merge_registers(std::vector<uint32_t>* regs, MergeLayerInfo const& merge,
                            hw::Component const* skipdma_load) {
    set_np_field(regs, MERGE_OTHER_SOURCE, merge.not_first);
    if (skipdma_load == nullptr) throw std::runtime_error("Skip DMA load should not be null.");
    set_np_field(regs, MERGE_SET_0, true);
    set_np_field(regs, MERGE_SET_1, true);
    set_np_field(regs, MERGE_SET_4, true);
    set_np_field(regs, MERGE_CLEAR_3, false);
    set_np_field(regs, MERGE_IS_ADD, merge.add);
    set_np_field(regs, MERGE_CHANNEL, merge.channel);

    set_np_field(regs, SKIP_LOAD_CLEAR_1_15, 0);
    set_np_field(regs, SKIP_LOAD_ON, true);
    set_np_field(regs, SKIP_LOAD_COL, skipdma_load->ident.col);
    set_np_field(regs, SKIP_LOAD_CLEAR_19, false);
    set_np_field(regs, SKIP_LOAD_SELECT, np_select(skipdma_load->ident.id));
    set_np_field(regs, SKIP_LOAD_SET_31, true);
}

// The dual-output words: the span of the layer with its second-output store, and the store.
void format_dual_output_registers(std::vector<uint32_t>* regs, MergeLayerInfo const& merge,
                                  std::vector<hw::Component> const& layer_nps,
                                  std::vector<hw::Component> const& stores) {
    if (stores.empty()) throw std::runtime_error("Dual output store should not be null.");
    set_np_field(regs, CONTROL_DUAL_OUTPUT, true);

    std::vector<hw::Component> all = layer_nps;
    all.insert(all.end(), stores.begin(), stores.end());
    ColumnSpan const span = column_span(all);
    set_np_field(regs, DUAL_SPAN_LOW, span.low);
    set_np_field(regs, DUAL_SPAN_HIGH, span.high);

    bool const single = stores.size() == 1;
    auto const [low, high] = std::minmax_element(
        stores.begin(), stores.end(),
        [](hw::Component const& a, hw::Component const& b) { return a.ident.col < b.ident.col; });
    set_np_field(regs, DUAL_OUTPUT_SOURCE, merge.dual_output_target);
    set_np_field(regs, DUAL_OUTPUT_SINGLE, single);
    set_np_field(regs, DUAL_OUTPUT_LOW, single ? stores.front().ident.row : low->ident.col);
    set_np_field(regs, DUAL_OUTPUT_HIGH, high->ident.col);
    set_np_field(regs, DUAL_OUTPUT_SELECT, np_select(stores.front().ident.id));
}

}  // namespace

std::span<uint32_t> np_image(std::vector<uint32_t>* regs) {
    if (regs == nullptr || regs->size() != NP_REGISTER_WORDS)
        throw std::invalid_argument("A register image must hold 64 words.");
    return *regs;
}

void set_np_field(std::vector<uint32_t>* regs, Field const& field, uint64_t value) {
    nuvra::set(np_image(regs), field, value);
}

uint32_t fitting_value(uint32_t width, uint64_t value) {
    if (value >> width != 0) field_overflow(std::to_string(clamp_to<uint32_t>(value)).c_str(), width);
    return static_cast<uint32_t>(value);
}

std::vector<uint32_t> default_np_regs(hw::Component const& np, uint32_t np_num, bool unused_np,
                                      bool merge_is_add) {
    std::vector<uint32_t> regs = preset_image(NP_REGISTER_WORDS, presets);
    set(regs, FORMAT_LAYER_INDEX, unused_np ? UNUSED_NP_LAYER_INDEX : np_num);

    bool const high_id = np.ident.id >= 2;
    set(regs, NP_SLOT_SET_23, true);
    set(regs, NP_SLOT_HIGH_ID_A, high_id);
    set(regs, NP_SLOT_HIGH_ID_B, high_id);
    set(regs, NP_SLOT_MERGE_ADD, merge_is_add);
    return regs;
}

void format_cnp_tnp_common_config_registers(std::vector<uint32_t>* regs, NpSplitInterface const& split,
                                            CommonConfig const& config) {
    ActivationType const activation = config.activation;
    uint8_t const weights_bits = config.weights_bits;
    uint8_t const output_bits = config.output_bits;
    bool const relu = activation == ActivationType::ReLU;

    set_np_field(regs, CONTROL_FNP, false);
    set_np_field(regs, CONTROL_CLEAR_7, false);
    set_np_field(regs, CONTROL_LUT, activation == ActivationType::LUT);
    set_np_field(regs, CONTROL_SINGLE_BUFFER, config.single_buffer);
    set_np_field(regs, CONTROL_FNP_PADDING, config.fnp_padding);

    set_np_field(regs, FORMAT_INPUT_BITS, config.input_bits > 7 ? 3 : 2);
    set_np_field(regs, FORMAT_WEIGHTS_4BIT, weights_bits == 4);
    set_np_field(regs, FORMAT_WEIGHTS_BITS, weights_bits == 8 ? 3 : 2);
    set_np_field(regs, FORMAT_WEIGHTS_8BIT, weights_bits == 8);
    set_np_field(regs, FORMAT_OUTPUT_BITS, output_bits < 8 ? 2 : 3);
    set_np_field(regs, FORMAT_NO_RELU_OUTPUT, output_bits <= 8 && !relu);
    set_np_field(regs, FORMAT_ACTIVATION, relu);
    set_np_field(regs, FORMAT_NP_COUNT, config.layer_nps.size());

    set_np_field(regs, INPUT_MEMORY_CLEAR_29, false);
    set_np_field(regs, INPUT_MEMORY_CLEAR_30, false);
    set_np_field(regs, INPUT_MEMORY_SET_31, true);

    format_part_words(np_image(regs), split, {PART_I_OFFSET, PART_J_OFFSET});

    set_np_field(regs, KERNEL_STRIDE_2, config.kernel_stride == 2);
    set_np_field(regs, KERNEL_TRANSPOSED, config.transposed);
    set_np_field(regs, KERNEL_CLEAR_10, false);
    set_np_field(regs, KERNEL_1X1_FILTERS, 0);
    set_np_field(regs, KERNEL_SIZE, static_cast<uint32_t>(config.kernel_size));

    format_output_window_words(np_image(regs), split);
    set_np_field(regs, NEURONS_FIRST, config.first_neuron);
    set_np_field(regs, NEURONS_COUNT, config.filters);

    if (!config.link_nps) return;
    if (config.merge_info == nullptr) {
        set_np_field(regs, MERGE_OTHER_SOURCE, true);
        return;
    }
    format_merge_registers(regs, *config.merge_info, config.skipdma_load);
    if (config.merge_info->dual_output)
        format_dual_output_registers(regs, *config.merge_info, config.layer_nps, config.dual_output_stores);
}

void format_cnp_tnp_common_config_registers(std::vector<uint32_t>* regs, NpSplitInterface const& split,
                                            int kernel_size, int kernel_stride, ActivationType activation,
                                            uint32_t first_neuron, uint32_t filters, uint8_t weights_bits,
                                            std::vector<hw::Component> const& layer_nps, bool single_buffer,
                                            bool transposed, uint8_t input_bits, uint8_t output_bits,
                                            std::unique_ptr<MergeLayerInfo> const& merge_info,
                                            hw::Component const* skipdma_load,
                                            std::vector<hw::Component> const& dual_output_stores, bool fnp_padding,
                                            bool link_nps) {
    format_cnp_tnp_common_config_registers(regs, split,
                                           {.kernel_size = kernel_size,
                                            .kernel_stride = kernel_stride,
                                            .activation = activation,
                                            .first_neuron = first_neuron,
                                            .filters = filters,
                                            .weights_bits = weights_bits,
                                            .layer_nps = layer_nps,
                                            .single_buffer = single_buffer,
                                            .transposed = transposed,
                                            .input_bits = input_bits,
                                            .output_bits = output_bits,
                                            .merge_info = merge_info.get(),
                                            .skipdma_load = skipdma_load,
                                            .dual_output_stores = dual_output_stores,
                                            .fnp_padding = fnp_padding,
                                            .link_nps = link_nps});
}

void format_cnp_pooling_registers(std::vector<uint32_t>* regs, Shape const& input, NpSpace const& part,
                                  uint8_t pool_size, uint8_t pool_factor, bool global_pool,
                                  PaddingParams const& padding, bool pooled_input) {
    std::span<uint32_t> const image = np_image(regs);
    format_pooling_word(image, {pool_size, pool_factor, global_pool, padding},
                        {part.x, part.y, part.shape[0], part.shape[1], input[0], input[1]});
    set(image, POOL_CLEAR_9, false);
    if (pooled_input) set_np_field(regs, INPUT_BUFFER_POOLED, true);
}

bool inbound_max_pool(Layer const& layer) {
    auto const inbounds = layer.inbound_layers();
    if (inbounds.empty() || !inbounds.front()) return false;
    Layer const& first = *inbounds.front();
    return first.has_pooling_type(PoolType::Max) && !first.has_activation();
}

void set_ib_spikes(std::vector<uint32_t>* regs) { set_np_field(regs, INPUT_BUFFER_SPIKES, true); }

bool get_no_pooling_params(PoolingCalculatedParams* out, uint32_t output_width, uint32_t output_height) {
    if (out == nullptr) throw std::invalid_argument("get_no_pooling_params needs a pooling block to fill.");
    *out = PoolingCalculatedParams{};
    out->stride_x = 1;
    out->stride_y = 1;
    out->output_width = output_width;
    out->output_height = output_height;
    return true;
}

}  // namespace nuvra::v2
