// First-generation memory sizes: the CNP input buffer, the CNP weight SRAM (50-bit words, each
// held in two 32-bit words) of standard and separable convolutions, and the FNP memory image and
// input packet. Sizes are worked out in 64 bits. The 32-bit forms saturate at 0xFFFFFFFF, the
// size of a layout the hardware has no format for: it fits no memory.
#pragma once

#include <cstdint>

#include "engine/layer.h"
#include "engine/tensor.h"
#include "program/backend.h"
#include "mapping/split.h"

namespace nuvra::v1 {

inline constexpr uint32_t unsupported_size = 0xFFFFFFFF;

// ---- CNP input buffer ----

// Bytes of one container of `n` values of `bits` bits.
uint64_t cnp_container_bytes(uint64_t n, uint64_t bits);
// 32-bit words of `lines` lines of `per_line` containers of `container_bytes` bytes, each line
// padded to a word.
uint64_t cnp_input_words(uint64_t container_bytes, uint64_t per_line, uint64_t lines);
uint32_t get_cnp_channel_container_size(uint32_t n, uint8_t bits);
uint32_t get_cnp_input_sram_size(uint32_t container_bytes, uint32_t per_line, uint32_t lines);

// ---- CNP weights, in 32-bit words ----

// Words of one input channel's block of `filters` standard-convolution filters of a k x k kernel:
// 1- and 2-bit weights take kernels 1, 3, 5 and 7, 4-bit weights the same kernels (another is
// std::runtime_error "Unsupported kernel size"); anything else is unsupported (saturated).
uint64_t std_cnp_block_words(uint32_t k, uint32_t filters, int bits);
// SRAM words of one group of eight 4-bit filters of a kernel of 3, 5 or 7 (another is
// std::runtime_error "Unsupported kernel size").
uint64_t four_bit_group_sram_words(uint32_t k);
uint32_t get_std_cnp_sram_size(uint32_t k, uint32_t channels, uint32_t filters, int bits);

// Depthwise k x k rows of `bits`-bit values per 50-bit SRAM word; 0 when bits x k lies outside
// 1..50 (not even one row fits, or no values at all).
uint32_t dw_rows_per_word(int64_t k, int64_t bits);
// Words of the depthwise weights of `channels` channels; unsupported (saturated) when bits x k
// lies outside 1..50.
uint64_t dw_weights_words(int64_t k, uint64_t channels, int64_t bits);
uint32_t get_dw_weights_sram_size(int k, uint32_t channels, int bits);
// 48-bit SRAM words (not doubled) of one channel's pointwise weights of `filters` filters.
uint32_t get_nb_words_per_pw_channel(uint32_t filters, int bits);
uint32_t get_sep_cnp_sram_size(uint32_t k, uint32_t channels, uint32_t filters, int bits);

// Weight words of `filters` filters of a Convolutional or SeparableConvolutional layer on one CNP,
// rounded up to 16 when the block needs the DMA's XL header (an unsupported size is never
// rounded). Another kind is std::invalid_argument "Unexpected layer type for CNP".
uint64_t weights_words(Layer const& layer, uint32_t filters);
uint32_t get_weights_size(Layer const& layer, uint32_t filters);
// Whether those weights fit the CNP weight SRAM of `hc`; a Convolutional layer's weights of one
// input channel must also stay addressable (at most 1023 groups of four words).
bool check_weights_size_fit_cnp(HardwareConstraints const& hc, Layer const& layer, uint32_t filters);

// ---- FNP ----

// Layout of one neuron block of an FNP memory image for weights of `dims` (neurons, inputs, ...)
// and `bits` bits: a header of 4 words, then the bit planes of the non-negative weights and, with
// more than one bit, of the magnitudes of the negative ones.
struct FnpLayout {
    uint64_t neurons = 0;  // N
    uint64_t inputs = 0;   // I
    uint64_t groups = 0;   // G: groups of 32 inputs
    uint64_t planes = 0;   // K: magnitude bit planes
    uint64_t halves = 0;   // H: 1 for 1-bit weights, else 2
    uint64_t block = 0;    // B: words of one neuron block

    uint64_t half_words() const { return groups * planes; }
    uint64_t words() const { return neurons * block; }
};
// Weights of fewer than 2 dimensions, or bits below 1, are std::invalid_argument.
FnpLayout fnp_layout(Shape const& dims, int bits);
uint32_t fnp_sram_size(Shape const& dims, int bits);
// Words of the layer's FNP memory image, rounded up to 16 when it needs the XL header.
uint64_t fnp_sram_words(Layer const& layer);
uint32_t get_fnp_sram_size(Layer const& layer);
// 32-bit words of one input packet of the layer, one bit per input value.
uint64_t fnp_input_words(Layer const& layer);
uint32_t get_fnp_input_size(Layer const& layer);

}  // namespace nuvra::v1
