// Recording of a Dense1D layer mapped on one second-generation FNP (FNP2 or FNP3): its 64-word
// register image (target 7), its input-shift block (2) and its neuron memory (on an FNP3 a
// target-6 block; an FNP2 keeps its neurons in external memory, as the record's FNP2 filters
// track). The layouts of the shifts and the neurons follow the layer's input padding
// (backends/v2/sizes.h).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "backends/v2/sizes.h"
#include "engine/layer.h"
#include "engine/tensor.h"
#include "hw/device.h"
#include "hw/ident.h"
#include "hw/types.h"
#include "program/backend.h"
#include "program/record.h"

namespace nuvra::v2 {

// Records a Dense1D layer on the first component of its mapping (none: std::out_of_range "Layer
// '<name>' has no component to record."). The layer being its sequence's first
// (`sequence_first`) selects the flattened input; `next_layer`, `set_spikes` and `mesh_flag` act
// as for the CNP recorders; an NP listed in `skipped_nps` gives a record without tracks;
// `registers_only` (the NPs a pass leaves unused) records the registers and the input shifts
// only; `fnp_padding` does not apply to a fully connected layer. Needs "input_shift" and
// "weights", and the neuron variables of format_fnp_ram.
std::unique_ptr<program::Record> record_program_dense1d_layer(Device const& device,
                                                              HardwareConstraints const& hardware_constraints,
                                                              LayerRecordArgs const& args);
// The same with record_layer's arguments one by one, as LayerRecordArgs names them (`fnp_padding`
// does not apply); `layer` being `sequence_first` itself selects the flattened input.
std::unique_ptr<program::Record> record_program_dense1d_layer(Device const& device,
                                                              HardwareConstraints const& hardware_constraints,
                                                              Layer const& layer, Layer const& sequence_first,
                                                              std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                              bool mesh_flag,
                                                              std::vector<hw::Ident> const& skipped_nps,
                                                              bool registers_only);

// Writes the FNP words of a register image: bit widths, activation, input shape and layout, the
// neuron count and record size, and the neuron memory size (an FNP3's taken modulo its weight
// memory, `hardware_constraints.fnp3_sram_words`; an FNP3 without weight memory is
// std::runtime_error "An FNP3 without weight memory cannot hold a Dense1D layer."). Input bits
// other than 4 or 8 are std::runtime_error "Wrong input_bits at FNP recording.", weight bits
// "Wrong weight bitwidth at FNP recording.", output bits other than 4 or 8 to 32 "Wrong output
// bitwidth at FNP recording.", checked in that order after word 1. Values too wide for their
// field fail through panic.
void format_dense1d_np_registers(HardwareConstraints const& hardware_constraints, std::vector<uint32_t>* regs,
                                 hw::Type np_type, uint8_t input_bits, uint8_t output_bits, bool has_activation,
                                 Shape const& s, bool single_buffer, Dense const& weights, uint8_t weight_bits,
                                 InputPadding padding);

}  // namespace nuvra::v2
