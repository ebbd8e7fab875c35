// LayerGraph's branch questions as they were first answered, kept as its reference: every layer
// visited keeps its whole main branch, a list to the end of the graph built from the main branch
// of the layer it follows and sorted by depth again, and branches are compared by searching those
// lists. Depths, sorting and first_common_layer are LayerGraph's own. bench/map_chain times the two.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "mapping/graph_utils.h"

namespace nuvra::testing {

class SortedBranchGraph {
public:
    using LayerPtr = std::shared_ptr<Layer>;

    explicit SortedBranchGraph(DepthMemo* memo = nullptr) : graph_(memo) {}

    unsigned int get_layer_depth(LayerPtr const& layer) { return graph_.get_layer_depth(layer); }

    std::pair<LayerList, LayerList> get_skipconnect_branch(LayerPtr const& layer) {
        if (!layer) return {};
        for (auto const& out : followed_outbounds(layer)) main_branch(out);
        return branch_pair(layer);
    }

    LayerList const& main_branch(LayerPtr const& layer) {
        static LayerList const none;
        if (!layer) return none;
        if (auto const it = mains_.find(layer); it != mains_.end()) return it->second;
        for (auto const& out : followed_outbounds(layer)) main_branch(out);
        return mains_.emplace(layer, branch_pair(layer).first).first->second;
    }

    LayerPtr get_mappable_layer(LayerPtr const& layer) {
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
            LayerPtr c = graph_.first_common_layer(b0, b1);
            if (b1.empty() || c == b1.front())
                result = f[0];
            else
                result = predecessor_depth(c, b0) < predecessor_depth(c, b1) ? f[1] : f[0];
        }
        mappables_.emplace(layer, result);
        return result;
    }

    // The list's mappable layers sorted by depth: the first two decide, their branches on a tie.
    LayerPtr first_mappable_layer(LayerList const& layers) { return mappable_end(layers, false); }
    LayerPtr last_mappable_layer(LayerList const& layers) { return mappable_end(layers, true); }

    LayerPtr next_mappable_layer(LayerPtr const& layer) {
        LayerList outs = outbounds_of(layer);
        if (outs.empty()) return nullptr;
        return first_mappable_layer(mappables(outs));
    }

    LayerPtr previous_mappable_layer(LayerPtr const& layer) {
        LayerPtr const s = first_inbound(layer);
        if (!s) return nullptr;
        if (!is_skip_dma(s)) return s;
        if (is_merge(layer)) {
            LayerList producers = mappables(inbounds_of(s));
            graph_.sort_by_depth(&producers);
            return producers.empty() ? nullptr : producers.back();
        }
        LayerList const& main = main_branch(s);
        return main.empty() ? nullptr : get_mappable_layer(main.front());
    }

    bool is_merge(LayerPtr const& layer) {
        if (!layer_answers(layer, ComponentKind::CNP)) return false;
        LayerPtr const s = first_inbound(layer);
        if (!is_skip_dma(s)) return false;
        size_t cnp_outs = 0;
        for (auto const& out : outbounds_of(s))
            if (layer_answers(out, ComponentKind::CNP)) ++cnp_outs;
        if (cnp_outs == 1) return true;
        LayerList const& main = main_branch(s);
        return std::find(main.begin(), main.end(), layer) != main.end();
    }

    bool is_dual_output_layer(LayerPtr const& layer) {
        return is_merge(layer) && outbounds_of(first_inbound(layer)).size() > 1;
    }

    bool layer_need_load_dma(LayerPtr const& layer) {
        return layer_answers(layer, ComponentKind::TNP_B) || is_merge(layer);
    }

    bool is_skip_layer(LayerPtr const& layer) {
        if (!layer) return false;
        for (auto const& out : outbounds_of(layer)) {
            if (!is_skip_dma(out)) continue;
            LayerList producers = mappables(inbounds_of(out));
            graph_.sort_by_depth(&producers);
            if (!producers.empty() && producers.front() == layer) return true;
        }
        return false;
    }

    bool is_dual_output_to_store_dma(LayerPtr const& layer) {
        if (!is_dual_output_layer(layer)) return false;
        LayerList outs = outbounds_of(first_inbound(layer));
        return get_layer_depth(get_mappable_layer(outs[0])) != get_layer_depth(get_mappable_layer(outs[1]));
    }

