// DepthwiseConv2D and DepthwiseConv2DTranspose weights in a second-generation CNP's 100-bit weight
// words: one k x k kernel per channel, the channels of one NP in order. Sizes, layout records and
// the DMA target are in backends/v2/sizes.h; the two carriage forms of a 100-bit word are those of
// backends/v2/format_conv_weights.h.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/tensor.h"

namespace nuvra::v2 {

// Channels first .. first + count - 1 of a weight tensor (x, y, 1, channel) of signed bytes
// (int8, int4, int2 or bit), kernel k = its first dimension. `bits` 8: the three-word form of
// dwc_cnp_weight_format(k), dwc_cnp_formatted_weight_32b_size words, values copied unchanged
// (a kernel other than 3, 4, 5, 7 is std::runtime_error "ch_cont_size: Unexpected kernel
// size."); any other `bits`: format_depthwise_conv_cnp_4bit_weights. The tensor must have four
// dimensions, a square kernel and every channel read (std::invalid_argument otherwise).
std::vector<uint32_t> format_depthwise_conv_cnp_weights(Dense const& weights, uint32_t first, uint32_t count,
                                                        uint8_t bits);

// The 4-bit layout in the four-word form, 2, 6 or 14 words per channel (kernel 3, 5, 7; any other
// is std::runtime_error "Invalid kernel size."): the words go in pairs, each pair one 50-bit half
// of a 100-bit word; a kernel row never crosses a pair and every channel starts a new one. Each
// value is its two's-complement nibble; outside -8..7 it panics "<v> cannot fit in a 4-bit
// signed integer".
std::vector<uint32_t> format_depthwise_conv_cnp_4bit_weights(Dense const& weights, uint32_t first,
                                                             uint32_t count);

}  // namespace nuvra::v2
