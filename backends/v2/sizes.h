// Second-generation memory sizes: the FNP input layouts and their packet-SRAM, input-shift and
// memory sizes, and the 100-bit word counts of CNP and TNP-B weights. Sizes are worked out in
// 64 bits; a result that does not fit 32 bits is std::runtime_error.
#pragma once

#include <cstdint>

#include "engine/layer.h"
#include "engine/tensor.h"

namespace nuvra::v2 {

// How a Dense1D layer's input is laid out in FNP memory.
enum class InputPadding : int32_t {
    Undefined = 0,      // no layout fits
    Packed = 1,         // elements packed without gaps
    RowBytePadded = 2,  // each row padded to a byte, each plane to a word
    RowWordPadded = 3,  // one byte per element, each row padded to a word
};

// The layout of the layer's input in FNP memory, or Undefined when none fits 2048 words. With
// `no_previous` the producer is not consulted (only Packed or Undefined). A row byte count that
// cannot be rounded to a word in 32 bits is std::runtime_error "Error when formatting the FNP
// inputs, the padding is undefined.".
InputPadding get_fnp_supported_padding(Layer const& layer, bool no_previous);

// The layer's first input dimensions; with `flatten`, {1, 1, x * y * c}.
Shape get_fnp_input_dim(Layer const& layer, bool flatten);

// FNP packet-SRAM words of a y x x x c input of `bits` bits in the given layout; any padding
// other than 1-3 is std::runtime_error "Unsupported padding.".
uint32_t get_fpksram_size(uint32_t y, uint32_t x, uint32_t c, uint8_t bits, InputPadding padding);

// Packet-SRAM words of the layer's FNP input, in its supported layout.
uint32_t get_fnp_input_size(Layer const& layer, bool no_previous);

// 24-bit words (groups of eight shifts) of the FNP input-shift block for an input of `dims`
// (x, y, c).
uint32_t fnp_input_shift_24b_size(Dense const& input_shift, Shape const& dims, InputPadding padding,
                                  uint8_t bits);

// 24-bit words of a CNP or TNP-B input-shift block: eight shifts a word.
uint32_t cnp_tnp_input_shift_24b_size(Dense const& input_shift);

// Empty element slots that end each row of x elements (`fnp_row_pad_slots`) and each plane of c
// rows (`fnp_plane_pad_slots`) of a row-byte-padded FNP input. Bits other than 1, 2, 4 and 8 are
// std::invalid_argument "Unsupported input bit width <bits>.".
uint32_t fnp_row_pad_slots(uint32_t x, uint8_t bits);
uint32_t fnp_plane_pad_slots(uint32_t x, uint32_t c, uint8_t bits);

// 32-bit words of one neuron's FNP record: two words of variables, then its weights.
uint32_t get_neuron_word_size(Shape const& dims, InputPadding padding, uint8_t bits,
                              uint8_t weights_bits);
// 32-bit words of the records of every neuron (the second dimension of `weights`).
uint32_t get_layer_word_size(Dense const& weights, uint8_t weights_bits, Shape const& dims,
                             InputPadding padding, uint8_t bits);
// 32-bit words of a fully connected layer's FNP memory: its records, rounded up to 16 words when
// the block needs the DMA's XL header. An input without a supported layout is std::runtime_error
// "Error when formatting the FNP inputs, the padding is undefined.".
uint32_t get_fnp_sram_size(Layer const& layer);

// 100-bit words holding `filters` filters of one input channel of a Conv2D; 8-bit weights take
// kernels 1, 3, 4, 5, 7 ("ch_cont_size: Unexpected kernel size." otherwise), other widths use
// the 4-bit form with kernels 1, 3, 5, 7 ("Unsupported kernel size." otherwise).
uint32_t conv2d_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters, uint8_t bits);
// 100-bit words of a Conv2D's formatted weights on a CNP: the channel content times `channels`.
uint32_t conv2d_cnp_formatted_weight_100b_size(uint32_t kernel_size, uint32_t filters,
                                               uint32_t channels, uint8_t bits);
// 100-bit words of depthwise weights of `channels` channels; 8-bit weights take kernels 3, 4, 5,
// 7 ("ch_cont_size: Unexpected kernel size." otherwise), other widths 3, 5, 7 ("Invalid kernel
// size." otherwise).
uint32_t dwc_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels, uint8_t bits);
// 100-bit words of one row of `filters` 8-bit TNP-B weights: two words per started 24 filters.
uint32_t buffer_temp_conv_ch_cont_100b_size(uint32_t filters);
// 100-bit words of a BufferTempConv's weights on a TNP-B.
uint32_t buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size, uint32_t filters,
                                                         uint32_t channels);
// 100-bit words of a DepthwiseBufferTempConv's weights on a TNP-B.
uint32_t depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size,
                                                                   uint32_t channels);

}  // namespace nuvra::v2
