// The words a TNP-R chain needs in each of the four TNP-R memories: EVSRAM and STSRAM in 32-bit
// words, FSRAM in 64-bit words, TSRAM in 51-bit words (one 64-bit slot each). Each function takes
// the chain's first StatefulRecurrent layer and counts in 64 bits. FSRAM and TSRAM equal the
// lengths of the images the recorder writes; EVSRAM and STSRAM hold run-time data.
//
// Bit widths of 0 or above 32, and negative channel parameters, are InvalidChain (chain.h);
// missing parameters, variables or input shapes fail as the engine's queries do.
#pragma once

#include <cstdint>

#include "engine/layer.h"

namespace nuvra::wisp {

// Over the run of StatefulRecurrent layers: ceil(C / 8) x R for each R x C "in_proj" and
// "out_proj".
uint64_t get_tnpr_fsram_64b_size(Layer const& first);

// Over the chain: per StatefulRecurrent layer its state channels, output channels and input-shift
// words (8 shifts a word for 8-bit inputs, 4 for any other width); 2 for the post-processing layer
// (an output word and an input-shift word).
uint64_t get_tnpr_tsram_51b_size(Layer const& first);

// The first layer's packed input row, then over the chain: per StatefulRecurrent layer its input
// channels packed 32 / input bits to a word; for the post-processing layer the output channels of
// the last StatefulRecurrent layer, packed by its output bits.
uint64_t get_tnpr_evsram_32b_size(Layer const& first);

// One state word per channel and StatefulRecurrent layer of the run (each counted with the first
// layer's state channels), then, when a WispPostProcessing layer follows anywhere downstream,
// 2 x ceil(log2(ceil(T / (32 / b)))) for the first layer's timesteps T and input bits b.
uint64_t get_tnpr_stsram_32b_size(Layer const& first);

}  // namespace nuvra::wisp
