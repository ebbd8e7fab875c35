// The program of one TNP-R chain: its sixteen configuration registers, its FSRAM image (the
// projection weights of every StatefulRecurrent layer) and its TSRAM image (state-update, output
// and input-shift words), as three DMA blocks for the TNP-R of the chain's first layer.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "backends/wisp/registers.h"
#include "engine/layer.h"
#include "hw/device.h"
#include "program/record.h"

namespace nuvra::wisp {

// What the registers say about one chain, filled while it is walked. Per-layer entries are
// indexed by chain position; the post-processing layer counts 1 for each.
struct TnprConfig {
    uint32_t num_layers = 0;             // chain layers, post-processing included
    uint8_t relu_layers = 0;             // bit i: chain layer i has a ReLU
    uint8_t input_bits = 0;              // of the first layer
    uint8_t output_bits = 0;             // 16 with post-processing, else the last layer's
    bool has_post_processing = false;
    uint32_t input_row_words = 0;        // 32-bit words of a packed input row, a power of 2
    uint32_t timesteps = 0;              // with post-processing: frames per output
    uint32_t tsram_input_shift_start = 0;
    uint32_t tsram_output_start = 0;
    uint32_t stsram_post_processing_start = 0;
    std::array<uint32_t, max_chain_layers> subsample{};
    uint32_t stateful_channels = 0;
    std::array<uint32_t, max_chain_layers> output_channels{};
    std::array<uint32_t, max_chain_layers> input_channels{};
};

// The sixteen register words of a chain. A value too wide for its field fails with the overflow
// message ("Attempted to write value <v> into a <w>-bit field, which will cause an overflow."):
// more than 8 layers, a subsample outside 1..4, channels above 511, a row or timesteps above 255,
// a region start above 65535.
std::vector<uint32_t> format_tnpr_registers(TnprConfig const& config);

// The program of the chain that starts at `first`: one record for the device's version with
// three blocks at address 0 for the first component of `first`'s mapping: the registers (target
// 13), the FSRAM image (target 14) and the TSRAM image (target 15). A ninth chain position is
// std::out_of_range; a first layer without a mapping is std::runtime_error "The layer <name> has
// no mapped TNP-R component.", one whose mapping lists no component std::out_of_range with that
// text. The formatters' failures pass through for the first layer's values; for a later layer's
// (the post-processing layer's input shift, its "threshold" when not uint16, a later "subsample"
// the registers cannot hold) they are a MappingStatusError in that layer's name with
// recording_failure's words. The registers, subsamples included, are written after the images.
std::unique_ptr<program::Record> record_program_tnpr_layers(Device const& device, Layer const& first);

}  // namespace nuvra::wisp
