// First-generation CNP weight images. A CNP keeps its weights in an SRAM of 50-bit words; each
// SRAM word takes one 64-bit slot of the image, two 32-bit words, its bits 0-31 in the first and
// the rest from bit 0 of the second. Weight tensors are 4-dimensional, indexed (filter, input
// channel, kernel row, kernel column), and read as signed bytes through their strides (another
// element type panics "Wrong requested type %s for a tensor of type %s"). Each image has the size
// of backends/v1/sizes.h for its layout. The formatters take a Dense as well as any Tensor.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/tensor.h"
#include "program/format_support.h"

namespace nuvra::v1 {

// The refusal of a separable layer whose weights are neither 2 nor 4 bits wide.
inline constexpr char sep_weights_bits_message[] = "Separable CNP weights bitwidth must be 2 or 4.";

// `value` as an N-bit two's-complement field: -2 gives 2 for N = 2; outside [-2^(N-1), 2^(N-1) - 1]
// panics "%d cannot fit in a %d-bit signed integer".
template <int N>
uint32_t int32_to_intN(int value) {
    static_assert(N == 2 || N == 4);
    return to_signed_field(value, N);
}

// The 4-bit code of a standard 4-bit weight: the magnitude in bits 0-2, bit 3 set for a positive
// value (-3 gives 3, +3 gives 11). A magnitude above 7 panics "%d cannot fit in a %d-bit signed
// integer" with the value and 4.
uint32_t four_bit_code(int value);

// 1-bit or ternary (two_bit) weights of filters start .. start + count - 1, one block per input
// channel. Per filter a run of k x k bits (plus a zero pad bit for k = 3 and 7) marks the weights
// equal to 1 and, two-bit, a second run those equal to -1; kernel 1 always packs two-bit. A
// kernel that is not square is std::runtime_error "CNP: width and height must be equal.", one
// other than 1, 3, 5 or 7 "Unsupported kernel size.".
std::vector<uint32_t> format_std_cnp_weights(Tensor const& weights, bool two_bit, uint32_t start, uint32_t count);
// Whether format_std_cnp_weights packs a plane of the weights equal to -1: two-bit weights and
// every kernel of 1. Without it, every weight but 1 is written as 0.
inline bool std_cnp_minus_plane(bool two_bit, uint32_t kernel) { return two_bit || kernel == 1; }
// The same for weights held by a shared pointer (a null one is std::invalid_argument "No weights
// to format.").
std::vector<uint32_t> format_std_cnp_weights(std::shared_ptr<Dense const> weights, bool two_bit, uint32_t start,
                                             uint32_t count);

// 4-bit codes of filters start .. start + count - 1, one block per input channel: kernel 1 holds
// the codes one after another, 12 to a 48-bit word; kernels 3, 5 and 7 hold groups of eight
// filters (the last padded with zero codes), rows outermost, then filters, then columns. Other
// kernels are std::runtime_error "Unsupported kernel size.".
std::vector<uint32_t> format_4bits_std_cnp_weights(Tensor const& weights, uint32_t start, uint32_t count);
inline std::vector<uint32_t> format_4bits_std_cnp_weights(Dense const& weights, uint32_t start, uint32_t count) {
    return format_4bits_std_cnp_weights(static_cast<Tensor const&>(weights), start, count);
}

// Depthwise weights (0, c, y, x) of a separable layer, as 2- or 4-bit fields, rows of a channel
// kept in one 50-bit word. Other widths are std::invalid_argument with sep_weights_bits_message;
// a kernel whose row does not fit a word is std::runtime_error "Unsupported kernel size.".
std::vector<uint32_t> format_sep_cnp_dw_weights(Tensor const& weights, int bits);
inline std::vector<uint32_t> format_sep_cnp_dw_weights(Dense const& weights, int bits) {
    return format_sep_cnp_dw_weights(static_cast<Tensor const&>(weights), bits);
}

// Pointwise weights (n, c, 0, 0) of filters start .. start + count - 1, one block of
// get_nb_words_per_pw_channel words (48 bits used) per input channel, as 2- or 4-bit fields.
// Other widths are std::invalid_argument with sep_weights_bits_message.
std::vector<uint32_t> format_sep_cnp_pw_weights(Tensor const& weights, int bits, uint32_t start, uint32_t count);
inline std::vector<uint32_t> format_sep_cnp_pw_weights(Dense const& weights, int bits, uint32_t start,
                                                       uint32_t count) {
    return format_sep_cnp_pw_weights(static_cast<Tensor const&>(weights), bits, start, count);
}

}  // namespace nuvra::v1
