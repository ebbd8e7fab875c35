// First-generation layer checks: the per-kind checks the compatibility checker dispatches to, the
// sequence and component rules, and what they share. Every rule is one function whose message is
// the text the user sees; each kind keeps an ordered table of its rules. Per-kind checks gather
// every failure, joined by blanks; sequence rules stop at the first.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "backends/v1/sizes.h"
#include "engine/layer.h"
#include "hw/ident.h"
#include "hw/mapping_status.h"
#include "program/backend.h"
#include "mapping/rule_table.h"

namespace nuvra::v1 {

// ---- Per-kind checks -------------------------------------------------------------------------

// The input convolution of a model, on the HRC.
MappingStatus check_input_convolutional_constraints(Layer const& layer);
// The most filters the HRC computes for a kernel of 3, 5 or 7 (another is std::runtime_error
// "Wrong kernel size."): fewer with three input channels than with one.
int32_t hrc_max_neurons(int32_t input_channels, int32_t kernel);

// A FullyConnected layer's input, bit widths and input memory.
MappingStatus check_fnp_common_rules(HardwareConstraints const& constraints, Layer const& layer, HwVersion version);
// Then its weight values and, for a learning layer, its connections per neuron.
MappingStatus check_fully_connected_constraints(HardwareConstraints const& constraints, Layer const& layer,
                                                HwVersion version);

// Convolutional and SeparableConvolutional layers on CNPs. A layer whose convolution or pooling
// block is missing is std::runtime_error "The layer <name> is not built.".
MappingStatus check_std_cnp_rules(HardwareConstraints const& constraints, Layer const& layer, HwVersion version);
MappingStatus check_sep_cnp_rules(HardwareConstraints const& constraints, Layer const& layer, HwVersion version);

// The rules both CNP kinds share, with the layer's computed convolution and pooling blocks (the
// rows of the convolution's output, the pooling strides) given: input dimensions, filters,
// square kernel and strides, stride 1 or 2 (2 with 3x3 kernels only), padding same, max pooling
// of 1, 2 or 3 (not 3 on Vexa_v2) within the input, global average pooling over at least 3 rows
// held by one CNP, an input of 1, 2 or 4 bits and, with an activation, act_bits of 1, 2 or 4.
// Every broken rule is reported.
MappingStatus check_cnp_common_constraints(Layer const& layer, ConvCalculatedParams const& conv,
                                          PoolingCalculatedParams const& pool, HwVersion version);
// Input width and height at most 4096, channels at most 2048; every broken limit reported.
MappingStatus check_max_input_dimensions(Layer const& layer, InputDims const& input);
// "All weights in a separable CNP layer cannot be zeroes." when every value of `weights` is 0.
MappingStatus check_sep_cnp_weights_not_zero(Layer const& layer, Tensor const& weights);

// ---- Sequences and components ----------------------------------------------------------------

// Rules over a run of layers [first, last) in mapping order; success for an empty run.
MappingStatus check_sequence_rules(LayerList::const_iterator first, LayerList::const_iterator last);

// Rules over the components chosen for a split CNP layer.
MappingStatus check_cnp_pooling_mappings(Layer const& layer, std::vector<hw::Component> const& components);
MappingStatus check_sep_cnp_mappings(Layer const& layer, std::vector<hw::Component> const& components);
MappingStatus check_std_cnp_mappings(Layer const& layer, std::vector<hw::Component> const& components,
                                     HwVersion version);
// The share of the input each CNP reads, rounded up to 4, is at most 32 wide; the last share
// that is wider is reported.
MappingStatus check_cnp_input_widths(Layer const& layer, std::vector<hw::Component> const& components);

// ---- Shared ----------------------------------------------------------------------------------

// The first-generation board whose CNPs have no 3 x 3 pooling and whose FNPs take smaller inputs.
bool is_vexa_v2(HwVersion version);
// An integer parameter of the layer.
int32_t param(Layer const& layer, char const* key);

// The widths an NP's 2-bit width fields hold (half the width): an input of 1, 2 or 4 bits ("Input
// bitwidth should be 1, 2 or 4."), and with an activation act_bits of 1, 2 or 4 ("act_bits should
// be 1, 2 or 4."); without one the layer gives potentials and act_bits is not read.
MappingStatus check_input_bits_1_2_or_4(Layer const& layer);
MappingStatus check_act_bits_1_2_or_4(Layer const& layer);
// The tensor's dimensions, 1 past its rank.
std::array<uint32_t, 4> extents(Tensor const& tensor);
// Whether every value of the tensor, read as signed bytes, is 0.
bool all_zero(Tensor const& tensor);

}  // namespace nuvra::v1
