#include "mapping/routing.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

#include "hw/format.h"

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

void require_routing_list(std::vector<hw::Component> const& list, const char* what) {
    if (list.empty()) throw std::runtime_error(format("Cannot route an NP without {}.", what));
}

ColumnSpan column_span(std::vector<hw::Component> const& components) {
    if (components.empty())
        throw std::invalid_argument("Cannot take the column span of an empty component list.");
    if (components.size() == 1 && components.front().type == hw::Type::HRC) return {1, 1};
    ColumnSpan span{components.front().ident.col, components.front().ident.col};
    for (auto const& component : components) {
        span.low = std::min(span.low, component.ident.col);
        span.high = std::max(span.high, component.ident.col);
    }
    return span;
}

uint32_t np_select(uint8_t id) {
    return id < 32 ? uint32_t{1} << id : std::numeric_limits<uint32_t>::max();
}

}  // namespace nuvra
