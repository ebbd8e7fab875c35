// The HRC's memories as 32-bit words: weights in up to three SRAM planes (R, G, B), activation
// parameters, and look-up-table activation variables. Pure functions of their tensors.
#pragma once

#include <cstddef>
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

// The two words of one filter's activation parameters and of one filter's look-up-table
// variables, X(record, NAME, word, lowest bit, width).
#define NUVRA_HRC_MEMORY_FIELDS(X)                                                                       \
    X(activation, ACT_OUTPUT_SHIFT, 0, 0, 6)        /* two's complement */                             \
    X(activation, ACT_OUTPUT_SCALE, 0, 6, 8)                                                           \
    X(activation, ACT_MAX_VALUE_SHIFT, 0, 14, 5)                                                       \
    X(activation, ACT_MAX_VALUE_LOW, 0, 19, 1)      /* bit 0 of the maximum value */                   \
    X(activation, ACT_MAX_VALUE_HIGH, 1, 0, 7)      /* the maximum value >> 1 */                       \
    X(activation, ACT_BIAS_SHIFT, 1, 7, 5)                                                             \
    X(activation, ACT_BIAS, 1, 12, 8)                                                                  \
    X(lut, LUT_OUTPUT_SCALE, 0, 0, 8)                                                                  \
    X(lut, LUT_BIAS, 0, 8, 8)                                                                          \
    X(lut, LUT_BIAS_SHIFT_LOW, 0, 16, 4)            /* low four bits of the bias shift */              \
    X(lut, LUT_BIAS_SHIFT_HIGH, 1, 0, 1)            /* the bias shift >> 4 */                          \
    X(lut, LUT_OUTPUT_SHIFT, 1, 1, 6)               /* two's complement */                             \
    X(lut, LUT_ACTIVATION_SHIFT, 1, 7, 6)           /* two's complement */                             \
    X(lut, LUT_ACTIVATION_SCALE, 1, 13, 8)                                                             \
    X(registers, REGISTERS_ENABLE, 0, 0, 1)         /* the first register word: the HRC runs */

NUVRA_HRC_MEMORY_FIELDS(NUVRA_FIELD_CONSTANT)

// Words of one filter's activation parameters or look-up-table variables.
inline constexpr size_t filter_record_words = 2;

inline constexpr NamedField field_table[] = {NUVRA_HRC_MEMORY_FIELDS(NUVRA_FIELD_ROW)};

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
}  // namespace hrc

// Loads one HRC memory: a two-word select block whose first word holds the value 1 in `select`
// (target 8 at 0x20), then `data` (target 9 at 0x28). Empty data records nothing; a select of no
// bits fails through panic with set_field's overflow message ("Attempted to write value 1 into a
// 0-bit field, which will cause an overflow.").
void record_hrc_sram(program::Record* record, RegDetail const& select, std::vector<uint32_t> const& data);
// The same with a select field bound to its word, which must be the block's first (another word
// is std::logic_error).
void record_hrc_sram(program::Record* record, Field const& select, std::vector<uint32_t> const& data);

// The blocks that close an HRC program: the first register word with its enable bit (bit 0)
// cleared at the register address, then 1 and 0 at the control address.
void record_hrc_closing(program::Record* record, uint32_t first_register_word);

}  // namespace nuvra
