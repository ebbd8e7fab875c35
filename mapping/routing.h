// Mesh routing of a mapped layer's NPs, as every generation programs it: the components that send
// to the layer's NPs and those that receive their output, worked out once per layer for the
// routing words of each of its NPs (program/np_routing.h, which also holds the column span of a
// component list and the one-hot select of an NP id).
#pragma once

#include <cstdint>
#include <vector>

#include "hw/ident.h"
#include "mapping/layer_mapping.h"
#include "program/np_routing.h"

namespace nuvra {

// The components that send to the NPs of a layer: the NP components of every mapping in
// `mapping.inputs`, in order, then its skip-DMA loads, then its skip-DMA stores when
// `uses_skipdma_layer_flag` counts them as inputs.
std::vector<hw::Component> routing_sources(LayerMapping const& mapping);

// The components that receive the output of a layer's NPs: the NP components of every mapping in
// `mapping.outputs`, in order, then its skip-DMA stores unless they count as inputs.
std::vector<hw::Component> routing_destinations(LayerMapping const& mapping);

// The routing lists of a mapped layer, worked out once for all its NPs.
struct LayerRoutes {
    explicit LayerRoutes(LayerMapping const& mapping);
    // The routing of each NP of the layer: these lists, the layer's NP components (none without
    // any), `link_index` (the one of the mapping's link indexes the generation's word 45 takes),
    // the mapping's point-to-point flags and `ends_pass`.
    NpRouting routing(uint8_t link_index, bool ends_pass) const;

    LayerMapping const& mapping;
    std::vector<hw::Component> sources;
    std::vector<hw::Component> destinations;
};

}  // namespace nuvra
