// Recording of a Conv2DTranspose layer mapped on second-generation CNPs: the Conv2D recording
// (backends/v2/record_conv2d.h) with the transposed layer's own register images. A transposed
// convolution doubles its input each way, reads no pooling, runs with stride 1 and 8-bit weights
// in the NP's configuration, and describes its NP window with a TransposedCnpSplit.
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

// Records a Conv2DTranspose layer (LayerType 17; any other type is std::runtime_error "Invalid
// layer type for CNP recording."). Arguments, blocks and failures as record_program_conv2d_layer;
// the weights go to conv2d_dma_target of the layer's kernel and "weights_bits".
std::unique_ptr<program::Record> record_program_transposed_conv2d_layer(Device const& device,
                                                                        LayerRecordArgs const& args);

// The setup of a transposed convolution on CNPs: the layer's kernel, stride 1, 8-bit weights, no
// pooling and a TransposedCnpSplit per NP.
CnpConvSetup transposed_cnp_conv_setup(Layer const& layer);

// The register images of a Conv2DTranspose layer's NPs. A layer without input dimensions is
// std::runtime_error "Cannot get input size before it is set.".
NpRegisterMap format_transposed_conv2d_np_registers(LayerRecordArgs const& args);

// The same with record_layer's arguments one by one, as LayerRecordArgs names them; the layer is
// its own sequence_first (not read here).
std::unique_ptr<program::Record> record_program_transposed_conv2d_layer(Device const& device, Layer const& layer,
                                                                        std::shared_ptr<Layer> next_layer,
                                                                        bool set_spikes, bool mesh_flag,
                                                                        std::vector<hw::Ident> const& skipped_nps,
                                                                        bool registers_only, bool fnp_padding);
NpRegisterMap format_transposed_conv2d_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer,
                                                    bool set_spikes, bool mesh_flag,
                                                    std::vector<hw::Ident> const& skipped_nps, bool registers_only,
                                                    bool fnp_padding);

}  // namespace nuvra::v2
