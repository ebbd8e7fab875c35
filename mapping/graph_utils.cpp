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

// The outbound layers a branch follows: the first, and the second when there are exactly two.
LayerList followed_outbounds(LayerPtr const& layer) {
    LayerList outs = outbounds_of(layer);
    if (outs.size() > 2) outs.resize(1);
    return outs;
}

bool contains(LayerList const& list, LayerPtr const& layer) {
    return std::find(list.begin(), list.end(), layer) != list.end();
}

}  // namespace

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

// The depth of the nearest layer before `c` in `list` (a `c` that the list does not hold stands
// after its end); 0 when nothing precedes it, an empty list included.
unsigned int LayerGraph::predecessor_depth(LayerPtr const& c, LayerList const& list) {
    auto pos = c ? std::find(list.begin(), list.end(), c) : list.end();
    while (pos != list.begin()) {
        --pos;
        if (*pos) return get_layer_depth(*pos);
    }
    return 0;
}

std::pair<LayerList, LayerList> LayerGraph::branch_pair(LayerPtr const& layer) {
    LayerList outs = followed_outbounds(layer);
    if (outs.empty()) return {};
    LayerList main{outs[0]};
    LayerList const& after_first = mains_.at(outs[0]);
    main.insert(main.end(), after_first.begin(), after_first.end());
    LayerList skip;
    if (outs.size() == 2) {
        skip.push_back(outs[1]);
        LayerList const& after_second = mains_.at(outs[1]);
        skip.insert(skip.end(), after_second.begin(), after_second.end());
    }
    sort_by_depth(&main);
    sort_by_depth(&skip);
    LayerPtr c = first_common_layer(main, skip);
    if (!c || c == skip.front()) return {std::move(main), std::move(skip)};
    // The branch that reaches the rejoining point over the longer path is the main one; on a
    // tie the path through the first outbound layer stays main.
    if (predecessor_depth(c, main) < predecessor_depth(c, skip)) std::swap(main, skip);
    return {std::move(main), std::move(skip)};
}

LayerList const& LayerGraph::main_branch(LayerPtr const& layer) {
    static LayerList const none;
    if (!layer) return none;
    // Post-order without recursion: a layer's pair is built once the layers it follows have
    // their main branches.
    std::vector<LayerPtr> todo{layer};
    while (!todo.empty()) {
        LayerPtr current = todo.back();
        if (mains_.count(current)) {
            todo.pop_back();
            continue;
        }
        bool ready = true;
        for (auto const& out : followed_outbounds(current)) {
            if (!mains_.count(out)) {
                todo.push_back(out);
                ready = false;
            }
        }
        if (!ready) continue;
        mains_.emplace(current, branch_pair(current).first);
        todo.pop_back();
    }
    return mains_.at(layer);
}

std::pair<LayerList, LayerList> LayerGraph::get_skipconnect_branch(LayerPtr const& layer) {
    if (!layer) return {};
    for (auto const& out : followed_outbounds(layer)) main_branch(out);
    return branch_pair(layer);
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
        LayerList const& b0 = main_branch(f[0]);
        LayerList const& b1 = main_branch(f[1]);
        LayerPtr c = first_common_layer(b0, b1);
        if (b1.empty() || c == b1.front())
            result = f[0];
        else
            result = predecessor_depth(c, b0) < predecessor_depth(c, b1) ? f[1] : f[0];
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

LayerPtr LayerGraph::first_mappable_layer(LayerList const& layers) {
    auto const [first, second] = mappable_ends(layers, false);
    if (!second) return first;
    if (get_layer_depth(first) < get_layer_depth(second)) return first;
    LayerList const& b0 = main_branch(first);
    LayerList const& b1 = main_branch(second);
    LayerPtr c = first_common_layer(b0, b1);
    return predecessor_depth(c, b0) < predecessor_depth(c, b1) ? second : first;
}

LayerPtr LayerGraph::last_mappable_layer(LayerList const& layers) {
    auto const [last, second] = mappable_ends(layers, true);
    if (!second) return last;
    if (get_layer_depth(second) < get_layer_depth(last)) return last;
    LayerList const& b0 = main_branch(last);
    LayerList const& b1 = main_branch(second);
    LayerPtr c = first_common_layer(b0, b1);
    return predecessor_depth(c, b0) < predecessor_depth(c, b1) ? second : last;
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
    LayerList const& main = main_branch(s);
    return main.empty() ? nullptr : get_mappable_layer(main.front());
}

bool LayerGraph::is_merge(LayerPtr const& layer) {
    if (!layer_answers(layer, ComponentKind::CNP)) return false;
    LayerPtr const s = first_inbound(layer);
    if (!is_skip_dma(s)) return false;
    size_t cnp_outs = 0;
    for (auto const& out : outbounds_of(s))
        if (layer_answers(out, ComponentKind::CNP)) ++cnp_outs;
    if (cnp_outs == 1) return true;
    return contains(main_branch(s), layer);
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
