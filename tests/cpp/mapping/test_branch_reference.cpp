// LayerGraph's branch questions against the sorted lists they were first answered from
// (support/sorted_branch_graph.h), on random graphs and models: every layer asked every question
// through one graph in a random order and through a fresh graph.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "mapping/graph_utils.h"
#include "support/fake_layer.h"
#include "support/mapping_fixtures.h"
#include "support/model_builder.h"
#include "support/sorted_branch_graph.h"

namespace nuvra {
namespace {

using namespace testing;
using K = ComponentKind;
using Rng = std::mt19937;
using LayerPtr = std::shared_ptr<Layer>;

// A random graph of fake layers linked both ways, as a model links them: one or two inputs, then
// layers of random kinds reading one to three earlier layers, mostly recent ones. The links are made
// in a shuffled order, so that outbound and inbound orders vary.
LayerList random_fake_graph(uint32_t seed, size_t size) {
    Rng rng(seed);
    std::vector<std::shared_ptr<FakeLayer>> layers;
    size_t const inputs = 1 + below(rng, 2);
    std::vector<std::pair<size_t, size_t>> links;
    for (size_t i = 0; i < size; ++i) {
        size_t const roll = below(rng, 20);
        K const kind =
            i < inputs ? K::None : roll < 10 ? K::CNP : roll < 16 ? K::SKIP_DMA : roll < 18 ? K::TNP_B : K::None;
        std::string name = "l";
        name += std::to_string(i);
        layers.push_back(FakeLayer::make(name, {kind}));
        if (i < inputs) continue;
        size_t const count = 1 + (below(rng, 3) == 0 ? 1 : 0) + (below(rng, 10) == 0 ? 1 : 0);
        for (size_t n = 0; n < count; ++n) {
            size_t const back = below(rng, 4) == 0 ? below(rng, i) : below(rng, std::min<size_t>(3, i));
            size_t const from = i - 1 - back;
            // Now and then the same layer twice.
            bool const repeated = std::find(links.begin(), links.end(), std::pair{from, i}) != links.end();
            if (!repeated || below(rng, 6) == 0) links.emplace_back(from, i);
        }
    }
    for (size_t i = 0; i + 1 < links.size(); ++i)
        if (below(rng, 3) == 0)
            std::swap(links[i], links[i + 1 + below(rng, std::min<size_t>(4, links.size() - i - 1))]);
    for (auto const& [from, to] : links) connect(layers[from], layers[to]);
    return LayerList(layers.begin(), layers.end());
}

std::string listed(LayerList const& layers) {
    std::string out = "[";
    for (auto const& l : layers) out += name_of(l) + " ";
    return out + "] ";
}

// Every answer the graph gives about one layer, in one line (main_branch: `main_branch`).
template <class Graph>
std::string describe(Graph& graph, LayerPtr const& layer) {
    auto const [main, skip] = graph.get_skipconnect_branch(layer);
    std::ostringstream out;
    out << listed(main) << listed(skip) << listed(graph.main_branch(layer)) << name_of(graph.get_mappable_layer(layer))
        << " " << name_of(graph.next_mappable_layer(layer)) << " " << name_of(graph.previous_mappable_layer(layer))
        << " " << graph.is_merge(layer) << graph.is_dual_output_layer(layer) << graph.is_skip_layer(layer)
        << graph.is_dual_output_to_store_dma(layer) << graph.layer_need_load_dma(layer)
        << graph.layer_need_store_dma(layer) << graph.is_alt_layer(layer);
    return out.str();
}

// How often the branch questions met each situation that decides them, so that none goes missing.
using Seen = std::map<std::string, int>;

void count_situations(SortedBranchGraph& reference, LayerList const& all, Seen* seen) {
    for (auto const& layer : all) {
        LayerList const outs = layer->outbound_layers();
        std::pair<LayerList, LayerList> const branches = reference.get_skipconnect_branch(layer);
        LayerList const& main = branches.first;
        LayerList const& skip = branches.second;
        if (outs.size() == 2) {
            ++(*seen)[main.front() == outs[0] ? "main through the first outbound" : "main through the second"];
            bool const meet = std::any_of(main.begin(), main.end(), [&skip](auto const& l) {
                return std::find(skip.begin(), skip.end(), l) != skip.end();
            });
            if (!meet) ++(*seen)["branches that never meet"];
            if (outs[0] == outs[1]) ++(*seen)["the same layer twice"];
        }
        if (outs.size() > 2) ++(*seen)["split in three or more"];
        bool const skip_dma = layer->is_target_component(K::SKIP_DMA);
        size_t own = 0, cnp = 0;
        for (auto const& out : outs) {
            if (!out->is_target_component(K::SKIP_DMA)) ++own;
            if (out->is_target_component(K::CNP)) ++cnp;
            if (skip_dma && out->is_target_component(K::SKIP_DMA) &&
                reference.get_layer_depth(out) == reference.get_layer_depth(layer))
                ++(*seen)["skip DMAs of one depth in a row"];
        }
        if (skip_dma && own >= 2) ++(*seen)["mappable layer chosen by branches"];
        if (skip_dma && cnp >= 2)
            for (auto const& out : outs)
                if (out->is_target_component(K::CNP))
                    ++(*seen)[reference.is_merge(out) ? "merge on the main branch" : "no merge off the main branch"];
        if (reference.is_alt_layer(layer)) ++(*seen)["alternate"];
        if (reference.is_dual_output_layer(layer)) ++(*seen)["dual output"];
    }
}

void check_graph(LayerList const& all, uint32_t seed, Seen* seen) {
    SortedBranchGraph reference;
    std::map<std::string, std::string> expected;
    for (auto const& layer : all) expected[name_of(layer)] = describe(reference, layer);
    count_situations(reference, all, seen);

    // One graph, asked in a random order: a branch chosen for one question serves the next.
    Rng rng(seed);
    LayerList order = all;
    std::shuffle(order.begin(), order.end(), rng);
    LayerGraph shared;
    for (auto const& layer : order) {
        EXPECT_EQ(describe(shared, layer), expected[name_of(layer)]) << name_of(layer);
        auto const [main, skip] = reference.get_skipconnect_branch(layer);
        auto const [main_head, skip_head] = shared.branch_heads(layer);
        EXPECT_EQ(name_of(main_head), name_of(main.empty() ? nullptr : main.front())) << name_of(layer);
        EXPECT_EQ(name_of(skip_head), name_of(skip.empty() ? nullptr : skip.front())) << name_of(layer);
    }
    // A fresh graph for every layer, asked about nothing else first (as the free functions ask).
    for (auto const& layer : all) {
        LayerGraph fresh;
        EXPECT_EQ(describe(fresh, layer), expected[name_of(layer)]) << name_of(layer);
    }
    // Random lists (repeats and null entries too): ties at the front of the depth order are decided
    // by the branches.
    for (int round = 0; round < 12; ++round) {
        LayerList layers;
        for (size_t n = 1 + below(rng, 8); layers.size() < n;)
            layers.push_back(below(rng, 12) == 0 ? nullptr : all[below(rng, all.size())]);
        std::string const first = name_of(reference.first_mappable_layer(layers));
        std::string const last = name_of(reference.last_mappable_layer(layers));
        EXPECT_EQ(name_of(shared.first_mappable_layer(layers)), first);
        EXPECT_EQ(name_of(shared.last_mappable_layer(layers)), last);
        EXPECT_EQ(name_of(first_mappable_layer(layers)), first);
        EXPECT_EQ(name_of(last_mappable_layer(layers)), last);
        LayerList m;
        for (auto const& l : layers)
            if (l && !l->is_target_component(K::SKIP_DMA) && !l->is_target_component(K::None)) m.push_back(l);
        sort_by_depth(&m);
        if (m.size() > 1 && reference.get_layer_depth(m[0]) == reference.get_layer_depth(m[1])) ++(*seen)["tie"];
    }
}

TEST(BranchReference, RandomGraphsAndModelsAnswerAsTheSortedLists) {
    Seen graphs, models;
    for (uint32_t seed = 0; seed < 400; ++seed) {
        SCOPED_TRACE("graph seed " + std::to_string(seed));
        check_graph(random_fake_graph(seed, 3 + seed % 40), seed, &graphs);
    }
    for (uint32_t seed = 0; seed < 150; ++seed) {
        SCOPED_TRACE("model seed " + std::to_string(seed));
        check_graph(random_model(seed, 4 + seed % 37).model().layers(), seed, &models);
    }
    for (std::string const situation :
         {"main through the first outbound", "main through the second", "branches that never meet",
          "the same layer twice", "split in three or more", "skip DMAs of one depth in a row",
          "mappable layer chosen by branches", "merge on the main branch", "no merge off the main branch",
          "alternate", "dual output", "tie"}) {
        EXPECT_GE(graphs[situation], 10) << situation;
        // A model never links one layer twice.
        EXPECT_GE(models[situation], situation == "the same layer twice" ? 0 : 10) << "models: " << situation;
    }
}

// A chain whose every layer also feeds a side layer that ends the graph: no two branches ever meet,
// so the first layer's main branch needs the choice at every layer after it (a recursion would
// overflow the stack).
TEST(BranchReference, LongBranchesNeedNoDeepRecursion) {
    constexpr size_t length = 100000;
    std::vector<std::shared_ptr<FakeLayer>> chain{FakeLayer::make("l0", {K::CNP})}, sides;
    for (size_t i = 1; i < length; ++i) {
        chain.push_back(FakeLayer::make("l", {K::CNP}));
        connect(chain[i - 1], chain[i]);
        sides.push_back(FakeLayer::make("side", {K::CNP}));
        connect(chain[i - 1], sides.back());
    }
    {
        LayerGraph graph;
        auto const [main, skip] = graph.get_skipconnect_branch(chain[0]);
        EXPECT_EQ(main.size(), length - 1);  // through the first outbound layer: they never meet
        EXPECT_EQ(skip, LayerList{sides[0]});
        // A tie at depth 2: the layer whose branch runs on longer comes first in either order.
        EXPECT_EQ(graph.first_mappable_layer({chain[1], sides[0]}), chain[1]);
        EXPECT_EQ(graph.first_mappable_layer({sides[0], chain[1]}), chain[1]);
    }
    sides.clear();
    while (!chain.empty()) chain.pop_back();  // release from the end: no destructor cascade
}

}  // namespace
}  // namespace nuvra
