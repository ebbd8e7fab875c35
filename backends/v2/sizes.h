// Second-generation memory sizes: the FNP input layouts and their packet-SRAM, input-shift and
// memory sizes, and the 100-bit word counts of CNP and TNP-B weights. Sizes are worked out in
// 64 bits; a result that does not fit 32 bits is std::runtime_error.
#pragma once

#include <cstdint>

#include "engine/dma.h"
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

// Input words set aside in the NP input memory for a layer fed by an Add.
inline constexpr uint32_t add_pksram_shift_words = 512;

// add_pksram_shift_words for a layer whose first inbound layer is an Add, else 0.
uint32_t get_add_pksram_shift(Layer const& layer);

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

// 100-bit words holding `filters` 4-bit filters of one input channel of a Conv2D: kernel 1 24
// filters a word, kernel 3 three words per started 8 filters, kernel 5 one word a filter (rounded
// up to 8), kernel 7 21 words per started 8; any other kernel is std::runtime_error "Unsupported
// kernel size.".
uint32_t conv2d_4bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters);
// The same for 8-bit filters, their count m rounded up to 8: kernel 1 two words per started 24
// filters, kernels 3, 4, 5 and 7 6, 12, 20 and 56 words per 8; any other kernel is
// std::runtime_error "ch_cont_size: Unexpected kernel size.".
uint32_t conv2d_8bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters);
// 100-bit words holding `filters` filters of one input channel of a Conv2D: the 8-bit count when
// `bits` is 8, the 4-bit count for any other width.
uint32_t conv2d_ch_cont_100b_size(uint32_t kernel_size, uint32_t filters, uint8_t bits);
// 100-bit words of a Conv2D's 4-bit weights on a CNP: the 4-bit channel content times `channels`.
uint32_t conv2d_cnp_formatted_4bit_weight_100b_size(uint32_t kernel_size, uint32_t filters, uint32_t channels);
// 100-bit words of a Conv2D's formatted weights on a CNP: the channel content times `channels`.
uint32_t conv2d_cnp_formatted_weight_100b_size(uint32_t kernel_size, uint32_t filters,
                                               uint32_t channels, uint8_t bits);
// 100-bit words of depthwise weights of `channels` channels; 8-bit weights take kernels 3, 4, 5,
// 7 ("ch_cont_size: Unexpected kernel size." otherwise), other widths dwc_4bit_ch_cont_100b_size.
uint32_t dwc_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels, uint8_t bits);
// The 4-bit form: two channels of kernel 3 share a 100-bit word, kernel 5 takes one and a half,
// kernel 7 three and a half; any other kernel is std::runtime_error "Invalid kernel size.".
uint32_t dwc_4bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels);

// How 8-bit depthwise weights of one kernel size lie in the three-word form of the 100-bit
// words: per kernel row `split_values` values, `split_skip` bytes skipped, the rest of the row,
// then `row_skip` bytes; one channel every `channel_bytes` bytes.
struct DwcCnpWeightFormat {
    uint32_t split_values;
    uint32_t split_skip;
    uint32_t row_skip;
    uint32_t channel_bytes;
    uint32_t words_per_100b;
    uint32_t dma_target;

    friend bool operator==(DwcCnpWeightFormat const&, DwcCnpWeightFormat const&) = default;
};

// The 8-bit layout of kernel 3, 4, 5 or 7; any other size is std::runtime_error
// "cnp_weight_format: Unexpected kernel size.". Kernel 5 channels follow each other every 30
// bytes although the 100-bit count gives each 36: the last 6 bytes per channel stay zero.
DwcCnpWeightFormat dwc_cnp_weight_format(uint32_t kernel_size);

// The depthwise weight block's target: 0 for 4-bit weights (`bits` 4) whatever the kernel, else
// that of dwc_cnp_weight_format.
dma::Target dwc_dma_target(uint32_t kernel_size, uint8_t bits);

// 32-bit words of format_depthwise_conv_cnp_weights: 8-bit weights (`bits` 8) three per 100-bit
// word, rounded up to 16 when the block needs the DMA's XL header; other widths
// dwc_cnp_formatted_4bit_weight_32b_size.
uint32_t dwc_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t channels, uint8_t bits);
// 32-bit words reserved for 4-bit depthwise weights: 2, 6 or 14 per channel (kernel 3, 5, 7),
// always rounded up to 16. The 4-bit formatter itself returns the words without the rounding.
uint32_t dwc_cnp_formatted_4bit_weight_32b_size(uint32_t kernel_size, uint32_t channels);
// 100-bit words of one row of `filters` 8-bit TNP-B weights: two words per started 24 filters.
uint32_t buffer_temp_conv_ch_cont_100b_size(uint32_t filters);
// 100-bit words of a BufferTempConv's weights on a TNP-B.
uint32_t buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size, uint32_t filters,
                                                         uint32_t channels);
// 100-bit words of a DepthwiseBufferTempConv's weights on a TNP-B.
uint32_t depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size,
                                                                   uint32_t channels);
// 32-bit words of `rows` packed BufferTempConv weight rows of `filters` filters: three per
// 100-bit word, rounded up to 16 when the block needs the DMA's XL header.
uint32_t tnp_b_buffer_temp_conv_formatted_weight_32b_size(uint32_t filters, uint32_t rows);
// 32-bit words of packed DepthwiseBufferTempConv weights: (fifo_size + 1) x channels 100-bit
// words of three words, rounded up to 16 when the block needs the XL header.
uint32_t depthwise_buffer_temp_conv_formatted_weight_32b_size(uint32_t fifo_size, uint32_t channels);

// `words` 32-bit words of one DMA block, rounded up to 16 when the block needs the XL header;
// above 32 bits std::runtime_error "<what>: <words> words do not fit in 32 bits.".
uint32_t xl_padded_32b_size(uint64_t words, const char* what);

// 32-bit words of an InputConv2D layer's HRC memories: its three weight planes and its
// activation parameters ("max_value" and "max_value_shift" when it has them), rounded up to 16
// once, for the sum, when it needs the XL header. Look-up tables are not counted.
uint32_t get_hrc_sram_size(Layer const& layer);

}  // namespace nuvra::v2
