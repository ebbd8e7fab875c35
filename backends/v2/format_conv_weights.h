// Conv2D and Conv2DTranspose weights in a second-generation CNP's 100-bit weight words, and the
// word counts and DMA target of that block. The 100-bit word counts per input channel are
// conv2d_ch_cont_100b_size and conv2d_cnp_formatted_weight_100b_size (backends/v2/sizes.h).
//
// The weight memory takes a 100-bit word in one of two forms, chosen by the block's target:
//   target 1, three words: the word as 12 bytes, byte b in word b / 4;
//   target 0, four words: half 0 (bits 0-49) in word 0 and word 1 bits 0-17, half 1 (bits
//   50-99) in word 2 and word 3 bits 0-17; bits 18-31 of words 1 and 3 are zero.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/dma.h"
#include "engine/tensor.h"

namespace nuvra::v2 {

// How 8-bit weights of one kernel size fill their group of filters.
struct Conv2dCnpWeightFormat {
    uint32_t split_values;    // values written before a skip; 0: no skip
    uint32_t split_skip;      // bytes skipped after them
    uint32_t group_filters;   // filters sharing one group of 100-bit words
    uint32_t group_words;     // 32-bit words of a group
    uint32_t row_bytes;       // bytes of one kernel row of the group
    uint32_t words_per_100b;  // 3 (target 1) or 4 (target 0)
    uint32_t dma_target;      // the target the block goes to

    friend bool operator==(Conv2dCnpWeightFormat const&, Conv2dCnpWeightFormat const&) = default;
};

// The 8-bit layout of kernel 1, 3, 4, 5 or 7; any other size is std::runtime_error
// "cnp_weight_format: Unexpected kernel size.".
Conv2dCnpWeightFormat conv2d_cnp_weight_format(uint32_t kernel_size);

// The weight block's target: 0 for 4-bit weights (`bits` 4), else 1 for kernels 1, 3, 4, 5 and
// 0 for kernel 7; any other kernel of 8-bit weights is std::runtime_error "cnp_weight_format:
// Unexpected kernel size.".
dma::Target conv2d_dma_target(uint32_t kernel_size, uint8_t bits);

// 32-bit words of the 4-bit block: four per 100-bit word.
uint32_t conv2d_cnp_formatted_4bit_weight_32b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels);

// 32-bit words of format_conv2d_cnp_weights(weights, first, filters, bits) for a kernel of
// `kernel_size` and `channels` input channels. 8-bit weights: the 100-bit words times
// words_per_100b, rounded up to 16 when the block needs the DMA's XL header; other widths: the
// 4-bit block. Kernel failures are those of the 100-bit counts; a count above 32 bits is
// std::runtime_error.
uint32_t conv2d_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels,
                                              uint8_t bits);

// Filters first .. first + filters - 1 of a weight tensor (x, y, c, f) of signed bytes (int8,
// int4, int2 or bit), kernel k = its first dimension (the second must equal it), C = its third:
// per input channel, per group of filters, per kernel row, each filter's k values. `bits` 8 gives
// the 8-bit layout, any other value format_conv2d_4bit_weights. The tensor must have four
// dimensions and hold every filter read (std::invalid_argument otherwise).
std::vector<uint32_t> format_conv2d_cnp_weights(Dense const& weights, uint32_t first, uint32_t filters,
                                                uint8_t bits);

// The 4-bit layout in the four-word form: each value's low nibble, bit 0 first, in a stream of
// 48-bit (kernels 1, 3) or 50-bit (kernels 5, 7) halves. Kernels other than 1, 3, 5, 7 are
// std::runtime_error "Unsupported kernel size.".
std::vector<uint32_t> format_conv2d_4bit_weights(Dense const& weights, uint32_t first, uint32_t filters);

}  // namespace nuvra::v2
