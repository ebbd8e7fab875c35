// Second-generation per-neuron variables, input shifts, merge-layer shifts and activation look-up
// tables, formatted as the words their DMA blocks carry. Pure functions: tensors and numbers in,
// words out. Every tensor is checked for rank and extent before anything is read; the per-neuron
// variables and the input shifts of a channel range are then read in strided loops whose element
// types are checked once, the other blocks element by element through tensor_read.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/tensor.h"

namespace nuvra::v2 {

// Two words per neuron first_neuron .. first_neuron + count - 1 of a CNP or TNP-B: output scale,
// bias, bias shift, output shift and max value shift (or the low activation-shift bits) in the
// first; max value or activation shift bit 5 and activation scale in the second. A null pointer
// leaves its bits zero. Each present tensor must be one-dimensional and hold the neurons read.
// bias_shift or max_value_shift above 31 panics with the 5-bit overflow message; output_shift
// outside -32..31 panics "<v> cannot fit in a 6-bit signed integer".
std::vector<uint32_t> format_cnp_tnp_variables(Dense const* max_value, Dense const* max_value_shift,
                                               Dense const* activation_shift, Dense const* activation_scales,
                                               Dense const* output_shift, Dense const* bias_shift,
                                               Dense const* bias, Dense const* output_scales,
                                               uint32_t first_neuron, uint32_t count);

// format_cnp_tnp_variables value by value: every value read through tensor_read and every field
// written through set, neuron after neuron in the order of the steps. format_cnp_tnp_variables
// gives exactly its words, and hands it every call whose values or element types it would refuse,
// so that the refusal and its message are the ones of this order.
std::vector<uint32_t> format_cnp_tnp_variables_checked(Dense const* max_value, Dense const* max_value_shift,
                                                       Dense const* activation_shift,
                                                       Dense const* activation_scales, Dense const* output_shift,
                                                       Dense const* bias_shift, Dense const* bias,
                                                       Dense const* output_scales, uint32_t first_neuron,
                                                       uint32_t count);

// The shifts of channels first_channel .. first_channel + n - 1, one byte each, in groups of
// eight (two words a group, the last group zero-padded); n = count, or the whole tensor when
// count is 0. The tensor is one-dimensional, of unsigned bytes, and holds every channel read.
// Its word count is 2 x cnp_tnp_input_shift_24b_size (backends/v2/sizes.h) for count 0.
std::vector<uint32_t> format_input_shift(Dense const& input_shift, uint32_t first_channel, uint32_t count);

// Every shift of a tensor of unsigned bytes (any rank, row-major order), one byte each: the n
// shifts rounded up to a multiple of 8 bytes, no word at all for an empty tensor.
std::vector<uint32_t> format_input_shift(Dense const& input_shift);

// One byte per neuron of an Add merged into the layer: bit 7 when b_shift >= a_shift, bits 4-6
// max(a, b) + output_shift as a 3-bit signed value, bits 0-3 |a - b|. A sum outside -4..3 panics
// "<s> cannot fit in a 3-bit signed integer"; a distance of 16 or more panics "<d> cannot fit in
// a 5-bit signed integer" (it would spill into the sum). Null tensors are std::invalid_argument.
std::vector<uint32_t> format_merge_layer_shift(std::shared_ptr<Dense const> const& a_shift,
                                               std::shared_ptr<Dense const> const& b_shift,
                                               std::shared_ptr<Dense const> const& output_shift,
                                               uint32_t first_neuron, uint32_t count);

// A CNP activation table: 2048 int32 entries (2049 also pass, the last one unused) as 1024 words
// of two 14-bit signed entries. A missing table or any other size is std::runtime_error "Wrong
// size for LUT."; an entry outside -8192..8191 panics "<v> cannot fit in a 14-bit signed integer".
std::vector<uint32_t> format_lut_values_for_cnp(Dense const* lut);

// An HRC activation table: exactly 2048 int32 entries, one 14-bit signed entry per word; the
// failures of the CNP table.
std::vector<uint32_t> format_lut_values_for_hrc(Dense const* lut);

}  // namespace nuvra::v2
