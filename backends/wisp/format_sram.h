// The words of the two memories a TNP-R program loads: the FSRAM (projection weights) and the
// TSRAM (per state channel, per output channel and per group of input channels). Pure functions:
// tensors and numbers in, words out. Each 64-bit memory word comes out as two 32-bit words, bits
// 0-31 first. Every tensor is checked for its element type, rank and extent before its words are
// built, and every element is read through its strides.
//
// Failures: a tensor of the wrong element type panics "Wrong requested type %s for a tensor of
// type %s"; a tensor too short for the count read is std::invalid_argument "Tensor <name> has <n>
// elements along dimension 0, <needed> are needed."; a signed field out of range panics "%d cannot
// fit in a %d-bit signed integer", an unsigned one "%u cannot fit in a %u-bit unsigned integer".
#pragma once

#include <cstdint>
#include <vector>

#include "engine/tensor.h"

namespace nuvra::wisp {

// 64-bit FSRAM words of an R x C weight matrix: ceil(C / 8) x R.
uint64_t fsram_matrix_64b_size(uint64_t rows, uint64_t columns);

// One weight matrix (rank 2, signed bytes): column blocks of eight outermost, rows innermost; the
// word of block b and row r is word b x R + r and holds w[r][8b + k] in byte k (0 past the last
// column).
std::vector<uint32_t> format_fsram_weight_matrix(Tensor const& w);
// The same for a Dense matrix.
inline std::vector<uint32_t> format_fsram_weight_matrix(Dense const& w) {
    return format_fsram_weight_matrix(static_cast<Tensor const&>(w));
}

// The FSRAM words of `in_proj`, then those of `out_proj`.
std::vector<uint32_t> format_fsram_weights(Tensor const& in_proj, Tensor const& out_proj);

// One state-update word per state channel, n = the first dimension of `a_real`: a_real and
// a_imag (int16) in bits 0-15 and 16-31, internal_state_outputs_shift (int8, 5-bit signed) in
// 32-36, new_state_scale (uint8) in 37-44, new_state_shift (int8, 6-bit signed) in 45-50.
std::vector<uint32_t> format_tsram_state_updating_var(Tensor const& a_imag, Tensor const& a_real,
                                                      Tensor const& internal_state_outputs_shift,
                                                      Tensor const& new_state_scale, Tensor const& new_state_shift);

// One output word per output channel, n = the first dimension of `scales`: the scale (uint8 or
// uint16) in bits 0-15, shift (int8, 6-bit signed) in 16-21, bias (int8) in 22-29, bias_shift
// (uint8, at most 31) in 30-34. Scales of any other type are std::runtime_error "Error when
// formattting output scale : Unsupported output scales type in TSRAM formatting.".
std::vector<uint32_t> format_tsram_output_var(Tensor const& scales, Tensor const& shift, Tensor const& bias,
                                              Tensor const& bias_shift);

// The post-processing output word: scale 1, the shift -floor(log2(timesteps)) and the spike
// threshold in bits 22-37. Timesteps outside 1..65535 are std::invalid_argument.
std::vector<uint32_t> format_tsram_post_processing_output_var(uint32_t timesteps, uint16_t threshold);

// Values per input-shift word: 8 for 8-bit inputs, 4 for any other width. The sizes take every
// width, so that the checks can report a width the TNP-R does not take by its own rule.
uint32_t input_shifts_per_word(uint32_t input_bits);

// 64-bit TSRAM words of the input shifts of `channels` channels.
uint64_t tsram_input_shift_64b_size(uint64_t channels, uint32_t input_bits);

// The input shifts (unsigned bytes, at most 7) of the first-dimension channels: per word, value t
// in the 3-bit fields from bit 3mt, repeated m = input_bits / 8 times. Widths other than 8 and 16
// are std::invalid_argument "TNP-R inputs are 8-bit or 16-bit (got <bits>).".
std::vector<uint32_t> format_tsram_input_shift(Tensor const& input_shift, uint32_t input_bits);

// The post-processing input-shift word: all zero.
std::vector<uint32_t> format_tsram_post_processing_input_shift();

// The same formatters appending their words to `out`, as a TNP-R program's memory images are
// built; a null `out` is std::invalid_argument "No word list to append to.", and a formatter that
// fails appends nothing.
void format_fsram_weights(std::vector<uint32_t>* out, Dense const& in_proj, Dense const& out_proj);
void format_tsram_state_updating_var(std::vector<uint32_t>* out, Dense const& a_imag, Dense const& a_real,
                                     Dense const& internal_state_outputs_shift, Dense const& new_state_scale,
                                     Dense const& new_state_shift);
void format_tsram_output_var(std::vector<uint32_t>* out, Dense const& scales, Dense const& shift, Dense const& bias,
                             Dense const& bias_shift);
void format_tsram_post_processing_output_var(std::vector<uint32_t>* out, uint16_t timesteps, uint16_t threshold);
void format_tsram_input_shift(std::vector<uint32_t>* out, Dense const& input_shift, uint8_t input_bits);
void format_tsram_post_processing_input_shift(std::vector<uint32_t>* out);

}  // namespace nuvra::wisp
