#include "mapping/graph_utils.h"

#include <algorithm>
#include <span>
#include <unordered_set>

namespace nuvra {

bool layer_answers(std::shared_ptr<Layer> const& layer, ComponentKind kind) {
    return layer && layer->is_target_component(kind);
}

namespace {

using LayerPtr = std::shared_ptr<Layer>;

bool is_skip_dma(LayerPtr const& layer) { return layer_answers(layer, ComponentKind::SKIP_DMA); }

// Neither a skip DMA nor a layer without hardware.
bool has_own_mapping(LayerPtr const& layer) {
    return layer && !layer->is_target_component(ComponentKind::SKIP_DMA) &&
           !layer->is_target_component(ComponentKind::None);
}

// The graph neighbours of a layer, null entries left out.
LayerList inbounds_of(LayerPtr const& layer) {
    LayerList result;
    if (!layer) return result;
    for (auto const& in : layer->inbound_view())
        if (in) result.push_back(in);
    return result;
}

// The first inbound layer that is not null; null when there is none.
LayerPtr first_inbound(LayerPtr const& layer) {
    if (!layer) return nullptr;
    for (auto const& in : layer->inbound_view())
        if (in) return in;
    return nullptr;
}

int64_t inbound_count(LayerPtr const& layer) {
    if (!layer) return 0;
    auto const view = layer->inbound_view();
    return static_cast<int64_t>(std::count_if(view.begin(), view.end(), [](LayerPtr const& in) { return in != nullptr; }));
}

int64_t outbound_count(LayerPtr const& layer) { return layer ? static_cast<int64_t>(layer->outbound_count()) : 0; }

LayerList outbounds_of(LayerPtr const& layer) {
    LayerList result;
    if (!layer) return result;
    for (auto& out : layer->outbound_layers())
        if (out) result.push_back(std::move(out));
    return result;
}

}  // namespace

struct LayerGraph::BranchWalk {
    BranchWalk(LayerPtr a, LayerPtr b) : at{std::move(a), std::move(b)} {}
    LayerPtr at[2];      // the layer each branch has reached; null past its end
    LayerPtr before[2];  // the layer before that on its branch; null at the branch's first layer
    LayerPtr meet;       // the first layer both branches go through; null when they never meet
    bool done = false;
    // Once one branch has ended, the layers the other goes through until its last layer is known.
    std::vector<Branches*> tail;
};

LayerGraph::LayerGraph() : depths_(own_depths_) {}

LayerGraph::LayerGraph(DepthMemo* memo) : depths_(memo ? *memo : own_depths_) {}

unsigned int LayerGraph::get_layer_depth(LayerPtr const& layer) {
    if (!layer) return 0;
    if (auto it = depths_.find(layer); it != depths_.end()) return it->second;

    // Depth first over the inbound layers, without recursion: a frame is done once every input
    // has its depth.
    // The inbound views stay valid: the graph does not change during the walk.
    struct Frame {
        LayerPtr layer;
        std::span<LayerPtr const> inbounds;
        size_t next = 0;
        unsigned int deepest = 0;
        bool has_inputs = false;  // a non-null inbound layer was seen
    };
    std::vector<Frame> stack;
    stack.push_back({layer, layer->inbound_view()});
    unsigned int result = 0;
    while (!stack.empty()) {
        Frame& top = stack.back();
        if (top.next < top.inbounds.size()) {
            LayerPtr const& in = top.inbounds[top.next];
            if (!in) {
                ++top.next;
            } else if (auto it = depths_.find(in); it != depths_.end()) {
                top.deepest = std::max(top.deepest, it->second);
                top.has_inputs = true;
                ++top.next;
            } else {
                stack.push_back({in, in->inbound_view()});  // `top` is stale now
            }
            continue;
        }
        // An input layer has depth 1 and no memo entry; a skip DMA sits at its deepest input.
        unsigned int d = 1;
        if (top.has_inputs) {
            d = top.deepest + (is_skip_dma(top.layer) ? 0 : 1);
            depths_.emplace(top.layer, d);
        }
        stack.pop_back();
        if (stack.empty()) {
            result = d;
        } else {
            Frame& parent = stack.back();
            parent.deepest = std::max(parent.deepest, d);
            parent.has_inputs = true;
            ++parent.next;
        }
    }
    return result;
}

unsigned int LayerGraph::sort_key(LayerPtr const& layer) {
    if (!layer) return 0;
    get_layer_depth(layer);
    auto it = depths_.find(layer);
    return it == depths_.end() ? 0 : it->second;
}

void LayerGraph::sort_by_depth(LayerList* layers) {
    if (!layers) return;
    std::vector<std::pair<unsigned int, LayerPtr>> keyed;
    keyed.reserve(layers->size());
    for (auto& layer : *layers) keyed.emplace_back(sort_key(layer), std::move(layer));
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](auto const& a, auto const& b) { return a.first < b.first; });
    for (size_t i = 0; i < keyed.size(); ++i) (*layers)[i] = std::move(keyed[i].second);
}

