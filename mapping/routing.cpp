#include "mapping/routing.h"

namespace nuvra {

namespace {

void append(std::vector<hw::Component>* out, std::vector<hw::Component> const& list) {
    out->insert(out->end(), list.begin(), list.end());
}

void append(std::vector<hw::Component>* out, LayerMapping::ComponentLists const& lists) {
    for (auto const& list : lists)
        if (list) append(out, *list);
}

}  // namespace

std::vector<hw::Component> routing_sources(LayerMapping const& mapping) {
    std::vector<hw::Component> sources;
    append(&sources, mapping.inputs);
    append(&sources, mapping.skipdma_loads);
    if (mapping.uses_skipdma_layer_flag) append(&sources, mapping.skipdma_stores);
    return sources;
}

std::vector<hw::Component> routing_destinations(LayerMapping const& mapping) {
    std::vector<hw::Component> destinations;
    append(&destinations, mapping.outputs);
    if (!mapping.uses_skipdma_layer_flag) append(&destinations, mapping.skipdma_stores);
    return destinations;
}

LayerRoutes::LayerRoutes(LayerMapping const& layer_mapping)
    : mapping(layer_mapping),
      sources(routing_sources(layer_mapping)),
      destinations(routing_destinations(layer_mapping)) {}

NpRouting LayerRoutes::routing(uint8_t link_index, bool ends_pass) const {
    return {.sources = sources,
            .layer_nps = mapping.mapped_components(),
            .destinations = destinations,
            .link_index = link_index,
            .p2p_in = mapping.p2p_in,
            .p2p_out = mapping.p2p_out,
            .ends_pass = ends_pass};
}

}  // namespace nuvra
