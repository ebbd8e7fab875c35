// Rules over the components chosen for one layer. The first broken rule ends the check.
#include <algorithm>

#include "backends/v2/check_rules.h"
#include "backends/v2/check_sizes.h"
#include "hw/format.h"

namespace nuvra::v2 {

namespace {

constexpr uint64_t max_np_input_width = 64;         // a CNP's input part, rounded up to 4
constexpr size_t max_skip_dma_stores = 1;
constexpr size_t max_first_of_pass_components = 127;

struct ComponentCheck {
    Layer const& layer;
    std::vector<hw::Component> const& components;
    bool first_of_pass;
};

using ComponentRule = MappingStatus (*)(ComponentCheck const&);

bool is_cnp(hw::Type type) { return type == hw::Type::CNP1 || type == hw::Type::CNP2; }

MappingStatus rule_cnp_input_width(ComponentCheck const& check) {
    for (hw::Component const& component : check.components) {
        if (!is_cnp(component.type)) continue;
        Shape const shape = component.spatial_partition().shape;
        uint64_t const width = align_up(shape.rank() > 0 ? shape[0] : 0, 4);
        if (width > max_np_input_width)
            return np_input_width_failure(check.layer, width, max_np_input_width);
    }
    return {};
}

MappingStatus rule_single_skip_dma_store(ComponentCheck const& check) {
    auto const stores = std::count_if(check.components.begin(), check.components.end(),
                                      [](hw::Component const& c) { return c.type == hw::Type::SKIP_DMA_STORE; });
    if (static_cast<size_t>(stores) > max_skip_dma_stores)
        return {check.layer,
                "A layer which outputs directly to one skip dma and another skipdma via dual outputs is not "
                "supported."};
    return {};
}

MappingStatus rule_first_of_pass_component_count(ComponentCheck const& check) {
    size_t const count = check.components.size();
    if (check.first_of_pass && count > max_first_of_pass_components)
        return {check.layer, format("First layer of pass exceeds the maximum of {} hardware components. Needs {}.",
                                    max_first_of_pass_components, count)};
    return {};
}

MappingStatus rule_first_of_pass_not_tnp_b(ComponentCheck const& check) {
    if (check.first_of_pass && check.layer.is_target_component(ComponentKind::TNP_B))
        return {check.layer, "A TNP-B layer cannot be the first layer of a pass."};
    return {};
}

constexpr ComponentRule component_rules[] = {
    rule_cnp_input_width,
    rule_single_skip_dma_store,
    rule_first_of_pass_component_count,
    rule_first_of_pass_not_tnp_b,
};

}  // namespace

MappingStatus check_component_rules(Layer const& layer, std::vector<hw::Component> const& components,
                                    bool first_of_pass) {
    ComponentCheck const check{layer, components, first_of_pass};
    return first_failure(check, std::span<ComponentRule const>(component_rules));
}

}  // namespace nuvra::v2