LayerPtr LayerGraph::first_common_layer(LayerList const& a, LayerList const& b) {
    if (a.empty() || b.empty()) return nullptr;
    std::unordered_set<Layer const*> in_b;
    for (auto const& layer : b)
        if (layer) in_b.insert(layer.get());
    LayerList common;
    for (auto const& layer : a)
        if (layer && in_b.count(layer.get())) common.push_back(layer);
    if (common.empty()) return nullptr;
    sort_by_depth(&common);
    return common.front();
}

LayerGraph::Branches& LayerGraph::branches(LayerPtr const& layer) {
    auto const [it, fresh] = branches_.try_emplace(layer);
    Branches& b = it->second;
    if (fresh) {
        // A branch follows the first outbound layer, and the second only when there are exactly two.
        LayerList outs = outbounds_of(layer);
        if (!outs.empty()) b.main = outs[0];
        if (outs.size() == 2) b.skip = outs[1];
        b.chosen = outs.size() != 2;
    }
    return b;
}

// Moves the walk on until it is done (null) or reaches a layer whose branches are not chosen yet
// (returned: choose them, then advance again). The branch at the shallower layer moves: a layer
// that both branches go through lies, on the other branch, no shallower than that branch's
// current layer. At equal depths only a skip DMA can follow a layer of its own depth, so a layer
// that is not a skip DMA moves; of two skip DMAs, the one whose run of that depth reaches the
// other moves.
LayerPtr LayerGraph::advance(BranchWalk& walk) {
    while (!walk.done) {
        LayerPtr const& p = walk.at[0];
        LayerPtr const& q = walk.at[1];
        if (p == q) {
            walk.meet = p;  // null when both branches have ended
            walk.done = true;
            break;
        }
        size_t side = 0;
        if (!p) {
            side = 1;
        } else if (q) {
            unsigned int const kp = sort_key(p), kq = sort_key(q);
            if (kp != kq) {
                side = kp < kq ? 0 : 1;
            } else if (is_skip_dma(p) && !is_skip_dma(q)) {
                side = 1;
            } else if (is_skip_dma(p)) {
                LayerPtr r = q;
                while (r && r != p && sort_key(r) == kq) {
                    Branches const& b = branches(r);
                    if (!b.chosen) return r;
                    r = b.main;
                }
                side = r == p ? 1 : 0;
            }
        }
        Branches& b = branches(walk.at[side]);
        if (!b.chosen) return walk.at[side];
        // With the other branch ended the two cannot meet: only this one's last layer counts, and
        // what is known of it is not walked again.
        bool const tail = !walk.at[1 - side];
        if (tail && b.last) {
            walk.before[side] = b.last;
            walk.at[side] = nullptr;
        } else {
            if (tail) walk.tail.push_back(&b);
            walk.before[side] = std::move(walk.at[side]);
            walk.at[side] = b.main;
        }
        if (!walk.at[side]) {
            for (Branches* t : walk.tail) t->last = walk.before[side];
            walk.tail.clear();
        }
    }
    return nullptr;
}

