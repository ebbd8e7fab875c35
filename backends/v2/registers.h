// Register fields of second-generation NPs, and the fields of the variable, merge-shift,
// look-up-table and FNP neuron words those NPs read from memory. Every field is written through
// set_field with one of these constants. The digit in a register field's name is not its word:
// the word of each field is noted beside it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hw/register.h"

namespace nuvra::v2 {

// Word 3: the NP's own configuration.
inline constexpr RegDetail REG4_IB_CH_GRP_EN{10, 1};  // the NP takes a group of the input channels
inline constexpr RegDetail REG4_EN_ACT{15, 1};        // ReLU activation on
inline constexpr RegDetail REG4_NP_NUM{16, 8};        // number of NPs of the layer

// Word 4.
inline constexpr RegDetail REG5_CPKSRAM_SIZE{0, 16};  // input packet memory, 32-bit words

// Word 8: the NP's part of the input and its offsets from the cut.
inline constexpr RegDetail REG8_II_SIZE{0, 11};
inline constexpr RegDetail REG8_II_OFFSET{12, 3};  // 3-bit two's complement
inline constexpr RegDetail REG8_JJ_SIZE{16, 11};
inline constexpr RegDetail REG8_JJ_OFFSET{28, 3};  // 3-bit two's complement

// Word 9.
inline constexpr RegDetail REG9_I_ORIG_CUT{0, 12};  // row origin of the input cut

// Word 11.
inline constexpr RegDetail REG11_CHCONT_SIZE{12, 18};  // 100-bit weight words per input channel

// Word 21.
inline constexpr RegDetail CNP2_TF_TOTAL{0, 11};  // filters computed by the NP

// Word 22: the channel group of a depthwise NP.
inline constexpr RegDetail CNP3_CH_ORIG_CUT{0, 12};
inline constexpr RegDetail CNP3_CH_SIZE_CUT{16, 10};

// Word 28.
inline constexpr RegDetail CNP8_CPK_CHCONT_SIZE{16, 16};  // bytes of one input row, word-aligned

// Partial reconfiguration: the linked layer's view of this NP.
inline constexpr RegDetail PR1_FNP_MODE{1, 1};         // word 32
inline constexpr RegDetail PR1_IB_CH_GRP_EN{10, 1};    // word 32
inline constexpr RegDetail PR1_SP_MAXPOOLING{11, 1};   // word 32
inline constexpr RegDetail PR1_SEPARABLE{15, 1};       // word 35
inline constexpr RegDetail PR1_I_ORIG_CUT{0, 12};      // word 33
inline constexpr RegDetail PR1_J_ORIG_CUT{16, 12};     // word 33
inline constexpr RegDetail PR1_I_SIZE_CUT{0, 11};      // word 34
inline constexpr RegDetail PR1_J_SIZE_CUT{16, 11};     // word 34
inline constexpr RegDetail PR1_CH_SIZE{0, 18};         // word 35
inline constexpr RegDetail PR1_CH_ORIG_CUT{0, 12};     // word 42
inline constexpr RegDetail PR1_CH_SIZE_CUT{16, 10};    // word 42
inline constexpr RegDetail PR1_PKSRAM_SIZE{0, 16};     // word 40

// CNP and TNP-B variables: two words per neuron. Word A (the first):
inline constexpr RegDetail VARS_W1_OUT_SCALE{0, 8};      // output scale
inline constexpr RegDetail VARS_W1_BIAS{8, 8};           // bias, int8 bits
inline constexpr RegDetail VARS_W1_BIAS_SHIFT{16, 5};
inline constexpr RegDetail VARS_W1_OUT_SHIFT{21, 6};     // 6-bit two's complement
inline constexpr RegDetail VARS_W1_MAX_SHIFT{27, 5};     // max value shift
inline constexpr RegDetail VARS_W1_ACT_SHIFT_LO{27, 5};  // activation shift bits 0-4 (same bits)
// Word B (the second):
inline constexpr RegDetail VARS_W2_ACT_SHIFT_HI{0, 1};   // activation shift bit 5
inline constexpr RegDetail VARS_W2_ACT_SCALES{1, 8};     // activation scale
inline constexpr RegDetail VARS_W2_MAX_VALUE{0, 8};      // max value (replaces the bits above)

// Merge-layer shift: one byte per neuron.
inline constexpr RegDetail MERGE_SHIFT_DISTANCE{0, 4};  // |a_shift - b_shift|
inline constexpr RegDetail MERGE_SHIFT_SUM{4, 3};       // max(a, b) + output_shift, 3-bit signed
inline constexpr RegDetail MERGE_SHIFT_B_LARGER{7, 1};  // b_shift >= a_shift

// Look-up tables: a CNP word holds two 14-bit signed entries, an HRC word one.
inline constexpr RegDetail LUT_CNP_EVEN{0, 14};
inline constexpr RegDetail LUT_CNP_ODD{16, 14};
inline constexpr RegDetail LUT_HRC_ENTRY{0, 14};

// HRC SRAM select word: which memory the following data goes to.
inline constexpr RegDetail HRC_SRAM_SELECT_R{0, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_G{1, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_B{2, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_LUT{29, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_ACT{31, 1};

// The five HRC configuration registers of an InputConv2D (word, bits). Word 0 bit 0, the enable
// bit, is nuvra::hrc::REGISTERS_ENABLE.
namespace hrc_config {
inline constexpr size_t WORDS = 5;
inline constexpr size_t CONTROL = 0;
inline constexpr size_t STRIDES = 1;
inline constexpr size_t PADDING_VALUE = 2;
inline constexpr size_t PADDING = 3;
inline constexpr size_t FILTERS = 4;
inline constexpr RegDetail KERNEL_CODE{4, 3};      // 3: 0, 4: 1, 5: 2, 7: 3, 16: 4
inline constexpr RegDetail OUTPUT_BITS{8, 2};      // 2: 4-bit, 3: 8-bit
inline constexpr RegDetail RELU{10, 1};
inline constexpr RegDetail LUT{11, 1};
inline constexpr RegDetail ONE_CHANNEL{12, 1};     // one input channel (else three)
inline constexpr RegDetail VALID_13{13, 1};        // 'valid' padding sets bits 13, 20 and 21
inline constexpr RegDetail LUT_15{15, 1};
inline constexpr RegDetail MAX_POOL_16{16, 1};     // max pooling sets bits 16 and 17
inline constexpr RegDetail MAX_POOL_17{17, 1};
inline constexpr RegDetail VALID_20{20, 1};
inline constexpr RegDetail VALID_21{21, 1};
inline constexpr RegDetail POOL_SIZE_A{24, 4};     // the pool size, twice
inline constexpr RegDetail POOL_SIZE_B{28, 4};
inline constexpr RegDetail STRIDE_A{0, 5};         // word 1: the kernel stride, twice
inline constexpr RegDetail STRIDE_B{8, 5};
inline constexpr RegDetail POOL_STRIDE_A{16, 4};   // word 1: the pool stride, twice
inline constexpr RegDetail POOL_STRIDE_B{24, 4};
inline constexpr RegDetail PADDING_VALUES[3] = {{0, 8}, {8, 8}, {16, 8}};  // word 2, per channel
inline constexpr RegDetail PAD_LEFT{0, 2};         // word 3
inline constexpr RegDetail PAD_RIGHT{4, 2};
inline constexpr RegDetail PAD_TOP{8, 2};
inline constexpr RegDetail PAD_BOTTOM{12, 2};
inline constexpr RegDetail FILTERS_LOW{0, 9};      // word 4: cleared
inline constexpr RegDetail FILTERS_MINUS_ONE{16, 9};
}  // namespace hrc_config

// FNP neuron record: word 0 and word 1 of each neuron, its weights after them.
namespace fnp {
inline constexpr RegDetail BIAS{0, 8};             // word 0, int8 bits
inline constexpr RegDetail BIAS_SHIFT{8, 8};       // word 0
inline constexpr RegDetail MAX_VALUE{16, 8};       // word 0
inline constexpr RegDetail MAX_VALUE_SHIFT{24, 8}; // word 0
inline constexpr RegDetail OUTPUT_SCALE{0, 8};     // word 1
inline constexpr RegDetail OUTPUT_SHIFT{8, 8};     // word 1, int8 bits
}  // namespace fnp

}  // namespace nuvra::v2
