// The HRC's memories as 32-bit words: weights in up to three SRAM planes (R, G, B), activation
// parameters, and look-up-table activation variables. Pure functions of their tensors.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/tensor.h"
#include "hw/register.h"
#include "program/record.h"

namespace nuvra {

namespace hrc {

// A weight line: three words holding nine 8-bit weights, weight n at bit 8 x (n mod 4) of word
// n / 4.
inline constexpr uint32_t line_words = 3;
inline constexpr uint32_t line_weights = 9;
// Words of one plane that the 3-kernel layout fills before it moves to the next plane.
inline constexpr uint32_t wrap_plane_words = 576;

// Activation parameters of one filter, word 1.
inline constexpr RegDetail ACT_W1_OUTPUT_SHIFT{0, 6};      // two's complement
inline constexpr RegDetail ACT_W1_OUTPUT_SCALE{6, 8};
inline constexpr RegDetail ACT_W1_MAX_VALUE_SHIFT{14, 5};
inline constexpr RegDetail ACT_W1_MAX_VALUE_LOW{19, 1};    // bit 0 of the maximum value
// Activation parameters, word 2.
inline constexpr RegDetail ACT_W2_MAX_VALUE_HIGH{0, 7};    // the maximum value >> 1
inline constexpr RegDetail ACT_W2_BIAS_SHIFT{7, 5};
inline constexpr RegDetail ACT_W2_BIAS{12, 8};

// Look-up-table variables of one filter, word 1.
inline constexpr RegDetail LUT_W1_OUTPUT_SCALE{0, 8};
inline constexpr RegDetail LUT_W1_BIAS{8, 8};
inline constexpr RegDetail LUT_W1_BIAS_SHIFT_LOW{16, 4};   // low four bits of the bias shift
// Look-up-table variables, word 2.
inline constexpr RegDetail LUT_W2_BIAS_SHIFT_HIGH{0, 1};   // the bias shift >> 4
inline constexpr RegDetail LUT_W2_OUTPUT_SHIFT{1, 6};      // two's complement
inline constexpr RegDetail LUT_W2_ACTIVATION_SHIFT{7, 6};  // two's complement
inline constexpr RegDetail LUT_W2_ACTIVATION_SCALE{13, 8};

}  // namespace hrc

// The filters of an HRC weight tensor: its first dimension in layout 1, else its fourth.
uint32_t hrc_weight_filters(Dense const& weights);

// The three weight planes of the HRC (some may be empty). The weights (int8) are (filters,
// channels, height, width) in layout 1 and (width, height, channels, filters) otherwise; one or
// three channels. Fails with std::runtime_error "Too many lines on HRC weight formatting with the
// 3-kernel." or "Wrong kernel_size at HRC recording.", or "Wrong number of channels at HRC
// recording." for a channel count other than 1 or 3.
std::vector<std::vector<uint32_t>> format_hrc_weights(Dense const& weights);

// The activation parameters of the HRC's filters: two words per element of `bias`.
// `output_shift` is int8, the others uint8; the two maximum-value tensors may be null (0).
std::vector<uint32_t> format_hrc_activations(Dense const& output_shift, Dense const& output_scales,
                                             Dense const* max_value_shift, Dense const* max_value,
                                             Dense const& bias_shift, Dense const& bias);

// The variables of a look-up-table activation on the HRC: two words per element of `bias`.
// `output_shift` and `activation_shift` are int8, the others uint8.
std::vector<uint32_t> format_hrc_lut_variables(Dense const& output_scales, Dense const& bias,
                                               Dense const& bias_shift, Dense const& output_shift,
                                               Dense const& activation_shift, Dense const& activation_scales);

// HRC DMA blocks, all for the zero ident.
namespace hrc {
inline constexpr uint16_t control_address = 0x0;    // target 8: start and stop
inline constexpr uint16_t registers_address = 0x8;  // target 8: the configuration registers
inline constexpr uint16_t select_address = 0x20;    // target 8: which memory the data goes to
inline constexpr uint16_t data_address = 0x28;      // target 9: the memory's contents
// The first register word: the HRC runs.
inline constexpr RegDetail REGISTERS_ENABLE{0, 1};
}  // namespace hrc

// Loads one HRC memory: a two-word select block (the value 1 in `select`, a field of the first
// word; another word is std::logic_error; target 8 at 0x20), then `data` (target 9 at 0x28).
// Empty data records nothing.
void record_hrc_sram(program::Record* record, Field const& select, std::vector<uint32_t> const& data);

// The blocks that close an HRC program: the first register word with its enable bit (bit 0)
// cleared at the register address, then 1 and 0 at the control address.
void record_hrc_closing(program::Record* record, uint32_t first_register_word);

}  // namespace nuvra
