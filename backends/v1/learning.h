// On-chip learning on a first-generation FNP. The last FullyConnected layer of a model may learn
// on the chip: its FNP memory image then carries, per neuron, learning words beside the weights
// (its class for labelled learning, the number of weights it learns with, its learning threshold
// and its swap value). Learning layers have 1-bit weights, so neuron n's block starts at
// n x B, B = (inputs + 31) / 32 + 4 words (backends/v1/sizes.h):
//
//   word b + 1  bits 20-29  class + 1 when there are several classes, else 0
//   word b + 2  bits  0-15  "num_weights"
//               bits 16-19  bits 16-19 of the learning threshold
//   word b + 3  bits  0-15  the swap value ("thswap")
//               bits 16-31  bits 0-15 of the learning threshold
//
// After learning the device's learning memory holds that image, updated; it is read back into
// the layer's variables.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/hardware_device.h"
#include "engine/layer.h"
#include "engine/tensor.h"
#include "engine/variables.h"
#include "hw/device.h"
#include "program/record.h"

namespace nuvra::v1 {

// The learning set-up of a layer, checked.
struct FnpLearning {
    uint32_t units = 0;        // neurons: "units", which the weights' first dimension must equal
    uint32_t num_classes = 1;  // 1 .. units; neurons share a class in runs of units / num_classes
    uint32_t num_weights = 0;  // at most 65535
};

// The learning set-up of a FullyConnected layer. Failures, in this order:
//   - no learning parameters: std::invalid_argument "Layer '<name>' has no learning parameters.";
//   - "weights_bits" other than 1: FnpError "Learning needs 1-bit weights. Receives weights_bits
//     <bits>.";
//   - "units" other than the weights' first dimension: std::invalid_argument "Layer <name> has
//     <units> units but weights for <n> neurons.";
//   - "num_classes" (truncated) outside 1 .. units: FnpError "num_classes should be between 1 and
//     <units>. Receives num_classes <value>.";
//   - "num_weights" (truncated) outside 0 .. 65535: the overflow message of a 16-bit field.
FnpLearning fnp_learning_of(Layer const& layer);

// Writes the learning words of `learning.units` neurons into `image`, the memory image of 1-bit
// weights with `inputs` inputs per neuron. `threshold_learning` and `thswap` are int32 tensors of
// any shape holding at least `units` elements, read in row-major order (std::invalid_argument
// "Tensor <name> holds <n> elements, <units> are needed." otherwise). Failures:
// a class above 1023 or a swap value above 65535 (read as unsigned) the overflow message; a
// negative learning threshold FnpError "Negative value for threshold_learning not supported.",
// one above 524287 panics "%d cannot fit in a %d-bit signed integer". An image too short for the
// neurons is std::invalid_argument; nothing is written then.
void format_fnp_learning_words(std::vector<uint32_t>& image, uint64_t inputs, Tensor const& threshold_learning,
                               Tensor const& thswap, FnpLearning const& learning);

// The program of the learning layer: the register image of its FNP with learning on (record 1)
// and off (record 2), both dma::Target::NpRegisters, then its memory image with the learning words
// (record 3: an FnpMemory block on an FNP3, the FNP2 filters track on an FNP2), and the image's
// size in words (get_fnp_sram_size). `set_spikes` goes to the register builder. The learning
// set-up is checked (fnp_learning_of) before anything is formatted; failures of the register
// builder, of the memory image and of the records pass through.
program::LearnRecordsPtr record_program_learning_dense_layer(Device const& device, Layer const& layer,
                                                             bool set_spikes);

// Reads the learning memory of `hardware` back into `variables`: "weights" (one bit per input of
// each neuron's block), "threshold_learning" and "thswap" (from the learning words), each
// replaced by a new tensor of its type and shape. On an FNP3 the memory starts with two words
// before the image. Nothing is replaced when it fails: a null device is std::runtime_error
// hardware_required_message; a memory shorter than the image, or "threshold_learning" or
// "thswap" without one element per neuron, std::runtime_error; weights not stored as signed bytes
// or learning variables not int32, panic "Wrong requested type %s for a tensor of type %s".
void fnp_update_learn_vars(HardwareDevice* hardware, Variables& variables, bool fnp3);
// The same for a layer: the variables are read in the shape the layer reads them, and each new
// tensor is stored in the shape its variable was written in.
void fnp_update_learn_vars(HardwareDevice* hardware, Layer& layer, bool fnp3);
// The same for the engine's variable store; a null store is std::invalid_argument "The learning
// layer has no variables to update.".
void fnp_update_learn_vars(HardwareDevice* hardware, VariablesImpl* variables, bool fnp3);

}  // namespace nuvra::v1
