// The 64-word register image of a second-generation NP: its default contents, the configuration
// words shared by every CNP and TNP-B layer, the CNP pooling word, and the names of the words and
// fields the image builders write. Every field goes through set_field with one of the constants
// below or of backends/v2/registers.h; a value too wide for its field fails through panic with
// "Attempted to write value V into a W-bit field, which will cause an overflow.".
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "hw/ident.h"
#include "hw/np_split.h"
#include "hw/register.h"
#include "mapping/layer_mapping.h"
#include "mapping/routing.h"

namespace nuvra::v2 {

// Words of one NP register image.
inline constexpr size_t NP_REGISTER_WORDS = 64;

// Word indexes of the register image.
namespace np_word {
inline constexpr size_t CONTROL = 1;           // buffers, look-up table, dual output
inline constexpr size_t INPUT_BUFFER = 2;      // input spikes, pooling input
inline constexpr size_t FORMAT = 3;            // bit widths, activation, NP count, layer index
inline constexpr size_t INPUT_MEMORY = 4;      // input packet memory
inline constexpr size_t PRESET_5 = 5;          // fixed at reset, never changed
inline constexpr size_t PRESET_6 = 6;
inline constexpr size_t PART_SIZE = 8;         // the NP's part of the input and its offsets
inline constexpr size_t CUT_ORIGIN = 9;        // origin and phase of the input cut
inline constexpr size_t CUT_SIZE = 10;         // extent of the input cut
inline constexpr size_t CONTAINER = 11;        // input container and weight channel content
inline constexpr size_t PRESET_12 = 12;
inline constexpr size_t PRESET_13 = 13;
inline constexpr size_t FNP_INPUT = 14;        // an FNP's input packet memory
inline constexpr size_t FNP_NEURONS = 15;      // an FNP's neurons and their record size
inline constexpr size_t FNP_WORD_16 = 16;
inline constexpr size_t FNP_MEMORY = 17;       // an FNP's neuron memory
inline constexpr size_t KERNEL = 20;           // kernel size and stride
inline constexpr size_t FILTERS = 21;          // filters of the NP (CNP2_TF_TOTAL)
inline constexpr size_t CHANNEL_GROUP = 22;    // channel group of a depthwise NP
inline constexpr size_t OUTPUT_ORIGIN = 24;    // first output row and column of the NP
inline constexpr size_t OUTPUT_SIZE = 25;      // output rows and columns of the NP
inline constexpr size_t NEURONS = 26;          // first output channel and channel count
inline constexpr size_t POOLING = 27;          // pooling size, factor and edge padding
inline constexpr size_t INPUT_ROW = 28;        // bytes of one input row (CNP8_CPK_CHCONT_SIZE)
inline constexpr size_t FILTER_GROUPS = 29;    // groups of eight filters
inline constexpr size_t FIFO = 30;             // the frame FIFO of a TNP-B
inline constexpr size_t PR_CONFIG = 32;        // partial reconfiguration: the linked layer's mode
inline constexpr size_t PR_CUT_ORIGIN = 33;    // linked layer: origin of the kept window
inline constexpr size_t PR_CUT_SIZE = 34;      // linked layer: extent of the kept window
inline constexpr size_t PR_INPUT_LAYOUT = 35;  // linked layer: words and row of its input
inline constexpr size_t WORD_36 = 36;
inline constexpr size_t PRESET_37 = 37;
inline constexpr size_t PR_PACKET_SRAM = 40;   // linked layer: packet SRAM in max-pooling mode
inline constexpr size_t PR_SOURCES = 41;       // linked layer: source columns and NP count
inline constexpr size_t PR_CHANNELS = 42;      // linked layer: channel group of the NP
inline constexpr size_t ROUTING = 44;          // output routing mode
inline constexpr size_t DESTINATIONS = 45;     // where the output goes
inline constexpr size_t SOURCES = 46;          // where the input comes from
inline constexpr size_t COLUMN_SPAN = 47;      // columns the packets cross; dual-output span
inline constexpr size_t DUAL_OUTPUT = 48;      // the store that takes the second output
inline constexpr size_t CFG_DMA = 49;          // the DMA engine the NP reports to
inline constexpr size_t MERGE = 52;            // merge and alternate-branch set-up
inline constexpr size_t SKIP_LOAD = 53;        // the skip-DMA load a merge reads
inline constexpr size_t NP_SLOT = 56;          // slot of the NP at its mesh position
inline constexpr size_t PRESET_57 = 57;
}  // namespace np_word

// A whole word.
inline constexpr RegDetail WHOLE_WORD{0, 32};

// Word 1.
inline constexpr RegDetail CONTROL_BIT_4{4, 1};          // cleared by the common configuration
inline constexpr RegDetail CONTROL_BIT_7{7, 1};          // cleared by the common configuration
inline constexpr RegDetail CONTROL_LUT{20, 1};           // activation through the look-up table
inline constexpr RegDetail CONTROL_SINGLE_BUFFER{22, 1}; // one input buffer instead of two
inline constexpr RegDetail CONTROL_FNP3{24, 1};          // a fully connected layer on an FNP3
inline constexpr RegDetail CONTROL_BIT_25{25, 1};        // cleared on an FNP
inline constexpr RegDetail CONTROL_TNP_B{28, 1};         // a buffered temporal convolution
inline constexpr RegDetail CONTROL_FLAG29{29, 1};
inline constexpr RegDetail CONTROL_DUAL_OUTPUT{31, 1};   // the output also goes to a skip DMA

// Word 2.
inline constexpr RegDetail INPUT_BUFFER_SPIKES{7, 1};    // the input buffer takes spikes
inline constexpr RegDetail INPUT_BUFFER_POOLED{8, 1};    // the input comes from a max pooling

// Word 3 (besides REG4_EN_ACT and REG4_NP_NUM).
inline constexpr RegDetail FORMAT_INPUT_BITS{0, 2};      // 3: 8-bit input, 2: narrower
inline constexpr RegDetail FORMAT_DEPTHWISE{2, 1};       // each channel convolved on its own
inline constexpr RegDetail FORMAT_WEIGHTS_4BIT{3, 1};
inline constexpr RegDetail FORMAT_WEIGHTS_BITS{4, 2};    // 3: 8-bit weights, 2: otherwise
inline constexpr RegDetail FORMAT_WEIGHTS_8BIT{7, 1};
inline constexpr RegDetail FORMAT_OUTPUT_BITS{12, 2};    // 2: below 8 bits, 3: otherwise
inline constexpr RegDetail FORMAT_NO_RELU_OUTPUT{14, 1}; // at most 8 output bits without ReLU
inline constexpr RegDetail FORMAT_LAYER_INDEX{24, 8};    // the layer's index in its pass

// The layer index of an NP that the pass leaves unused.
inline constexpr uint32_t UNUSED_NP_LAYER_INDEX = 0xFE;

// Word 4 (besides REG5_CPKSRAM_SIZE).
inline constexpr RegDetail TNP_B_FIFO_FRAMES{0, 16};     // a TNP-B's FIFO size, in place of the packets
inline constexpr RegDetail INPUT_MEMORY_BIT_29{29, 1};
inline constexpr RegDetail INPUT_MEMORY_BIT_30{30, 1};
inline constexpr RegDetail INPUT_MEMORY_BIT_31{31, 1};

// Word 9 (besides REG9_I_ORIG_CUT).
inline constexpr RegDetail CUT_I_PHASE{12, 1};           // the cut starts inside a stride (rows)
inline constexpr RegDetail CUT_J_ORIG{16, 12};           // column origin of the input cut
inline constexpr RegDetail CUT_J_PHASE{28, 1};           // the cut starts inside a stride (columns)

// Word 10.
inline constexpr RegDetail CUT_I_SIZE{0, 11};
inline constexpr RegDetail CUT_J_SIZE{16, 11};

// Word 11 (besides REG11_CHCONT_SIZE).
inline constexpr RegDetail CONTAINER_ICONT_SIZE{0, 8};   // input container words of one row

// Word 20.
inline constexpr RegDetail KERNEL_STRIDE_2{8, 1};
inline constexpr RegDetail KERNEL_FLAG20{9, 1};
inline constexpr RegDetail KERNEL_BIT_10{10, 1};         // cleared by the common configuration
inline constexpr RegDetail KERNEL_BITS_16_26{16, 11};    // cleared by the common configuration
inline constexpr RegDetail KERNEL_SIZE{28, 3};

// Word 24.
inline constexpr RegDetail OUTPUT_I_ORIG{0, 12};
inline constexpr RegDetail OUTPUT_J_ORIG{16, 12};

// Word 25.
inline constexpr RegDetail OUTPUT_I_SIZE{0, 10};
inline constexpr RegDetail OUTPUT_J_SIZE{16, 8};

// Word 26.
inline constexpr RegDetail NEURONS_FIRST{0, 11};         // first output channel of the NP
inline constexpr RegDetail NEURONS_COUNT{16, 10};        // output channels of the NP

// Word 27.
inline constexpr RegDetail POOL_SIZE{0, 3};
inline constexpr RegDetail POOL_FACTOR{4, 3};
inline constexpr RegDetail POOL_FLAG8{8, 1};
inline constexpr RegDetail POOL_BIT_9{9, 1};             // cleared
inline constexpr RegDetail POOL_PAD_RIGHT{12, 1};        // the part ends the row and is padded
inline constexpr RegDetail POOL_PAD_LEFT{13, 1};         // the part starts the row and is padded
inline constexpr RegDetail POOL_PAD_BOTTOM{14, 1};       // the part ends the column and is padded
inline constexpr RegDetail POOL_PAD_TOP{15, 1};          // the part starts the column and is padded

// Word 28 (besides CNP8_CPK_CHCONT_SIZE).
inline constexpr RegDetail INPUT_ROW_WORDS{0, 14};       // words of one input row, all channels

// Words 14 to 17 of an FNP.
inline constexpr RegDetail FNP_PKSRAM_SIZE{0, 15};       // word 14: input packet memory, 32-bit words
inline constexpr RegDetail FNP_INPUT_BIT_29{29, 1};      // word 14: set
inline constexpr RegDetail FNP_INPUT_BIT_30{30, 1};      // word 14: cleared
inline constexpr RegDetail FNP_INPUT_BIT_31{31, 1};      // word 14: set
inline constexpr RegDetail FNP_NEURON_COUNT{0, 16};      // word 15
inline constexpr RegDetail FNP_NEURON_WORDS{16, 15};     // word 15: 32-bit words of one neuron record
inline constexpr RegDetail FNP_WORD_16_LOW{0, 18};       // word 16: cleared
inline constexpr RegDetail FNP_MEMORY_WORDS{0, 16};      // word 17: neuron memory words
inline constexpr RegDetail FNP_MEMORY_IN_SRAM{20, 1};    // word 17: the neurons sit in the NP's SRAM
inline constexpr RegDetail FNP_MEMORY_BITS_21_23{21, 3}; // word 17: cleared

// Word 36.
inline constexpr RegDetail WORD_36_BIT_28{28, 1};        // cleared on an FNP

// Word 21 of a TNP-B (in place of CNP2_TF_TOTAL).
inline constexpr RegDetail TNP_B_CHANNELS{0, 11};        // input channels of the NP's part

// Word 29.
inline constexpr RegDetail FILTER_GROUPS_COUNT{16, 8};   // started groups of eight filters

// Word 30: the frame FIFO of a TNP-B.
inline constexpr RegDetail FIFO_BIT_0{0, 1};             // cleared
inline constexpr RegDetail FIFO_ON{1, 1};
inline constexpr RegDetail FIFO_SIZE{8, 4};              // frames kept
inline constexpr RegDetail FIFO_SLOTS{16, 4};            // frames kept plus the incoming one

// Word 47, the dual-output span (the low half is the routing span of the output).
inline constexpr RegDetail DUAL_SPAN_LOW{16, 8};
inline constexpr RegDetail DUAL_SPAN_HIGH{24, 8};

// Word 48.
inline constexpr RegDetail DUAL_OUTPUT_LOW{0, 8};        // the store's row, or the lowest column
inline constexpr RegDetail DUAL_OUTPUT_HIGH{8, 8};       // the store's column, or the highest
inline constexpr RegDetail DUAL_OUTPUT_SINGLE{16, 1};    // exactly one store
inline constexpr RegDetail DUAL_OUTPUT_SELECT{20, 4};    // one-hot id of the first store
inline constexpr RegDetail DUAL_OUTPUT_SOURCE{24, 8};    // the NP the stored data comes from

// Word 32: partial reconfiguration, the linked layer's mode (besides the PR1_* fields).
inline constexpr RegDetail PR_ON_0{0, 1};
inline constexpr RegDetail PR_ON_2{2, 1};
inline constexpr RegDetail PR_MERGE{3, 1};              // the linked layer merges a skip input
inline constexpr RegDetail PR_INPUT_BITS{4, 2};         // 0: 1 bit, 1: 2, 2: 4, 3: 8
inline constexpr RegDetail PR_NOT_ADD{6, 1};            // its merge is not an Add
inline constexpr RegDetail PR_LINK_INDEX{24, 8};        // its input link index

// Word 35 (besides PR1_CH_SIZE and PR1_SEPARABLE).
inline constexpr RegDetail PR_INPUT_WORDS{0, 14};
inline constexpr RegDetail PR_INPUT_ROW{16, 16};

// Word 41.
inline constexpr RegDetail PR_SOURCE_LOW{0, 8};         // lowest column of its sources
inline constexpr RegDetail PR_SOURCE_HIGH{8, 8};        // highest column of its sources
inline constexpr RegDetail PR_NP_COUNT{24, 7};          // its components
inline constexpr RegDetail PR_BIT_31{31, 1};            // cleared

// Word 44.
inline constexpr RegDetail ROUTING_P2P_OUT{0, 1};       // the output goes to exactly one NP
inline constexpr RegDetail ROUTING_BIT_1{1, 1};         // cleared
inline constexpr RegDetail ROUTING_FLAG3{2, 1};
inline constexpr RegDetail ROUTING_ON{3, 1};
inline constexpr RegDetail ROUTING_PR_FLAG{15, 1};      // set by the partial reconfiguration
inline constexpr RegDetail ROUTING_BITS_16_23{16, 8};   // always ROUTING_BITS_16_23_VALUE
inline constexpr RegDetail ROUTING_BITS_24_31{24, 8};   // always ROUTING_BITS_24_31_VALUE
inline constexpr uint32_t ROUTING_BITS_16_23_VALUE = 0x08;
inline constexpr uint32_t ROUTING_BITS_24_31_VALUE = 0xFF;

// Word 45.
inline constexpr RegDetail DESTINATION_LOW{0, 8};       // P2P: the row; else the lowest column
inline constexpr RegDetail DESTINATION_HIGH{8, 8};      // P2P: the column; else the highest
inline constexpr RegDetail DESTINATION_SELECT{20, 4};   // P2P only: one-hot id
inline constexpr RegDetail DESTINATION_LINK_INDEX{24, 8};

// Word 46.
inline constexpr RegDetail SOURCE_LOW{0, 8};            // P2P: the row; else the lowest column
inline constexpr RegDetail SOURCE_HIGH{8, 8};           // P2P: the column; else the highest
inline constexpr RegDetail SOURCE_ALTERNATE{19, 1};     // the layer is an alternate after a split
inline constexpr RegDetail SOURCE_SELECT{20, 4};        // P2P only: one-hot id
inline constexpr RegDetail SOURCE_BIT_31{31, 1};        // cleared

// Word 47 (the low half; the high half is the dual-output span).
inline constexpr RegDetail SPAN_LOW{0, 8};              // over the layer's NPs and destinations
inline constexpr RegDetail SPAN_HIGH{8, 8};

// Word 49.
inline constexpr RegDetail CFG_DMA_ROW{0, 8};
inline constexpr RegDetail CFG_DMA_COL{8, 8};
inline constexpr RegDetail CFG_DMA_SELECT{16, 4};

// Word 52: the alternate-branch fields share bits with the merge fields below.
inline constexpr RegDetail ALT_HAS_PEER{4, 1};
inline constexpr RegDetail ALT_PEER_INDEX{16, 8};
inline constexpr RegDetail ALT_NP_COUNT{24, 8};

// Word 52: the merge.
inline constexpr RegDetail MERGE_ON_0{0, 1};
inline constexpr RegDetail MERGE_ON_1{1, 1};
inline constexpr RegDetail MERGE_IS_ADD{2, 1};
inline constexpr RegDetail MERGE_BIT_3{3, 1};            // cleared
inline constexpr RegDetail MERGE_ON_4{4, 1};
inline constexpr RegDetail MERGE_OTHER_SOURCE{7, 1};     // set without a merge
inline constexpr RegDetail MERGE_CHANNEL{16, 8};

// Word 53.
inline constexpr RegDetail SKIP_LOAD_ON{0, 1};
inline constexpr RegDetail SKIP_LOAD_BITS_1_15{1, 15};   // cleared before the column is written
inline constexpr RegDetail SKIP_LOAD_COL{8, 8};
inline constexpr RegDetail SKIP_LOAD_BIT_19{19, 1};      // cleared
inline constexpr RegDetail SKIP_LOAD_SELECT{20, 4};      // one-hot id of the load
inline constexpr RegDetail SKIP_LOAD_BIT_31{31, 1};

// Word 56.
inline constexpr RegDetail NP_SLOT_MERGE_ADD{3, 1};      // the layer merges through an Add
inline constexpr RegDetail NP_SLOT_HIGH_ID_A{8, 1};      // NP id 2 or above
inline constexpr RegDetail NP_SLOT_ALWAYS{23, 1};
inline constexpr RegDetail NP_SLOT_HIGH_ID_B{24, 1};     // NP id 2 or above
inline constexpr RegDetail NP_SLOT_TNP_B_BUFFER{16, 9};  // a TNP-B's input frame, in 64-word units
inline constexpr RegDetail NP_SLOT_BIT_31{31, 1};        // cleared on a TNP-B

// Word `index` of a register image, after checking that `regs` is a 64-word image: a null
// pointer or another size is std::invalid_argument "A register image must hold 64 words."
uint32_t* register_word(std::vector<uint32_t>* regs, size_t index);

// One field, or one flag, of word `index` of a register image.
void set_register_field(std::vector<uint32_t>* regs, size_t index, RegDetail const& field, uint32_t value);
void set_register_flag(std::vector<uint32_t>* regs, size_t index, RegDetail const& field, bool value);

// Writes a count that may exceed 32 bits: above 4294967295 it is written as 4294967295, so the
// field's overflow check still stops it.
void set_count_field(uint32_t* word, RegDetail const& field, uint64_t value);

// The default image of an NP: all zero but the preset words, word 3 holding the layer index
// `np_num` (0xFE for an NP the pass leaves unused, `unused_np`), and word 56 the NP's slot (id 2
// and above) and `merge_is_add`. Unless `unused_np`, np_num must fit 8 bits.
std::vector<uint32_t> default_np_regs(hw::Component const& np, uint32_t np_num, bool unused_np,
                                      bool merge_is_add);

// What the configuration words common to every CNP and TNP-B layer are made of, besides the NP's
// split.
struct CommonConfig {
    int kernel_size = 0;
    int kernel_stride = 1;
    ActivationType activation = ActivationType::NoActivation;
    uint32_t first_neuron = 0;  // the NP's first output channel
    uint32_t filters = 0;       // the filters the NP computes
    uint8_t weights_bits = 8;
    std::vector<hw::Component> const& layer_nps;  // every component of the layer
    bool single_buffer = false;                   // the NP's input buffer mode
    bool transposed = false;                      // a transposed convolution (word 20 bit 9)
    uint8_t input_bits = 8;
    uint8_t output_bits = 8;
    MergeLayerInfo const* merge_info = nullptr;  // the merge the layer carries, if any
    hw::Component const* skipdma_load = nullptr;
    std::vector<hw::Component> const& dual_output_stores;  // the store that carries a dual output
    bool fnp_padding = false;  // the output feeds an FNP in its padded-row input layout (word 1 bit 29)
    bool link_nps = true;      // the merge and skip-connection words too (not for the NPs a pass leaves unused)
};

// The words every CNP and TNP-B layer configures the same way: bit widths, activation, the NP's
// part of the input from `split`, kernel, output window and output channels, then (when
// `link_nps`) the merge, skip-DMA load and dual-output words. `dual_output_stores` must not be
// empty when the merge asks for a dual output (std::runtime_error "Dual output store should not
// be null."). A merge without `skipdma_load` is std::runtime_error "Skip DMA load should not be
// null.".
void format_cnp_tnp_common_config_registers(std::vector<uint32_t>* regs, NpSplitInterface const& split,
                                            CommonConfig const& config);

// The CNP pooling word: pool size and factor, whether the pooling is global (it covers the whole
// output: pool size -1), and the edge padding flags of the NP's `part` of `input` (width, height
// first); `pooled_input` also marks in word 2 an input that comes from a max pooling.
void format_cnp_pooling_registers(std::vector<uint32_t>* regs, Shape const& input, NpSpace const& part,
                                  uint8_t pool_size, uint8_t pool_factor, bool global_pool,
                                  PaddingParams const& padding, bool pooled_input);

// Marks the input buffer as taking spikes (word 2 bit 7); nothing else changes.
void set_ib_spikes(std::vector<uint32_t>* regs);

// The pooling block of a layer without pooling: factors 1, sizes (a, b), no padding, flag clear.
// Always true. A null `out` is std::invalid_argument.
bool get_no_pooling_params(PoolingCalculatedParams* out, uint32_t a, uint32_t b);

}  // namespace nuvra::v2
