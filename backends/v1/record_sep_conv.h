// Recording of a SeparableConvolutional layer mapped on first-generation CNPs: a depthwise
// convolution followed by a pointwise one, both run by each CNP. It follows the Convolutional
// recorder (backends/v1/record_conv.h) step for step; per NP the record holds the register image,
// the depthwise weights (the same for every NP, at address 0), the NP's pointwise weights after
// them (at the first 16-word block past the depthwise weights) and its thresholds.
#pragma once

#include <memory>
#include <vector>

#include "backends/v1/record_conv.h"
#include "engine/layer.h"
#include "hw/device.h"
#include "hw/ident.h"
#include "program/record.h"

namespace nuvra::v1 {

// Records a SeparableConvolutional layer (another kind is std::bad_cast); arguments and failures
// as for record_program_conv_layer; the weight formatters check the two weight tensors.
std::unique_ptr<program::Record> record_program_sep_conv_layer(Device const& device, LayerRecordArgs const& args);
// The same with the recording call's arguments one by one (layer_record_args).
std::unique_ptr<program::Record> record_program_sep_conv_layer(Device const& device, Layer const& layer,
                                                               std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                               bool mesh_flag,
                                                               std::vector<hw::Ident> const& skipped_nps,
                                                               bool registers_only);

// The register images of a SeparableConvolutional layer's NPs (those not in `args.skipped_nps`): the
// common CNP words, the separable flag and weight widths (a "weights_bits" above 7 overflows 2
// bits), the pointwise words per channel (7 bits) and the depthwise SRAM words (14 bits).
NpRegisterMap format_sep_conv_np_registers(Layer const& layer, NpImageArgs const& args);
// The same with the arguments one by one (those layer_record_args gives the register images).
NpRegisterMap format_sep_conv_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer, bool set_spikes,
                                           bool mesh_flag, std::vector<hw::Ident> const& skipped_nps);

}  // namespace nuvra::v1