// The depth of the layer before the meeting point on one branch (of the branch's last layer when
// the branches never meet); 0 when the branch starts there or is empty.
unsigned int LayerGraph::depth_before(BranchWalk const& walk, size_t side) {
    return walk.before[side] ? get_layer_depth(walk.before[side]) : 0;
}

LayerGraph::BranchWalk LayerGraph::walk_branches(LayerPtr const& a, LayerPtr const& b) {
    BranchWalk walk(a, b);
    while (LayerPtr const pending = advance(walk)) next_on_branch(pending);
    return walk;
}

LayerPtr const& LayerGraph::next_on_branch(LayerPtr const& layer) {
    static LayerPtr const none;
    if (!layer) return none;
    Branches& branch = branches(layer);
    if (branch.chosen) return branch.main;
    // Comparing two branches may first need the choice at a layer on the way: the choices wait on
    // a stack, not in recursion.
    struct Choice {
        Branches* branches;
        BranchWalk walk;
    };
    std::vector<Choice> open;
    open.push_back({&branch, BranchWalk(branch.main, branch.skip)});
    while (!open.empty()) {
        if (LayerPtr const pending = advance(open.back().walk)) {
            Branches& b = branches(pending);
            open.push_back({&b, BranchWalk(b.main, b.skip)});
            continue;
        }
        Branches& b = *open.back().branches;
        BranchWalk const& walk = open.back().walk;
        // The branch that reaches the rejoining point over the longer path is the main one; on a
        // tie, or when the second outbound layer is that point (nothing before it), the first
        // stays main.
        if (walk.meet && depth_before(walk, 0) < depth_before(walk, 1)) std::swap(b.main, b.skip);
        b.chosen = true;
        open.pop_back();
    }
    return branch.main;
}

LayerList LayerGraph::branch_from(LayerPtr layer) {
    LayerList list;
    while (layer) {
        list.push_back(layer);
        layer = next_on_branch(list.back());
    }
    return list;
}

LayerList LayerGraph::main_branch(LayerPtr const& layer) { return branch_from(next_on_branch(layer)); }

std::pair<LayerPtr, LayerPtr> LayerGraph::branch_heads(LayerPtr const& layer) {
    if (!layer) return {};
    next_on_branch(layer);
    Branches const& b = branches(layer);
    return {b.main, b.skip};
}

std::pair<LayerList, LayerList> LayerGraph::get_skipconnect_branch(LayerPtr const& layer) {
    auto const [main, skip] = branch_heads(layer);
    return {branch_from(main), branch_from(skip)};
}

LayerPtr LayerGraph::get_mappable_layer(LayerPtr const& layer) {
    if (!layer) return nullptr;
    if (!is_skip_dma(layer)) return layer;
    if (auto it = mappables_.find(layer); it != mappables_.end()) return it->second;
    LayerList f;
    for (auto& out : outbounds_of(layer))
        if (!is_skip_dma(out)) f.push_back(std::move(out));
    LayerPtr result;
    if (f.size() == 1) {
        result = f[0];
    } else if (f.size() >= 2) {
        result = tie_by_branches(f[0], f[1]);
    }
    mappables_.emplace(layer, result);
    return result;
}

LayerList LayerGraph::mappables(LayerList const& layers) {
    LayerList result;
    for (auto const& layer : layers)
        if (auto m = get_mappable_layer(layer)) result.push_back(std::move(m));
    return result;
}

// The first two mappable layers of the list once stably sorted by depth (the last two with
// `from_end`), found in one walk without sorting; the second is null with one mappable layer.
std::pair<LayerPtr, LayerPtr> LayerGraph::mappable_ends(LayerList const& layers, bool from_end) {
    LayerPtr end, next;  // the end of the sorted order and its neighbour
    unsigned int end_key = 0, next_key = 0;
    for (auto const& layer : layers) {
        if (!has_own_mapping(layer)) continue;
        unsigned int const key = sort_key(layer);
        // A later layer of equal depth sorts after the earlier: it takes the place at the end
        // of the order, never at its front.
        bool const beats_end = from_end ? key >= end_key : key < end_key;
        bool const beats_next = from_end ? key >= next_key : key < next_key;
        if (!end || beats_end) {
            next = std::move(end);
            next_key = end_key;
            end = layer;
            end_key = key;
        } else if (!next || beats_next) {
            next = layer;
            next_key = key;
        }
    }
    return {std::move(end), std::move(next)};
}

