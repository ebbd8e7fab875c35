// BufferTempConv and DepthwiseBufferTempConv weights in a TNP-B's 100-bit weight words, each
// carried as three 32-bit DMA words (12 bytes, byte b in bits 8 (b mod 4) .. of word b / 4).
// Weights are signed bytes (int8, int4, int2 or bit storage), copied unchanged: a narrower weight
// still takes a whole byte. Word counts are in backends/v2/sizes.h.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/tensor.h"

namespace nuvra::v2 {

// Filters first .. first + count - 1 of BufferTempConv weights (1, 1, R, filters) whose R rows
// are fifo_size slots of Q = R / fifo_size input channels, slot-major. The result holds R rows of
// 3 x buffer_temp_conv_ch_cont_100b_size(count) words, channel-major: source row g Q + k goes to
// row k fifo_size + g; each row holds the filters' weights from its first byte, zero-padded.
// A FIFO size of 0 is std::invalid_argument "The FIFO size of a BufferTempConv must be at least
// 1."; R not a multiple of it, std::invalid_argument "BufferTempConv weights hold <R> rows, not
// a multiple of the FIFO size <S>.".
std::vector<uint32_t> format_tnp_b_buffer_temp_conv_weights(Dense const& weights, uint32_t fifo_size,
                                                            uint32_t first, uint32_t count);

// Channels first .. first + count - 1 of DepthwiseBufferTempConv weights (1, 1, T taps,
// channels): channel i's taps in order from byte 12 i, one 100-bit word per channel, then T x
// count zero 100-bit words. More than 12 taps would run into the next channel's word:
// std::invalid_argument "A DepthwiseBufferTempConv channel holds at most 12 taps, not <T>.".
std::vector<uint32_t> format_tnp_b_depthwise_buffer_temp_conv_weights(Dense const& weights, uint32_t first,
                                                                      uint32_t count);

}  // namespace nuvra::v2
