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
#include "program/np_words.h"

namespace nuvra::v1 {

namespace {

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

    format_part_words(image, s, {PART_I_OFFSET, PART_J_OFFSET});

    set(image, KERNEL_STRIDE_2, c.stride_x == 2);
    set(image, KERNEL_SIZE, static_cast<uint32_t>(c.kernel_width));

    format_output_window_words(image, s);

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
    format_pooling_word(image, {pool.size, pool.stride, pool.global, pool.padding},
                        {window.x, window.y, dim(window.shape, 0), dim(window.shape, 1), dim(input, 0), dim(input, 1)});
}

void format_cnp_common_config_registers(std::vector<uint32_t>* regs, Shape const& input, uint8_t layer_index,
                                        int input_bits, int kernel_width, int stride_x,
                                        PaddingParams const& conv_padding, uint8_t activation, int act_bits,
                                        NpSpace window, NpSpace const& cut, uint32_t pool_size, uint8_t pool_stride,
                                        PaddingParams const& pool_padding, uint32_t filters, uint32_t start_neuron,
                                        uint32_t np_count, uint8_t single_buffer) {
    (void)np_image(regs);  // refuses a null image before it is read
    CnpCommonConfig const config{.input = input,
                                 .layer_index = layer_index,
                                 .input_bits = input_bits,
                                 .kernel_width = kernel_width,
                                 .stride_x = stride_x,
                                 .conv_padding = conv_padding,
                                 .activation = activation != 0,
                                 .act_bits = act_bits,
                                 .window = window,
                                 .cut = cut,
                                 .pool = {.size = pool_size, .stride = pool_stride, .padding = pool_padding},
                                 .filters = filters,
                                 .start_neuron = start_neuron,
                                 .np_count = np_count,
                                 .single_buffer = single_buffer != 0};
    format_cnp_common_config_registers(*regs, config);
}

void format_cnp_pooling_registers(std::vector<uint32_t>* regs, Shape const& input, NpSpace const& window,
                                  uint8_t pool_size, uint8_t pool_stride, uint8_t pool_flag,
                                  PaddingParams const& pool_padding) {
    (void)np_image(regs);  // refuses a null image before it is read
    format_cnp_pooling_registers(*regs, input, window,
                                 {.size = pool_size, .stride = pool_stride, .padding = pool_padding,
                                  .global = pool_flag != 0});
}

}  // namespace nuvra::v1