    bool layer_need_store_dma(LayerPtr const& layer) {
        return layer_answers(layer, ComponentKind::TNP_B) || is_skip_layer(layer) ||
               is_dual_output_to_store_dma(layer);
    }

    bool is_alt_layer(LayerPtr const& layer) {
        LayerList outs = outbounds_of(layer);
        if (outs.size() != 2) return false;
        LayerPtr m0 = get_mappable_layer(outs[0]);
        LayerPtr m1 = get_mappable_layer(outs[1]);
        if (!m0 || !m1) return false;
        return get_layer_depth(m0) == get_layer_depth(m1);
    }

private:
    static bool is_skip_dma(LayerPtr const& layer) { return layer_answers(layer, ComponentKind::SKIP_DMA); }

    static LayerList inbounds_of(LayerPtr const& layer) {
        LayerList result;
        if (layer)
            for (auto const& in : layer->inbound_layers())
                if (in) result.push_back(in);
        return result;
    }

    static LayerPtr first_inbound(LayerPtr const& layer) {
        LayerList ins = inbounds_of(layer);
        return ins.empty() ? nullptr : ins.front();
    }

    static LayerList outbounds_of(LayerPtr const& layer) {
        LayerList result;
        if (layer)
            for (auto& out : layer->outbound_layers())
                if (out) result.push_back(std::move(out));
        return result;
    }

    static LayerList followed_outbounds(LayerPtr const& layer) {
        LayerList outs = outbounds_of(layer);
        if (outs.size() > 2) outs.resize(1);
        return outs;
    }

    unsigned int predecessor_depth(LayerPtr const& c, LayerList const& list) {
        auto pos = c ? std::find(list.begin(), list.end(), c) : list.end();
        while (pos != list.begin()) {
            --pos;
            if (*pos) return get_layer_depth(*pos);
        }
        return 0;
    }

    std::pair<LayerList, LayerList> branch_pair(LayerPtr const& layer) {
        LayerList outs = followed_outbounds(layer);
        if (outs.empty()) return {};
        // An outbound layer and its own main branch.
        auto const through = [this](LayerPtr const& out) {
            LayerList list{out};
            list.insert(list.end(), mains_.at(out).begin(), mains_.at(out).end());
            return list;
        };
        LayerList main = through(outs[0]);
        LayerList skip = outs.size() == 2 ? through(outs[1]) : LayerList{};
        graph_.sort_by_depth(&main);
        graph_.sort_by_depth(&skip);
        LayerPtr c = graph_.first_common_layer(main, skip);
        if (!c || c == skip.front()) return {std::move(main), std::move(skip)};
        if (predecessor_depth(c, main) < predecessor_depth(c, skip)) std::swap(main, skip);
        return {std::move(main), std::move(skip)};
    }

    LayerList mappables(LayerList const& layers) {
        LayerList result;
        for (auto const& layer : layers)
            if (auto m = get_mappable_layer(layer)) result.push_back(std::move(m));
        return result;
    }

    LayerPtr mappable_end(LayerList const& layers, bool last) {
        LayerList m;
        for (auto const& layer : layers)
            if (layer && !is_skip_dma(layer) && !layer->is_target_component(ComponentKind::None)) m.push_back(layer);
        if (m.empty()) return nullptr;
        graph_.sort_by_depth(&m);
        if (m.size() == 1) return m[0];
        LayerPtr const& end = last ? m.back() : m.front();
        LayerPtr const& next = last ? m[m.size() - 2] : m[1];
        bool const apart = last ? get_layer_depth(next) < get_layer_depth(end)
                                : get_layer_depth(end) < get_layer_depth(next);
        if (apart) return end;
        LayerList const& b0 = main_branch(end);
        LayerList const& b1 = main_branch(next);
        LayerPtr c = graph_.first_common_layer(b0, b1);
        return predecessor_depth(c, b0) < predecessor_depth(c, b1) ? next : end;
    }

    LayerGraph graph_;
    std::unordered_map<LayerPtr, LayerList> mains_;
    std::unordered_map<LayerPtr, LayerPtr> mappables_;
};

}  // namespace nuvra::testing
