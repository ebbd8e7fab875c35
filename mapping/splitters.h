// The four layer splitters: each cuts one family of layer kinds over NPs within the CNP limits
// of the mapping constraints, and answers the components with a status. A kind's row
// (engine/layer_kinds.h) says which: its placement, split or split transposed, and whether its
// filtering is depthwise.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "hw/ident.h"
#include "hw/mapping_status.h"
#include "program/backend.h"

namespace nuvra {

// The components of a split layer and "Success.", or no components and a failed status naming
// the layer.
using SplitOutcome = std::pair<std::vector<hw::Component>, MappingStatus>;

// The convolutions split by rows, columns and filters (standard and separable ones, and the
// standard buffered temporal convolution) on NPs of `type`.
SplitOutcome split_conv_layer(Layer const& layer, CompatibilityChecker const& checker,
                              uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                              hw::Type type, bool hwpr_loopitself);

// The depthwise convolutions (spatial and buffered temporal) on NPs of `type`: filters are the
// input channels.
SplitOutcome split_depthwise_conv_layer(Layer const& layer, CompatibilityChecker const& checker,
                                        uint32_t max_height, uint32_t max_width,
                                        uint32_t max_filters, hw::Type type, bool hwpr_loopitself);

// The transposed convolution on CNP1: the input height is never cut.
SplitOutcome split_transposed_conv2d_layer(Layer const& layer, CompatibilityChecker const& checker,
                                           uint32_t max_height, uint32_t max_width,
                                           uint32_t max_filters, bool hwpr_loopitself);

// The depthwise transposed convolution on CNP1: the input height is never cut.
SplitOutcome split_transposed_dwconv2d_layer(Layer const& layer, CompatibilityChecker const& checker,
                                             uint32_t max_height, uint32_t max_width,
                                             uint32_t max_filters, bool hwpr_loopitself);

}  // namespace nuvra
