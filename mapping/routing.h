// Mesh routing of a mapped layer's NPs, as every generation programs it: the components that send
// to the layer's NPs and those that receive their output, the column span of a component list and
// the one-hot select of an NP id.
#pragma once

#include <cstdint>
#include <vector>

#include "hw/ident.h"
#include "mapping/layer_mapping.h"

namespace nuvra {

// The components that send to the NPs of a layer: the NP components of every mapping in
// `mapping.inputs`, in order, then its skip-DMA loads, then its skip-DMA stores when
// `uses_skipdma_layer_flag` counts them as inputs.
std::vector<hw::Component> routing_sources(LayerMapping const& mapping);

// The components that receive the output of a layer's NPs: the NP components of every mapping in
// `mapping.outputs`, in order, then its skip-DMA stores unless they count as inputs.
std::vector<hw::Component> routing_destinations(LayerMapping const& mapping);

// Refuses an empty list of the routing: std::runtime_error "Cannot route an NP without <what>.".
void require_routing_list(std::vector<hw::Component> const& list, const char* what);

// Column span of a component list: its smallest and largest ident.col.
struct ColumnSpan {
    uint8_t low = 0;
    uint8_t high = 0;

    friend bool operator==(ColumnSpan const&, ColumnSpan const&) = default;
};

// The column span of `components`; a list of exactly one HRC component spans (1, 1). An empty
// list is std::invalid_argument "Cannot take the column span of an empty component list.".
ColumnSpan column_span(std::vector<hw::Component> const& components);

// The one-hot NP select 1 << id. Ids of 32 and above read as 4294967295, which no select field
// takes, so the overflow message still stops the write.
uint32_t np_select(uint8_t id);

}  // namespace nuvra
