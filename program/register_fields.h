// The register fields the first and second generation share, in one table: the fields of the NP
// register image and of the HRC register block that both generations hold in the same word with
// the same bits and meaning, and the SCC and EPG register banks (the same registers on both).
// Each generation's table (backends/<generation>/registers.h) takes these rows beside its own, so
// a field has one name and one word whichever generation writes it; what value a generation
// writes, and when, stays in that generation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "hw/register.h"

namespace nuvra::fields {

// Words of an NP register image that both generations name.
namespace np_word {
inline constexpr size_t CONTROL = 1;           // buffers and NP kind
inline constexpr size_t INPUT_BUFFER = 2;      // input spikes
inline constexpr size_t FORMAT = 3;            // bit widths, activation, NP count, layer index
inline constexpr size_t INPUT_MEMORY = 4;      // input buffer or packet memory, 32-bit words
inline constexpr size_t PART_SIZE = 8;         // the NP's part of the input and the cut's offsets
inline constexpr size_t CUT_ORIGIN = 9;        // origin and phase of the input cut
inline constexpr size_t CUT_SIZE = 10;         // extent of the input cut
inline constexpr size_t CONTAINER = 11;        // input container, weight words per channel
inline constexpr size_t FNP_INPUT = 14;        // an FNP's input packet memory
inline constexpr size_t FNP_NEURONS = 15;      // an FNP's neurons
inline constexpr size_t FNP_OUTPUT = 16;
inline constexpr size_t FNP_MEMORY = 17;       // an FNP's neuron (FNP3: weight) memory
inline constexpr size_t KERNEL = 20;           // kernel size and stride; filters of a 1 x 1 kernel
inline constexpr size_t FILTERS = 21;          // filters of the NP
inline constexpr size_t OUTPUT_ORIGIN = 24;    // first output row and column of the NP
inline constexpr size_t OUTPUT_SIZE = 25;      // output rows and columns of the NP
inline constexpr size_t NEURONS = 26;          // first filter and filter count of the NP
inline constexpr size_t POOLING = 27;          // pooling size, stride, global flag and edge padding
inline constexpr size_t INPUT_ROW = 28;        // words and bytes of one input row
inline constexpr size_t FILTER_GROUPS = 29;    // groups of eight filters
inline constexpr size_t PR_CONFIG = 32;        // partial reconfiguration: the linked layer's mode
inline constexpr size_t PR_CUT_ORIGIN = 33;    // linked layer: origin of the NP's cut
inline constexpr size_t PR_CUT_SIZE = 34;      // linked layer: extent of the NP's cut
inline constexpr size_t PR_INPUT_LAYOUT = 35;  // linked layer: its input row, or FNP input pixels
inline constexpr size_t LEARNING = 36;         // learning enable
inline constexpr size_t ROUTING = 44;          // output routing mode
inline constexpr size_t DESTINATIONS = 45;     // where the output goes
inline constexpr size_t SOURCES = 46;          // where the input comes from
inline constexpr size_t COLUMN_SPAN = 47;      // columns the packets cross
inline constexpr size_t CFG_DMA = 49;          // the DMA engine the NP reports to
}  // namespace np_word

// Words of the HRC register block.
namespace hrc_word {
inline constexpr size_t CONTROL = 0;
inline constexpr size_t STRIDES = 1;
inline constexpr size_t PADDING_VALUE = 2;
inline constexpr size_t PADDING = 3;
inline constexpr size_t FILTERS = 4;
}  // namespace hrc_word

// The SCC registers, each at byte address 4 x its word.
inline constexpr size_t SCC_REGISTER_WORDS = 18;

namespace scc_word {
inline constexpr size_t CONFIG = 1;        // at 0x4
inline constexpr size_t INPUT_SIZE = 16;   // at 0x40
inline constexpr size_t OUTPUT_SIZE = 17;  // at 0x44
}  // namespace scc_word

// The EPG registers, each at register offset 4 x its word.
inline constexpr size_t EPG_REGISTER_WORDS = 8;

namespace epg_word {
inline constexpr size_t CONTROL = 0;   // 0x00
inline constexpr size_t MODE = 3;      // 0x0C
inline constexpr size_t COLUMNS = 4;   // 0x10
inline constexpr size_t ROWS = 5;      // 0x14
inline constexpr size_t WINDOW = 6;    // 0x18
inline constexpr size_t TIMEOUT = 7;   // 0x1C
}  // namespace epg_word

// X(image, NAME, word, lowest bit, width), as in a generation's table. Where the generations code
// a value differently, the comment gives both codes.
#define NUVRA_SHARED_FIELDS(X)                                                                                   \
    /* ---- the NP register image ---- */                                                                      \
    X(np, CONTROL_FNP, np_word::CONTROL, 4, 1)              /* an FNP image; clear on the other NPs */         \
    X(np, CONTROL_CLEAR_7, np_word::CONTROL, 7, 1)          /* cleared on a CNP */                            \
    X(np, CONTROL_SINGLE_BUFFER, np_word::CONTROL, 22, 1)   /* one input buffer instead of two */             \
    X(np, INPUT_BUFFER_SPIKES, np_word::INPUT_BUFFER, 7, 1) /* the input buffer takes spikes */               \
    X(np, FORMAT_INPUT_BITS, np_word::FORMAT, 0, 2)         /* v1: bits / 2; v2: 3 for 8 bits, else 2 */      \
    X(np, FORMAT_DEPTHWISE, np_word::FORMAT, 2, 1)          /* each channel convolved on its own */           \
    X(np, FORMAT_WEIGHTS_4BIT, np_word::FORMAT, 3, 1)       /* 4-bit weights */                               \
    X(np, FORMAT_WEIGHTS_BITS, np_word::FORMAT, 4, 2)       /* the weight width code of the kind */           \
    X(np, FORMAT_OUTPUT_BITS, np_word::FORMAT, 12, 2)       /* v1: bits / 2; v2: 2 below 8 bits, else 3 */    \
    X(np, FORMAT_ACTIVATION, np_word::FORMAT, 15, 1)        /* activation on */                               \
    X(np, FORMAT_NP_COUNT, np_word::FORMAT, 16, 8)          /* NPs of the layer */                            \
    X(np, FORMAT_LAYER_INDEX, np_word::FORMAT, 24, 8)       /* the layer's index in its pass */               \
    X(np, INPUT_MEMORY_SET_31, np_word::INPUT_MEMORY, 31, 1)                                                  \
    /* The NP's part (its offsets differ in width: each generation's table). */                               \
    X(np, PART_I_SIZE, np_word::PART_SIZE, 0, 11)                                                             \
    X(np, PART_J_SIZE, np_word::PART_SIZE, 16, 11)                                                            \
    /* Origin of the cut; a phase bit is set when the cut starts inside a stride. */                          \
    X(np, CUT_I_ORIG, np_word::CUT_ORIGIN, 0, 12)                                                             \
    X(np, CUT_I_PHASE, np_word::CUT_ORIGIN, 12, 1)                                                            \
    X(np, CUT_J_ORIG, np_word::CUT_ORIGIN, 16, 12)                                                            \
    X(np, CUT_J_PHASE, np_word::CUT_ORIGIN, 28, 1)                                                            \
    X(np, CUT_I_SIZE, np_word::CUT_SIZE, 0, 11)                                                               \
    X(np, CUT_J_SIZE, np_word::CUT_SIZE, 16, 11)                                                              \
    X(np, CONTAINER_ICONT_SIZE, np_word::CONTAINER, 0, 8)   /* input container words of one row */            \
    X(np, FNP_INPUT_SET_31, np_word::FNP_INPUT, 31, 1)                                                        \
    X(np, FNP_OUTPUT_CLEAR_0_17, np_word::FNP_OUTPUT, 0, 18)                                                  \
    X(np, FNP_W_SIZE_LAST, np_word::FNP_MEMORY, 0, 16)      /* words of the FNP's memory image */             \
    X(np, KERNEL_STRIDE_2, np_word::KERNEL, 8, 1)           /* convolution stride 2 */                        \
    X(np, KERNEL_1X1_FILTERS, np_word::KERNEL, 16, 11)      /* filters of a 1 x 1 kernel (v2: cleared) */     \
    X(np, KERNEL_SIZE, np_word::KERNEL, 28, 3)                                                                \
    X(np, OUTPUT_I_ORIG, np_word::OUTPUT_ORIGIN, 0, 12)     /* first (pooled) output row */                   \
    X(np, OUTPUT_J_ORIG, np_word::OUTPUT_ORIGIN, 16, 12)    /* first (pooled) output column */                \
    X(np, OUTPUT_I_SIZE, np_word::OUTPUT_SIZE, 0, 10)       /* (pooled) output rows */                        \
    X(np, OUTPUT_J_SIZE, np_word::OUTPUT_SIZE, 16, 8)       /* (pooled) output columns */                     \
    X(np, NEURONS_FIRST, np_word::NEURONS, 0, 11)           /* first filter (output channel) of the NP */     \
    /* Pooling; an edge bit is set where the part touches the input's edge and the pooling pads it. */        \
    X(np, POOL_SIZE, np_word::POOLING, 0, 3)                                                                  \
    X(np, POOL_STRIDE, np_word::POOLING, 4, 3)                                                                \
    X(np, POOL_GLOBAL, np_word::POOLING, 8, 1)              /* a global pooling */                            \
    X(np, POOL_PAD_RIGHT, np_word::POOLING, 12, 1)                                                            \
    X(np, POOL_PAD_LEFT, np_word::POOLING, 13, 1)                                                             \
    X(np, POOL_PAD_BOTTOM, np_word::POOLING, 14, 1)                                                           \
    X(np, POOL_PAD_TOP, np_word::POOLING, 15, 1)                                                              \
    X(np, INPUT_ROW_WORDS, np_word::INPUT_ROW, 0, 14)       /* words of one input row, all channels */        \
    X(np, FILTER_GROUPS_COUNT, np_word::FILTER_GROUPS, 16, 8) /* started groups of eight filters */           \
    /* Partial reconfiguration: the linked layer's mode, and the NP's cut and input of that layer. */         \
    X(np, PR_SET_0, np_word::PR_CONFIG, 0, 1)                                                                 \
    X(np, PR_FNP_MODE, np_word::PR_CONFIG, 1, 1)            /* the NP runs the linked layer as an FNP */      \
    X(np, PR_SET_2, np_word::PR_CONFIG, 2, 1)                                                                 \
    X(np, PR_INPUT_BITS, np_word::PR_CONFIG, 4, 2)          /* the linked layer's input width code */         \
    X(np, PR_LINK_INDEX, np_word::PR_CONFIG, 24, 8)         /* the linked layer's link index */               \
    X(np, PR_CUT_I_ORIG, np_word::PR_CUT_ORIGIN, 0, 12)                                                       \
    X(np, PR_CUT_J_ORIG, np_word::PR_CUT_ORIGIN, 16, 12)                                                      \
    X(np, PR_CUT_I_SIZE, np_word::PR_CUT_SIZE, 0, 11)                                                         \
    X(np, PR_CUT_J_SIZE, np_word::PR_CUT_SIZE, 16, 11)                                                        \
    X(np, PR_INPUT_ROW_WORDS, np_word::PR_INPUT_LAYOUT, 0, 14) /* CNP: words of one row */                    \
    X(np, PR_CH_SIZE, np_word::PR_INPUT_LAYOUT, 0, 18)      /* FNP: input pixels */                           \
    X(np, LEARNING_ENABLE, np_word::LEARNING, 28, 1)                                                          \
    /* Mesh routing. */                                                                                        \
    X(np, ROUTING_P2P_OUT, np_word::ROUTING, 0, 1)          /* the output goes to exactly one NP */           \
    X(np, ROUTING_CLEAR_1, np_word::ROUTING, 1, 1)                                                            \
    X(np, ROUTING_ENDS_PASS, np_word::ROUTING, 2, 1)        /* the layer ends a pass before the last */       \
    X(np, ROUTING_FIXED_16_23, np_word::ROUTING, 16, 8)     /* always ROUTING_FIXED_16_23_VALUE */            \
    X(np, ROUTING_LINK_MODE, np_word::ROUTING, 24, 8)       /* ROUTING_LINKED, or ROUTING_NO_LINK */          \
    X(np, DESTINATION_LOW, np_word::DESTINATIONS, 0, 8)     /* P2P: the row; else the lowest column */        \
    X(np, DESTINATION_HIGH, np_word::DESTINATIONS, 8, 8)    /* P2P: the column; else the highest */           \
    X(np, DESTINATION_SELECT, np_word::DESTINATIONS, 20, 4) /* P2P only: one-hot id */                        \
    X(np, DESTINATION_LINK_INDEX, np_word::DESTINATIONS, 24, 8)                                               \
    X(np, SOURCE_LOW, np_word::SOURCES, 0, 8)               /* P2P: the row; else the lowest column */        \
    X(np, SOURCE_HIGH, np_word::SOURCES, 8, 8)              /* P2P: the column; else the highest */           \
    X(np, SOURCE_SELECT, np_word::SOURCES, 20, 4)           /* P2P only: one-hot id */                        \
    X(np, SPAN_LOW, np_word::COLUMN_SPAN, 0, 8)             /* over the layer's NPs and destinations */       \
    X(np, SPAN_HIGH, np_word::COLUMN_SPAN, 8, 8)                                                              \
    X(np, CFG_DMA_ROW, np_word::CFG_DMA, 0, 8)                                                                \
    X(np, CFG_DMA_COL, np_word::CFG_DMA, 8, 8)                                                                \
    X(np, CFG_DMA_SELECT, np_word::CFG_DMA, 16, 4)          /* one-hot id */                                  \
    /* ---- the HRC register block ---- */                                                                    \
    X(hrc, HRC_ENABLE, hrc_word::CONTROL, 0, 1)             /* the HRC runs; cleared to stop it */            \
    X(hrc, HRC_OUTPUT_BITS, hrc_word::CONTROL, 8, 2)        /* the output width code */                       \
    X(hrc, HRC_ONE_CHANNEL, hrc_word::CONTROL, 12, 1)       /* one input channel (else three) */              \
    X(hrc, HRC_VALID_13, hrc_word::CONTROL, 13, 1)          /* 'valid' padding sets bits 13, 20 and 21 */     \
    X(hrc, HRC_MAX_POOL_Y, hrc_word::CONTROL, 16, 1)        /* max pooling sets bits 16 and 17 */             \
    X(hrc, HRC_MAX_POOL_X, hrc_word::CONTROL, 17, 1)                                                          \
    X(hrc, HRC_VALID_20, hrc_word::CONTROL, 20, 1)                                                            \
    X(hrc, HRC_VALID_21, hrc_word::CONTROL, 21, 1)                                                            \
    X(hrc, HRC_PADDING_VALUE_R, hrc_word::PADDING_VALUE, 0, 8) /* the padding value of each input plane */    \
    X(hrc, HRC_PADDING_VALUE_G, hrc_word::PADDING_VALUE, 8, 8)                                                \
    X(hrc, HRC_PADDING_VALUE_B, hrc_word::PADDING_VALUE, 16, 8)                                               \
    X(hrc, HRC_FILTERS_CLEAR_0_8, hrc_word::FILTERS, 0, 9)                                                    \
    X(hrc, HRC_FILTERS_MINUS_ONE, hrc_word::FILTERS, 16, 9)                                                   \
    /* The HRC SRAM select word: which memory the following data goes to. */                                  \
    X(hrc_sram_select, HRC_SRAM_SELECT_R, 0, 0, 1)                                                            \
    X(hrc_sram_select, HRC_SRAM_SELECT_G, 0, 1, 1)                                                            \
    X(hrc_sram_select, HRC_SRAM_SELECT_B, 0, 2, 1)                                                            \
    /* ---- the SCC registers ---- */                                                                         \
    X(scc, SCC_INPUT_FROM_DMA, scc_word::CONFIG, 0, 1)      /* the input does not come through the HRC */     \
    X(scc, SCC_OUTPUT_SIZED, scc_word::CONFIG, 3, 1)        /* output type 0: the SCC carries its size */     \
    X(scc, SCC_INPUT_SIZED, scc_word::CONFIG, 4, 1)         /* input type 0: the SCC carries its channels */  \
    X(scc, SCC_LAST_ON_HRC, scc_word::CONFIG, 8, 1)         /* written by the first generation */             \
    X(scc, SCC_NARROW_OUTPUT, scc_word::CONFIG, 20, 1)      /* outputs of 8 bits or fewer (second) */         \
    X(scc, SCC_INPUT_CHANNELS, scc_word::INPUT_SIZE, 0, 18)                                                   \
    X(scc, SCC_OUTPUT_SIZE, scc_word::OUTPUT_SIZE, 0, 20)   /* output rows x channels */                      \
    X(scc, SCC_OUTPUT_CHANNELS, scc_word::OUTPUT_SIZE, 20, 11)                                                \
    /* ---- the EPG registers ---- */                                                                         \
    X(epg, EPG_FNP_INPUT, epg_word::CONTROL, 1, 1)          /* the first layer takes the input on an FNP */   \
    X(epg, EPG_INPUT_SIZED, epg_word::CONTROL, 12, 1)       /* input type 0 */                                \
    X(epg, EPG_LAST_ON_HRC, epg_word::CONTROL, 16, 1)       /* written by the second generation */            \
    X(epg, EPG_MODE, epg_word::MODE, 0, 32)                 /* EPG_MODE_SINGLE_PASS or _MULTI_PASS */         \
    X(epg, EPG_LOWEST_COL, epg_word::COLUMNS, 16, 8)                                                          \
    X(epg, EPG_HIGHEST_COL, epg_word::COLUMNS, 24, 8)                                                         \
    X(epg, EPG_ROW_CODE, epg_word::ROWS, 8, 8)                                                                \
    X(epg, EPG_WINDOW_ROWS, epg_word::WINDOW, 24, 8)        /* the row code again */                          \
    X(epg, EPG_TIMEOUT, epg_word::TIMEOUT, 0, 32)

NUVRA_SHARED_FIELDS(NUVRA_FIELD_CONSTANT)

// The shared rows alone, for the checks of the table.
inline constexpr NamedField shared_field_table[] = {NUVRA_SHARED_FIELDS(NUVRA_FIELD_ROW)};

// A word's value before any field is written: the bits the hardware needs whose meaning is not
// known.
struct Preset {
    size_t word;
    uint32_t value;
};

// An image of `words` words, zero but for `presets`.
template <size_t N>
std::vector<uint32_t> preset_image(size_t words, Preset const (&presets)[N]) {
    std::vector<uint32_t> image(words, 0u);
    for (Preset const& preset : presets) image.at(preset.word) = preset.value;
    return image;
}

inline constexpr Preset epg_presets[] = {
    {epg_word::CONTROL, 0x20200},
    {epg_word::COLUMNS, 0x1},
    {epg_word::WINDOW, 0xFE0001},
};

// Values of the fields that take a fixed one.
inline constexpr uint32_t ROUTING_FIXED_16_23_VALUE = 0x08;
inline constexpr uint32_t ROUTING_LINKED = 0xFF;   // the input link index names a layer
inline constexpr uint32_t ROUTING_NO_LINK = 0x06;  // the input link index is 0xFF (first generation)
inline constexpr uint32_t EPG_MODE_SINGLE_PASS = 0x00000010;
inline constexpr uint32_t EPG_MODE_MULTI_PASS = 0x012C0010;
inline constexpr uint32_t EPG_TIMEOUT_VALUE = 0x027FFFFF;

}  // namespace nuvra::fields
