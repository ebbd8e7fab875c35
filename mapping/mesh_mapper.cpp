#include "mapping/mesh_mapper.h"

#include <algorithm>
#include <set>
#include <utility>

#include "hw/device.h"
#include "hw/mesh.h"

namespace nuvra {

namespace {

// Versatility bits: the lower the value, the less an NP could do elsewhere.
constexpr uint32_t kSharesFnp3Node = 1;  // at the column and row of an FNP3
constexpr uint32_t kOffersFnp3 = 2;
constexpr uint32_t kOffersFnp2 = 4;

std::map<hw::Ident, uint32_t> versatility_of(std::vector<np::Info> const& nps) {
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

bool is_skip_dma(hw::Type type) {
    return type == hw::Type::SKIP_DMA_STORE || type == hw::Type::SKIP_DMA_LOAD;
}

}  // namespace

MeshMapper::MeshMapper(CompatibilityChecker const& checker, MapConstraints const& constraints)
    : checker_(checker), constraints_(constraints) {}

void MeshMapper::reset() {
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

void MeshMapper::reserve_nps(std::vector<hw::Ident> const& nps) {
    std::set<hw::Ident> const reserved(nps.begin(), nps.end());
    for (auto& [type, list] : slots_)
        for (auto& slot : list) slot.reserved = reserved.contains(slot.ident);
}

void MeshMapper::allocate_np(hw::Ident ident, hw::Type type) {
    for (auto& [list_type, list] : slots_) {
        if (type != hw::Type::None && list_type != type) continue;
        for (auto& slot : list)
            if (slot.ident == ident) slot.allocated = true;
    }
}

void MeshMapper::deallocate_nps() {
    for (auto& [type, list] : slots_)
        for (auto& slot : list) slot.allocated = false;
}

std::vector<NpSlot> const& MeshMapper::slots(hw::Type type) const {
    static std::vector<NpSlot> const none;
    auto const it = slots_.find(type);
    return it == slots_.end() ? none : it->second;
}

uint32_t MeshMapper::max_nps(hw::Type type) const {
    auto const& list = slots(type);
    return static_cast<uint32_t>(
        std::count_if(list.begin(), list.end(), [](NpSlot const& s) { return !s.reserved; }));
}

std::vector<hw::Ident> MeshMapper::available_nps(hw::Type type) const {
    std::vector<hw::Ident> result;
    for (auto const& slot : slots(type))
        if (!slot.reserved && !slot.allocated) result.push_back(slot.ident);
    return result;
}

hw::Type MeshMapper::get_compatible_fnp_type(Layer const& layer) const {
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

}  // namespace nuvra
