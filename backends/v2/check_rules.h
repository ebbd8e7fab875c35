// Second-generation layer checks: the per-kind checks that the compatibility checker dispatches
// to, the layer-sequence and component rules, and the small machinery they share. Every rule is
// one function whose message is the text the user sees; each kind keeps an ordered table of its
// rules. Per-kind checks gather every failure, joined by blanks; sequence and component rules
// stop at the first.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "hw/ident.h"
#include "hw/mapping_status.h"
#include "mapping/rule_table.h"
#include "mapping/split.h"
#include "program/backend.h"

namespace nuvra::v2 {

// ---- Per-kind checks -------------------------------------------------------------------------

// Convolutions on a CNP.
MappingStatus check_conv2d_constraints(HardwareConstraints const& constraints, Layer const& layer);
MappingStatus check_dwconv2d_constraints(HardwareConstraints const& constraints, Layer const& layer);
MappingStatus check_conv2dtranspose_constraints(HardwareConstraints const& constraints,
                                                Layer const& layer);
MappingStatus check_dwconv2dtranspose_constraints(HardwareConstraints const& constraints,
                                                  Layer const& layer);

// Merging layers (they have no NP of their own).
MappingStatus check_add_constraints(Layer const& layer);
MappingStatus check_concatenate_constraints(Layer const& layer);

// A Dense1D layer on an FNP; `previous` is the layer before it in the sequence, or null.
MappingStatus check_fnp_constraints(HardwareConstraints const& constraints, Layer const& layer,
                                    Layer const* previous);

// The first convolution of a model, on the HRC.
MappingStatus check_input_conv2d_constraints(Layer const& layer);

// Buffered temporal convolutions on a TNP-B: both kinds obey the shared check.
MappingStatus check_tnp_b_constraints(HardwareConstraints const& constraints, Layer const& layer);
MappingStatus check_buffer_temp_conv_constraints(HardwareConstraints const& constraints,
                                                 Layer const& layer);
MappingStatus check_depthwise_buffer_temp_conv_constraints(HardwareConstraints const& constraints,
                                                           Layer const& layer);

// Rules over a run of layers [first, last), in model order; success for an empty run.
MappingStatus check_sequence_rules(LayerList::const_iterator first, LayerList::const_iterator last);

// Rules over the components chosen for a layer; `first_of_pass` when the layer opens a pass.
MappingStatus check_component_rules(Layer const& layer, std::vector<hw::Component> const& components,
                                    bool first_of_pass);

// ---- Shared helpers --------------------------------------------------------------------------

// A failure of a run of layers that names no layer.
MappingStatus unnamed_failure(std::string message);

// Failures shared by several kinds, each built in one place.
// "Input shift exceeds memory. Maximum size is <bytes> bytes. (got <bytes> bytes).", from sizes
// in 24-bit words.
MappingStatus input_shift_failure(Layer const& layer, uint64_t max_words, uint64_t words);
// The input-shift block of a CNP or TNP-B layer, in 24-bit words.
uint64_t cnp_tnp_input_shift_words(Layer const& layer);
// The filters of a layer: its "filters" parameter, else its input channels.
int64_t filters_or_channels(Layer const& layer);

// ---- Rule tables -----------------------------------------------------------------------------

// Rules shared by several kinds' tables.
// "Input should be 4-bit or 8-bit." / "Input should be 8-bit." (Layer::input_bits).
MappingStatus rule_input_4_or_8_bits(LayerCheck const& check);
MappingStatus rule_input_8_bits(LayerCheck const& check);
// "Input bits should be >= weights bits." against the parameter "weights_bits".
MappingStatus rule_input_not_narrower_than_weights(LayerCheck const& check);
// "Weights bitwidth should be 4-bit or 8-bit." (parameter "weights_bits").
MappingStatus rule_weights_4_or_8_bits(LayerCheck const& check);
// 4-bit weights are packed as their low nibble, so a value outside -8..7 would turn into another
// one: "<value> cannot fit in a 4-bit signed integer." for the first.
MappingStatus rule_4bit_weight_values(LayerCheck const& check);
// An activated 4-bit output needs a ReLU: "4-bit activation is not supported with LUT.".
MappingStatus rule_4bit_activation_is_relu(LayerCheck const& check);
// With SameUpper padding the stride must be 2, and an activated output must be 8-bit.
MappingStatus rule_same_upper_stride(LayerCheck const& check);
MappingStatus rule_same_upper_activation(LayerCheck const& check);

}  // namespace nuvra::v2
