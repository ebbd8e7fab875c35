// The NP allocator of one mapping: for every component type, the mesh positions that can act
// as that type, least versatile first, each marked reserved (not for this mapping) or
// allocated (taken by a layer of the current pass).
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "engine/layer.h"
#include "hw/ident.h"
#include "mapping/backend.h"
#include "mapping/map_constraints.h"

namespace nuvra {

// One position of a type's list. An NP offering several types has an independent slot in each.
struct NpSlot {
    hw::Ident ident;          // the NP, or the skip-DMA engine and channel
    bool reserved = false;    // excluded from this mapping
    bool allocated = false;   // given to a layer of the current pass

    friend bool operator==(NpSlot const&, NpSlot const&) = default;
};

class MeshMapper {
public:
    // Keeps both references; they must outlive the mapper. The lists start empty.
    MeshMapper(CompatibilityChecker const& checker, MapConstraints const& constraints);

    // Rebuilds every list from the mesh of the constraints' device; nothing reserved or
    // allocated.
    void reset();
    // Marks exactly the slots whose ident is in `nps` as reserved, in every list; an empty
    // vector clears all reservations.
    void reserve_nps(std::vector<hw::Ident> const& nps);
    // Marks the slots of `ident` in the list of `type` as allocated; with hw::Type::None in
    // every list.
    void allocate_np(hw::Ident ident, hw::Type type);
    // Frees every allocation; reservations stay.
    void deallocate_nps();

    // Slots of `type` that are not reserved, allocated ones included.
    uint32_t max_nps(hw::Type type) const;
    // Idents of `type` that are neither reserved nor allocated, in list order.
    std::vector<hw::Ident> available_nps(hw::Type type) const;
    // FNP3 when one is free and the layer fits it, or when no FNP2 is free but the mesh has an
    // FNP3 the layer fits; FNP2 otherwise.
    hw::Type get_compatible_fnp_type(Layer const& layer) const;

    // The list of `type`, empty when the mesh offers none.
    std::vector<NpSlot> const& slots(hw::Type type) const;
    CompatibilityChecker const& checker() const { return checker_; }
    MapConstraints const& constraints() const { return constraints_; }

private:
    std::map<hw::Type, std::vector<NpSlot>> slots_;
    CompatibilityChecker const& checker_;
    MapConstraints const& constraints_;
};

}  // namespace nuvra
