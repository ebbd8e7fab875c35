// The sixteen TNP-R configuration registers, and the fields of the 64-bit FSRAM and TSRAM words.
// Every register field is written through set_field with one of these constants; every memory
// field through SramWord with one of the SramField constants.
#pragma once

#include <cstdint>

#include "hw/register.h"

namespace nuvra::wisp {

// A chain holds at most this many layers, its post-processing layer included.
inline constexpr uint32_t max_chain_layers = 8;

// ---- registers: 16 words per TNP-R program ----

inline constexpr uint32_t tnpr_register_words = 16;

// Word 0: the shape of the chain.
inline constexpr uint32_t REG_CHAIN = 0;
inline constexpr RegDetail CHAIN_LAST_LAYER{0, 3};         // number of chain layers - 1
inline constexpr RegDetail CHAIN_POST_PROCESSING{17, 1};   // a post-processing layer closes the chain
inline constexpr RegDetail CHAIN_OUTPUT_16BIT{18, 1};
inline constexpr RegDetail CHAIN_INPUT_16BIT{19, 1};
inline constexpr RegDetail CHAIN_POST_PROCESSING_OUT{20, 1};  // outputs leave through the post-processing
inline constexpr RegDetail CHAIN_OUTPUT_WIDE{22, 1};       // outputs wider than 16 bits

// Word 1: the input frame.
inline constexpr uint32_t REG_INPUT = 1;
inline constexpr RegDetail INPUT_ROW_WORDS{0, 8};  // 32-bit words of one packed input row
inline constexpr RegDetail TIMESTEPS{8, 8};        // frames the post-processing accumulates

// Word 3: where the TSRAM regions start, in 64-bit slots.
inline constexpr uint32_t REG_TSRAM_REGIONS = 3;
inline constexpr RegDetail TSRAM_INPUT_SHIFT_START{0, 16};
inline constexpr RegDetail TSRAM_OUTPUT_START{16, 16};

// Word 4: where the post-processing state starts in the STSRAM, in 32-bit words.
inline constexpr uint32_t REG_STSRAM_REGIONS = 4;
inline constexpr RegDetail STSRAM_POST_PROCESSING_START{0, 16};

// Word 5: subsample ratio - 1 of chain layer k, two bits each.
inline constexpr uint32_t REG_SUBSAMPLE = 5;
constexpr RegDetail subsample_field(uint32_t k) { return {2 * k, 2}; }

// Word 6: state channels, shared by every layer of the chain.
inline constexpr uint32_t REG_STATE = 6;
inline constexpr RegDetail INTERNAL_STATE_SIZE{0, 9};

// Words 7 to 10: output channels of chain layers 0 to 7, two per word.
inline constexpr uint32_t REG_OUTPUT_CHANNELS = 7;
inline constexpr RegDetail LAYER_0_COUT_SIZE{0, 9};
inline constexpr RegDetail LAYER_1_COUT_SIZE{9, 9};
inline constexpr RegDetail LAYER_2_COUT_SIZE{0, 9};
inline constexpr RegDetail LAYER_3_COUT_SIZE{9, 9};
inline constexpr RegDetail LAYER_4_COUT_SIZE{0, 9};
inline constexpr RegDetail LAYER_5_COUT_SIZE{9, 9};
inline constexpr RegDetail LAYER_6_COUT_SIZE{0, 9};
inline constexpr RegDetail LAYER_7_COUT_SIZE{9, 9};

// Words 11 to 14: input channels of chain layers 0 to 7, two per word, as the output channels.
inline constexpr uint32_t REG_INPUT_CHANNELS = 11;
inline constexpr RegDetail EVEN_LAYER_CIN_SIZE{0, 9};
inline constexpr RegDetail ODD_LAYER_CIN_SIZE{9, 9};

// Word 15: which layers the post-processing reads, and the layers with a ReLU.
inline constexpr uint32_t REG_LAYER_MASKS = 15;
inline constexpr RegDetail POST_PROCESSING_LAYER_MASK{0, 8};  // the post-processing layer's position
inline constexpr RegDetail POST_PROCESSING_INPUT_MASK{8, 8};  // it and the last recurrent layer
inline constexpr RegDetail RELU_LAYER_MASK{16, 8};

// ---- FSRAM and TSRAM words: 64 bits, stored as two 32-bit words, bits 0-31 first ----

// One field of a 64-bit memory word; it may cross the middle of the word.
struct SramField {
    uint32_t offset;
    uint32_t width;
};

// FSRAM: eight signed 8-bit weights, weight k in byte k (bits 8k to 8k + 7).
inline constexpr uint32_t fsram_weights_per_word = 8;

// TSRAM state-update word, one per state channel (51 bits used).
inline constexpr SramField SU_A_REAL{0, 16};
inline constexpr SramField SU_A_IMAG{16, 16};
inline constexpr SramField SU_OUTPUTS_SHIFT{32, 5};  // signed
inline constexpr SramField SU_NEW_STATE_SCALE{37, 8};
inline constexpr SramField SU_NEW_STATE_SHIFT{45, 6};  // signed

// TSRAM output word, one per output channel.
inline constexpr SramField OUT_SCALE{0, 16};
inline constexpr SramField OUT_SHIFT{16, 6};  // signed
inline constexpr SramField OUT_BIAS{22, 8};   // signed
inline constexpr SramField OUT_BIAS_SHIFT{30, 5};

// TSRAM post-processing output word: a scale, a shift and the spike threshold.
inline constexpr SramField PP_SCALE{0, 16};
inline constexpr SramField PP_SHIFT{16, 6};  // signed
inline constexpr SramField PP_THRESHOLD{22, 16};

// TSRAM input-shift word: 3-bit shifts in bits 0-23, one per channel, each repeated once per
// byte of the input value.
inline constexpr uint32_t input_shift_bits = 3;
constexpr SramField input_shift_field(uint32_t slot) { return {input_shift_bits * slot, input_shift_bits}; }

}  // namespace nuvra::wisp
