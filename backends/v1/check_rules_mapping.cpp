// Rules over the components chosen for a CNP layer once it is split over NPs: what a layer spread
// over several NPs may not do, and how wide each NP's share of the input may be.
#include "backends/v1/check_rules.h"
#include "hw/arith.h"

namespace nuvra::v1 {

namespace {

constexpr uint64_t max_np_input_width = 32;  // a CNP's share of the input, rounded up to 4
constexpr uint32_t min_filters_for_even_groups = 16;

bool is_cnp(hw::Type type) { return type == hw::Type::CNP1 || type == hw::Type::CNP2; }

// Some NP computes a share that does not start at the input's origin.
bool spread_spatially(std::vector<hw::Component> const& components) {
    for (hw::Component const& component : components) {
        NpSpace const part = component.spatial_partition();
        if (part.x != 0 || part.y != 0) return true;
    }
    return false;
}

bool max_pooling(Layer const& layer) { return static_cast<PoolType>(param(layer, "pool_type")) == PoolType::Max; }

// A pooling stride given as a negative value is the pool size of its axis.
int32_t pool_stride(Layer const& layer, char const* stride, int32_t size) {
    int32_t const value = param(layer, stride);
    return value < 0 ? size : value;
}

}  // namespace

MappingStatus check_cnp_pooling_mappings(Layer const& layer, std::vector<hw::Component> const& components) {
    if (!spread_spatially(components) || !max_pooling(layer)) return {};
    int32_t const width = param(layer, "pooling_width");
    int32_t const height = param(layer, "pooling_height");
    if (width > pool_stride(layer, "pooling_stride_x", width) || height > pool_stride(layer, "pooling_stride_y", height))
        return {layer, "Cannot have pooling size > pooling stride if the layer is mapped spatially on multiple NPs."};
    return {};
}

MappingStatus check_sep_cnp_mappings(Layer const& layer, std::vector<hw::Component> const& components) {
    return check_cnp_pooling_mappings(layer, components);
}

MappingStatus check_std_cnp_mappings(Layer const& layer, std::vector<hw::Component> const& components,
                                     HwVersion version) {
    MappingStatus result;
    bool const strided = param(layer, "stride_x") >= 2 || param(layer, "stride_y") >= 2;
    if (strided && max_pooling(layer) && spread_spatially(components))
        result += {layer, "Cannot have convolution stride > 1 and max pooling if the layer is mapped on multiple NPs."};
    result += check_cnp_pooling_mappings(layer, components);

    // One input channel on this board: each NP's filters make an even number of groups of eight.
    if (result.failed || !is_vexa_v2(version) || first_input_dims(layer).channels != 1 ||
        param(layer, "filters") <= int32_t{min_filters_for_even_groups})
        return result;
    for (hw::Component const& component : components)
        if (ceil_div(component.filters(), 8) % 2 == 1)
            result += {layer, "With one input channel, the number of neurons per NP / 8 must be even."};
    return result;
}

MappingStatus check_cnp_input_widths(Layer const& layer, std::vector<hw::Component> const& components) {
    MappingStatus result;
    for (hw::Component const& component : components) {
        if (!is_cnp(component.type)) continue;
        Shape const shape = component.spatial_partition().shape;
        uint64_t const width = align_up(shape.rank() > 0 ? shape[0] : 0, 4);
        if (width > max_np_input_width) result = np_input_width_failure(layer, width, max_np_input_width);
    }
    return result;
}

}  // namespace nuvra::v1