// Of two layers (two mappable layers at one depth, or the first two a skip DMA feeds), `next` when
// the main branch after `end` reaches the point where both rejoin over a shorter path than the one
// after `next`; otherwise `end`. A second branch that is empty or starts at that point has nothing
// before it, so `end` stays.
LayerPtr LayerGraph::tie_by_branches(LayerPtr const& end, LayerPtr const& next) {
    LayerPtr const b0 = next_on_branch(end);
    LayerPtr const b1 = next_on_branch(next);
    BranchWalk const walk = walk_branches(b0, b1);
    return depth_before(walk, 0) < depth_before(walk, 1) ? next : end;
}

LayerPtr LayerGraph::first_mappable_layer(LayerList const& layers) {
    auto const [first, second] = mappable_ends(layers, false);
    if (!second) return first;
    if (get_layer_depth(first) < get_layer_depth(second)) return first;
    return tie_by_branches(first, second);
}

LayerPtr LayerGraph::last_mappable_layer(LayerList const& layers) {
    auto const [last, second] = mappable_ends(layers, true);
    if (!second) return last;
    if (get_layer_depth(second) < get_layer_depth(last)) return last;
    return tie_by_branches(last, second);
}

LayerPtr LayerGraph::next_mappable_layer(LayerPtr const& layer) {
    LayerList outs = outbounds_of(layer);
    if (outs.empty()) return nullptr;
    return first_mappable_layer(mappables(outs));
}

LayerPtr LayerGraph::previous_mappable_layer(LayerPtr const& layer) {
    LayerPtr const s = first_inbound(layer);
    if (!s) return nullptr;
    if (!is_skip_dma(s)) return s;
    if (is_merge(layer)) {
        // The deepest producer that feeds the merge's skip DMA.
        LayerList producers = mappables(inbounds_of(s));
        sort_by_depth(&producers);
        return producers.empty() ? nullptr : producers.back();
    }
    LayerPtr const head = next_on_branch(s);
    return get_mappable_layer(head);
}

bool LayerGraph::is_merge(LayerPtr const& layer) {
    if (!layer_answers(layer, ComponentKind::CNP)) return false;
    LayerPtr const s = first_inbound(layer);
    if (!is_skip_dma(s)) return false;
    size_t cnp_outs = 0;
    for (auto const& out : outbounds_of(s))
        if (layer_answers(out, ComponentKind::CNP)) ++cnp_outs;
    if (cnp_outs == 1) return true;
    // Whether the skip DMA's main branch goes through the layer: only its layers no deeper than the
    // layer can be it.
    unsigned int const key = sort_key(layer);
    for (LayerPtr at = next_on_branch(s); at && sort_key(at) <= key; at = next_on_branch(at))
        if (at == layer) return true;
    return false;
}

bool LayerGraph::is_dual_output_layer(LayerPtr const& layer) {
    if (!is_merge(layer)) return false;
    return outbound_count(first_inbound(layer)) > 1;
}

bool LayerGraph::layer_need_load_dma(LayerPtr const& layer) {
    return layer_answers(layer, ComponentKind::TNP_B) || is_merge(layer);
}

bool LayerGraph::is_skip_layer(LayerPtr const& layer) {
    if (!layer) return false;
    for (auto const& out : outbounds_of(layer)) {
        if (!is_skip_dma(out)) continue;
        LayerList producers = mappables(inbounds_of(out));
        sort_by_depth(&producers);
        if (!producers.empty() && producers.front() == layer) return true;
    }
    return false;
}

bool LayerGraph::is_dual_output_to_store_dma(LayerPtr const& layer) {
    if (!is_dual_output_layer(layer)) return false;
    LayerList outs = outbounds_of(first_inbound(layer));
    // A branch without a mappable layer has depth 0, so the output goes to the store.
    return get_layer_depth(get_mappable_layer(outs[0])) !=
           get_layer_depth(get_mappable_layer(outs[1]));
}

