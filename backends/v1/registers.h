// Register fields of first-generation NPs and of the HRC. An NP is programmed with a 50-word
// register image; every field is written through set_field with one of these constants. The digit
// in a field's name is not its word: the word of each field is noted beside it, and np_word names
// the words.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hw/register.h"

namespace nuvra::v1 {

// Words of one NP register image.
inline constexpr size_t NP_REGISTER_WORDS = 50;

namespace np_word {
inline constexpr size_t CONTROL = 1;           // buffers and NP kind
inline constexpr size_t INPUT_BUFFER = 2;      // input spikes
inline constexpr size_t FORMAT = 3;            // bit widths, activation, NP count, layer index
inline constexpr size_t INPUT_MEMORY = 4;      // input buffer, 32-bit words
inline constexpr size_t PRESET_6 = 6;          // fixed at reset, never changed
inline constexpr size_t PART_SIZE = 8;         // the NP's part of the input and the cut's offsets
inline constexpr size_t CUT_ORIGIN = 9;        // origin and phase of the input cut
inline constexpr size_t CUT_SIZE = 10;         // extent of the input cut
inline constexpr size_t CONTAINER = 11;        // input row container, weight words per channel
inline constexpr size_t PRESET_12 = 12;        // bits 24-31: FNP weight block, in 256 words
inline constexpr size_t PRESET_13 = 13;
inline constexpr size_t FNP_INPUT = 14;        // FNP input packet and input buffer size
inline constexpr size_t FNP_UNITS = 15;        // FNP neurons
inline constexpr size_t FNP_OUTPUT = 16;       // FNP activation
inline constexpr size_t FNP_WEIGHTS = 17;      // FNP3 weight memory
inline constexpr size_t KERNEL = 20;           // kernel size and stride; 1 x 1 and pointwise filters
inline constexpr size_t FILTERS = 21;          // filters of a 3 x 3 or larger kernel
inline constexpr size_t DEPTHWISE = 22;        // depthwise weight size of a separable layer
inline constexpr size_t OUTPUT_ORIGIN = 24;    // first pooled output row and column of the NP
inline constexpr size_t OUTPUT_SIZE = 25;      // pooled output rows and columns of the NP
inline constexpr size_t NEURONS = 26;          // first filter and filter count of the NP
inline constexpr size_t POOLING = 27;          // pooling size, stride, flag and edge padding
inline constexpr size_t INPUT_ROW = 28;        // bytes of one channel container and of one row
inline constexpr size_t FILTER_GROUPS = 29;    // groups of eight filters
inline constexpr size_t PR_CONFIG = 32;        // partial reconfiguration: the linked layer's mode
inline constexpr size_t PR_CUT_ORIGIN = 33;    // linked layer: origin of the NP's cut
inline constexpr size_t PR_CUT_SIZE = 34;      // linked layer: extent of the NP's cut
inline constexpr size_t PR_INPUT_LAYOUT = 35;  // linked layer: containers, or FNP input pixels
inline constexpr size_t LEARNING = 36;         // learning enable and competition
inline constexpr size_t PLASTICITY_MIN = 37;   // learning: smallest plasticity (preset high byte)
inline constexpr size_t PLASTICITY = 38;       // learning: plasticity decay
inline constexpr size_t CNP_LEARNING_A = 39;
inline constexpr size_t CNP_LEARNING_B = 41;
inline constexpr size_t ROUTING = 44;          // output routing mode
inline constexpr size_t DESTINATIONS = 45;     // where the output goes
inline constexpr size_t SOURCES = 46;          // where the input comes from
inline constexpr size_t COLUMN_SPAN = 47;      // columns the packets cross
inline constexpr size_t CFG_DMA = 49;          // the DMA engine an FNP2 reports to
}  // namespace np_word

// Word 1.
inline constexpr RegDetail CONTROL_BIT_4{4, 1};  // set on FNP images, clear on CNP images
inline constexpr RegDetail CONTROL_BIT_5{5, 1};
inline constexpr RegDetail CONTROL_BIT_6{6, 1};
inline constexpr RegDetail CONTROL_BIT_7{7, 1};
inline constexpr RegDetail CONTROL_BIT_20{20, 1};
inline constexpr RegDetail CONTROL_BIT_21{21, 1};
inline constexpr RegDetail CONTROL_SINGLE_BUFFER{22, 1};  // one input buffer instead of two

// Word 3.
inline constexpr RegDetail FORMAT_INPUT_BITS{0, 2};   // input bits / 2
inline constexpr RegDetail FORMAT_ACT_BITS{12, 2};    // activation bits / 2
inline constexpr RegDetail FORMAT_ACTIVATION{15, 1};  // activation on
inline constexpr RegDetail FORMAT_NP_COUNT{16, 8};    // NPs of the layer
inline constexpr RegDetail FORMAT_LAYER_INDEX{24, 8};

// Word 4.
inline constexpr RegDetail INPUT_MEMORY_WORDS{0, 18};  // input buffer, 32-bit words
inline constexpr RegDetail INPUT_MEMORY_BIT_31{31, 1};

// Word 8: the NP's part, and the offsets of the cut from it (4-bit two's complement).
inline constexpr RegDetail PART_I_SIZE{0, 11};
inline constexpr RegDetail PART_I_OFFSET{12, 4};
inline constexpr RegDetail PART_J_SIZE{16, 11};
inline constexpr RegDetail PART_J_OFFSET{28, 4};

// Word 9: origin of the cut; a phase bit is set when the part starts inside a stride.
inline constexpr RegDetail CUT_I_ORIG{0, 12};
inline constexpr RegDetail CUT_I_PHASE{12, 1};
inline constexpr RegDetail CUT_J_ORIG{16, 12};
inline constexpr RegDetail CUT_J_PHASE{28, 1};

// Word 10: extent of the cut.
inline constexpr RegDetail REG10_I_SIZE_CUT{0, 11};
inline constexpr RegDetail REG10_J_SIZE_CUT{16, 11};

// Word 11.
inline constexpr RegDetail REG11_ICONT_SIZE{0, 8};  // part width rounded up to 4

// Word 20.
inline constexpr RegDetail CNP1_CONV_STRD{8, 1};     // convolution stride 2
inline constexpr RegDetail CNP1_KERNEL_TYPE{28, 3};  // kernel size

// Word 24.
inline constexpr RegDetail CNP4_OB_I_ORIG{0, 12};
inline constexpr RegDetail CNP4_OB_J_ORIG{16, 12};

// Word 25.
inline constexpr RegDetail OUTPUT_ROWS{0, 10};
inline constexpr RegDetail OUTPUT_COLUMNS{16, 8};

// Word 26.
inline constexpr RegDetail NEURONS_START{0, 11};
inline constexpr RegDetail NEURONS_COUNT{16, 11};

// Word 27: pooling; an edge bit is set where the part touches the input's edge and the pooling
// pads that side.
inline constexpr RegDetail POOLING_SIZE{0, 3};
inline constexpr RegDetail POOLING_STRIDE{4, 3};
inline constexpr RegDetail POOLING_FLAG{8, 1};
inline constexpr RegDetail POOLING_PAD_RIGHT{12, 1};
inline constexpr RegDetail POOLING_PAD_LEFT{13, 1};
inline constexpr RegDetail POOLING_PAD_BOTTOM{14, 1};
inline constexpr RegDetail POOLING_PAD_TOP{15, 1};

// Word 28.
inline constexpr RegDetail INPUT_ROW_WORDS{0, 14};       // (container x channels + 3) / 4
inline constexpr RegDetail INPUT_ROW_CONTAINER{16, 9};   // bytes of one channel container

// Word 29.
inline constexpr RegDetail FILTER_GROUPS_BIT_0{0, 1};
inline constexpr RegDetail FILTER_GROUPS_COUNT{16, 8};   // groups of eight filters

// Word 36.
inline constexpr RegDetail LEARNING_ENABLE{28, 1};

// Word 1.
inline constexpr RegDetail REG2_NP2NP_CFG{20, 2};    // 1 on an FNP3, 3 on an FNP2
inline constexpr RegDetail REG2_CNP4FNP_NUM{24, 2};  // FNP3 only

// Word 2.
inline constexpr RegDetail INPUT_BUFFER_SPIKES{7, 1};  // the input buffer takes spikes

// Word 3 (the weight widths; the rest is common to every CNP).
inline constexpr RegDetail FORMAT_SEPARABLE{2, 1};
inline constexpr RegDetail FORMAT_WEIGHTS_4BIT{3, 1};     // standard convolution, 4-bit weights
inline constexpr RegDetail FORMAT_WEIGHTS_BITS{4, 2};     // separable: bits / 2; FNP: bits - 2
inline constexpr RegDetail FORMAT_MULTIBIT_WEIGHTS{7, 1}; // FNP weights wider than one bit
inline constexpr RegDetail FORMAT_PW_WEIGHTS_BITS{8, 2};  // separable: bits / 2

// Word 11.
inline constexpr RegDetail REG11_CH_SIZE{12, 18};         // FNP: input pixels
inline constexpr RegDetail CONTAINER_CH_WEIGHTS{12, 10};  // CNP: weight words per channel / 4

// Word 14.
inline constexpr RegDetail FNP1_FPKT_WSIZE{0, 18};  // input packet words; also the input buffer size
inline constexpr RegDetail FNP_INPUT_BIT_31{31, 1};

// Word 15.
inline constexpr RegDetail FNP_UNITS_COUNT{0, 17};

// Word 16.
inline constexpr RegDetail FNP_OUTPUT_LOW{0, 18};     // cleared
inline constexpr RegDetail FNP_OUTPUT_BIT_28{28, 1};  // cleared
inline constexpr RegDetail FNP_ACTIVATION{29, 1};

// Word 17.
inline constexpr RegDetail FNP4_W_SIZE_LAST{0, 16};   // FNP3 memory image words
inline constexpr RegDetail FNP4_W_BLK_COUNT{20, 4};   // blocks of that image

// Word 12: the FNP weight block, in units of 256 words.
inline constexpr RegDetail PRESET_12_BLOCK{24, 8};

// Word 20 (besides the kernel fields).
inline constexpr RegDetail KERNEL_PW_WORDS{0, 7};      // separable: pointwise words per channel
inline constexpr RegDetail KERNEL_1X1_FILTERS{16, 11};

// Word 21.
inline constexpr RegDetail FILTERS_MULTIBIT{0, 11};  // 2- and 4-bit weights
inline constexpr RegDetail FILTERS_BINARY{16, 11};   // 1-bit weights

// Word 22.
inline constexpr RegDetail DEPTHWISE_FILTERS{0, 11};  // never used: cleared
inline constexpr RegDetail DEPTHWISE_WORDS{16, 14};   // depthwise SRAM words (two 32-bit words each)

// Word 32: partial reconfiguration, the linked layer's mode.
inline constexpr RegDetail PR_ON_0{0, 1};
inline constexpr RegDetail PR_FNP_MODE{1, 1};
inline constexpr RegDetail PR_ON_2{2, 1};
inline constexpr RegDetail PR_INPUT_BITS{4, 2};    // input bits / 2
inline constexpr RegDetail PR_LINK_INDEX{24, 8};   // the linked layer's output link index

// Words 33 and 34: the NP's cut of the linked layer (zero origin and the input size on an FNP).
inline constexpr RegDetail PR_I_ORIG_CUT{0, 12};
inline constexpr RegDetail PR_J_ORIG_CUT{16, 12};
inline constexpr RegDetail PR_I_SIZE_CUT{0, 11};
inline constexpr RegDetail PR_J_SIZE_CUT{16, 11};

// Word 35.
inline constexpr RegDetail PR_ROW_WORDS{0, 14};    // CNP: words of one row, all channels
inline constexpr RegDetail PR_CONTAINER{16, 9};    // CNP: bytes of one channel container
inline constexpr RegDetail PR_FNP_PIXELS{0, 18};   // FNP: input pixels

// Words 36 to 41: on-chip learning.
inline constexpr RegDetail LEARNING_COMPETITION{0, 20};   // word 36: round((1 - LC) x N)
inline constexpr RegDetail PLASTICITY_MIN_VALUE{0, 16};   // word 37: ceil(PMIN x N)
inline constexpr RegDetail PLASTICITY_DECAY{0, 16};       // word 38: ceil(round(N x P0) x PD)
inline constexpr RegDetail CNP_LEARNING_A_VALUE{0, 16};   // word 39
inline constexpr RegDetail CNP_LEARNING_B_VALUE{0, 12};   // word 41

// Word 44.
inline constexpr RegDetail ROUTING_P2P_OUT{0, 1};       // the output goes to exactly one NP
inline constexpr RegDetail ROUTING_BIT_1{1, 1};         // cleared
inline constexpr RegDetail ROUTING_FLAG_2{2, 1};
inline constexpr RegDetail ROUTING_BITS_16_23{16, 8};   // always ROUTING_BITS_16_23_VALUE
inline constexpr RegDetail ROUTING_LINK_MODE{24, 8};    // ROUTING_LINKED, or ROUTING_NO_LINK
inline constexpr uint32_t ROUTING_BITS_16_23_VALUE = 0x08;
inline constexpr uint32_t ROUTING_LINKED = 0xFF;   // the input link index names a layer
inline constexpr uint32_t ROUTING_NO_LINK = 0x06;  // the input link index is 0xFF

// Word 45.
inline constexpr RegDetail DESTINATION_LOW{0, 8};       // P2P: the row; else the lowest column
inline constexpr RegDetail DESTINATION_HIGH{8, 8};      // P2P: the column; else the highest
inline constexpr RegDetail DESTINATION_SELECT{20, 4};   // P2P only: one-hot id
inline constexpr RegDetail DESTINATION_LINK_INDEX{24, 8};

// Word 46.
inline constexpr RegDetail SOURCE_LOW{0, 8};            // P2P: the row; else the lowest column
inline constexpr RegDetail SOURCE_HIGH{8, 8};           // P2P: the column; else the highest
inline constexpr RegDetail SOURCE_SELECT{20, 4};        // P2P only: one-hot id
inline constexpr RegDetail SOURCE_BITS_30_31{30, 2};    // cleared

// Word 47, written whole.
inline constexpr RegDetail SPAN_LOW{0, 8};              // over the layer's NPs and destinations
inline constexpr RegDetail SPAN_HIGH{8, 8};
inline constexpr RegDetail SPAN_BITS_16_31{16, 16};     // cleared

// Word 49.
inline constexpr RegDetail CFG_DMA_ROW{0, 8};
inline constexpr RegDetail CFG_DMA_COL{8, 8};
inline constexpr RegDetail CFG_DMA_SELECT{16, 4};  // one-hot id

// ---- HRC ----

// Words of the HRC register block.
inline constexpr size_t HRC_REGISTER_WORDS = 8;

namespace hrc_word {
inline constexpr size_t CONTROL = 0;
inline constexpr size_t STRIDES = 1;
inline constexpr size_t PADDING_VALUE = 2;
inline constexpr size_t PADDING = 3;
inline constexpr size_t FILTERS = 4;
}  // namespace hrc_word

// Word 0.
inline constexpr RegDetail HRC_ENABLE{0, 1};            // the HRC runs; cleared to stop it
inline constexpr RegDetail HRC_KERNEL{4, 2};            // 0: 3 x 3, 1: 5 x 5, 2: 7 x 7
inline constexpr RegDetail HRC_ACT_BITS{8, 2};          // activation bits / 2
inline constexpr RegDetail HRC_NOT_RGB{12, 1};          // the input has other than 3 channels
inline constexpr RegDetail HRC_NO_PADDING{13, 1};
inline constexpr RegDetail HRC_POOL_Y{16, 1};           // 2-row max pooling
inline constexpr RegDetail HRC_POOL_X{17, 1};           // 2-column max pooling
inline constexpr RegDetail HRC_NO_PADDING_20{20, 1};
inline constexpr RegDetail HRC_NO_PADDING_21{21, 1};

// Word 1.
inline constexpr RegDetail HRC_STRIDE_Y{0, 3};
inline constexpr RegDetail HRC_STRIDE_X{4, 3};

// Word 2: the padding value, once per colour plane.
inline constexpr RegDetail HRC_PADDING_VALUE_R{0, 8};
inline constexpr RegDetail HRC_PADDING_VALUE_G{8, 8};
inline constexpr RegDetail HRC_PADDING_VALUE_B{16, 8};

// Word 3.
inline constexpr RegDetail HRC_PAD_LEFT{0, 3};
inline constexpr RegDetail HRC_PAD_RIGHT{4, 3};
inline constexpr RegDetail HRC_PAD_TOP{8, 3};
inline constexpr RegDetail HRC_PAD_BOTTOM{12, 3};

// Word 4.
inline constexpr RegDetail HRC_FILTERS_LOW{0, 9};       // cleared
inline constexpr RegDetail HRC_FILTERS_MINUS_1{16, 9};

// HRC SRAM select word: which memory the following data goes to.
inline constexpr RegDetail HRC_SRAM_SELECT_R{0, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_G{1, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_B{2, 1};
inline constexpr RegDetail HRC_SRAM_SELECT_TH_STP{31, 1};  // thresholds and activation steps

}  // namespace nuvra::v1
