#include "mapping/mesh_mapper.h"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <stdexcept>
#include <tuple>
#include <typeinfo>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "engine/params.h"
#include "hw/arith.h"
#include "hw/device.h"
#include "hw/format.h"
#include "hw/mesh.h"
#include "mapping/graph_utils.h"
#include "mapping/skip_dma.h"
#include "mapping/splitters.h"

namespace nuvra {

namespace {

// Versatility bits: the lower the value, the less an NP could do elsewhere.
constexpr uint32_t kSharesFnp3Node = 1;  // at the column and row of an FNP3
constexpr uint32_t kOffersFnp3 = 2;
constexpr uint32_t kOffersFnp2 = 4;
constexpr uint32_t kVersatilityValues = 8;

// An ident's four fields in one number, for hashing.
uint32_t key_of(hw::Ident const& ident) {
    return uint32_t(ident.col) << 24 | uint32_t(ident.row) << 16 | uint32_t(ident.id) << 8 | ident.channel;
}

// An ident's column and row in one number: the mesh node it sits on.
uint32_t node_key_of(hw::Ident const& ident) { return uint32_t(ident.col) << 8 | ident.row; }

// The versatility value of every NP of the mesh, by ident key.
std::unordered_map<uint32_t, uint32_t> versatility_of(std::vector<np::Info> const& nps) {
    std::unordered_set<uint32_t> fnp3_nodes;
    for (auto const& np : nps)
        if (np.types.contains(hw::Type::FNP3)) fnp3_nodes.insert(node_key_of(np.ident));

    std::unordered_map<uint32_t, uint32_t> value;
    value.reserve(nps.size());
    for (auto const& np : nps) {
        uint32_t v = 0;
        if (fnp3_nodes.contains(node_key_of(np.ident))) v |= kSharesFnp3Node;
        if (np.types.contains(hw::Type::FNP3)) v |= kOffersFnp3;
        if (np.types.contains(hw::Type::FNP2)) v |= kOffersFnp2;
        value[key_of(np.ident)] |= v;
    }
    return value;
}

// Orders the slots by versatility value (NPs without one count 0), equal values in their present
// order: a bucket per value, as there are only eight.
void order_by_versatility(std::vector<NpSlot>* slots, std::unordered_map<uint32_t, uint32_t> const& value) {
    std::array<std::vector<NpSlot>, kVersatilityValues> buckets;
    for (NpSlot const& slot : *slots) {
        auto const it = value.find(key_of(slot.ident));
        buckets[it == value.end() ? 0 : it->second].push_back(slot);
    }
    slots->clear();
    for (auto const& bucket : buckets) slots->insert(slots->end(), bucket.begin(), bucket.end());
}

bool is_skip_dma(hw::Type type) {
    return type == hw::Type::SKIP_DMA_STORE || type == hw::Type::SKIP_DMA_LOAD;
}

constexpr char no_hardware_message[] = "Mapping a layer with HW backend should use HW components.";
constexpr char tnp_b_channels_message[] =
    "The number of channels must be a multiple of 4 to be split by filter.";

// A layer computed whole by one NP: all its filters, over its whole first input, single buffer.
hw::Component whole_layer_component(hw::Type type, Layer const& layer, uint32_t filters) {
    Shape const input = layer.first_input();
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
bool distinct_members(std::vector<hw::Ident> const& chosen, std::vector<hw::Ident> const& offered) {
    for (auto it = chosen.begin(); it != chosen.end(); ++it)
        if (std::find(offered.begin(), offered.end(), *it) == offered.end() || std::find(chosen.begin(), it, *it) != it)
            return false;
    return true;
}

// A split TNP-B layer whose parts hold fewer channels than its input must give each part a
// multiple of 4 filters.
bool breaks_tnp_b_channel_rule(Layer const& layer, std::vector<hw::Component> const& components) {
    if (!layer.is_target_component(ComponentKind::TNP_B) || components.size() <= 3) return false;
    Shape const input = layer.first_input();
    Shape const part = components.front().spatial_partition().shape;
    if (input.rank() < 3 || part.rank() < 3 || part[2] == input[2]) return false;
    return std::any_of(components.begin(), components.end(), [](hw::Component const& c) {
        return c.type == hw::Type::TNP_B && c.filters() % 4 != 0;
    });
}

}  // namespace

std::vector<hw::Type> layer_np_types(std::shared_ptr<Layer> const& layer) {
    LayerGraph graph;
    return layer_np_types(graph, layer);
}

std::vector<hw::Type> layer_np_types(LayerGraph& graph, std::shared_ptr<Layer> const& layer) {
    std::vector<hw::Type> types;
    if (layer->is_target_component(ComponentKind::CNP))
        types.push_back(hw::Type::CNP1);
    else if (layer->is_target_component(ComponentKind::TNP_B))
        types.push_back(hw::Type::TNP_B);
    if (graph.layer_need_store_dma(layer)) types.push_back(hw::Type::SKIP_DMA_STORE);
    if (graph.layer_need_load_dma(layer)) types.push_back(hw::Type::SKIP_DMA_LOAD);
    return types;
}

MappingStatus MappingStatus::component_error(Layer const& layer, std::string const& type_name, size_t needed,
                                             size_t available) {
    return MappingStatus(
        layer, format("Not enough hardware components of type {} available. {} {} needed but {} {} available.",
                      type_name, needed, needed == 1 ? "is" : "are", available,
                      available == 1 ? "is" : "are"));
}

MappingStatus component_error(Layer const& layer, std::string const& type_name, size_t needed,
                              size_t available) {
    return MappingStatus::component_error(layer, type_name, needed, available);
}

MeshMapper::MeshMapper(CompatibilityChecker const& checker, MapConstraints const& constraints)
    : checker_(checker), constraints_(constraints), default_selection_(typeid(constraints) == typeid(MapConstraints)) {}

void MeshMapper::reset() {
    std::shared_ptr<Device> const device = constraints_.device();
    Mesh const& mesh = device->mesh();

    slots_.clear();
    slots_of_.clear();
    reserved_.clear();
    allocated_.clear();
    depths_.clear();
    for (auto const& np : mesh.nps)
        for (hw::Type type : np.types) slots_[type].slots.push_back({np.ident});

    // Every skip-DMA engine offers as many channels as the first one declares.
    if (!mesh.skip_dmas.empty()) {
        uint8_t const channels = mesh.skip_dmas.front().ident.channel;
        for (auto const& dma : mesh.skip_dmas) {
            for (uint8_t c = 0; c < channels; ++c) {
                hw::Ident const ident{dma.ident.col, dma.ident.row, dma.ident.id, c};
                slots_[hw::Type::SKIP_DMA_STORE].slots.push_back({ident});
                slots_[hw::Type::SKIP_DMA_LOAD].slots.push_back({ident});
            }
        }
    }

    // Least versatile first, so that NPs able to serve as FNPs stay free longest. Equal values
    // keep the mesh order.
    auto const value = versatility_of(mesh.nps);
    slots_of_.reserve(mesh.nps.size() + 2 * mesh.skip_dmas.size());
    for (auto& [type, list] : slots_) {
        if (!is_skip_dma(type)) order_by_versatility(&list.slots, value);
        // Everything starts free.
        size_t const size = list.slots.size();
        list.free_bits.assign((size + 63) / 64, ~uint64_t(0));
        if (size % 64 != 0) list.free_bits.back() = (uint64_t(1) << (size % 64)) - 1;
        list.unreserved = list.free = narrow<uint32_t>(size, "slots of one NP type");
        for (size_t pos = 0; pos < size; ++pos)
            slots_of_[key_of(list.slots[pos].ident)].push_back({type, uint32_t(pos)});
    }
}

bool MeshMapper::mark(SlotRef ref, bool NpSlot::*flag, bool value) {
    SlotList& list = slots_.find(ref.type)->second;
    NpSlot& slot = list.slots[ref.pos];
    if (slot.*flag == value) return false;
    bool const was_free = !slot.reserved && !slot.allocated;
    slot.*flag = value;
    bool const is_free = !slot.reserved && !slot.allocated;
    if (flag == &NpSlot::reserved) value ? --list.unreserved : ++list.unreserved;
    if (was_free != is_free) {
        list.free_bits[ref.pos / 64] ^= uint64_t(1) << (ref.pos % 64);
        is_free ? ++list.free : --list.free;
    }
    return true;
}

void MeshMapper::reserve_nps(std::vector<hw::Ident> const& nps) {
    for (SlotRef const ref : reserved_) mark(ref, &NpSlot::reserved, false);
    reserved_.clear();
    for (hw::Ident const& ident : nps) {
        auto const it = slots_of_.find(key_of(ident));
        if (it == slots_of_.end()) continue;
        for (SlotRef const ref : it->second)
            if (mark(ref, &NpSlot::reserved, true)) reserved_.push_back(ref);
    }
}

void MeshMapper::allocate_np(hw::Ident ident, hw::Type type) {
    auto const it = slots_of_.find(key_of(ident));
    if (it == slots_of_.end()) return;
    for (SlotRef const ref : it->second)
        if ((type == hw::Type::None || ref.type == type) && mark(ref, &NpSlot::allocated, true))
            allocated_.push_back(ref);
}

void MeshMapper::deallocate_nps() { deallocate_after(0); }

void MeshMapper::deallocate_after(size_t kept) {
    while (allocated_.size() > kept) {
        mark(allocated_.back(), &NpSlot::allocated, false);
        allocated_.pop_back();
    }
}

std::vector<NpSlot> const& MeshMapper::slots(hw::Type type) const {
    static std::vector<NpSlot> const none;
    auto const it = slots_.find(type);
    return it == slots_.end() ? none : it->second.slots;
}

uint32_t MeshMapper::max_nps(hw::Type type) const {
    auto const it = slots_.find(type);
    return it == slots_.end() ? 0 : it->second.unreserved;
}

uint32_t MeshMapper::free_nps(hw::Type type) const {
    auto const it = slots_.find(type);
    return it == slots_.end() ? 0 : it->second.free;
}

std::vector<hw::Ident> MeshMapper::available_nps(hw::Type type) const {
    return first_free(type, std::numeric_limits<size_t>::max());
}

std::vector<hw::Ident> MeshMapper::first_free(hw::Type type, size_t count) const {
    std::vector<hw::Ident> result;
    auto const it = slots_.find(type);
    if (it == slots_.end()) return result;
    SlotList const& list = it->second;
    result.reserve(std::min<size_t>(count, list.free));
    for (size_t word = 0; word < list.free_bits.size() && result.size() < count; ++word)
        for (uint64_t bits = list.free_bits[word]; bits != 0 && result.size() < count; bits &= bits - 1)
            result.push_back(list.slots[word * 64 + size_t(std::countr_zero(bits))].ident);
    return result;
}

std::vector<hw::Ident> MeshMapper::candidates(hw::Type type, size_t count) const {
    return default_selection_ ? first_free(type, count) : available_nps(type);
}

hw::Type MeshMapper::get_compatible_fnp_type(Layer const& layer) const {
    // All four are asked every time, in this order.
    bool const fnp2_free = free_nps(hw::Type::FNP2) != 0;
    uint32_t const fnp3_total = max_nps(hw::Type::FNP3);
    bool const fnp3_free = free_nps(hw::Type::FNP3) != 0;
    bool const fits_fnp3 = checker_.is_fnp3_compatible(layer);

    if (fnp3_free && fits_fnp3) return hw::Type::FNP3;
    // No FNP2 now but an FNP3 in the mesh: the request decides whether it can be had this pass.
    if (!fnp2_free && fnp3_total != 0 && fits_fnp3) return hw::Type::FNP3;
    return hw::Type::FNP2;
}

}  // namespace nuvra

namespace nuvra {

NpRequestResult MeshMapper::np_request(std::shared_ptr<Layer> const& layer,
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

NpRequestResult MeshMapper::layer_components(std::shared_ptr<Layer> const& layer, bool hwpr_loopitself,
                                             std::vector<hw::Type>* types) {
    uint32_t const max_height = constraints_.cnp_max_height();
    uint32_t const max_width = constraints_.cnp_max_width();
    uint32_t const max_filters = constraints_.cnp_max_filters();

    NpRequestResult result;
    auto& [components, status] = result;
    // The convolution-like kinds: split over NPs of their first type, then add the skip DMAs.
    auto const split = [&](auto const& splitter) {
        LayerGraph graph(&depths_);
        *types = layer_np_types(graph, layer);
        if (types->empty()) throw std::runtime_error(no_hardware_message);
        result = splitter(types->front());
        request_skipdma(graph, &result.first, *types, layer);
    };

    LayerKind const& kind = layer_kind(layer->type());
    switch (kind.placement) {
    case KindPlacement::none: break;
    case KindPlacement::whole_fnp: {
        hw::Type const type = get_compatible_fnp_type(*layer);
        *types = {type};
        int32_t const units = layer->required_params().get("units");
        components.push_back(whole_layer_component(type, *layer, units < 0 ? 0u : uint32_t(units)));
        break;
    }
    case KindPlacement::split:
        split([&](hw::Type type) {
            return kind.is_depthwise() ? split_depthwise_conv_layer(*layer, checker_, max_height, max_width,
                                                                    max_filters, type, hwpr_loopitself)
                                       : split_conv_layer(*layer, checker_, max_height, max_width, max_filters,
                                                          type, hwpr_loopitself);
        });
        break;
    case KindPlacement::split_transposed:
        split([&](hw::Type) {
            uint32_t const height = std::min(constraints_.cnp_max_height_default() / 2, max_height);
            uint32_t const width = std::min(constraints_.cnp_max_width_default() / 2, max_width);
            return kind.is_depthwise()
                       ? split_transposed_dwconv2d_layer(*layer, checker_, height, width, max_filters, hwpr_loopitself)
                       : split_transposed_conv2d_layer(*layer, checker_, height, width, max_filters, hwpr_loopitself);
        });
        break;
    case KindPlacement::whole_tnp_r:
        *types = {hw::Type::TNP_R};
        components.push_back(whole_layer_component(hw::Type::TNP_R, *layer, 0));
        break;
    }
    return result;
}

MappingStatus MeshMapper::check_capacity(Layer const& layer, std::vector<hw::Type> const& types,
                                         std::vector<size_t> const& counts, bool allow_new_pass,
                                         bool* need_new_pass) {
    // Enough of each type in the mesh (or free now, when no new pass may open).
    for (size_t i = 0; i < types.size(); ++i) {
        size_t const capacity = allow_new_pass ? max_nps(types[i]) : free_nps(types[i]);
        if (capacity < counts[i]) return component_error(layer, hw::to_string(types[i]), counts[i], capacity);
    }
    // Not enough free now: the layer opens a new pass.
    for (size_t i = 0; i < types.size(); ++i) {
        if (free_nps(types[i]) < counts[i]) {
            deallocate_nps();
            *need_new_pass = true;
            break;
        }
    }
    return MappingStatus::success();
}

MappingStatus MeshMapper::place(Layer const& layer, std::vector<hw::Type> const& types,
                                std::vector<size_t> const& counts, std::vector<hw::Component>* components,
                                bool* need_new_pass, bool allow_new_pass) {
    size_t const allocated_before = allocated_.size();
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
        deallocate_after(allocated_before);
    }
    return status;
}

MappingStatus MeshMapper::select_and_allocate(Layer const& layer, std::vector<hw::Type> const& types,
                                              std::vector<size_t> const& counts,
                                              std::vector<hw::Component>* components) {
    for (size_t i = 0; i < types.size(); ++i) {
        hw::Type const type = types[i];
        std::vector<hw::Ident> const offered = candidates(type, counts[i]);
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

MappingStatus MeshMapper::sanitize_tnp_b(Layer const& layer, bool* need_new_pass, bool allow_new_pass) {
    if (layer.is_target_component(ComponentKind::TNP_B)) return MappingStatus::success();
    auto const outbounds = layer.outbound_layers();
    if (outbounds.size() != 1 || !outbounds.front()->is_target_component(ComponentKind::TNP_B))
        return MappingStatus::success();
    Layer const& next = *outbounds.front();

    uint32_t const max_height = constraints_.cnp_max_height();
    uint32_t const max_width = constraints_.cnp_max_width();
    uint32_t const max_filters = constraints_.cnp_max_filters();
    SplitOutcome const split =
        layer_kind(next.type()).is_depthwise()
            ? split_depthwise_conv_layer(next, checker_, max_height, max_width, max_filters, hw::Type::TNP_B, false)
            : split_conv_layer(next, checker_, max_height, max_width, max_filters, hw::Type::TNP_B, false);

    // NPs reserved from this layer are free again for the next one.
    auto const& tnp_b = slots(hw::Type::TNP_B);
    size_t const reserved_free = size_t(std::count_if(reserved_.begin(), reserved_.end(), [&tnp_b](SlotRef ref) {
        return ref.type == hw::Type::TNP_B && !tnp_b[ref.pos].allocated;
    }));
    bool const fits = free_nps(hw::Type::SKIP_DMA_STORE) != 0 && free_nps(hw::Type::SKIP_DMA_LOAD) != 0 &&
                      free_nps(hw::Type::TNP_B) + reserved_free >= split.first.size();
    if (fits) return MappingStatus::success();

    if (!*need_new_pass && allow_new_pass) {
        deallocate_nps();
        *need_new_pass = true;
    }
    return MappingStatus(layer, format("The next BufferTempConv {} can't be mapped in the current pass.",
                                       next.get_name()));
}

}  // namespace nuvra
