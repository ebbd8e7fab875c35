// The NP allocator as it was first written, kept as the reference for MeshMapper (same interface,
// see mapping/mesh_mapper.h): every request scans the whole list of each type, and a placement
// that must be undone copies every list. bench/map_chain times the two.
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

class ScanningMeshMapper {
public:
    ScanningMeshMapper(CompatibilityChecker const& checker, MapConstraints const& constraints)
        : checker_(checker), constraints_(constraints) {}

    void reset() {
        std::shared_ptr<Device> const device = constraints_.device();
        Mesh const& mesh = device->mesh();
        slots_.clear();
        for (auto const& np : mesh.nps)
            for (hw::Type type : np.types) slots_[type].push_back({np.ident});
        // Every skip-DMA engine offers as many channels as the first one declares.
        if (!mesh.skip_dmas.empty()) {
            uint8_t const channels = mesh.skip_dmas.front().ident.channel;
            for (auto const& dma : mesh.skip_dmas)
                for (uint8_t c = 0; c < channels; ++c)
                    for (hw::Type type : {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD})
                        slots_[type].push_back({hw::Ident{dma.ident.col, dma.ident.row, dma.ident.id, c}});
        }
        // Least versatile first (sharing an FNP3's node 1, offering FNP3 2, FNP2 4), equal values
        // in mesh order.
        std::set<std::pair<uint8_t, uint8_t>> fnp3_nodes;
        for (auto const& np : mesh.nps)
            if (np.types.contains(hw::Type::FNP3)) fnp3_nodes.emplace(np.ident.col, np.ident.row);
        std::map<hw::Ident, uint32_t> value;
        for (auto const& np : mesh.nps)
            value[np.ident] |= (fnp3_nodes.contains({np.ident.col, np.ident.row}) ? 1u : 0u) |
                               (np.types.contains(hw::Type::FNP3) ? 2u : 0u) |
                               (np.types.contains(hw::Type::FNP2) ? 4u : 0u);
        for (auto& [type, list] : slots_)
            if (!is_skip_dma(type))
                std::stable_sort(list.begin(), list.end(), [&value](NpSlot const& a, NpSlot const& b) {
                    return value.at(a.ident) < value.at(b.ident);
                });
    }

    void reserve_nps(std::vector<hw::Ident> const& nps) {
        std::set<hw::Ident> const reserved(nps.begin(), nps.end());
        for (auto& [type, list] : slots_)
            for (auto& slot : list) slot.reserved = reserved.contains(slot.ident);
    }

    void allocate_np(hw::Ident ident, hw::Type type) {
        for (auto& [list_type, list] : slots_)
            if (type == hw::Type::None || list_type == type)
                for (auto& slot : list)
                    if (slot.ident == ident) slot.allocated = true;
    }

    void deallocate_nps() {
        for (auto& [type, list] : slots_)
            for (auto& slot : list) slot.allocated = false;
    }

    std::vector<NpSlot> const& slots(hw::Type type) const {
        static std::vector<NpSlot> const none;
        auto const it = slots_.find(type);
        return it == slots_.end() ? none : it->second;
    }

    uint32_t max_nps(hw::Type type) const {
        auto const& list = slots(type);
        return uint32_t(std::count_if(list.begin(), list.end(), [](NpSlot const& s) { return !s.reserved; }));
    }

    std::vector<hw::Ident> available_nps(hw::Type type) const {
        std::vector<hw::Ident> result;
        for (auto const& slot : slots(type))
            if (!slot.reserved && !slot.allocated) result.push_back(slot.ident);
        return result;
    }

    hw::Type get_compatible_fnp_type(Layer const& layer) const {
        // All four are asked every time, in this order.
        bool const fnp2_free = !available_nps(hw::Type::FNP2).empty();
        uint32_t const fnp3_total = max_nps(hw::Type::FNP3);
        bool const fnp3_free = !available_nps(hw::Type::FNP3).empty();
        bool const fits_fnp3 = checker_.is_fnp3_compatible(layer);
        if (fnp3_free && fits_fnp3) return hw::Type::FNP3;
        if (!fnp2_free && fnp3_total != 0 && fits_fnp3) return hw::Type::FNP3;
        return hw::Type::FNP2;
    }

    NpRequestResult np_request(std::shared_ptr<Layer> const& layer, std::vector<hw::Ident> const& reserved_nps,
                               bool hwpr_loopitself, bool* need_new_pass, bool allow_new_pass) {
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
        // Enough of each type in the mesh (or free now, when no new pass may open).
        for (size_t i = 0; i < types.size(); ++i) {
            size_t const capacity = allow_new_pass ? max_nps(types[i]) : available_nps(types[i]).size();
            if (capacity < counts[i])
                return {components, component_error(*layer, hw::to_string(types[i]), counts[i], capacity)};
        }
        // Not enough free now: the layer opens a new pass.
        for (size_t i = 0; i < types.size(); ++i) {
            if (available_nps(types[i]).size() < counts[i]) {
                deallocate_nps();
                *need_new_pass = true;
                break;
            }
        }
        return {components, place(*layer, types, counts, &components, need_new_pass, allow_new_pass)};
    }