bool LayerGraph::layer_need_store_dma(LayerPtr const& layer) {
    return layer_answers(layer, ComponentKind::TNP_B) || is_skip_layer(layer) ||
           is_dual_output_to_store_dma(layer);
}

bool LayerGraph::is_alt_layer(LayerPtr const& layer) {
    if (outbound_count(layer) != 2) return false;
    LayerList outs = outbounds_of(layer);
    if (outs.size() != 2) return false;
    LayerPtr m0 = get_mappable_layer(outs[0]);
    LayerPtr m1 = get_mappable_layer(outs[1]);
    // A branch without a mappable layer has no alternate to pair with.
    if (!m0 || !m1) return false;
    return get_layer_depth(m0) == get_layer_depth(m1);
}

bool is_split_layer(LayerPtr const& layer) { return outbound_count(layer) > 1; }

unsigned int get_layer_depth(LayerPtr const& layer, DepthMemo* memo) {
    return LayerGraph(memo).get_layer_depth(layer);
}

void sort_by_depth(LayerList* layers) { LayerGraph().sort_by_depth(layers); }

LayerPtr first_common_layer(LayerList const& a, LayerList const& b) {
    return LayerGraph().first_common_layer(a, b);
}

std::pair<LayerList, LayerList> get_skipconnect_branch(LayerPtr const& layer) {
    return LayerGraph().get_skipconnect_branch(layer);
}

bool is_merge(LayerPtr const& layer) { return LayerGraph().is_merge(layer); }

bool is_dual_output_layer(LayerPtr const& layer) {
    return LayerGraph().is_dual_output_layer(layer);
}

bool layer_need_load_dma(LayerPtr const& layer) { return LayerGraph().layer_need_load_dma(layer); }

bool is_skip_layer(LayerPtr const& layer) { return LayerGraph().is_skip_layer(layer); }

bool is_dual_output_to_store_dma(LayerPtr const& layer) {
    return LayerGraph().is_dual_output_to_store_dma(layer);
}

bool layer_need_store_dma(LayerPtr const& layer) {
    return LayerGraph().layer_need_store_dma(layer);
}

LayerPtr get_mappable_layer(LayerPtr const& layer) {
    return LayerGraph().get_mappable_layer(layer);
}

bool is_alt_layer(LayerPtr const& layer, DepthMemo* memo) {
    return LayerGraph(memo).is_alt_layer(layer);
}

LayerPtr first_mappable_layer(LayerList const& layers) {
    return LayerGraph().first_mappable_layer(layers);
}

LayerPtr last_mappable_layer(LayerList const& layers) {
    return LayerGraph().last_mappable_layer(layers);
}

LayerPtr next_mappable_layer(LayerPtr const& layer) {
    return LayerGraph().next_mappable_layer(layer);
}

LayerPtr previous_mappable_layer(LayerPtr const& layer) {
    return LayerGraph().previous_mappable_layer(layer);
}

int64_t get_out_branches_count(LayerList const& layers) {
    if (layers.empty()) return 0;
    // A sum over the layers: their order does not matter.
    LayerPtr const& first = layers.front();
    int64_t open = 1;
    for (auto const& layer : layers) {
        if (!layer) continue;
        // The list's first layer is entered by one branch, whatever its real inputs.
        int64_t ins = layer == first ? 1 : inbound_count(layer);
        open += outbound_count(layer) - ins;
    }
    return open;
}

LayerList get_layers_to_map_together(LayerList const& layers) {
    LayerList result;
    int64_t open = 1;
    for (size_t i = 0; i < layers.size(); ++i) {
        LayerPtr const& layer = layers[i];
        if (!layer) continue;
        int64_t ins = i == 0 ? 1 : inbound_count(layer);
        open += outbound_count(layer) - ins;
        result.push_back(layer);
        if (open == 1 && !is_skip_dma(layer)) break;
    }
    return result;
}

}  // namespace nuvra
