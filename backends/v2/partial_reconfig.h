// Partial reconfiguration of a second-generation NP: the register image of an NP programmed for
// one layer also describes a second, linked layer that has a component on the same NP (its input
// bit width, the window that component keeps, its input packet layout, whether it runs on an FNP
// or is separable, and the columns its inputs come from), so that the mesh can switch to that
// layer between passes.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/layer.h"
#include "hw/ident.h"

namespace nuvra::v2 {

// Writes the description of `layer` (the linked layer) and its `component` on this NP into words
// 32 to 35 and 40 to 42 of `regs`; `mesh_flag` (the layer ends a pass before the last, as in
// LayerRecordArgs) goes to word 44 bit 15.
// Failures: a layer without a hardware mapping is std::runtime_error "The linked layer <name> has
// no hardware mapping."; without input dimensions, std::runtime_error "The linked layer <name> has
// no input dimensions."; an FNP layer without a supported input layout, std::runtime_error
// "Unsupported padding."; a linked layer without sources, std::runtime_error "Cannot route an NP
// without sources."; an NP component without its NP part, std::invalid_argument "The linked
// component has no NP part."; field overflows through panic (2 bits for the input width code, 7
// for the component count, 14 and 16 for the input layout words).
void update_partial_reconfig_regs(std::vector<uint32_t>* regs, Layer const& layer,
                                  hw::Component const& component, bool mesh_flag);

}  // namespace nuvra::v2
