// Questions about a model's layer graph that the mapping engine asks: how deep a layer lies,
// where a skip connection leaves and rejoins the main path, which layer carries the hardware
// mapping of a layer that has none of its own, and which layers need skip-DMA loads or stores.
//
// The functions keep no state between calls and never change the graph. Layers are compared by
// object identity. A null layer argument is answered like a layer that is not there: depth 0, no
// branches, no mappable layer, false for every predicate.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/layer.h"

namespace nuvra {

using LayerList = std::vector<std::shared_ptr<Layer>>;

// Depths already computed, keyed by the layer object. Only layers with inbound layers get an
// entry; an input layer has depth 1 without one.
using DepthMemo = std::unordered_map<std::shared_ptr<Layer>, unsigned int>;

// More than one outbound layer.
// Whether the layer exists and runs on components of `kind`.
bool layer_answers(std::shared_ptr<Layer> const& layer, ComponentKind kind);

bool is_split_layer(std::shared_ptr<Layer> const& layer);

// 1 for a layer without inbound layers; otherwise the deepest inbound layer's depth, plus 1
// unless the layer is a skip DMA (which sits at the depth of its deepest input). Every depth
// computed on the way is stored in `memo`.
unsigned int get_layer_depth(std::shared_ptr<Layer> const& layer, DepthMemo* memo);

// Stable sort by depth, shallowest first. A layer without inbound layers (and a null entry)
// sorts with key 0, before every layer that has inputs.
void sort_by_depth(LayerList* layers);

// The shallowest layer of `a` that `b` holds too; null when there is none.
std::shared_ptr<Layer> first_common_layer(LayerList const& a, LayerList const& b);

// The two paths that leave a layer: (main branch, skip branch). The main branch follows the
// first outbound layer, the skip branch the second (only when there are exactly two); they
// change places when the skip branch reaches the point where both rejoin over a longer path.
// Both run on to the end of the graph.
std::pair<LayerList, LayerList> get_skipconnect_branch(std::shared_ptr<Layer> const& layer);

// A CNP layer whose first inbound layer is a skip DMA: the point where a skip connection
// rejoins the main path.
bool is_merge(std::shared_ptr<Layer> const& layer);
// A merge layer whose skip DMA also feeds another branch.
bool is_dual_output_layer(std::shared_ptr<Layer> const& layer);
// A TNP-B layer or a merge layer: it reads data back through a skip-DMA load.
bool layer_need_load_dma(std::shared_ptr<Layer> const& layer);
// The layer's output is the skip input of a later merge.
bool is_skip_layer(std::shared_ptr<Layer> const& layer);
// A dual-output layer whose second output is consumed at another depth, so it must be stored.
bool is_dual_output_to_store_dma(std::shared_ptr<Layer> const& layer);
// A TNP-B layer, a skip layer, or a dual output that goes through a store.
bool layer_need_store_dma(std::shared_ptr<Layer> const& layer);

// The layer itself unless it is a skip DMA; for a skip DMA, the layer after it that carries its
// mapping, or null when none does.
std::shared_ptr<Layer> get_mappable_layer(std::shared_ptr<Layer> const& layer);

// A split into exactly two branches whose mappable layers lie at the same depth. `memo` is shared
// with the caller.
bool is_alt_layer(std::shared_ptr<Layer> const& layer, DepthMemo* memo);

// The first (last) layer of the list in depth order that is neither a skip DMA nor a layer
// without hardware; null when there is none.
std::shared_ptr<Layer> first_mappable_layer(LayerList const& layers);
std::shared_ptr<Layer> last_mappable_layer(LayerList const& layers);
// The mappable layer that follows (precedes) the layer; null when there is none.
std::shared_ptr<Layer> next_mappable_layer(std::shared_ptr<Layer> const& layer);
std::shared_ptr<Layer> previous_mappable_layer(std::shared_ptr<Layer> const& layer);

// Branches left open after the list: 1 plus, over its layers, their outbound count minus their
// inbound count (the list's first layer counts one inbound layer). 0 for an empty list.
int64_t get_out_branches_count(LayerList const& layers);

// The leading run of the list up to the first layer (not a skip DMA) after which every branch
// opened so far has closed again; the whole list when that never happens.
LayerList get_layers_to_map_together(LayerList const& layers);

// The same questions asked many times of one graph that does not change meanwhile (the set-up
// of a pass): every depth, branch choice and mappable layer is computed once and then looked up.
// The free functions above each use a fresh LayerGraph. Depths go to the caller's memo when one
// is given.
//
// A main branch is kept as the outbound layer it follows at each layer, chosen when a question
// first needs it. Two branches are compared by following them side by side, the shallower first,
// until they meet (or end), so a question costs the layers up to that point, not the rest of the
// graph. Along an outbound link the depth never falls when the link is also an inbound link of the
// layer it reaches, as a model links its layers; on such a graph a branch followed in order is the
// branch sorted by depth.
class LayerGraph {
public:
    LayerGraph();
    explicit LayerGraph(DepthMemo* memo);
    LayerGraph(LayerGraph const&) = delete;
    LayerGraph& operator=(LayerGraph const&) = delete;

