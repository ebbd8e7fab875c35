// Recording of DepthwiseConv2D and DepthwiseConv2DTranspose layers mapped on second-generation
// CNPs: the Conv2D recording (backends/v2/record_conv2d.h) where each NP computes a run of
// channels. An NP's first filter F and filter count N are its first channel and channel count;
// its weights, input shifts, variables and merge shifts are those channels' only. The depthwise
// words of its register image mark the depthwise mode, the channel group when the NP holds fewer
// than all input channels, the depthwise weight count and the input row words.
#pragma once

#include <memory>
#include <vector>

#include "backends/v2/record_conv2d.h"
#include "engine/layer.h"
#include "hw/device.h"
#include "hw/ident.h"
#include "program/backend.h"
#include "program/record.h"

namespace nuvra::v2 {

// Records a DepthwiseConv2D layer (LayerType 16; any other type is std::runtime_error "Invalid
// layer type for CNP recording."). Arguments as for record_program_conv2d_layer; per NP the
// blocks 7, the weight target (dwc_dma_target), 2, 5, then 12 and 10 when present; then the
// skip-DMA blocks. The layer needs "weights" and, unless `registers_only`, "input_shift".
std::unique_ptr<program::Record> record_program_dwconv2d_layer(Device const& device, LayerRecordArgs const& args);

// Records a DepthwiseConv2DTranspose layer (LayerType 20): as record_program_dwconv2d_layer with
// the transposed register images.
std::unique_ptr<program::Record> record_program_transposed_dwconv2d_layer(Device const& device,
                                                                          LayerRecordArgs const& args);

// The register images of a DepthwiseConv2D layer's NPs: those of a Conv2D with its pooling, and
// the depthwise words. Failures as format_conv2d_np_registers; field overflows through panic.
NpRegisterMap format_dwconv2d_np_registers(LayerRecordArgs const& args);

// The register images of a DepthwiseConv2DTranspose layer's NPs: those of a Conv2DTranspose, and
// the depthwise words with the 8-bit weight count whatever "weights_bits" is.
NpRegisterMap format_transposed_dwconv2d_np_registers(LayerRecordArgs const& args);

// The same with record_layer's arguments one by one, as LayerRecordArgs names them; the layer is
// its own sequence_first (not read here).
std::unique_ptr<program::Record> record_program_dwconv2d_layer(Device const& device, Layer const& layer,
                                                               std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                               bool mesh_flag,
                                                               std::vector<hw::Ident> const& skipped_nps,
                                                               bool registers_only, bool fnp_padding);
NpRegisterMap format_dwconv2d_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer, bool set_spikes,
                                           bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                           bool registers_only, bool fnp_padding);
std::unique_ptr<program::Record> record_program_transposed_dwconv2d_layer(Device const& device, Layer const& layer,
                                                                          std::shared_ptr<Layer> next_layer,
                                                                          bool set_spikes, bool mesh_flag,
                                                                          std::vector<hw::Ident> const& skipped_nps,
                                                                          bool registers_only, bool fnp_padding);
NpRegisterMap format_transposed_dwconv2d_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer,
                                                      bool set_spikes, bool mesh_flag,
                                                      std::vector<hw::Ident> const& skipped_nps,
                                                      bool registers_only, bool fnp_padding);

}  // namespace nuvra::v2
