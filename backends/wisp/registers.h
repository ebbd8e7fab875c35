// The fields of every word a TNP-R program writes, in one table: the sixteen configuration
// registers, and the 64-bit FSRAM and TSRAM words, each stored as two 32-bit words (bits 0-31
// first) so that a memory word's fields take word 0 or 1. Each field carries its word; every write
// goes through set (hw/register.h) with one of these constants.
#pragma once

#include <cstdint>

#include "hw/register.h"

namespace nuvra::wisp {

// A chain holds at most this many layers, its post-processing layer included.
inline constexpr uint32_t max_chain_layers = 8;

// ---- registers: 16 words per TNP-R program ----

inline constexpr uint32_t tnpr_register_words = 16;

namespace tnpr_word {
inline constexpr uint32_t CHAIN = 0;            // the shape of the chain
inline constexpr uint32_t INPUT = 1;            // the input frame
inline constexpr uint32_t TSRAM_REGIONS = 3;    // where the TSRAM regions start, in 64-bit slots
inline constexpr uint32_t STSRAM_REGIONS = 4;   // where the post-processing state starts, in 32-bit words
inline constexpr uint32_t SUBSAMPLE = 5;        // subsample ratio - 1 of chain layer k, two bits each
inline constexpr uint32_t STATE = 6;            // state channels, shared by every layer of the chain
inline constexpr uint32_t OUTPUT_CHANNELS = 7;  // words 7 to 10: chain layers 0 to 7, two per word
inline constexpr uint32_t INPUT_CHANNELS = 11;  // words 11 to 14, as the output channels
inline constexpr uint32_t LAYER_MASKS = 15;     // the layers the post-processing reads; the ReLU layers
}  // namespace tnpr_word

// ---- FSRAM and TSRAM words: 64 bits ----

inline constexpr uint32_t sram_word_words = 2;

// FSRAM: eight signed 8-bit weights, weight k in byte k (bits 8k to 8k + 7).
inline constexpr uint32_t fsram_weights_per_word = 8;

// X(image, NAME, word, lowest bit, width). A memory field that crosses bit 32 of its 64-bit word
// has two rows, _LOW and _HIGH (a SplitField below).
#define NUVRA_WISP_FIELDS(X)                                                                                    \
    /* ---- the TNP-R registers ---- */                                                                        \
    X(tnpr, CHAIN_LAST_LAYER, tnpr_word::CHAIN, 0, 3)              /* number of chain layers - 1 */           \
    X(tnpr, CHAIN_POST_PROCESSING, tnpr_word::CHAIN, 17, 1)        /* a post-processing layer closes it */    \
    X(tnpr, CHAIN_OUTPUT_16BIT, tnpr_word::CHAIN, 18, 1)                                                      \
    X(tnpr, CHAIN_INPUT_16BIT, tnpr_word::CHAIN, 19, 1)                                                       \
    X(tnpr, CHAIN_POST_PROCESSING_OUT, tnpr_word::CHAIN, 20, 1)    /* outputs leave through it */             \
    X(tnpr, CHAIN_OUTPUT_WIDE, tnpr_word::CHAIN, 22, 1)            /* outputs wider than 16 bits */           \
    X(tnpr, INPUT_ROW_WORDS, tnpr_word::INPUT, 0, 8)               /* 32-bit words of a packed input row */   \
    X(tnpr, TIMESTEPS, tnpr_word::INPUT, 8, 8)                     /* frames the post-processing sums */      \
    X(tnpr, TSRAM_INPUT_SHIFT_START, tnpr_word::TSRAM_REGIONS, 0, 16)                                         \
    X(tnpr, TSRAM_OUTPUT_START, tnpr_word::TSRAM_REGIONS, 16, 16)                                             \
    X(tnpr, STSRAM_POST_PROCESSING_START, tnpr_word::STSRAM_REGIONS, 0, 16)                                   \
    X(tnpr, SUBSAMPLE_0, tnpr_word::SUBSAMPLE, 0, 2)                                                          \
    X(tnpr, SUBSAMPLE_1, tnpr_word::SUBSAMPLE, 2, 2)                                                          \
    X(tnpr, SUBSAMPLE_2, tnpr_word::SUBSAMPLE, 4, 2)                                                          \
    X(tnpr, SUBSAMPLE_3, tnpr_word::SUBSAMPLE, 6, 2)                                                          \
    X(tnpr, SUBSAMPLE_4, tnpr_word::SUBSAMPLE, 8, 2)                                                          \
    X(tnpr, SUBSAMPLE_5, tnpr_word::SUBSAMPLE, 10, 2)                                                         \
    X(tnpr, SUBSAMPLE_6, tnpr_word::SUBSAMPLE, 12, 2)                                                         \
    X(tnpr, SUBSAMPLE_7, tnpr_word::SUBSAMPLE, 14, 2)                                                         \
    X(tnpr, STATE_CHANNELS, tnpr_word::STATE, 0, 9)                                                           \
    X(tnpr, LAYER_0_OUT_CHANNELS, tnpr_word::OUTPUT_CHANNELS, 0, 9)                                           \
    X(tnpr, LAYER_1_OUT_CHANNELS, tnpr_word::OUTPUT_CHANNELS, 9, 9)                                           \
    X(tnpr, LAYER_2_OUT_CHANNELS, tnpr_word::OUTPUT_CHANNELS + 1, 0, 9)                                       \
    X(tnpr, LAYER_3_OUT_CHANNELS, tnpr_word::OUTPUT_CHANNELS + 1, 9, 9)                                       \
    X(tnpr, LAYER_4_OUT_CHANNELS, tnpr_word::OUTPUT_CHANNELS + 2, 0, 9)                                       \
    X(tnpr, LAYER_5_OUT_CHANNELS, tnpr_word::OUTPUT_CHANNELS + 2, 9, 9)                                       \
    X(tnpr, LAYER_6_OUT_CHANNELS, tnpr_word::OUTPUT_CHANNELS + 3, 0, 9)                                       \
    X(tnpr, LAYER_7_OUT_CHANNELS, tnpr_word::OUTPUT_CHANNELS + 3, 9, 9)                                       \
    X(tnpr, LAYER_0_CIN_SIZE, tnpr_word::INPUT_CHANNELS, 0, 9)                                                \
    X(tnpr, LAYER_1_CIN_SIZE, tnpr_word::INPUT_CHANNELS, 9, 9)                                                \
    X(tnpr, LAYER_2_CIN_SIZE, tnpr_word::INPUT_CHANNELS + 1, 0, 9)                                            \
    X(tnpr, LAYER_3_CIN_SIZE, tnpr_word::INPUT_CHANNELS + 1, 9, 9)                                            \
    X(tnpr, LAYER_4_CIN_SIZE, tnpr_word::INPUT_CHANNELS + 2, 0, 9)                                            \
    X(tnpr, LAYER_5_CIN_SIZE, tnpr_word::INPUT_CHANNELS + 2, 9, 9)                                            \
    X(tnpr, LAYER_6_CIN_SIZE, tnpr_word::INPUT_CHANNELS + 3, 0, 9)                                            \
    X(tnpr, LAYER_7_CIN_SIZE, tnpr_word::INPUT_CHANNELS + 3, 9, 9)                                            \
    X(tnpr, POST_PROCESSING_LAYER_MASK, tnpr_word::LAYER_MASKS, 0, 8) /* the post-processing's position */    \
    X(tnpr, POST_PROCESSING_INPUT_MASK, tnpr_word::LAYER_MASKS, 8, 8) /* it and the last recurrent layer */   \
    X(tnpr, RELU_LAYER_MASK, tnpr_word::LAYER_MASKS, 16, 8)                                                   \
    /* ---- the TSRAM state-update word, one per state channel (51 bits used) ---- */                         \
    X(tsram_state_update, SU_A_REAL, 0, 0, 16)                                                                \
    X(tsram_state_update, SU_A_IMAG, 0, 16, 16)                                                               \
    X(tsram_state_update, SU_OUTPUTS_SHIFT, 1, 0, 5)               /* signed; bits 32-36 */                   \
    X(tsram_state_update, SU_NEW_STATE_SCALE, 1, 5, 8)             /* bits 37-44 */                           \
    X(tsram_state_update, SU_NEW_STATE_SHIFT, 1, 13, 6)            /* signed; bits 45-50 */                   \
    /* ---- the TSRAM output word, one per output channel, and the post-processing output word ---- */        \
    X(tsram_output, OUT_SCALE, 0, 0, 16)                                                                      \
    X(tsram_output, OUT_SHIFT, 0, 16, 6)                           /* signed */                               \
    X(tsram_output, OUT_BIAS, 0, 22, 8)                            /* signed */                               \
    X(tsram_output, OUT_BIAS_SHIFT_LOW, 0, 30, 2)                  /* bits 30-34 */                           \
    X(tsram_output, OUT_BIAS_SHIFT_HIGH, 1, 0, 3)                                                             \
    X(tsram_output, PP_THRESHOLD_LOW, 0, 22, 10)                   /* bits 22-37, in place of the bias */     \
    X(tsram_output, PP_THRESHOLD_HIGH, 1, 0, 6)                                                               \
    /* ---- the TSRAM input-shift word: the 3-bit shift fields of slots 0 to 7 ---- */                        \
    X(tsram_input_shift, INPUT_SHIFT_0, 0, 0, 3)                                                              \
    X(tsram_input_shift, INPUT_SHIFT_1, 0, 3, 3)                                                              \
    X(tsram_input_shift, INPUT_SHIFT_2, 0, 6, 3)                                                              \
    X(tsram_input_shift, INPUT_SHIFT_3, 0, 9, 3)                                                              \
    X(tsram_input_shift, INPUT_SHIFT_4, 0, 12, 3)                                                             \
    X(tsram_input_shift, INPUT_SHIFT_5, 0, 15, 3)                                                             \
    X(tsram_input_shift, INPUT_SHIFT_6, 0, 18, 3)                                                             \
    X(tsram_input_shift, INPUT_SHIFT_7, 0, 21, 3)

NUVRA_WISP_FIELDS(NUVRA_FIELD_CONSTANT)

// Every field above, for the checks of the table and the comparison of images.
inline constexpr NamedField field_table[] = {NUVRA_WISP_FIELDS(NUVRA_FIELD_ROW)};

// The fields that cross into the second 32-bit word of their memory word. The post-processing
// output word is an output word (OUT_SCALE, OUT_SHIFT) with its threshold where an output word
// holds the bias and the bias shift.
inline constexpr SplitField OUT_BIAS_SHIFT{OUT_BIAS_SHIFT_LOW, OUT_BIAS_SHIFT_HIGH};
inline constexpr SplitField PP_THRESHOLD{PP_THRESHOLD_LOW, PP_THRESHOLD_HIGH};

// The register fields this generation exports under its hardware's names, as {lowest bit, width}
// in their word: each is the bits of its row in the table above.
inline constexpr RegDetail INTERNAL_STATE_SIZE = STATE_CHANNELS.bits;    // word 6
inline constexpr RegDetail LAYER_0_COUT_SIZE = LAYER_0_OUT_CHANNELS.bits;  // word 7
inline constexpr RegDetail LAYER_1_COUT_SIZE = LAYER_1_OUT_CHANNELS.bits;
inline constexpr RegDetail LAYER_2_COUT_SIZE = LAYER_2_OUT_CHANNELS.bits;  // word 8
inline constexpr RegDetail LAYER_3_COUT_SIZE = LAYER_3_OUT_CHANNELS.bits;
inline constexpr RegDetail LAYER_4_COUT_SIZE = LAYER_4_OUT_CHANNELS.bits;  // word 9
inline constexpr RegDetail LAYER_5_COUT_SIZE = LAYER_5_OUT_CHANNELS.bits;

// The per-layer entries of chain positions 0 to 7, and the input-shift slots.
inline constexpr Field subsample_fields[max_chain_layers] = {SUBSAMPLE_0, SUBSAMPLE_1, SUBSAMPLE_2, SUBSAMPLE_3,
                                                             SUBSAMPLE_4, SUBSAMPLE_5, SUBSAMPLE_6, SUBSAMPLE_7};
inline constexpr Field output_channel_fields[max_chain_layers] = {
    LAYER_0_OUT_CHANNELS, LAYER_1_OUT_CHANNELS, LAYER_2_OUT_CHANNELS, LAYER_3_OUT_CHANNELS,
    LAYER_4_OUT_CHANNELS, LAYER_5_OUT_CHANNELS, LAYER_6_OUT_CHANNELS, LAYER_7_OUT_CHANNELS};
inline constexpr Field input_channel_fields[max_chain_layers] = {
    LAYER_0_CIN_SIZE, LAYER_1_CIN_SIZE, LAYER_2_CIN_SIZE, LAYER_3_CIN_SIZE,
    LAYER_4_CIN_SIZE, LAYER_5_CIN_SIZE, LAYER_6_CIN_SIZE, LAYER_7_CIN_SIZE};
inline constexpr uint32_t input_shift_slots = 8;
inline constexpr Field input_shift_fields[input_shift_slots] = {INPUT_SHIFT_0, INPUT_SHIFT_1, INPUT_SHIFT_2,
                                                                INPUT_SHIFT_3, INPUT_SHIFT_4, INPUT_SHIFT_5,
                                                                INPUT_SHIFT_6, INPUT_SHIFT_7};

}  // namespace nuvra::wisp
