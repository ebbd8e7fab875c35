// Recording of the buffered temporal convolutions, BufferTempConv and DepthwiseBufferTempConv,
// mapped on second-generation TNP-B NPs. A TNP-B keeps the last fifo_size input frames and
// convolves them with a 1 x 1 window; its skip DMAs hold the frame buffer.
//
// The record holds first the layer's skip-DMA blocks, then per NP of the mapping (in order): the
// 64-word register image (target 7), the packed weights (1), the input shifts (2) and the
// per-neuron variables (5), all at address 0. The recording arguments act as for the CNP
// recorders (backends/v2/record_conv2d.h); the common configuration gets no merge.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "backends/v2/record_conv2d.h"
#include "engine/layer.h"
#include "hw/device.h"
#include "hw/ident.h"
#include "program/backend.h"
#include "program/record.h"

namespace nuvra::v2 {

// A TNP-B recorder given a layer of another kind.
inline constexpr char invalid_tnp_b_layer_type_message[] = "Invalid layer type for TNP-B recording.";

// Records a BufferTempConv layer (LayerType 21; another type is std::runtime_error "Invalid layer
// type for TNP-B recording."): the input shifts of every channel on each NP, the weights of the
// NP's filters. Needs "weights" and, unless `registers_only`, "input_shift".
std::unique_ptr<program::Record> record_program_buffer_temp_conv_layer(Device const& device,
                                                                       LayerRecordArgs const& args);

// Records a DepthwiseBufferTempConv layer (LayerType 22): each NP's weights, input shifts and
// variables are those of its own channels.
std::unique_ptr<program::Record> record_program_depthwise_buffer_temp_conv_layer(Device const& device,
                                                                                 LayerRecordArgs const& args);

// The register images of the layer's NPs. A layer without input dimensions is
// std::runtime_error "Cannot get input size before it is set.".
NpRegisterMap format_buffer_temp_conv_np_registers(LayerRecordArgs const& args);
NpRegisterMap format_depthwise_buffer_temp_conv_np_registers(LayerRecordArgs const& args);

// The same with record_layer's arguments one by one, as LayerRecordArgs names them; the layer is
// its own sequence_first (not read here).
std::unique_ptr<program::Record> record_program_buffer_temp_conv_layer(Device const& device, Layer const& layer,
                                                                       std::shared_ptr<Layer> next_layer,
                                                                       bool set_spikes, bool mesh_flag,
                                                                       std::vector<hw::Ident> const& skipped_nps,
                                                                       bool registers_only, bool fnp_padding);
NpRegisterMap format_buffer_temp_conv_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer,
                                                   bool set_spikes, bool mesh_flag,
                                                   std::vector<hw::Ident> const& skipped_nps, bool registers_only,
                                                   bool fnp_padding);
std::unique_ptr<program::Record> record_program_depthwise_buffer_temp_conv_layer(Device const& device,
                                                                                 Layer const& layer,
                                                                                 std::shared_ptr<Layer> next_layer,
                                                                                 bool set_spikes, bool mesh_flag,
                                                                                 std::vector<hw::Ident> const& skipped_nps,
                                                                                 bool registers_only,
                                                                                 bool fnp_padding);
NpRegisterMap format_depthwise_buffer_temp_conv_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer,
                                                             bool set_spikes, bool mesh_flag,
                                                             std::vector<hw::Ident> const& skipped_nps,
                                                             bool registers_only, bool fnp_padding);

// What the TNP-B words of one NP depend on.
struct TnpBNpWords {
    uint32_t channels = 0;  // C, the channels of the NP's input part
    uint32_t width = 0;     // X and Y, its input cut
    uint32_t height = 0;
    uint8_t input_bits = 0;
    uint32_t fifo_size = 0;
    uint32_t first = 0;     // the NP's first filter (depthwise: channel) and their count
    uint32_t count = 0;
    bool depthwise = false;
    uint32_t layer_channels = 0;  // depthwise: the layer's input channels
};

// The TNP-B words of a register image: the FIFO (words 4 and 30), the weight row size (word 11),
// the channels (word 21; depthwise also the channel group, words 3 and 22), the input row (word
// 28), the filter groups (word 29) and the input frame in 64-word units (word 56). Worked out in
// 64 bits; a value too wide for its field fails through panic with the overflow message, so
// FIFO sizes above 14 are refused.
void format_tnp_b_np_words(std::vector<uint32_t>* regs, TnpBNpWords const& w);

}  // namespace nuvra::v2
