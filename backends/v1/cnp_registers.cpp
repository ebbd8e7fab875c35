#include "backends/v1/cnp_registers.h"

#include <stdexcept>

#include "backends/v1/np_registers.h"
#include "backends/v1/registers.h"
#include "backends/v1/sizes.h"
#include "hw/arith.h"
#include "hw/np_split.h"
#include "hw/register.h"
#include "program/format_support.h"

namespace nuvra::v1 {

namespace {

constexpr uint32_t offset_bits = 4;  // the cut's offsets from the part

// The register words of one image, which must be a 50-word image before anything is written.
class Registers {
public:
    explicit Registers(std::vector<uint32_t>& regs) : regs_(regs) { register_word(&regs, np_word::CONTROL); }
    void set(size_t word, RegDetail const& field, uint64_t value) { set_register_field(&regs_, word, field, value); }

private:
    std::vector<uint32_t>& regs_;
};

uint32_t dim(Shape const& shape, size_t i) { return i < shape.rank() ? shape[i] : 0; }

}  // namespace

void format_cnp_common_config_registers(std::vector<uint32_t>& regs, CnpCommonConfig const& c) {
    Registers r(regs);
    r.set(np_word::CONTROL, CONTROL_BIT_4, 0);
    r.set(np_word::CONTROL, CONTROL_BIT_7, 0);
    r.set(np_word::CONTROL, CONTROL_BIT_20, 0);
    r.set(np_word::CONTROL, CONTROL_BIT_21, 0);
    r.set(np_word::CONTROL, CONTROL_BIT_5, 1);
    r.set(np_word::CONTROL, CONTROL_BIT_6, 1);
    r.set(np_word::CONTROL, CONTROL_SINGLE_BUFFER, c.single_buffer);

    auto const input_bits = static_cast<uint8_t>(c.input_bits);
    r.set(np_word::FORMAT, FORMAT_INPUT_BITS, input_bits >> 1);
    r.set(np_word::FORMAT, FORMAT_ACT_BITS, static_cast<uint32_t>(c.act_bits >> 1));
    r.set(np_word::FORMAT, FORMAT_ACTIVATION, c.activation);
    r.set(np_word::FORMAT, FORMAT_NP_COUNT, c.np_count);
    r.set(np_word::FORMAT, FORMAT_LAYER_INDEX, c.layer_index);

    NpSplit const s(c.input, c.window, c.cut, c.kernel_width, c.stride_x, c.conv_padding, c.pool.size,
                    c.pool.stride, c.pool.padding);
    uint64_t const container = cnp_container_bytes(s.window_width, input_bits);
    r.set(np_word::INPUT_MEMORY, INPUT_MEMORY_WORDS, cnp_input_words(container, s.part_channels, s.window_height));
    r.set(np_word::INPUT_MEMORY, INPUT_MEMORY_BIT_31, 1);

    r.set(np_word::PART_SIZE, PART_I_SIZE, s.part_height);
    r.set(np_word::PART_SIZE, PART_I_OFFSET, to_signed_field(static_cast<int32_t>(s.window_dy), offset_bits));
    r.set(np_word::PART_SIZE, PART_J_SIZE, s.part_width);
    r.set(np_word::PART_SIZE, PART_J_OFFSET, to_signed_field(static_cast<int32_t>(s.window_dx), offset_bits));

    r.set(np_word::CUT_ORIGIN, CUT_I_ORIG, s.window_y);
    r.set(np_word::CUT_ORIGIN, CUT_I_PHASE, s.phase_y > 0);
    r.set(np_word::CUT_ORIGIN, CUT_J_ORIG, s.window_x);
    r.set(np_word::CUT_ORIGIN, CUT_J_PHASE, s.phase_x > 0);

    r.set(np_word::CUT_SIZE, REG10_I_SIZE_CUT, s.window_height);
    r.set(np_word::CUT_SIZE, REG10_J_SIZE_CUT, s.window_width);
    r.set(np_word::CONTAINER, REG11_ICONT_SIZE, s.icont_size());

    r.set(np_word::KERNEL, CNP1_CONV_STRD, c.stride_x == 2);
    r.set(np_word::KERNEL, CNP1_KERNEL_TYPE, static_cast<uint32_t>(c.kernel_width));

    r.set(np_word::OUTPUT_ORIGIN, CNP4_OB_I_ORIG, s.out_y);
    r.set(np_word::OUTPUT_ORIGIN, CNP4_OB_J_ORIG, s.out_x);
    r.set(np_word::OUTPUT_SIZE, OUTPUT_ROWS, s.out_height);
    r.set(np_word::OUTPUT_SIZE, OUTPUT_COLUMNS, s.out_width);

    r.set(np_word::NEURONS, NEURONS_START, c.start_neuron);
    r.set(np_word::NEURONS, NEURONS_COUNT, c.filters);

    r.set(np_word::INPUT_ROW, INPUT_ROW_CONTAINER, container);
    r.set(np_word::INPUT_ROW, INPUT_ROW_WORDS, ceil_div(mul_sat(container, s.part_channels), 4));

    r.set(np_word::FILTER_GROUPS, FILTER_GROUPS_BIT_0, 0);
    r.set(np_word::FILTER_GROUPS, FILTER_GROUPS_COUNT, ceil_div(c.filters, 8));

    r.set(np_word::LEARNING, LEARNING_ENABLE, 0);
}

void format_cnp_pooling_registers(std::vector<uint32_t>& regs, Shape const& input, NpSpace const& window,
                                  CnpPooling const& pool) {
    Registers r(regs);
    PaddingParams const& pool_padding = pool.padding;
    r.set(np_word::POOLING, POOLING_SIZE, pool.size);
    r.set(np_word::POOLING, POOLING_STRIDE, pool.stride);
    r.set(np_word::POOLING, POOLING_FLAG, pool.global);

    auto const pads = [](uint32_t padding) { return static_cast<int32_t>(padding) > 0; };
    uint64_t const right = uint64_t{window.x} + dim(window.shape, 0);
    uint64_t const bottom = uint64_t{window.y} + dim(window.shape, 1);
    r.set(np_word::POOLING, POOLING_PAD_LEFT, window.x == 0 && pads(pool_padding.left));
    r.set(np_word::POOLING, POOLING_PAD_RIGHT, right == dim(input, 0) && pads(pool_padding.right));
    r.set(np_word::POOLING, POOLING_PAD_TOP, window.y == 0 && pads(pool_padding.top));
    r.set(np_word::POOLING, POOLING_PAD_BOTTOM, bottom == dim(input, 1) && pads(pool_padding.bottom));
}

}  // namespace nuvra::v1
