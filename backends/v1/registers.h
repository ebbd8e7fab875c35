// The fields of every word a first-generation program writes, in one table: the 50-word NP
// register image, the HRC register block and its memory select word, the per-neuron records of
// the CNP threshold and FNP memories, and the SCC and EPG register banks. The fields the second
// generation holds the same way come from program/register_fields.h; the rows below are this
// generation's own. Each field carries its word; every write goes through set (hw/register.h)
// with one of these constants. A name says what the field holds; a bit whose meaning is not known
// says whether every image sets it (_SET_n), clears it (_CLEAR_n) or gives it a fixed value
// (_FIXED_).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hw/register.h"
#include "program/register_fields.h"

namespace nuvra::v1 {

using namespace ::nuvra::fields;  // the words, fields and values both generations share

// Words of one NP register image.
inline constexpr size_t NP_REGISTER_WORDS = 50;

namespace np_word {
using namespace ::nuvra::fields::np_word;
inline constexpr size_t PRESET_6 = 6;          // fixed at reset, never changed
inline constexpr size_t FNP_BLOCK = 12;        // preset: the FNP weight block, in 256 words
inline constexpr size_t PRESET_13 = 13;
inline constexpr size_t DEPTHWISE = 22;        // depthwise weight size of a separable layer
inline constexpr size_t PLASTICITY_MIN = 37;   // learning: smallest plasticity (preset high byte)
inline constexpr size_t PLASTICITY = 38;       // learning: plasticity decay
inline constexpr size_t CNP_LEARNING_A = 39;
inline constexpr size_t CNP_LEARNING_B = 41;
}  // namespace np_word

// Words of the HRC register block (hrc_word).
inline constexpr size_t HRC_REGISTER_WORDS = 8;

// Words of one neuron record: the FNP memory holds one per neuron (before its weights), the CNP
// threshold memory its first two words per filter.
inline constexpr size_t NEURON_RECORD_WORDS = 4;

// X(image, NAME, word, lowest bit, width).
#define NUVRA_V1_FIELDS(X)                                                                                      \
    /* ---- the NP register image ---- */                                                                      \
    X(np, CONTROL_SET_5, np_word::CONTROL, 5, 1)                                                              \
    X(np, CONTROL_SET_6, np_word::CONTROL, 6, 1)                                                              \
    X(np, CONTROL_NP2NP_CFG, np_word::CONTROL, 20, 2)       /* FNP3 1, FNP2 3, CNP 0 */                       \
    X(np, CONTROL_CNP4FNP_NUM, np_word::CONTROL, 24, 2)     /* FNP3 only: 1 */                                \
    X(np, FORMAT_MULTIBIT_WEIGHTS, np_word::FORMAT, 7, 1)   /* FNP weights wider than one bit */              \
    X(np, FORMAT_PW_WEIGHTS_BITS, np_word::FORMAT, 8, 2)    /* separable: pointwise bits / 2 */               \
    X(np, INPUT_MEMORY_WORDS, np_word::INPUT_MEMORY, 0, 18) /* input buffer, 32-bit words */                  \
    /* The offsets of the cut from the NP's part (4-bit two's complement). */                                 \
    X(np, PART_I_OFFSET, np_word::PART_SIZE, 12, 4)                                                           \
    X(np, PART_J_OFFSET, np_word::PART_SIZE, 28, 4)                                                           \
    X(np, CONTAINER_CHCONT_SIZE, np_word::CONTAINER, 12, 10) /* CNP: weight words per channel / 4 */          \
    X(np, CONTAINER_CH_SIZE, np_word::CONTAINER, 12, 18)    /* FNP: input pixels */                           \
    X(np, FNP_BLOCK_SIZE, np_word::FNP_BLOCK, 24, 8)        /* FNP weight block, in 256 words */              \
    X(np, FNP_FPKT_WSIZE, np_word::FNP_INPUT, 0, 18)        /* input packet words; also the input buffer */   \
    X(np, FNP_NEURON_COUNT, np_word::FNP_NEURONS, 0, 17)                                                      \
    X(np, FNP_OUTPUT_CLEAR_28, np_word::FNP_OUTPUT, 28, 1)                                                    \
    X(np, FNP_ACTIVATION, np_word::FNP_OUTPUT, 29, 1)                                                         \
    X(np, FNP_W_BLK_COUNT, np_word::FNP_MEMORY, 20, 4)      /* blocks of the FNP3 memory image */             \
    X(np, KERNEL_PW_WORDS, np_word::KERNEL, 0, 7)           /* separable: pointwise words per channel */      \
    X(np, FILTERS_MULTIBIT, np_word::FILTERS, 0, 11)        /* 2- and 4-bit weights */                        \
    X(np, FILTERS_BINARY, np_word::FILTERS, 16, 11)         /* 1-bit weights */                               \
    X(np, DEPTHWISE_FILTERS, np_word::DEPTHWISE, 0, 11)     /* never used: cleared */                         \
    X(np, DEPTHWISE_WORDS, np_word::DEPTHWISE, 16, 14)      /* depthwise SRAM words (of two 32-bit words) */  \
    X(np, NEURONS_COUNT, np_word::NEURONS, 16, 11)          /* filters of the NP */                           \
    X(np, INPUT_ROW_CONTAINER, np_word::INPUT_ROW, 16, 9)   /* bytes of one channel container */              \
    X(np, FILTER_GROUPS_CLEAR_0, np_word::FILTER_GROUPS, 0, 1)                                                \
    /* Partial reconfiguration. */                                                                            \
    X(np, PR_INPUT_ROW_CONTAINER, np_word::PR_INPUT_LAYOUT, 16, 9) /* CNP: bytes of one container */          \
    /* On-chip learning. */                                                                                    \
    X(np, LEARNING_COMPETITION, np_word::LEARNING, 0, 20)   /* round((1 - LC) x N) */                         \
    X(np, LEARNING_MIN_PLASTICITY, np_word::PLASTICITY_MIN, 0, 16)  /* ceil(PMIN x N) */                      \
    X(np, LEARNING_PLASTICITY_DECAY, np_word::PLASTICITY, 0, 16)    /* ceil(round(N x P0) x PD) */            \
    X(np, LEARNING_CNP_A, np_word::CNP_LEARNING_A, 0, 16)                                                     \
    X(np, LEARNING_CNP_B, np_word::CNP_LEARNING_B, 0, 12)                                                     \
    /* Mesh routing. */                                                                                        \
    X(np, SOURCE_CLEAR_30_31, np_word::SOURCES, 30, 2)                                                        \
    X(np, SPAN_CLEAR_16_31, np_word::COLUMN_SPAN, 16, 16)                                                     \
    /* ---- the HRC register block ---- */                                                                    \
    X(hrc, HRC_KERNEL_CODE, hrc_word::CONTROL, 4, 2)        /* 0: 3 x 3, 1: 5 x 5, 2: 7 x 7 */                \
    X(hrc, HRC_STRIDE_Y, hrc_word::STRIDES, 0, 3)                                                             \
    X(hrc, HRC_STRIDE_X, hrc_word::STRIDES, 4, 3)                                                             \
    X(hrc, HRC_PAD_LEFT, hrc_word::PADDING, 0, 3)                                                             \
    X(hrc, HRC_PAD_RIGHT, hrc_word::PADDING, 4, 3)                                                            \
    X(hrc, HRC_PAD_TOP, hrc_word::PADDING, 8, 3)                                                              \
    X(hrc, HRC_PAD_BOTTOM, hrc_word::PADDING, 12, 3)                                                          \
    /* The HRC SRAM select word: which memory the following data goes to. */                                  \
    X(hrc_sram_select, HRC_SELECT_THRESHOLDS, 0, 31, 1)     /* thresholds and activation steps */             \
    /* Two words per HRC filter: its threshold and its activation step. */                                    \
    X(hrc_threshold, HRC_THRESHOLD, 0, 0, 24)               /* 24-bit two's complement */                     \
    X(hrc_threshold, HRC_ACT_STEP, 1, 0, 32)                                                                  \
    /* ---- a neuron record: threshold, step and the learning words of an FNP neuron ---- */                  \
    X(neuron, NEURON_THRESHOLD, 0, 0, 20)                   /* 20-bit two's complement, or 0x80000 */         \
    X(neuron, NEURON_ACT_STEP, 1, 0, 20)                                                                      \
    X(neuron, LEARN_CLASS, 1, 20, 10)                       /* class + 1 with several classes */              \
    X(neuron, LEARN_NUM_WEIGHTS, 2, 0, 16)                                                                    \
    X(neuron, LEARN_THRESHOLD_HIGH, 2, 16, 4)               /* bits 16-19 of the threshold, in place */       \
    X(neuron, LEARN_THSWAP, 3, 0, 16)                       /* the swap value */                              \
    X(neuron, LEARN_THRESHOLD_LOW, 3, 16, 16)               /* bits 0-15 of the threshold */

NUVRA_V1_FIELDS(NUVRA_FIELD_CONSTANT)

// Every field of this generation, shared and own, for the checks of the table and the comparison
// of images.
inline constexpr NamedField field_table[] = {NUVRA_SHARED_FIELDS(NUVRA_FIELD_ROW) NUVRA_V1_FIELDS(NUVRA_FIELD_ROW)};

// Values of a neuron record: the threshold of a neuron or filter that always fires (the smallest
// 20-bit value), and the largest activation step (20 bits, four of them fractional).
inline constexpr uint32_t NEURON_NO_THRESHOLD = 0x80000;
inline constexpr uint32_t NEURON_MAX_ACT_STEP = 0xFFFFF;

inline constexpr Preset np_presets[] = {
    {np_word::PRESET_6, 0x04040000},
    {np_word::FNP_BLOCK, 0x52000000},
    {np_word::PRESET_13, 0x10},
    {np_word::PLASTICITY_MIN, 0xFF000000},
};

// The register fields this generation exports under its hardware's names, as {lowest bit, width}
// in their word: each is the bits of its row in the table above.
inline constexpr RegDetail REG2_NP2NP_CFG = CONTROL_NP2NP_CFG.bits;      // word 1: 1 on an FNP3, 3 on an FNP2
inline constexpr RegDetail REG2_CNP4FNP_NUM = CONTROL_CNP4FNP_NUM.bits;  // word 1: 1 on an FNP3
inline constexpr RegDetail REG10_I_SIZE_CUT = CUT_I_SIZE.bits;           // word 10
inline constexpr RegDetail REG10_J_SIZE_CUT = CUT_J_SIZE.bits;
inline constexpr RegDetail REG11_ICONT_SIZE = CONTAINER_ICONT_SIZE.bits;  // word 11: CNP input row
inline constexpr RegDetail REG11_CH_SIZE = CONTAINER_CH_SIZE.bits;        // word 11: FNP input pixels
inline constexpr RegDetail FNP1_FPKT_WSIZE = FNP_FPKT_WSIZE.bits;         // word 14
inline constexpr RegDetail FNP4_W_SIZE_LAST = FNP_W_SIZE_LAST.bits;       // word 17: FNP3 memory words
inline constexpr RegDetail FNP4_W_BLK_COUNT = FNP_W_BLK_COUNT.bits;       // word 17: FNP3 memory blocks
inline constexpr RegDetail CNP1_CONV_STRD = KERNEL_STRIDE_2.bits;         // word 20
inline constexpr RegDetail CNP1_KERNEL_TYPE = KERNEL_SIZE.bits;
inline constexpr RegDetail CNP4_OB_I_ORIG = OUTPUT_I_ORIG.bits;           // word 24
inline constexpr RegDetail CNP4_OB_J_ORIG = OUTPUT_J_ORIG.bits;
// The HRC SRAM select word. These names hide the shared fields of the same names inside this
// namespace: code that writes the word names those as fields::HRC_SRAM_SELECT_R and so on.
inline constexpr RegDetail HRC_SRAM_SELECT_R = ::nuvra::fields::HRC_SRAM_SELECT_R.bits;
inline constexpr RegDetail HRC_SRAM_SELECT_G = ::nuvra::fields::HRC_SRAM_SELECT_G.bits;
inline constexpr RegDetail HRC_SRAM_SELECT_B = ::nuvra::fields::HRC_SRAM_SELECT_B.bits;
inline constexpr RegDetail HRC_SRAM_SELECT_TH_STP = HRC_SELECT_THRESHOLDS.bits;

}  // namespace nuvra::v1
