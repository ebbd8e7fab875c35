// Recording of a Convolutional layer mapped on first-generation CNPs, and the per-NP loops that
// the separable convolution recorder shares with it.
//
// Per NP of the layer, in the mapping's order, the record holds the 50-word register image
// (dma::Target::NpRegisters), the NP's share of the weights (Weights) and its thresholds with
// activation steps (Thresholds), all at address 0. An NP listed in the call's `skipped_nps` gets
// an empty register block and its weight and threshold blocks all the same
// (SkippedNp::empty_registers); with `registers_only` only the register blocks are recorded (the
// register images take the rest of the call's arguments, NpImageArgs). Both loops are those of
// mapping/np_recording.h.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/tensor.h"
#include "hw/device.h"
#include "backends/v1/np_registers.h"
#include "hw/ident.h"
#include "mapping/np_recording.h"
#include "program/backend.h"
#include "program/record.h"

namespace nuvra::v1 {

// A refused CNP program: "Backend hardware(CNP): <message>".
class CnpError : public std::runtime_error {
public:
    explicit CnpError(std::string const& message);
};

// Records a Convolutional layer (another kind is std::bad_cast). A layer that is not built is
// std::runtime_error "The layer <name> is not built."; one without a mapping, "The layer <name>
// has no hardware mapping."; weights other than (filters, channels, ky, kx), std::invalid_argument.
// Failures of the formatters and of the record pass through; the partly built record is dropped.
std::unique_ptr<program::Record> record_program_conv_layer(Device const& device, LayerRecordArgs const& args);
// The same with the recording call's arguments one by one (layer_record_args).
std::unique_ptr<program::Record> record_program_conv_layer(Device const& device, Layer const& layer,
                                                           std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                           bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                                           bool registers_only);

// The register images of a Convolutional layer's NPs (those not in `args.skipped_nps`).
NpRegisterMap format_conv_np_registers(Layer const& layer, NpImageArgs const& args);
// The same with the arguments one by one (those layer_record_args gives the register images).
NpRegisterMap format_conv_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer, bool set_spikes,
                                       bool mesh_flag, std::vector<hw::Ident> const& skipped_nps);

// Two words per filter first .. first + count - 1: the threshold as 20 bits with `activation`
// (outside, panic "%d cannot fit in a %d-bit signed integer"), else 0x80000; then the step, which
// must not exceed 0xFFFFF (CnpError "act_step should be between 0 and 65535. Receives act_step
// <step / 16>."). Both tensors are int32 (panic "Wrong requested type %s for a tensor of type %s"
// otherwise), read by element index; fewer than first + count elements is std::runtime_error.
std::vector<uint32_t> format_cnp_threshold_steps(Tensor const& threshold, Tensor const& steps, bool activation,
                                                 uint32_t first, uint32_t count);

// ---- shared by the CNP convolution recorders ----

// The words a CNP convolution kind writes in one NP's image after the common configuration and
// the pooling word.
using CnpKindWords = std::function<void(std::vector<uint32_t>* regs, hw::NpPart const& part)>;

// One weight block of an NP: its address (in 16-word blocks) and words, which several NPs may
// share.
struct WeightBlock {
    uint16_t address = 0;
    std::shared_ptr<std::vector<uint32_t> const> words;
};
// The weight blocks of one NP, in order.
using CnpWeightBlocks = std::function<std::vector<WeightBlock>(hw::NpPart const& part)>;

// The register images of the NPs of a CNP convolution layer (arguments as for the recorders),
// with the kind's own words. The layer's pooling settles its pool size: 1 without pooling and for
// an average pooling of width -1, else "pooling_width" in full.
NpRegisterMap format_cnp_conv_np_registers(Layer const& layer, NpImageArgs const& args,
                                           CnpKindWords const& kind_words);

// The record of the CNP convolution layer `args.layer`: per NP of the mapping, its image from
// `registers` (empty when it has none), then unless `args.registers_only` its weight blocks and
// its thresholds. The weight blocks are made for every NP, registers only or not.
std::unique_ptr<program::Record> record_cnp_conv_program(Device const& device, LayerRecordArgs const& args,
                                                         NpRegisterMap const& registers,
                                                         CnpWeightBlocks const& weight_blocks);

}  // namespace nuvra::v1
