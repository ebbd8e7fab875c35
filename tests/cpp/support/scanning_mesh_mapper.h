// The NP allocator as it was first written, kept as the reference for the one of the mapping
// engine: every request scans the whole list of each type (reserving, allocating, counting and
// listing the free NPs) and a placement that must be undone copies every list. The engine's
// mapper must place every layer exactly as this one does; bench/map_chain times the two.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "hw/device.h"
#include "hw/format.h"
#include "hw/ident.h"
#include "hw/mapping_status.h"
#include "hw/mesh.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh_mapper.h"
#include "mapping/skip_dma.h"
#include "mapping/splitters.h"

namespace nuvra::testing {
namespace scanning_detail {

// Versatility bits: the lower the value, the less an NP could do elsewhere.
inline constexpr uint32_t kSharesFnp3Node = 1;  // at the column and row of an FNP3
inline constexpr uint32_t kOffersFnp3 = 2;
inline constexpr uint32_t kOffersFnp2 = 4;

inline std::map<hw::Ident, uint32_t> versatility_of(std::vector<np::Info> const& nps) {
    std::set<std::pair<uint8_t, uint8_t>> fnp3_nodes;
    for (auto const& np : nps)
        if (np.types.contains(hw::Type::FNP3)) fnp3_nodes.emplace(np.ident.col, np.ident.row);

    std::map<hw::Ident, uint32_t> value;
    for (auto const& np : nps) {
        uint32_t v = 0;
        if (fnp3_nodes.contains({np.ident.col, np.ident.row})) v |= kSharesFnp3Node;
        if (np.types.contains(hw::Type::FNP3)) v |= kOffersFnp3;
        if (np.types.contains(hw::Type::FNP2)) v |= kOffersFnp2;
        value[np.ident] |= v;
    }
    return value;
}

inline bool is_skip_dma(hw::Type type) {
    return type == hw::Type::SKIP_DMA_STORE || type == hw::Type::SKIP_DMA_LOAD;
}

inline constexpr char no_hardware_message[] = "Mapping a layer with HW backend should use HW components.";
inline constexpr char tnp_b_channels_message[] =
    "The number of channels must be a multiple of 4 to be split by filter.";

inline LayerType layer_type_of(Layer const& layer) {
    LayerParams const* params = layer.params();
    if (params == nullptr)
        throw std::runtime_error(format("Layer '{}' has no parameters.", layer.get_name()));
    return params->layer_type();
}

inline Shape first_input_shape(Layer const& layer) {
    auto const dims = layer.input_dimensions();
    if (dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    return dims.front();
}

// A layer computed whole by one NP: all its filters, over its whole first input, single buffer.
inline hw::Component whole_layer_component(hw::Type type, Layer const& layer, uint32_t filters) {
    Shape const input = first_input_shape(layer);
    hw::NpPart part;
    part.start_neuron = 0;
    part.filters = filters;
    part.spatial_partition = {0, 0, input};
    part.halo_partition = {0, 0, input};
    part.single_buffer = true;
    hw::Component component;
    component.type = type;
    component.np_part = part;
    return component;
}

// Every entry of `chosen` is one of `offered`, and none is chosen twice. A layer takes a few NPs
// of a mesh that may hold hundreds: searched in place rather than through sets built per layer.
inline bool distinct_members(std::vector<hw::Ident> const& chosen, std::vector<hw::Ident> const& offered) {
    for (auto it = chosen.begin(); it != chosen.end(); ++it)
        if (std::find(offered.begin(), offered.end(), *it) == offered.end() || std::find(chosen.begin(), it, *it) != it)
            return false;
    return true;
}

// A split TNP-B layer whose parts hold fewer channels than its input must give each part a
// multiple of 4 filters.
inline bool breaks_tnp_b_channel_rule(Layer const& layer, std::vector<hw::Component> const& components) {
    if (!layer.is_target_component(ComponentKind::TNP_B) || components.size() <= 3) return false;
    Shape const input = first_input_shape(layer);
    Shape const part = components.front().spatial_partition().shape;
    if (input.rank() < 3 || part.rank() < 3 || part[2] == input[2]) return false;
    return std::any_of(components.begin(), components.end(), [](hw::Component const& c) {
        return c.type == hw::Type::TNP_B && c.filters() % 4 != 0;
    });
}

// The same interface as MeshMapper (see mapping/mesh_mapper.h).
class ScanningMeshMapper {
public:
    ScanningMeshMapper(CompatibilityChecker const& checker, MapConstraints const& constraints)
        : checker_(checker), constraints_(constraints) {}

    void reset();
    void reserve_nps(std::vector<hw::Ident> const& nps);
    void allocate_np(hw::Ident ident, hw::Type type);
    void deallocate_nps();
    uint32_t max_nps(hw::Type type) const;
    std::vector<hw::Ident> available_nps(hw::Type type) const;
    hw::Type get_compatible_fnp_type(Layer const& layer) const;
    NpRequestResult np_request(std::shared_ptr<Layer> const& layer, std::vector<hw::Ident> const& reserved_nps,
                               bool hwpr_loopitself, bool* need_new_pass, bool allow_new_pass);
    MappingStatus sanitize_tnp_b(Layer const& layer, bool* need_new_pass, bool allow_new_pass);
    std::vector<NpSlot> const& slots(hw::Type type) const;

private:
    NpRequestResult layer_components(std::shared_ptr<Layer> const& layer, bool hwpr_loopitself,
                                     std::vector<hw::Type>* types) const;
    MappingStatus check_capacity(Layer const& layer, std::vector<hw::Type> const& types,
                                 std::vector<size_t> const& counts, bool allow_new_pass, bool* need_new_pass);
    MappingStatus place(Layer const& layer, std::vector<hw::Type> const& types, std::vector<size_t> const& counts,
                        std::vector<hw::Component>* components, bool* need_new_pass, bool allow_new_pass);
    MappingStatus select_and_allocate(Layer const& layer, std::vector<hw::Type> const& types,
                                      std::vector<size_t> const& counts, std::vector<hw::Component>* components);

    std::map<hw::Type, std::vector<NpSlot>> slots_;
    CompatibilityChecker const& checker_;
    MapConstraints const& constraints_;
};

inline void ScanningMeshMapper::reset() {
    std::shared_ptr<Device> const device = constraints_.device();
    Mesh const& mesh = device->mesh();

    slots_.clear();
    for (auto const& np : mesh.nps)
        for (hw::Type type : np.types) slots_[type].push_back({np.ident});

    // Every skip-DMA engine offers as many channels as the first one declares.
    if (!mesh.skip_dmas.empty()) {
        uint8_t const channels = mesh.skip_dmas.front().ident.channel;
        for (auto const& dma : mesh.skip_dmas) {
            for (uint8_t c = 0; c < channels; ++c) {
                hw::Ident const ident{dma.ident.col, dma.ident.row, dma.ident.id, c};
                slots_[hw::Type::SKIP_DMA_STORE].push_back({ident});
                slots_[hw::Type::SKIP_DMA_LOAD].push_back({ident});
            }
        }
    }

    // Least versatile first, so that NPs able to serve as FNPs stay free longest. Equal values
    // keep the mesh order.
    auto const value = versatility_of(mesh.nps);
    auto const versatility = [&value](hw::Ident const& ident) {
        auto const it = value.find(ident);
        return it == value.end() ? 0u : it->second;
    };
    for (auto& [type, list] : slots_) {
        if (is_skip_dma(type)) continue;
        std::stable_sort(list.begin(), list.end(), [&](NpSlot const& a, NpSlot const& b) {
            return versatility(a.ident) < versatility(b.ident);
        });
    }
}

inline void ScanningMeshMapper::reserve_nps(std::vector<hw::Ident> const& nps) {
    std::set<hw::Ident> const reserved(nps.begin(), nps.end());
    for (auto& [type, list] : slots_)
        for (auto& slot : list) slot.reserved = reserved.contains(slot.ident);
}

inline void ScanningMeshMapper::allocate_np(hw::Ident ident, hw::Type type) {
    for (auto& [list_type, list] : slots_) {
        if (type != hw::Type::None && list_type != type) continue;
        for (auto& slot : list)
            if (slot.ident == ident) slot.allocated = true;
    }
}

inline void ScanningMeshMapper::deallocate_nps() {
    for (auto& [type, list] : slots_)
        for (auto& slot : list) slot.allocated = false;
}

inline std::vector<NpSlot> const& ScanningMeshMapper::slots(hw::Type type) const {
    static std::vector<NpSlot> const none;
    auto const it = slots_.find(type);
    return it == slots_.end() ? none : it->second;
}

inline uint32_t ScanningMeshMapper::max_nps(hw::Type type) const {
    auto const& list = slots(type);
    return static_cast<uint32_t>(
        std::count_if(list.begin(), list.end(), [](NpSlot const& s) { return !s.reserved; }));
}

inline std::vector<hw::Ident> ScanningMeshMapper::available_nps(hw::Type type) const {
    std::vector<hw::Ident> result;
    for (auto const& slot : slots(type))
        if (!slot.reserved && !slot.allocated) result.push_back(slot.ident);
    return result;
}

inline hw::Type ScanningMeshMapper::get_compatible_fnp_type(Layer const& layer) const {
    // All four are asked every time, in this order.
    bool const fnp2_free = !available_nps(hw::Type::FNP2).empty();
    uint32_t const fnp3_total = max_nps(hw::Type::FNP3);
    bool const fnp3_free = !available_nps(hw::Type::FNP3).empty();
    bool const fits_fnp3 = checker_.is_fnp3_compatible(layer);

    if (fnp3_free && fits_fnp3) return hw::Type::FNP3;
    // No FNP2 now but an FNP3 in the mesh: the request decides whether it can be had this pass.
    if (!fnp2_free && fnp3_total != 0 && fits_fnp3) return hw::Type::FNP3;
    return hw::Type::FNP2;
}

inline NpRequestResult ScanningMeshMapper::np_request(std::shared_ptr<Layer> const& layer,
                                       std::vector<hw::Ident> const& reserved_nps,
                                       bool hwpr_loopitself, bool* need_new_pass,
                                       bool allow_new_pass) {
    *need_new_pass = false;
    constraints_.next_layer_handler(layer->get_name());
    reserve_nps(reserved_nps);

    std::vector<hw::Type> types;
    auto [components, status] = layer_components(layer, hwpr_loopitself, &types);
    if (types.empty()) throw std::runtime_error(no_hardware_message);
    if (status.failed) return {components, status};

    std::vector<size_t> counts;
    for (hw::Type type : types)
        counts.push_back(size_t(std::count_if(components.begin(), components.end(),
                                              [type](hw::Component const& c) { return c.type == type; })));
    status = check_capacity(*layer, types, counts, allow_new_pass, need_new_pass);
    if (status.failed) return {components, status};

    status = place(*layer, types, counts, &components, need_new_pass, allow_new_pass);
    if (breaks_tnp_b_channel_rule(*layer, components)) status = MappingStatus(*layer, tnp_b_channels_message);
    return {components, status};
}

inline NpRequestResult ScanningMeshMapper::layer_components(std::shared_ptr<Layer> const& layer, bool hwpr_loopitself,
                                             std::vector<hw::Type>* types) const {
    uint32_t const max_height = constraints_.cnp_max_height();
    uint32_t const max_width = constraints_.cnp_max_width();
    uint32_t const max_filters = constraints_.cnp_max_filters();

    NpRequestResult result;
    auto& [components, status] = result;
    // The convolution-like kinds: split over NPs of their first type, then add the skip DMAs.
    auto const split = [&](auto const& splitter) {
        *types = layer_np_types(layer);
        if (types->empty()) throw std::runtime_error(no_hardware_message);
        result = splitter(types->front());
        request_skipdma(&result.first, *types, layer);
    };

    switch (layer_type_of(*layer)) {
    case LayerType::FullyConnected:
    case LayerType::Dense1D: {
        hw::Type const type = get_compatible_fnp_type(*layer);
        *types = {type};
        int32_t const units = layer->params()->get("units");
        components.push_back(whole_layer_component(type, *layer, units < 0 ? 0u : uint32_t(units)));
        break;
    }
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
    case LayerType::Conv2D:
    case LayerType::BufferTempConv:
        split([&](hw::Type type) {
            return split_conv_layer(*layer, checker_, max_height, max_width, max_filters, type,
                                    hwpr_loopitself);
        });
        break;
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseBufferTempConv:
        split([&](hw::Type type) {
            return split_depthwise_conv_layer(*layer, checker_, max_height, max_width, max_filters,
                                              type, hwpr_loopitself);
        });
        break;
    case LayerType::Conv2DTranspose:
        split([&](hw::Type) {
            return split_transposed_conv2d_layer(
                *layer, checker_, std::min(constraints_.cnp_max_height_default() / 2, max_height),
                std::min(constraints_.cnp_max_width_default() / 2, max_width), max_filters,
                hwpr_loopitself);
        });
        break;
    case LayerType::DepthwiseConv2DTranspose:
        split([&](hw::Type) {
            return split_transposed_dwconv2d_layer(
                *layer, checker_, std::min(constraints_.cnp_max_height_default() / 2, max_height),
                std::min(constraints_.cnp_max_width_default() / 2, max_width), max_filters,
                hwpr_loopitself);
        });
        break;
    case LayerType::StatefulRecurrent:
        *types = {hw::Type::TNP_R};
        components.push_back(whole_layer_component(hw::Type::TNP_R, *layer, 0));
        break;
    default: break;
    }
    return result;
}

inline MappingStatus ScanningMeshMapper::check_capacity(Layer const& layer, std::vector<hw::Type> const& types,
                                         std::vector<size_t> const& counts, bool allow_new_pass,
                                         bool* need_new_pass) {
    // Enough of each type in the mesh (or free now, when no new pass may open).
    for (size_t i = 0; i < types.size(); ++i) {
        size_t const capacity = allow_new_pass ? max_nps(types[i]) : available_nps(types[i]).size();
        if (capacity < counts[i]) return component_error(layer, hw::to_string(types[i]), counts[i], capacity);
    }
    // Not enough free now: the layer opens a new pass.
    for (size_t i = 0; i < types.size(); ++i) {
        if (available_nps(types[i]).size() < counts[i]) {
            deallocate_nps();
            *need_new_pass = true;
            break;
        }
    }
    return MappingStatus::success();
}

inline MappingStatus ScanningMeshMapper::place(Layer const& layer, std::vector<hw::Type> const& types,
                                std::vector<size_t> const& counts, std::vector<hw::Component>* components,
                                bool* need_new_pass, bool allow_new_pass) {
    auto const before_selection = slots_;
    MappingStatus status = select_and_allocate(layer, types, counts, components);
    if (status.failed) return status;
    bool const had_new_pass = *need_new_pass;
    status = sanitize_tnp_b(layer, need_new_pass, allow_new_pass);
    if (!status.failed || had_new_pass) return status;
    if (allow_new_pass) {
        // The look-ahead emptied the pass: the layer opens the new one instead.
        status = select_and_allocate(layer, types, counts, components);
        if (!status.failed) status = sanitize_tnp_b(layer, need_new_pass, allow_new_pass);
    } else {
        // Nothing was emptied and the layer fails here: it keeps none of the NPs it took.
        slots_ = before_selection;
    }
    return status;
}

inline MappingStatus ScanningMeshMapper::select_and_allocate(Layer const& layer, std::vector<hw::Type> const& types,
                                              std::vector<size_t> const& counts,
                                              std::vector<hw::Component>* components) {
    for (size_t i = 0; i < types.size(); ++i) {
        hw::Type const type = types[i];
        std::vector<hw::Ident> const offered = available_nps(type);
        std::vector<hw::Ident> const chosen = constraints_.select_nps(offered, counts[i], type);
        if (chosen.size() != counts[i])
            return component_error(layer, hw::to_string(type), counts[i], chosen.size());
        if (!distinct_members(chosen, offered))
            return MappingStatus(layer, format("The NPs selected for type {} must be distinct free NPs of that type.",
                                               hw::to_string(type)));
        size_t next = 0;
        for (hw::Component& component : *components) {
            if (component.type != type) continue;
            component.ident = chosen[next++];
            // An NP taken as one type is gone from every list; a skip-DMA channel only from its own.
            allocate_np(component.ident, is_skip_dma(type) ? type : hw::Type::None);
        }
    }
    return MappingStatus::success();
}

inline MappingStatus ScanningMeshMapper::sanitize_tnp_b(Layer const& layer, bool* need_new_pass, bool allow_new_pass) {
    if (layer.is_target_component(ComponentKind::TNP_B)) return MappingStatus::success();
    auto const outbounds = layer.outbound_layers();
    if (outbounds.size() != 1 || !outbounds.front()->is_target_component(ComponentKind::TNP_B))
        return MappingStatus::success();
    Layer const& next = *outbounds.front();

    uint32_t const max_height = constraints_.cnp_max_height();
    uint32_t const max_width = constraints_.cnp_max_width();
    uint32_t const max_filters = constraints_.cnp_max_filters();
    SplitOutcome const split =
        layer_type_of(next) == LayerType::BufferTempConv
            ? split_conv_layer(next, checker_, max_height, max_width, max_filters, hw::Type::TNP_B, false)
            : split_depthwise_conv_layer(next, checker_, max_height, max_width, max_filters, hw::Type::TNP_B,
                                         false);

    // NPs reserved from this layer are free again for the next one.
    auto const& tnp_b = slots(hw::Type::TNP_B);
    size_t const reserved_free = size_t(std::count_if(
        tnp_b.begin(), tnp_b.end(), [](NpSlot const& s) { return s.reserved && !s.allocated; }));
    bool const fits = !available_nps(hw::Type::SKIP_DMA_STORE).empty() &&
                      !available_nps(hw::Type::SKIP_DMA_LOAD).empty() &&
                      available_nps(hw::Type::TNP_B).size() + reserved_free >= split.first.size();
    if (fits) return MappingStatus::success();

    if (!*need_new_pass && allow_new_pass) {
        deallocate_nps();
        *need_new_pass = true;
    }
    return MappingStatus(layer, format("The next BufferTempConv {} can't be mapped in the current pass.",
                                       next.get_name()));
}

}  // namespace scanning_detail

using scanning_detail::ScanningMeshMapper;

}  // namespace nuvra::testing