    unsigned int get_layer_depth(std::shared_ptr<Layer> const& layer);
    void sort_by_depth(LayerList* layers);
    std::shared_ptr<Layer> first_common_layer(LayerList const& a, LayerList const& b);
    std::pair<LayerList, LayerList> get_skipconnect_branch(std::shared_ptr<Layer> const& layer);
    // The first list of get_skipconnect_branch.
    LayerList main_branch(std::shared_ptr<Layer> const& layer);
    // The first layers of the two lists of get_skipconnect_branch (null for an empty list),
    // without building the lists.
    std::pair<std::shared_ptr<Layer>, std::shared_ptr<Layer>> branch_heads(std::shared_ptr<Layer> const& layer);

    bool is_merge(std::shared_ptr<Layer> const& layer);
    bool is_dual_output_layer(std::shared_ptr<Layer> const& layer);
    bool layer_need_load_dma(std::shared_ptr<Layer> const& layer);
    bool is_skip_layer(std::shared_ptr<Layer> const& layer);
    bool is_dual_output_to_store_dma(std::shared_ptr<Layer> const& layer);
    bool layer_need_store_dma(std::shared_ptr<Layer> const& layer);
    std::shared_ptr<Layer> get_mappable_layer(std::shared_ptr<Layer> const& layer);
    bool is_alt_layer(std::shared_ptr<Layer> const& layer);
    std::shared_ptr<Layer> first_mappable_layer(LayerList const& layers);
    std::shared_ptr<Layer> last_mappable_layer(LayerList const& layers);
    std::shared_ptr<Layer> next_mappable_layer(std::shared_ptr<Layer> const& layer);
    std::shared_ptr<Layer> previous_mappable_layer(std::shared_ptr<Layer> const& layer);

private:
    // The two branches that leave a layer: `main` through its first outbound layer and `skip`
    // through the second when it has exactly two. Until `chosen`, which of them is the main branch
    // is open; once chosen, `main` is the outbound layer the main branch follows.
    struct Branches {
        std::shared_ptr<Layer> main;
        std::shared_ptr<Layer> skip;
        bool chosen = false;
        // The last layer of the main branch from this layer on, once a walk has reached it.
        std::shared_ptr<Layer> last;
    };
    struct BranchWalk;

    unsigned int sort_key(std::shared_ptr<Layer> const& layer);
    Branches& branches(std::shared_ptr<Layer> const& layer);
    std::shared_ptr<Layer> const& next_on_branch(std::shared_ptr<Layer> const& layer);
    LayerList branch_from(std::shared_ptr<Layer> layer);
    std::shared_ptr<Layer> advance(BranchWalk& walk);
    BranchWalk walk_branches(std::shared_ptr<Layer> const& a, std::shared_ptr<Layer> const& b);
    unsigned int depth_before(BranchWalk const& walk, size_t side);
    LayerList mappables(LayerList const& layers);
    std::pair<std::shared_ptr<Layer>, std::shared_ptr<Layer>> mappable_ends(LayerList const& layers, bool from_end);
    std::shared_ptr<Layer> tie_by_branches(std::shared_ptr<Layer> const& end, std::shared_ptr<Layer> const& next);

    DepthMemo own_depths_;
    DepthMemo& depths_;
    std::unordered_map<std::shared_ptr<Layer>, Branches> branches_;
    std::unordered_map<std::shared_ptr<Layer>, std::shared_ptr<Layer>> mappables_;
};

}  // namespace nuvra
