// Second-generation FNP memory images: the input-shift block and the neuron memory (per neuron
// two variable words and its packed weights), laid out for one of the input paddings of
// backends/v2/sizes.h. Pure functions returning word vectors; every tensor is checked for rank,
// type and extent, and the layout against its words, before the elements are copied.
//
// The FNP input element (x, y, z) of a shape (s0, s1, s2) has the flat index I = (x s1 + y) s2 + z.
// The padded layouts keep rows of s0 elements, y outermost, then z, then x.
#pragma once

#include <cstdint>
#include <vector>

#include "backends/v2/sizes.h"
#include "engine/layer.h"
#include "engine/tensor.h"

namespace nuvra::v2 {

// The input shifts of an input of shape `s` (at least three dimensions), one byte per shift
// whatever `bits` is, for `padding`:
//   Packed: format_input_shift(shifts, 0, 0), the whole tensor;
//   RowBytePadded: per plane y, per row z, the s0 shifts then the row's empty slots, then the
//     plane's empty slots (for inputs of `bits` bits: 1, 2, 4 or 8);
//   RowWordPadded: per row, the s0 shifts then zeros up to a multiple of 4 bytes (8-bit inputs
//     only, std::invalid_argument otherwise).
// The padded images hold an even number of words: 2 x fnp_input_shift_24b_size. The tensor is
// one-dimensional, unsigned bytes, with at least s0 s1 s2 shifts for the padded layouts. Any
// other padding is std::runtime_error "Unsupported padding.".
std::vector<uint32_t> format_input_shift_fnp(Dense const& shifts, Shape const& s, InputPadding padding,
                                             uint8_t bits);

// The weight words of neuron `neuron` (the words after its two variable words in its record):
// get_neuron_word_size(s, padding, bits, weights_bits) - 2 words. Weights (I, neuron) of a
// two-dimensional tensor of signed bytes:
//   Packed: inputs 0 .. s2 - 1, each its low `weights_bits` bits (1, 2, 4 or 8), packed least
//     significant first;
//   RowBytePadded: one slot of `weights_bits` bits per input element slot of the row-byte-padded
//     input of `bits` bits, the empty slots zero;
//   RowWordPadded: one byte per weight, each row padded with zeros to a multiple of 4 bytes
//     (8-bit inputs only).
// A weight width outside 1, 2, 4, 8 (Packed, RowBytePadded) is std::invalid_argument
// "Unsupported weight bit width <w>.".
std::vector<uint32_t> format_fnp_weights(uint32_t neuron, Dense const& weights, uint8_t weights_bits,
                                         Shape const& s, InputPadding padding, uint8_t bits);
// The same words written into the neuron memory `image` (bytes, little-endian within a word) at
// the weights of record `neuron`: from byte 4 W neuron + 8, W = get_neuron_word_size(s, padding,
// bits, weights_bits). The image must hold that record; a null image is std::invalid_argument.
void format_fnp_weights(uint8_t* image, uint32_t neuron, Dense const& weights, uint8_t weights_bits, Shape const& s,
                        InputPadding padding, uint8_t bits);

// The layer's FNP neuron memory: get_layer_word_size words, one record of
// get_neuron_word_size words per neuron (the second dimension of "weights"). Word 0 of a record:
// bias (int8 bits), bias shift, and max value and max value shift when the layer has them
// ("max_value" and "max_value_shift" go together: having one fetches both); word 1: output scale
// and output shift (int8 bits); then format_fnp_weights. The input shape is
// get_fnp_input_dim(layer, flatten). The per-neuron variables are one-dimensional and hold every
// neuron.
std::vector<uint32_t> format_fnp_ram(Layer const& layer, bool flatten, InputPadding padding, uint8_t bits,
                                     uint8_t weights_bits);

}  // namespace nuvra::v2
