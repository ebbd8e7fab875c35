// The four layer splitters: each cuts one family of layer kinds over NPs within the CNP limits
// of the mapping constraints, and answers the components with a status.
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

// Convolutional, SeparableConvolutional, Conv2D and BufferTempConv on NPs of `type`.
SplitOutcome split_conv_layer(Layer const& layer, CompatibilityChecker const& checker,
                              uint32_t max_height, uint32_t max_width, uint32_t max_filters,
                              hw::Type type, bool hwpr_loopitself);

// DepthwiseConv2D and DepthwiseBufferTempConv on NPs of `type`: filters are the input channels.
SplitOutcome split_depthwise_conv_layer(Layer const& layer, CompatibilityChecker const& checker,
                                        uint32_t max_height, uint32_t max_width,
                                        uint32_t max_filters, hw::Type type, bool hwpr_loopitself);

// Conv2DTranspose on CNP1: the input height is never cut.
SplitOutcome split_transposed_conv2d_layer(Layer const& layer, CompatibilityChecker const& checker,
                                           uint32_t max_height, uint32_t max_width,
                                           uint32_t max_filters, bool hwpr_loopitself);

// DepthwiseConv2DTranspose on CNP1: the input height is never cut.
SplitOutcome split_transposed_dwconv2d_layer(Layer const& layer, CompatibilityChecker const& checker,
                                             uint32_t max_height, uint32_t max_width,
                                             uint32_t max_filters, bool hwpr_loopitself);

}  // namespace nuvra
