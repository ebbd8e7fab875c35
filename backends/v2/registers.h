// The fields of every word a second-generation program writes, in one table: the 64-word NP
// register image, the HRC configuration registers and its memory select word, the SCC and EPG
// registers, the skip-DMA blocks, and the records the NPs read from memory (the variables of a
// CNP or TNP-B neuron, merge-layer shifts, look-up-table words and the FNP neuron record). The
// fields the first generation holds the same way come from program/register_fields.h; the rows
// below are this generation's own. Each field carries its word; every write goes through set
// (hw/register.h) with one of these constants, or put_field for a hot loop whose values are known
// to fit. A name says what the field holds; a bit whose meaning is not known says whether every
// image that writes it sets it (_SET_n), clears it (_CLEAR_n) or gives it a fixed value (_FIXED_).
#pragma once

#include <cstddef>
#include <cstdint>

#include "hw/register.h"
#include "program/register_fields.h"

namespace nuvra::v2 {

using namespace ::nuvra::fields;  // the words, fields and values both generations share

// Words of one NP register image.
inline constexpr size_t NP_REGISTER_WORDS = 64;

namespace np_word {
using namespace ::nuvra::fields::np_word;
inline constexpr size_t PRESET_5 = 5;          // fixed at reset, never changed
inline constexpr size_t PRESET_6 = 6;
inline constexpr size_t PRESET_12 = 12;
inline constexpr size_t PRESET_13 = 13;
inline constexpr size_t CUT_CHANNELS = 22;     // channel group of a depthwise NP
inline constexpr size_t FIFO = 30;             // the frame FIFO of a TNP-B
inline constexpr size_t PRESET_37 = 37;
inline constexpr size_t PR_PACKET_SRAM = 40;   // linked layer: packet SRAM in max-pooling mode
inline constexpr size_t PR_SOURCES = 41;       // linked layer: source columns and NP count
inline constexpr size_t PR_CUT_CHANNELS = 42;  // linked layer: channel group of the NP
inline constexpr size_t DUAL_OUTPUT = 48;      // the store that takes the second output
inline constexpr size_t MERGE = 52;            // merge and alternate-branch set-up
inline constexpr size_t SKIP_LOAD = 53;        // the skip-DMA load a merge reads
inline constexpr size_t NP_SLOT = 56;          // slot of the NP at its mesh position
inline constexpr size_t PRESET_57 = 57;
}  // namespace np_word

// The HRC configuration registers of an InputConv2D (hrc_word).
inline constexpr size_t HRC_REGISTER_WORDS = 5;

// Words of the skip-DMA blocks that hold fields (the blocks themselves: backends/v2/record_skip_dma.h).
inline constexpr size_t SKIPDMA_LOAD_NPS_WORDS = 3;      // NP range, source, store channel
inline constexpr size_t SKIPDMA_STORE_REPEAT_WORDS = 2;  // a fixed word, then the repeat count
inline constexpr size_t SKIPDMA_STORE_SIZE_WORDS = 3;    // FIFO length, line words, frame words

// Words of the records the NPs read from memory.
inline constexpr size_t NEURON_VARIABLE_WORDS = 2;  // a CNP or TNP-B neuron's variables: word A, word B
inline constexpr size_t FNP_NEURON_HEADER_WORDS = 2;  // an FNP neuron record before its weights

// X(image, NAME, word, lowest bit, width).
#define NUVRA_V2_FIELDS(X)                                                                                      \
    /* ---- the NP register image ---- */                                                                      \
    X(np, CONTROL_LUT, np_word::CONTROL, 20, 1)             /* activation through the look-up table */        \
    X(np, CONTROL_FNP3, np_word::CONTROL, 24, 1)            /* a fully connected layer on an FNP3 */          \
    X(np, CONTROL_CLEAR_25, np_word::CONTROL, 25, 1)        /* cleared on an FNP */                           \
    X(np, CONTROL_TNP_B, np_word::CONTROL, 28, 1)           /* a buffered temporal convolution */             \
    X(np, CONTROL_FNP_PADDING, np_word::CONTROL, 29, 1)     /* the output feeds an FNP's padded rows */       \
    X(np, CONTROL_DUAL_OUTPUT, np_word::CONTROL, 31, 1)     /* the output also goes to a skip DMA */          \
    X(np, INPUT_BUFFER_POOLED, np_word::INPUT_BUFFER, 8, 1) /* the input comes from a max pooling */          \
    X(np, FORMAT_WEIGHTS_8BIT, np_word::FORMAT, 7, 1)                                                         \
    X(np, FORMAT_IB_CH_GRP_EN, np_word::FORMAT, 10, 1)      /* the NP takes a group of the input channels */  \
    X(np, FORMAT_NO_RELU_OUTPUT, np_word::FORMAT, 14, 1)    /* at most 8 output bits without ReLU */          \
    X(np, INPUT_MEMORY_CPKSRAM_SIZE, np_word::INPUT_MEMORY, 0, 16) /* input packet memory, 32-bit words */    \
    X(np, INPUT_MEMORY_FIFO_FRAMES, np_word::INPUT_MEMORY, 0, 16)  /* a TNP-B: its FIFO size instead */       \
    X(np, INPUT_MEMORY_CLEAR_29, np_word::INPUT_MEMORY, 29, 1)                                                \
    X(np, INPUT_MEMORY_CLEAR_30, np_word::INPUT_MEMORY, 30, 1)                                                \
    /* The offsets of the cut from the NP's part (3-bit two's complement). */                                 \
    X(np, PART_I_OFFSET, np_word::PART_SIZE, 12, 3)                                                           \
    X(np, PART_J_OFFSET, np_word::PART_SIZE, 28, 3)                                                           \
    X(np, CONTAINER_CHCONT_SIZE, np_word::CONTAINER, 12, 18) /* 100-bit weight words per input channel */     \
    X(np, FNP_PKSRAM_SIZE, np_word::FNP_INPUT, 0, 15)       /* input packet memory, 32-bit words */           \
    X(np, FNP_INPUT_SET_29, np_word::FNP_INPUT, 29, 1)                                                        \
    X(np, FNP_INPUT_CLEAR_30, np_word::FNP_INPUT, 30, 1)                                                      \
    X(np, FNP_NEURON_COUNT, np_word::FNP_NEURONS, 0, 16)                                                      \
    X(np, FNP_NEURON_WORDS, np_word::FNP_NEURONS, 16, 15)   /* 32-bit words of one neuron record */           \
    X(np, FNP_MEMORY_IN_SRAM, np_word::FNP_MEMORY, 20, 1)   /* the neurons sit in the NP's SRAM */            \
    X(np, FNP_MEMORY_CLEAR_21_23, np_word::FNP_MEMORY, 21, 3)                                                 \
    X(np, KERNEL_TRANSPOSED, np_word::KERNEL, 9, 1)         /* a transposed convolution */                    \
    X(np, KERNEL_CLEAR_10, np_word::KERNEL, 10, 1)                                                            \
    X(np, FILTERS_TF_TOTAL, np_word::FILTERS, 0, 11)        /* filters computed by the NP */                  \
    X(np, FILTERS_TNP_B_CHANNELS, np_word::FILTERS, 0, 11)  /* a TNP-B: its part's input channels instead */  \
    X(np, CUT_CH_ORIG, np_word::CUT_CHANNELS, 0, 12)        /* first channel of a depthwise NP's group */     \
    X(np, CUT_CH_SIZE, np_word::CUT_CHANNELS, 16, 10)       /* channels of that group */                      \
    X(np, NEURONS_COUNT, np_word::NEURONS, 16, 10)          /* output channels of the NP */                   \
    X(np, POOL_CLEAR_9, np_word::POOLING, 9, 1)                                                               \
    X(np, INPUT_ROW_CPK_CHCONT_SIZE, np_word::INPUT_ROW, 16, 16) /* bytes of one row, word-aligned */         \
    X(np, FIFO_CLEAR_0, np_word::FIFO, 0, 1)                                                                  \
    X(np, FIFO_ON, np_word::FIFO, 1, 1)                                                                       \
    X(np, FIFO_SIZE, np_word::FIFO, 8, 4)                   /* frames kept */                                 \
    X(np, FIFO_SLOTS, np_word::FIFO, 16, 4)                 /* frames kept plus the incoming one */           \
    /* Partial reconfiguration: the linked layer's merge and its input and sources on the NP. */              \
    X(np, PR_MERGE, np_word::PR_CONFIG, 3, 1)               /* the linked layer merges a skip input */        \
    X(np, PR_NOT_ADD, np_word::PR_CONFIG, 6, 1)             /* its merge is not an Add */                     \
    X(np, PR_IB_CH_GRP_EN, np_word::PR_CONFIG, 10, 1)       /* the NP holds a group of its channels */        \
    X(np, PR_SP_MAXPOOLING, np_word::PR_CONFIG, 11, 1)      /* it reads a max-pooled input */                 \
    X(np, PR_SEPARABLE, np_word::PR_INPUT_LAYOUT, 15, 1)    /* a separable linked layer */                    \
    X(np, PR_INPUT_ROW_CONTAINER, np_word::PR_INPUT_LAYOUT, 16, 16) /* bytes of a row (separable: window) */  \
    X(np, PR_PKSRAM_SIZE, np_word::PR_PACKET_SRAM, 0, 16)   /* packet SRAM in max-pooling input mode */       \
    X(np, PR_SOURCE_LOW, np_word::PR_SOURCES, 0, 8)         /* lowest column of its sources */                \
    X(np, PR_SOURCE_HIGH, np_word::PR_SOURCES, 8, 8)        /* highest column of its sources */               \
    X(np, PR_NP_COUNT, np_word::PR_SOURCES, 24, 7)          /* its components */                              \
    X(np, PR_SOURCE_CLEAR_31, np_word::PR_SOURCES, 31, 1)                                                     \
    X(np, PR_CUT_CH_ORIG, np_word::PR_CUT_CHANNELS, 0, 12)  /* first channel of the NP's group */             \
    X(np, PR_CUT_CH_SIZE, np_word::PR_CUT_CHANNELS, 16, 10) /* channels of that group */                      \
    /* Mesh routing. */                                                                                        \
    X(np, ROUTING_ON, np_word::ROUTING, 3, 1)               /* set on every routed NP */                      \
    X(np, ROUTING_PR_ENDS_PASS, np_word::ROUTING, 15, 1)    /* the same, written for a linked layer */        \
    X(np, SOURCE_ALTERNATE, np_word::SOURCES, 19, 1)        /* the layer is an alternate after a split */     \
    X(np, SOURCE_CLEAR_31, np_word::SOURCES, 31, 1)                                                           \
    X(np, DUAL_SPAN_LOW, np_word::COLUMN_SPAN, 16, 8)       /* over the layer's NPs and its dual store */     \
    X(np, DUAL_SPAN_HIGH, np_word::COLUMN_SPAN, 24, 8)                                                        \
    X(np, DUAL_OUTPUT_LOW, np_word::DUAL_OUTPUT, 0, 8)      /* the store's row, or the lowest column */       \
    X(np, DUAL_OUTPUT_HIGH, np_word::DUAL_OUTPUT, 8, 8)     /* the store's column, or the highest */          \
    X(np, DUAL_OUTPUT_SINGLE, np_word::DUAL_OUTPUT, 16, 1)  /* exactly one store */                           \
    X(np, DUAL_OUTPUT_SELECT, np_word::DUAL_OUTPUT, 20, 4)  /* one-hot id of the first store */               \
    X(np, DUAL_OUTPUT_SOURCE, np_word::DUAL_OUTPUT, 24, 8)  /* the NP the stored data comes from */           \
    /* The merge; an alternate layer after a split writes its own fields over some of the same bits. */      \
    X(np, MERGE_SET_0, np_word::MERGE, 0, 1)                                                                  \
    X(np, MERGE_SET_1, np_word::MERGE, 1, 1)                                                                  \
    X(np, MERGE_IS_ADD, np_word::MERGE, 2, 1)                                                                 \
    X(np, MERGE_CLEAR_3, np_word::MERGE, 3, 1)                                                                \
    X(np, MERGE_SET_4, np_word::MERGE, 4, 1)                                                                  \
    X(np, MERGE_OTHER_SOURCE, np_word::MERGE, 7, 1)         /* set without a merge */                         \
    X(np, MERGE_CHANNEL, np_word::MERGE, 16, 8)                                                               \
    X(np, ALT_HAS_PEER, np_word::MERGE, 4, 1)                                                                 \
    X(np, ALT_PEER_INDEX, np_word::MERGE, 16, 8)                                                              \
    X(np, ALT_NP_COUNT, np_word::MERGE, 24, 8)                                                                \
    X(np, SKIP_LOAD_ON, np_word::SKIP_LOAD, 0, 1)                                                             \
    X(np, SKIP_LOAD_CLEAR_1_15, np_word::SKIP_LOAD, 1, 15)  /* cleared before the column is written */        \
    X(np, SKIP_LOAD_COL, np_word::SKIP_LOAD, 8, 8)                                                            \
    X(np, SKIP_LOAD_CLEAR_19, np_word::SKIP_LOAD, 19, 1)                                                      \
    X(np, SKIP_LOAD_SELECT, np_word::SKIP_LOAD, 20, 4)       /* one-hot id of the load */                     \
    X(np, SKIP_LOAD_SET_31, np_word::SKIP_LOAD, 31, 1)                                                        \
    X(np, NP_SLOT_MERGE_ADD, np_word::NP_SLOT, 3, 1)         /* the layer merges through an Add */            \
    X(np, NP_SLOT_HIGH_ID_A, np_word::NP_SLOT, 8, 1)         /* NP id 2 or above */                           \
    X(np, NP_SLOT_SET_23, np_word::NP_SLOT, 23, 1)                                                            \
    X(np, NP_SLOT_HIGH_ID_B, np_word::NP_SLOT, 24, 1)        /* NP id 2 or above */                           \
    X(np, NP_SLOT_TNP_B_BUFFER, np_word::NP_SLOT, 16, 9)     /* a TNP-B's input frame, in 64-word units */    \
    X(np, NP_SLOT_CLEAR_31, np_word::NP_SLOT, 31, 1)                                                          \
    /* ---- the HRC configuration registers ---- */                                                           \
    X(hrc, HRC_KERNEL_CODE, hrc_word::CONTROL, 4, 3)        /* 3: 0, 4: 1, 5: 2, 7: 3, 16: 4 */               \
    X(hrc, HRC_RELU, hrc_word::CONTROL, 10, 1)                                                                \
    X(hrc, HRC_LUT, hrc_word::CONTROL, 11, 1)               /* a look-up-table activation sets 11 and 15 */   \
    X(hrc, HRC_LUT_15, hrc_word::CONTROL, 15, 1)                                                              \
    X(hrc, HRC_POOL_SIZE_Y, hrc_word::CONTROL, 24, 4)       /* the pool size, twice */                        \
    X(hrc, HRC_POOL_SIZE_X, hrc_word::CONTROL, 28, 4)                                                         \
    X(hrc, HRC_STRIDE_Y, hrc_word::STRIDES, 0, 5)           /* the kernel stride, twice */                    \
    X(hrc, HRC_STRIDE_X, hrc_word::STRIDES, 8, 5)                                                             \
    X(hrc, HRC_POOL_STRIDE_Y, hrc_word::STRIDES, 16, 4)     /* the pool stride, twice */                      \
    X(hrc, HRC_POOL_STRIDE_X, hrc_word::STRIDES, 24, 4)                                                       \
    X(hrc, HRC_PAD_LEFT, hrc_word::PADDING, 0, 2)                                                             \
    X(hrc, HRC_PAD_RIGHT, hrc_word::PADDING, 4, 2)                                                            \
    X(hrc, HRC_PAD_TOP, hrc_word::PADDING, 8, 2)                                                              \
    X(hrc, HRC_PAD_BOTTOM, hrc_word::PADDING, 12, 2)                                                          \
    /* The HRC SRAM select word: which memory the following data goes to (beside the shared R, G, B). */      \
    X(hrc_sram_select, HRC_SELECT_LUT, 0, 29, 1)            /* the look-up table */                           \
    X(hrc_sram_select, HRC_SELECT_ACT, 0, 31, 1)            /* the activation parameters */                   \
    /* ---- the skip-DMA blocks ---- */                                                                       \
    /* The NP range word: one NP (its mode, one-hot id, row and column), or a span of columns. */             \
    X(skipdma_range, SKIPDMA_RANGE_MODE, 0, 0, 4)           /* SKIPDMA_RANGE_ONE_NP or _SPAN */               \
    X(skipdma_range, SKIPDMA_RANGE_SELECT, 0, 4, 4)                                                           \
    X(skipdma_range, SKIPDMA_RANGE_LOW, 0, 16, 8)           /* one NP: its row; else the lowest column */     \
    X(skipdma_range, SKIPDMA_RANGE_HIGH, 0, 24, 8)          /* one NP: its column; else the highest */        \
    /* A load's NP block: the NP range word (word 0), then where the data comes from. */                      \
    X(skipdma_load_nps, SKIPDMA_LOAD_SOURCE, 1, 8, 8)                                                         \
    X(skipdma_load_nps, SKIPDMA_LOAD_ON, 2, 0, 1)                                                             \
    X(skipdma_load_nps, SKIPDMA_LOAD_STORE_CHANNEL, 2, 8, 8)                                                  \
    X(skipdma_load_nps, SKIPDMA_LOAD_SOURCE_A, 2, 16, 8)                                                      \
    X(skipdma_load_nps, SKIPDMA_LOAD_SOURCE_B, 2, 24, 8)                                                      \
    X(skipdma_load_gap, SKIPDMA_LOAD_DEPTH_GAP, 0, 0, 12)   /* layers (or frames) between store and load */  \
    X(skipdma_load_mode, SKIPDMA_LOAD_FIFO_SIZE, 0, 16, 8)  /* a TNP-B's frames */                            \
    X(skipdma_store_mode, SKIPDMA_STORE_ROUTED, 0, 0, 8)                                                      \
    X(skipdma_store_mode, SKIPDMA_STORE_COUNT, 0, 8, 8)                                                       \
    X(skipdma_store_repeat, SKIPDMA_STORE_REPEAT, 1, 0, 12)                                                   \
    X(skipdma_store_size, SKIPDMA_STORE_FIFO_SIZE, 0, 0, 4)                                                   \
    X(skipdma_store_size, SKIPDMA_STORE_SIZE_CLEAR_28, 0, 28, 1)                                              \
    X(skipdma_store_size, SKIPDMA_STORE_LINE_WORDS, 1, 0, 10) /* 32-bit words of one line */                  \
    X(skipdma_store_size, SKIPDMA_STORE_FRAME_WORDS, 2, 0, 21)                                                \
    /* ---- the variables of a CNP or TNP-B neuron: word A, word B ---- */                                    \
    X(neuron_variables, VARS_A_OUT_SCALE, 0, 0, 8)          /* output scale */                                \
    X(neuron_variables, VARS_A_BIAS, 0, 8, 8)               /* bias, int8 bits */                             \
    X(neuron_variables, VARS_A_BIAS_SHIFT, 0, 16, 5)                                                          \
    X(neuron_variables, VARS_A_OUT_SHIFT, 0, 21, 6)         /* 6-bit two's complement */                      \
    X(neuron_variables, VARS_A_MAX_SHIFT, 0, 27, 5)         /* max value shift */                             \
    X(neuron_variables, VARS_A_ACT_SHIFT_LOW, 0, 27, 5)     /* or activation shift bits 0-4 */                \
    X(neuron_variables, VARS_B_ACT_SHIFT_HIGH, 1, 0, 1)     /* activation shift bit 5 */                      \
    X(neuron_variables, VARS_B_ACT_SCALE, 1, 1, 8)          /* activation scale */                            \
    X(neuron_variables, VARS_B_MAX_VALUE, 1, 0, 8)          /* or max value, over the two above */            \
    /* ---- a merge-layer shift: one byte per neuron ---- */                                                  \
    X(merge_shift, MERGE_SHIFT_DISTANCE, 0, 0, 4)           /* |a_shift - b_shift| */                         \
    X(merge_shift, MERGE_SHIFT_SUM, 0, 4, 3)                /* max(a, b) + output_shift, 3-bit signed */      \
    X(merge_shift, MERGE_SHIFT_B_LARGER, 0, 7, 1)           /* b_shift >= a_shift */                          \
    /* ---- look-up-table words: a CNP word holds two 14-bit signed entries, an HRC word one ---- */          \
    X(cnp_lut, LUT_CNP_EVEN, 0, 0, 14)                                                                        \
    X(cnp_lut, LUT_CNP_ODD, 0, 16, 14)                                                                        \
    X(hrc_lut, LUT_HRC_ENTRY, 0, 0, 14)                                                                       \
    /* ---- an FNP neuron record: two words, its weights after them ---- */                                   \
    X(fnp_neuron, NEURON_BIAS, 0, 0, 8)                     /* int8 bits */                                   \
    X(fnp_neuron, NEURON_BIAS_SHIFT, 0, 8, 8)                                                                 \
    X(fnp_neuron, NEURON_MAX_VALUE, 0, 16, 8)                                                                 \
    X(fnp_neuron, NEURON_MAX_VALUE_SHIFT, 0, 24, 8)                                                           \
    X(fnp_neuron, NEURON_OUTPUT_SCALE, 1, 0, 8)                                                               \
    X(fnp_neuron, NEURON_OUTPUT_SHIFT, 1, 8, 8)             /* int8 bits */

NUVRA_V2_FIELDS(NUVRA_FIELD_CONSTANT)

// Every field of this generation, shared and own, for the checks of the table and the comparison of images.
inline constexpr NamedField field_table[] = {NUVRA_SHARED_FIELDS(NUVRA_FIELD_ROW) NUVRA_V2_FIELDS(NUVRA_FIELD_ROW)};

// The bits {offset, width} of some of the fields above under the names by which programs outside
// this back end write them with set_field; each is the .bits of its table field, the word is the
// caller's (the digit in a name is not the word: REG4_* lie in word 3, REG5_* in word 4). They
// come after field_table: the three memory selects R, G and B hide the shared fields of the same
// names (nuvra::fields) in this namespace, and the table's rows must name those.
inline constexpr RegDetail REG4_IB_CH_GRP_EN = FORMAT_IB_CH_GRP_EN.bits;   // word 3
inline constexpr RegDetail REG4_EN_ACT = FORMAT_ACTIVATION.bits;           // word 3: ReLU on
inline constexpr RegDetail REG4_NP_NUM = FORMAT_NP_COUNT.bits;             // word 3
inline constexpr RegDetail REG5_CPKSRAM_SIZE = INPUT_MEMORY_CPKSRAM_SIZE.bits;  // word 4
inline constexpr RegDetail REG8_II_SIZE = PART_I_SIZE.bits;                // word 8
inline constexpr RegDetail REG8_II_OFFSET = PART_I_OFFSET.bits;            // word 8
inline constexpr RegDetail REG8_JJ_SIZE = PART_J_SIZE.bits;                // word 8
inline constexpr RegDetail REG8_JJ_OFFSET = PART_J_OFFSET.bits;            // word 8
inline constexpr RegDetail REG9_I_ORIG_CUT = CUT_I_ORIG.bits;              // word 9
inline constexpr RegDetail REG11_CHCONT_SIZE = CONTAINER_CHCONT_SIZE.bits;  // word 11
inline constexpr RegDetail CNP2_TF_TOTAL = FILTERS_TF_TOTAL.bits;          // word 21
inline constexpr RegDetail CNP3_CH_ORIG_CUT = CUT_CH_ORIG.bits;            // word 22
inline constexpr RegDetail CNP3_CH_SIZE_CUT = CUT_CH_SIZE.bits;            // word 22
inline constexpr RegDetail CNP8_CPK_CHCONT_SIZE = INPUT_ROW_CPK_CHCONT_SIZE.bits;  // word 28
// Partial reconfiguration: the linked layer as the NP sees it.
inline constexpr RegDetail PR1_FNP_MODE = PR_FNP_MODE.bits;            // word 32
inline constexpr RegDetail PR1_IB_CH_GRP_EN = PR_IB_CH_GRP_EN.bits;    // word 32
inline constexpr RegDetail PR1_SP_MAXPOOLING = PR_SP_MAXPOOLING.bits;  // word 32
inline constexpr RegDetail PR1_I_ORIG_CUT = PR_CUT_I_ORIG.bits;        // word 33
inline constexpr RegDetail PR1_J_ORIG_CUT = PR_CUT_J_ORIG.bits;        // word 33
inline constexpr RegDetail PR1_I_SIZE_CUT = PR_CUT_I_SIZE.bits;        // word 34
inline constexpr RegDetail PR1_J_SIZE_CUT = PR_CUT_J_SIZE.bits;        // word 34
inline constexpr RegDetail PR1_CH_SIZE = PR_CH_SIZE.bits;              // word 35
inline constexpr RegDetail PR1_SEPARABLE = PR_SEPARABLE.bits;          // word 35
inline constexpr RegDetail PR1_PKSRAM_SIZE = PR_PKSRAM_SIZE.bits;      // word 40
inline constexpr RegDetail PR1_CH_ORIG_CUT = PR_CUT_CH_ORIG.bits;      // word 42
inline constexpr RegDetail PR1_CH_SIZE_CUT = PR_CUT_CH_SIZE.bits;      // word 42
// Word A of a CNP or TNP-B neuron's variables.
inline constexpr RegDetail VARS_W1_BIAS = VARS_A_BIAS.bits;
inline constexpr RegDetail VARS_W1_BIAS_SHIFT = VARS_A_BIAS_SHIFT.bits;
inline constexpr RegDetail VARS_W1_OUT_SHIFT = VARS_A_OUT_SHIFT.bits;
inline constexpr RegDetail VARS_W1_MAX_SHIFT = VARS_A_MAX_SHIFT.bits;
// The HRC SRAM select word (record_hrc_sram).
inline constexpr RegDetail HRC_SRAM_SELECT_R = ::nuvra::fields::HRC_SRAM_SELECT_R.bits;
inline constexpr RegDetail HRC_SRAM_SELECT_G = ::nuvra::fields::HRC_SRAM_SELECT_G.bits;
inline constexpr RegDetail HRC_SRAM_SELECT_B = ::nuvra::fields::HRC_SRAM_SELECT_B.bits;
inline constexpr RegDetail HRC_SRAM_SELECT_LUT = HRC_SELECT_LUT.bits;
inline constexpr RegDetail HRC_SRAM_SELECT_ACT = HRC_SELECT_ACT.bits;

// Word 0 of an FNP neuron record.
namespace fnp {
inline constexpr RegDetail MAX_VALUE = NEURON_MAX_VALUE.bits;
inline constexpr RegDetail MAX_VALUE_SHIFT = NEURON_MAX_VALUE_SHIFT.bits;
}  // namespace fnp

// Values of the fields that take a fixed one.
inline constexpr uint32_t UNUSED_NP_LAYER_INDEX = 0xFE;  // FORMAT_LAYER_INDEX of an NP the pass leaves unused
inline constexpr uint32_t SKIPDMA_RANGE_ONE_NP = 2;
inline constexpr uint32_t SKIPDMA_RANGE_SPAN = 1;

// Writes `value` into field F of `record` (the first word of F's image), without set's checks:
// for hot loops whose values were checked to fit beforehand (a byte always fits an 8-bit field).
// Bits of `value` above the field are dropped.
template <Field F>
constexpr void put_field(uint32_t* record, uint32_t value) {
    constexpr uint32_t mask = F.bits.width == 32 ? 0xFFFFFFFFu : (uint32_t{1} << F.bits.width) - 1;
    uint32_t& word = record[F.word];
    word = (word & ~(mask << F.bits.offset)) | (value & mask) << F.bits.offset;
}

}  // namespace nuvra::v2
