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

// Activation parameters, word 1.
inline constexpr RegDetail ACT_W1_A{0, 6};          // two's complement
inline constexpr RegDetail ACT_W1_B{6, 8};
inline constexpr RegDetail ACT_W1_C{14, 5};
inline constexpr RegDetail ACT_W1_D_LOW{19, 1};     // bit 0 of d
// Activation parameters, word 2.
inline constexpr RegDetail ACT_W2_D_HIGH{0, 7};     // d >> 1
inline constexpr RegDetail ACT_W2_E{7, 5};
inline constexpr RegDetail ACT_W2_F{12, 8};

// Look-up-table variables, word 1.
inline constexpr RegDetail LUT_W1_A{0, 8};
inline constexpr RegDetail LUT_W1_B{8, 8};
inline constexpr RegDetail LUT_W1_C_LOW{16, 4};     // low four bits of c
// Look-up-table variables, word 2.
inline constexpr RegDetail LUT_W2_C_HIGH{0, 1};     // c >> 4
inline constexpr RegDetail LUT_W2_D{1, 6};          // two's complement
inline constexpr RegDetail LUT_W2_E{7, 6};          // two's complement
inline constexpr RegDetail LUT_W2_F{13, 8};

}  // namespace hrc

// The filters of an HRC weight tensor: its first dimension in layout 1, else its fourth.
uint32_t hrc_weight_filters(Dense const& weights);

// The three weight planes of the HRC (some may be empty). The weights (int8) are (filters,
// channels, height, width) in layout 1 and (width, height, channels, filters) otherwise; one or
// three channels. Fails with std::runtime_error "Too many lines on HRC weight formatting with the
// 3-kernel." or "Wrong kernel_size at HRC recording.", or "Wrong number of channels at HRC
// recording." for a channel count other than 1 or 3.
std::vector<std::vector<uint32_t>> format_hrc_weights(Dense const& weights);

// Two words per element of `f`. `a` is int8, the others uint8; `c` and `d` may be null.
std::vector<uint32_t> format_hrc_activations(Dense const& a, Dense const& b, Dense const* c, Dense const* d,
                                             Dense const& e, Dense const& f);

// Two words per element of `b`. `d` and `e` are int8, the others uint8.
std::vector<uint32_t> format_hrc_lut_variables(Dense const& a, Dense const& b, Dense const& c, Dense const& d,
                                               Dense const& e, Dense const& f);

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
