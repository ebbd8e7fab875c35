#include "backends/v2/np_registers.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "program/format_support.h"
#include "backends/v2/registers.h"

namespace nuvra::v2 {

namespace {

using namespace np_word;

constexpr auto set = set_register_field;
constexpr auto set_flag = set_register_flag;

// The words the NP needs at reset; the others start at zero.
struct Preset {
    size_t word;
    uint32_t value;
};
constexpr Preset presets[] = {
    {CONTROL, 0x20},         {INPUT_BUFFER, 0x8}, {PRESET_5, 0x130100},   {PRESET_6, 0x08040000},
    {PRESET_12, 0x52000000}, {PRESET_13, 0x10},   {PRESET_37, 0xFF000000}, {PRESET_57, 0x40},
};

// The merge words: how the skip input joins this layer and where the skip-DMA load sits.
void format_merge_registers(std::vector<uint32_t>* regs, MergeLayerInfo const& merge,
                            hw::Component const* skipdma_load) {
    set_flag(regs, MERGE, MERGE_OTHER_SOURCE, merge.not_first);
    if (skipdma_load == nullptr) throw std::runtime_error("Skip DMA load should not be null.");
    set_flag(regs, MERGE, MERGE_ON_0, true);
    set_flag(regs, MERGE, MERGE_ON_1, true);
    set_flag(regs, MERGE, MERGE_ON_4, true);
    set_flag(regs, MERGE, MERGE_BIT_3, false);
    set_flag(regs, MERGE, MERGE_IS_ADD, merge.add);
    set(regs, MERGE, MERGE_CHANNEL, merge.channel);

    set(regs, SKIP_LOAD, SKIP_LOAD_BITS_1_15, 0);
    set_flag(regs, SKIP_LOAD, SKIP_LOAD_ON, true);
    set(regs, SKIP_LOAD, SKIP_LOAD_COL, skipdma_load->ident.col);
    set_flag(regs, SKIP_LOAD, SKIP_LOAD_BIT_19, false);
    set(regs, SKIP_LOAD, SKIP_LOAD_SELECT, np_select(skipdma_load->ident.id));
    set_flag(regs, SKIP_LOAD, SKIP_LOAD_BIT_31, true);
}

// The dual-output words: the span of the layer with its second-output store, and the store.
void format_dual_output_registers(std::vector<uint32_t>* regs, MergeLayerInfo const& merge,
                                  std::vector<hw::Component> const& layer_nps,
                                  std::vector<hw::Component> const& stores) {
    if (stores.empty()) throw std::runtime_error("Dual output store should not be null.");
    set_flag(regs, CONTROL, CONTROL_DUAL_OUTPUT, true);

    std::vector<hw::Component> all = layer_nps;
    all.insert(all.end(), stores.begin(), stores.end());
    ColumnSpan const span = column_span(all);
    set(regs, COLUMN_SPAN, DUAL_SPAN_LOW, span.low);
    set(regs, COLUMN_SPAN, DUAL_SPAN_HIGH, span.high);

    bool const single = stores.size() == 1;
    auto const [low, high] = std::minmax_element(
        stores.begin(), stores.end(),
        [](hw::Component const& a, hw::Component const& b) { return a.ident.col < b.ident.col; });
    set(regs, DUAL_OUTPUT, DUAL_OUTPUT_SOURCE, merge.dual_output_target);
    set_flag(regs, DUAL_OUTPUT, DUAL_OUTPUT_SINGLE, single);
    set(regs, DUAL_OUTPUT, DUAL_OUTPUT_LOW, single ? stores.front().ident.row : low->ident.col);
    set(regs, DUAL_OUTPUT, DUAL_OUTPUT_HIGH, high->ident.col);
    set(regs, DUAL_OUTPUT, DUAL_OUTPUT_SELECT, np_select(stores.front().ident.id));
}

}  // namespace

uint32_t* register_word(std::vector<uint32_t>* regs, size_t index) {
    if (regs == nullptr || regs->size() != NP_REGISTER_WORDS)
        throw std::invalid_argument("A register image must hold 64 words.");
    return &regs->at(index);
}

void set_register_field(std::vector<uint32_t>* regs, size_t index, RegDetail const& field, uint32_t value) {
    set_field(register_word(regs, index), field, value);
}

void set_register_flag(std::vector<uint32_t>* regs, size_t index, RegDetail const& field, bool value) {
    set_register_field(regs, index, field, value ? 1u : 0u);
}

void set_count_field(uint32_t* word, RegDetail const& field, uint64_t value) {
    uint64_t const most = std::numeric_limits<uint32_t>::max();
    set_field(word, field, static_cast<uint32_t>(std::min(value, most)));
}

std::vector<uint32_t> default_np_regs(hw::Component const& np, uint32_t np_num, bool unused_np,
                                      bool merge_is_add) {
    std::vector<uint32_t> regs(NP_REGISTER_WORDS, 0u);
    for (auto const& preset : presets) set(&regs, preset.word, WHOLE_WORD, preset.value);
    set(&regs, FORMAT, FORMAT_LAYER_INDEX, unused_np ? UNUSED_NP_LAYER_INDEX : np_num);

    bool const high_id = np.ident.id >= 2;
    set_flag(&regs, NP_SLOT, NP_SLOT_ALWAYS, true);
    set_flag(&regs, NP_SLOT, NP_SLOT_HIGH_ID_A, high_id);
    set_flag(&regs, NP_SLOT, NP_SLOT_HIGH_ID_B, high_id);
    set_flag(&regs, NP_SLOT, NP_SLOT_MERGE_ADD, merge_is_add);
    return regs;
}

void format_cnp_tnp_common_config_registers(std::vector<uint32_t>* regs, NpSplitInterface const& split,
                                            CommonConfig const& config) {
    ActivationType const activation = config.activation;
    uint8_t const weights_bits = config.weights_bits;
    uint8_t const output_bits = config.output_bits;
    bool const relu = activation == ActivationType::ReLU;

    set_flag(regs, CONTROL, CONTROL_BIT_4, false);
    set_flag(regs, CONTROL, CONTROL_BIT_7, false);
    set_flag(regs, CONTROL, CONTROL_LUT, activation == ActivationType::LUT);
    set_flag(regs, CONTROL, CONTROL_SINGLE_BUFFER, config.single_buffer);
    set_flag(regs, CONTROL, CONTROL_FLAG29, config.fnp_padding);

    set(regs, FORMAT, FORMAT_INPUT_BITS, config.input_bits > 7 ? 3 : 2);
    set_flag(regs, FORMAT, FORMAT_WEIGHTS_4BIT, weights_bits == 4);
    set(regs, FORMAT, FORMAT_WEIGHTS_BITS, weights_bits == 8 ? 3 : 2);
    set_flag(regs, FORMAT, FORMAT_WEIGHTS_8BIT, weights_bits == 8);
    set(regs, FORMAT, FORMAT_OUTPUT_BITS, output_bits < 8 ? 2 : 3);
    set_flag(regs, FORMAT, FORMAT_NO_RELU_OUTPUT, output_bits <= 8 && !relu);
    set_flag(regs, FORMAT, REG4_EN_ACT, relu);
    set_count_field(register_word(regs, FORMAT), REG4_NP_NUM, config.layer_nps.size());

    set_flag(regs, INPUT_MEMORY, INPUT_MEMORY_BIT_29, false);
    set_flag(regs, INPUT_MEMORY, INPUT_MEMORY_BIT_30, false);
    set_flag(regs, INPUT_MEMORY, INPUT_MEMORY_BIT_31, true);

    // The offsets are the cut's origin minus the part's: small negative numbers.
    set(regs, PART_SIZE, REG8_II_SIZE, split.part_height);
    set(regs, PART_SIZE, REG8_II_OFFSET, to_signed_field(static_cast<int32_t>(split.window_dy), 3));
    set(regs, PART_SIZE, REG8_JJ_SIZE, split.part_width);
    set(regs, PART_SIZE, REG8_JJ_OFFSET, to_signed_field(static_cast<int32_t>(split.window_dx), 3));

    set(regs, CUT_ORIGIN, REG9_I_ORIG_CUT, split.window_y);
    set_flag(regs, CUT_ORIGIN, CUT_I_PHASE, split.phase_y > 0);
    set(regs, CUT_ORIGIN, CUT_J_ORIG, split.window_x);
    set_flag(regs, CUT_ORIGIN, CUT_J_PHASE, split.phase_x > 0);

    set(regs, CUT_SIZE, CUT_I_SIZE, split.window_height);
    set(regs, CUT_SIZE, CUT_J_SIZE, split.window_width);

    set(regs, CONTAINER, CONTAINER_ICONT_SIZE, split.icont_size());

    set_flag(regs, KERNEL, KERNEL_STRIDE_2, config.kernel_stride == 2);
    set_flag(regs, KERNEL, KERNEL_FLAG20, config.transposed);
    set_flag(regs, KERNEL, KERNEL_BIT_10, false);
    set(regs, KERNEL, KERNEL_BITS_16_26, 0);
    set(regs, KERNEL, KERNEL_SIZE, static_cast<uint32_t>(config.kernel_size));

    set(regs, OUTPUT_ORIGIN, OUTPUT_I_ORIG, split.out_y);
    set(regs, OUTPUT_ORIGIN, OUTPUT_J_ORIG, split.out_x);
    set(regs, OUTPUT_SIZE, OUTPUT_I_SIZE, split.out_height);
    set(regs, OUTPUT_SIZE, OUTPUT_J_SIZE, split.out_width);
    set(regs, NEURONS, NEURONS_FIRST, config.first_neuron);
    set(regs, NEURONS, NEURONS_COUNT, config.filters);

    if (!config.link_nps) return;
    if (config.merge_info == nullptr) {
        set_flag(regs, MERGE, MERGE_OTHER_SOURCE, true);
        return;
    }
    format_merge_registers(regs, *config.merge_info, config.skipdma_load);
    if (config.merge_info->dual_output)
        format_dual_output_registers(regs, *config.merge_info, config.layer_nps, config.dual_output_stores);
}

void format_cnp_pooling_registers(std::vector<uint32_t>* regs, Shape const& input, NpSpace const& part,
                                  uint8_t pool_size, uint8_t pool_factor, bool global_pool,
                                  PaddingParams const& padding, bool pooled_input) {
    set(regs, POOLING, POOL_SIZE, pool_size);
    set(regs, POOLING, POOL_FACTOR, pool_factor);
    set_flag(regs, POOLING, POOL_FLAG8, global_pool);
    set_flag(regs, POOLING, POOL_BIT_9, false);

    // Only the parts on the edge of the input see the pooling's padding.
    uint64_t const right_end = uint64_t{part.x} + part.shape[0];
    uint64_t const bottom_end = uint64_t{part.y} + part.shape[1];
    auto const padded = [](uint32_t amount) { return static_cast<int32_t>(amount) > 0; };
    set_flag(regs, POOLING, POOL_PAD_LEFT, part.x == 0 && padded(padding.left));
    set_flag(regs, POOLING, POOL_PAD_RIGHT, right_end == input[0] && padded(padding.right));
    set_flag(regs, POOLING, POOL_PAD_TOP, part.y == 0 && padded(padding.top));
    set_flag(regs, POOLING, POOL_PAD_BOTTOM, bottom_end == input[1] && padded(padding.bottom));

    if (pooled_input) set_flag(regs, INPUT_BUFFER, INPUT_BUFFER_POOLED, true);
}

void set_ib_spikes(std::vector<uint32_t>* regs) { set_flag(regs, INPUT_BUFFER, INPUT_BUFFER_SPIKES, true); }

bool get_no_pooling_params(PoolingCalculatedParams* out, uint32_t a, uint32_t b) {
    if (out == nullptr) throw std::invalid_argument("get_no_pooling_params needs a pooling block to fill.");
    *out = PoolingCalculatedParams{};
    out->stride_x = 1;
    out->stride_y = 1;
    out->output_width = a;
    out->output_height = b;
    return true;
}

}  // namespace nuvra::v2
