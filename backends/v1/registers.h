// Register fields of first-generation NPs. An NP is programmed with a 50-word register image;
// every field is written through set_field with one of these constants. The digit in a field's
// name is not its word: the word of each field is noted beside it, and np_word names the words.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hw/register.h"

namespace nuvra::v1 {

// Words of one NP register image.
inline constexpr size_t NP_REGISTER_WORDS = 50;

namespace np_word {
inline constexpr size_t CONTROL = 1;        // buffers and NP kind
inline constexpr size_t FORMAT = 3;         // bit widths, activation, NP count, layer index
inline constexpr size_t INPUT_MEMORY = 4;   // input buffer, 32-bit words
inline constexpr size_t PART_SIZE = 8;      // the NP's part of the input and the cut's offsets
inline constexpr size_t CUT_ORIGIN = 9;     // origin and phase of the input cut
inline constexpr size_t CUT_SIZE = 10;      // extent of the input cut
inline constexpr size_t CONTAINER = 11;     // input row container
inline constexpr size_t KERNEL = 20;        // kernel size and stride
inline constexpr size_t OUTPUT_ORIGIN = 24; // first pooled output row and column of the NP
inline constexpr size_t OUTPUT_SIZE = 25;   // pooled output rows and columns of the NP
inline constexpr size_t NEURONS = 26;       // first filter and filter count of the NP
inline constexpr size_t POOLING = 27;       // pooling size, stride, flag and edge padding
inline constexpr size_t INPUT_ROW = 28;     // bytes of one channel container and of one row
inline constexpr size_t FILTER_GROUPS = 29; // groups of eight filters
inline constexpr size_t LEARNING = 36;      // learning enable
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

}  // namespace nuvra::v1
