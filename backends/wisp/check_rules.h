// The checks of a TNP-R chain: every StatefulRecurrent layer against the TNP-R limits, the layer
// that closes the chain, the chain's length and its needs in the four TNP-R memories. Each rule
// gives a MappingStatus with the text the user sees; one call gathers every broken rule.
#pragma once

#include "engine/layer.h"
#include "hw/mapping_status.h"
#include "program/backend.h"

namespace nuvra::wisp {

// A WispPostProcessing layer that no chain closes, or whose last StatefulRecurrent layer cannot
// be found among its inputs.
inline constexpr char post_processing_without_chain_message[] =
    "A WispPostProcessing layer must follow a StatefulRecurrent layer.";

// The chain that starts at `first`: each layer's checks while nothing failed, then the count of
// TNP-R layers walked (at most 8) and the four memory needs against the TNP-R memory sizes of
// `constraints`, each failure carrying `first`'s name. A chain that cannot be sized (bit widths
// outside 1..32, negative channel counts, a variable or shape the sizes cannot read) adds a
// failure of `first` with the reason, after the failures already found. Before all that, each
// layer after `first` along first outbound layers, to the model's end, is judged on its own
// values: the first refusal, in that layer's name, is the answer.
MappingStatus check_tnp_r_constraints(HardwareConstraints const& constraints, Layer const& first);

// The packed input row and the input channels of a chain's first layer; later layers pass.
MappingStatus check_tnpr_input_constraints(Layer const& layer);

// With a ReLU activation, every "max_value" element must be 127 and every "max_value_shift" 31.
MappingStatus check_tnpr_relu_max_values(Layer const& layer);

// The layer after a chain: a Dequantizer passes; a WispPostProcessing layer needs one input
// channel, 3 to 128 timesteps, and a last StatefulRecurrent layer with output scale 1 and output
// shift 0; any other kind fails, and is then checked as a WispPostProcessing layer too.
MappingStatus check_post_processing_layer(Layer const& layer);

// Whether the walk of a chain reaches this layer: an inbound StatefulRecurrent layer has it as
// its first outbound layer.
bool closes_a_chain(Layer const& layer);

}  // namespace nuvra::wisp
