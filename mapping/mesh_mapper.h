// The NP allocator of one mapping: for every component type, the mesh positions that can act
// as that type, least versatile first, each marked reserved (not for this mapping) or
// allocated (taken by a layer of the current pass). A request costs what it reserves and
// takes, not the size of the mesh: the free positions of each list are kept as a bit set, and
// the reserved and allocated positions as lists that are undone one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "hw/ident.h"
#include "hw/mapping_status.h"
#include "mapping/graph_utils.h"
#include "mapping/map_constraints.h"
#include "program/backend.h"

namespace nuvra {

// One position of a type's list. An NP offering several types has an independent slot in each.
struct NpSlot {
    hw::Ident ident;          // the NP, or the skip-DMA engine and channel
    bool reserved = false;    // excluded from this mapping
    bool allocated = false;   // given to a layer of the current pass

    friend bool operator==(NpSlot const&, NpSlot const&) = default;
};

// A layer's components (in the order they were built) and whether it could be placed; the
// components come back also when the status failed.
using NpRequestResult = std::pair<std::vector<hw::Component>, MappingStatus>;

// The component types a convolution-like layer uses: its NP type (CNP1 or TNP_B), then
// SKIP_DMA_STORE when its output must be stored, then SKIP_DMA_LOAD when it reads one back. The
// second form asks `graph`, whose depths may already be known.
std::vector<hw::Type> layer_np_types(std::shared_ptr<Layer> const& layer);
std::vector<hw::Type> layer_np_types(LayerGraph& graph, std::shared_ptr<Layer> const& layer);

// A failure of `layer`: "Not enough hardware components of type <type> available. <needed>
// is/are needed but <available> is/are available." (MappingStatus::component_error).
MappingStatus component_error(Layer const& layer, std::string const& type_name, size_t needed,
                              size_t available);

class MeshMapper {
public:
    // Keeps both references; they must outlive the mapper. The lists start empty.
    MeshMapper(CompatibilityChecker const& checker, MapConstraints const& constraints);

    // Rebuilds every list from the mesh of the constraints' device; nothing reserved or
    // allocated. The layer graph must not change from here to the last request.
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

    // Places one layer on the current pass: chooses its component types from its kind, splits
    // it, adds its skip DMAs, checks the counts and lets the constraints' select_nps pick the NPs,
    // which are then allocated. `reserved_nps` are kept out of this request. With
    // `allow_new_pass` the counts are compared with the whole mesh, and a layer that does not fit
    // the free NPs empties the pass and sets *need_new_pass; without it only the free NPs count.
    // A layer kind without hardware components is std::runtime_error "Mapping a layer with HW
    // backend should use HW components.". NPs that select_nps returns must be distinct members of
    // the list it was given; anything else fails the layer.
    NpRequestResult np_request(std::shared_ptr<Layer> const& layer,
                               std::vector<hw::Ident> const& reserved_nps, bool hwpr_loopitself,
                               bool* need_new_pass, bool allow_new_pass);
    // Looks one layer ahead: a single outbound layer on TNP-B (a buffered temporal convolution)
    // must still fit the current pass (its NPs and a skip-DMA store and load channel), otherwise
    // the pass is emptied (with `allow_new_pass`, once) and the layer fails with the look-ahead's
    // message, which names that next layer.
    MappingStatus sanitize_tnp_b(Layer const& layer, bool* need_new_pass, bool allow_new_pass);

    // The list of `type`, empty when the mesh offers none.
    std::vector<NpSlot> const& slots(hw::Type type) const;
    CompatibilityChecker const& checker() const { return checker_; }
    MapConstraints const& constraints() const { return constraints_; }

private:
    // The steps of np_request. The layer's components as its kind builds them (split when it is
    // convolution-like) and, in *types, the component types it needs.
    NpRequestResult layer_components(std::shared_ptr<Layer> const& layer, bool hwpr_loopitself,
                                     std::vector<hw::Type>* types);
    // Whether the mesh holds `counts` of each type (only the free ones without `allow_new_pass`);
    // when the free ones are too few, the pass is emptied and *need_new_pass set.
    MappingStatus check_capacity(Layer const& layer, std::vector<hw::Type> const& types,
                                 std::vector<size_t> const& counts, bool allow_new_pass, bool* need_new_pass);
    // Selects and allocates the NPs, then looks one TNP-B layer ahead (once more in a new pass
    // when that look-ahead emptied the pass; without new passes the layer gives its NPs back).
    MappingStatus place(Layer const& layer, std::vector<hw::Type> const& types, std::vector<size_t> const& counts,
                        std::vector<hw::Component>* components, bool* need_new_pass, bool allow_new_pass);
    // Gives the chosen NPs of every type of `types` to the components of that type and allocates
    // them; a failed status when select_nps answers with the wrong number or with NPs it was not
    // offered.
    MappingStatus select_and_allocate(Layer const& layer, std::vector<hw::Type> const& types,
                                      std::vector<size_t> const& counts,
                                      std::vector<hw::Component>* components);

    // One type's list, with what lets a request find its free slots without scanning it.
    struct SlotList {
        std::vector<NpSlot> slots;
        std::vector<uint64_t> free_bits;  // bit i: slots[i] is neither reserved nor allocated
        uint32_t unreserved = 0;
        uint32_t free = 0;
    };
    // One slot: its list and its position there.
    struct SlotRef {
        hw::Type type;
        uint32_t pos;
    };
    // How many slots of `type` are neither reserved nor allocated, without listing them.
    uint32_t free_nps(hw::Type type) const;
    // Sets the reserved or the allocated mark of one slot, keeping the counts and free bits; true
    // when the mark changed.
    bool mark(SlotRef ref, bool NpSlot::*flag, bool value);
    // Clears the allocations made after the first `kept` ones, last first.
    void deallocate_after(size_t kept);
    // The free NPs of `type` offered to select_nps: all of them, or only the first `count` when
    // select_nps is the default one, which takes exactly those.
    std::vector<hw::Ident> candidates(hw::Type type, size_t count) const;
    // The first `count` free idents of `type` (fewer when fewer are free), in list order.
    std::vector<hw::Ident> first_free(hw::Type type, size_t count) const;

    std::map<hw::Type, SlotList> slots_;
    CompatibilityChecker const& checker_;
    MapConstraints const& constraints_;
    // The slots of every ident, by its four fields packed in 32 bits.
    std::unordered_map<uint32_t, std::vector<SlotRef>> slots_of_;
    std::vector<SlotRef> reserved_;   // every reserved slot
    std::vector<SlotRef> allocated_;  // every allocated slot, in the order taken
    // The depths of the layers requested so far and of their inputs, so that asking whether a
    // layer stores or loads a skip connection does not walk the graph back to its input each time.
    DepthMemo depths_;
    // Whether select_nps is the default one (the constraints are of the base class itself).
    bool default_selection_;
};

}  // namespace nuvra