    MappingStatus sanitize_tnp_b(Layer const& layer, bool* need_new_pass, bool allow_new_pass) {
        if (layer.is_target_component(ComponentKind::TNP_B)) return MappingStatus::success();
        auto const outbounds = layer.outbound_layers();
        if (outbounds.size() != 1 || !outbounds.front()->is_target_component(ComponentKind::TNP_B))
            return MappingStatus::success();
        Layer const& next = *outbounds.front();  // a BufferTempConv
        SplitOutcome const split = split_conv_layer(next, checker_, constraints_.cnp_max_height(),
                                                    constraints_.cnp_max_width(), constraints_.cnp_max_filters(),
                                                    hw::Type::TNP_B, false);
        // NPs reserved from this layer are free again for the next one.
        auto const& tnp_b = slots(hw::Type::TNP_B);
        size_t const reserved_free = size_t(std::count_if(
            tnp_b.begin(), tnp_b.end(), [](NpSlot const& s) { return s.reserved && !s.allocated; }));
        if (!available_nps(hw::Type::SKIP_DMA_STORE).empty() && !available_nps(hw::Type::SKIP_DMA_LOAD).empty() &&
            available_nps(hw::Type::TNP_B).size() + reserved_free >= split.first.size())
            return MappingStatus::success();
        if (!*need_new_pass && allow_new_pass) {
            deallocate_nps();
            *need_new_pass = true;
        }
        return MappingStatus(layer, format("The next BufferTempConv {} can't be mapped in the current pass.",
                                           next.get_name()));
    }

private:
    static constexpr char no_hardware_message[] = "Mapping a layer with HW backend should use HW components.";

    static bool is_skip_dma(hw::Type type) {
        return type == hw::Type::SKIP_DMA_STORE || type == hw::Type::SKIP_DMA_LOAD;
    }

    // The layer's components and, in *types, the component types it needs: a fully-connected layer
    // whole on one FNP; a Conv2D or BufferTempConv split over NPs of its first type, with its skip
    // DMAs. No test or bench places another kind, nor splits a TNP-B layer's channels (which must
    // then give each part a multiple of 4 filters).
    NpRequestResult layer_components(std::shared_ptr<Layer> const& layer, bool hwpr_loopitself,
                                     std::vector<hw::Type>* types) const {
        if (layer->params() == nullptr)
            throw std::runtime_error(format("Layer '{}' has no parameters.", layer->get_name()));
        NpRequestResult result;
        switch (layer->params()->layer_type()) {
        case LayerType::FullyConnected: {
            hw::Type const type = get_compatible_fnp_type(*layer);
            *types = {type};
            int32_t const units = layer->params()->get("units");
            NpSpace const whole{0, 0, layer->first_input()};  // all filters over the whole input, single buffer
            hw::NpPart const part{0, units < 0 ? 0u : uint32_t(units), whole, whole, true};
            result.first.push_back(hw::Component{type, {}, part, {}});
            break;
        }
        case LayerType::Conv2D:
        case LayerType::BufferTempConv:
            *types = layer_np_types(layer);
            if (types->empty()) throw std::runtime_error(no_hardware_message);
            result = split_conv_layer(*layer, checker_, constraints_.cnp_max_height(), constraints_.cnp_max_width(),
                                      constraints_.cnp_max_filters(), types->front(), hwpr_loopitself);
            request_skipdma(&result.first, *types, layer);
            break;
        default: break;
        }
        return result;
    }

    // Selects and allocates the NPs, then looks one TNP-B layer ahead (once more in a new pass when
    // that look-ahead emptied the pass; without new passes the layer gives its NPs back).
    MappingStatus place(Layer const& layer, std::vector<hw::Type> const& types, std::vector<size_t> const& counts,
                        std::vector<hw::Component>* components, bool* need_new_pass, bool allow_new_pass) {
        auto const before_selection = slots_;
        MappingStatus status = select_and_allocate(layer, types, counts, components);
        if (status.failed) return status;
        bool const had_new_pass = *need_new_pass;
        status = sanitize_tnp_b(layer, need_new_pass, allow_new_pass);
        if (!status.failed || had_new_pass) return status;
        if (allow_new_pass) {
            status = select_and_allocate(layer, types, counts, components);
            if (!status.failed) status = sanitize_tnp_b(layer, need_new_pass, allow_new_pass);
        } else {
            slots_ = before_selection;
        }
        return status;
    }

    MappingStatus select_and_allocate(Layer const& layer, std::vector<hw::Type> const& types,
                                      std::vector<size_t> const& counts, std::vector<hw::Component>* components) {
        for (size_t i = 0; i < types.size(); ++i) {
            hw::Type const type = types[i];
            std::vector<hw::Ident> const offered = available_nps(type);
            std::vector<hw::Ident> const chosen = constraints_.select_nps(offered, counts[i], type);
            if (chosen.size() != counts[i])
                return component_error(layer, hw::to_string(type), counts[i], chosen.size());
            // Distinct members of what was offered.
            for (auto it = chosen.begin(); it != chosen.end(); ++it)
                if (std::find(offered.begin(), offered.end(), *it) == offered.end() ||
                    std::find(chosen.begin(), it, *it) != it)
                    return MappingStatus(layer, format("The NPs selected for type {} must be distinct free NPs "
                                                       "of that type.", hw::to_string(type)));
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

    std::map<hw::Type, std::vector<NpSlot>> slots_;
    CompatibilityChecker const& checker_;
    MapConstraints const& constraints_;
};

}  // namespace nuvra::testing
