// Recording of a FullyConnected layer on a first-generation FNP: an FNP3, whose weights live in
// its own memory, or an FNP2, whose weights live in external memory. The record holds the NP's
// register image (dma::Target::NpRegisters) and, unless registers only, its memory image: an FNP3
// block (FnpMemory) or the record's FNP2 filters track.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "backends/v1/np_registers.h"
#include "backends/v1/record_conv.h"
#include "engine/layer.h"
#include "hw/device.h"
#include "hw/ident.h"
#include "mapping/layer_mapping.h"
#include "program/backend.h"
#include "program/record.h"

namespace nuvra::v1 {

// Records a FullyConnected layer on the first component of its mapping (none is
// std::out_of_range); arguments as for record_program_conv_layer. An NP in `skipped_nps` gives a
// record without tracks. Failures of the register builder and of the memory image pass through.
std::unique_ptr<program::Record> record_program_dense_layer(Device const& device, LayerRecordArgs const& args);
// The same with the recording call's arguments one by one (layer_record_args).
std::unique_ptr<program::Record> record_program_dense_layer(Device const& device, Layer const& layer,
                                                            std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                            bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                                            bool registers_only);

// The register image of the layer's first NP (none when `args.skipped_nps` lists it), with the
// learning words of `layer.learning()` when `learning` is set (their enable bit cleared otherwise).
// Failures:
//   - 4-bit input without single buffer: std::invalid_argument "4-bit FNP inputs require single
//     buffer mode.";
//   - "units" other than the neurons of "weights" (dense_units);
//   - a value too wide for its field: the overflow message (input_bits / 2, "weights_bits" - 2 and
//     "act_bits" / 2 in 2 bits, "units" in 17, the input sizes in their fields, an FNP3 image of
//     more than 65535 words or 15 blocks).
NpRegisterMap format_dense_np_registers(Device const& device, Layer const& layer, NpImageArgs const& args,
                                        bool learning = false);
// The same for a call that skips no NP, with the other arguments one by one.
NpRegisterMap format_dense_np_registers(Device const& device, Layer const& layer, bool learning,
                                        std::shared_ptr<Layer> const& next_layer, bool set_spikes, bool mesh_flag);

// The NP a FullyConnected layer runs on: the first component of its mapping (none is
// std::out_of_range).
hw::Component const& dense_np(LayerMapping const& mapping);

// The neurons of a FullyConnected layer: "units", which must be the first dimension of its
// weights (std::invalid_argument "Layer <name> has <units> units but weights for <n> neurons.").
uint32_t dense_units(Layer const& layer);

// The FNP memory image of a FullyConnected layer: its weights, thresholds and activation steps
// (format_fnp_ram).
std::vector<uint32_t> format_dense_fnp_image(Layer const& layer);

}  // namespace nuvra::v1
