#include "backends/v1/cnp_registers.h"

#include <span>
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

uint32_t dim(Shape const& shape, size_t i) { return i < shape.rank() ? shape[i] : 0; }

}  // namespace

void format_cnp_common_config_registers(std::vector<uint32_t>& regs, CnpCommonConfig const& c) {
    std::span<uint32_t> const image = np_image(&regs);  // a 50-word image before anything is written
    set(image, CONTROL_FNP, 0);
    set(image, CONTROL_CLEAR_7, 0);
    set(image, CONTROL_NP2NP_CFG, 0);
    set(image, CONTROL_SET_5, 1);
    set(image, CONTROL_SET_6, 1);
    set(image, CONTROL_SINGLE_BUFFER, c.single_buffer);

    auto const input_bits = static_cast<uint8_t>(c.input_bits);
    set(image, FORMAT_INPUT_BITS, input_bits >> 1);
    set(image, FORMAT_OUTPUT_BITS, static_cast<uint32_t>(c.act_bits >> 1));
    set(image, FORMAT_ACTIVATION, c.activation);
    set(image, FORMAT_NP_COUNT, c.np_count);
    set(image, FORMAT_LAYER_INDEX, c.layer_index);

    NpSplit const s(c.input, c.window, c.cut, c.kernel_width, c.stride_x, c.conv_padding, c.pool.size,
                    c.pool.stride, c.pool.padding);
    uint64_t const container = cnp_container_bytes(s.window_width, input_bits);
    set(image, INPUT_MEMORY_WORDS, cnp_input_words(container, s.part_channels, s.window_height));
    set(image, INPUT_MEMORY_SET_31, 1);

    set(image, PART_I_SIZE, s.part_height);
    set(image, PART_I_OFFSET, to_signed_field(static_cast<int32_t>(s.window_dy), offset_bits));
    set(image, PART_J_SIZE, s.part_width);
    set(image, PART_J_OFFSET, to_signed_field(static_cast<int32_t>(s.window_dx), offset_bits));

    set(image, CUT_I_ORIG, s.window_y);
    set(image, CUT_I_PHASE, s.phase_y > 0);
    set(image, CUT_J_ORIG, s.window_x);
    set(image, CUT_J_PHASE, s.phase_x > 0);

    set(image, CUT_I_SIZE, s.window_height);
    set(image, CUT_J_SIZE, s.window_width);
    set(image, CONTAINER_ICONT_SIZE, s.icont_size());

    set(image, KERNEL_STRIDE_2, c.stride_x == 2);
    set(image, KERNEL_SIZE, static_cast<uint32_t>(c.kernel_width));

    set(image, OUTPUT_I_ORIG, s.out_y);
    set(image, OUTPUT_J_ORIG, s.out_x);
    set(image, OUTPUT_I_SIZE, s.out_height);
    set(image, OUTPUT_J_SIZE, s.out_width);

    set(image, NEURONS_FIRST, c.start_neuron);
    set(image, NEURONS_COUNT, c.filters);

    set(image, INPUT_ROW_CONTAINER, container);
    set(image, INPUT_ROW_WORDS, ceil_div(mul_sat(container, s.part_channels), 4));

    set(image, FILTER_GROUPS_CLEAR_0, 0);
    set(image, FILTER_GROUPS_COUNT, ceil_div(c.filters, 8));

    set(image, LEARNING_ENABLE, 0);
}

void format_cnp_pooling_registers(std::vector<uint32_t>& regs, Shape const& input, NpSpace const& window,
                                  CnpPooling const& pool) {
    std::span<uint32_t> const image = np_image(&regs);  // a 50-word image before anything is written
    PaddingParams const& pool_padding = pool.padding;
    set(image, POOL_SIZE, pool.size);
    set(image, POOL_STRIDE, pool.stride);
    set(image, POOL_GLOBAL, pool.global);

    auto const pads = [](uint32_t padding) { return static_cast<int32_t>(padding) > 0; };
    uint64_t const right = uint64_t{window.x} + dim(window.shape, 0);
    uint64_t const bottom = uint64_t{window.y} + dim(window.shape, 1);
    set(image, POOL_PAD_LEFT, window.x == 0 && pads(pool_padding.left));
    set(image, POOL_PAD_RIGHT, right == dim(input, 0) && pads(pool_padding.right));
    set(image, POOL_PAD_TOP, window.y == 0 && pads(pool_padding.top));
    set(image, POOL_PAD_BOTTOM, bottom == dim(input, 1) && pads(pool_padding.bottom));
}

}  // namespace nuvra::v1
