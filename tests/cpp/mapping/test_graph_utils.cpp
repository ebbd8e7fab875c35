#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "mapping/graph_utils.h"
#include "support/fake_layer.h"
#include "support/mapping_fixtures.h"

namespace nuvra {
namespace {

using testing::connect;
using testing::FakeLayer;
using testing::name_of;
using K = ComponentKind;
using Names = std::vector<std::string>;

// A graph of fake layers written as "a>b c>d ...". Each edge links both ways in the order given,
// so the edge order fixes every outbound and inbound order; a lone name makes an unlinked layer.
// The kind follows the name: in* none, s*, add*, cat* skip DMA, t* TNP-B, anything else CNP.
struct Graph {
    explicit Graph(std::string const& edges) {
        std::istringstream words(edges);
        for (std::string word; words >> word;) {
            auto const arrow = word.find('>');
            auto from = get(word.substr(0, arrow));
            if (arrow != std::string::npos) connect(from, get(word.substr(arrow + 1)));
        }
    }
    std::shared_ptr<FakeLayer> get(std::string const& name) {
        auto& layer = layers[name];
        K const kind = name.starts_with("in") ? K::None
                       : name[0] == 's' || name.starts_with("add") || name.starts_with("cat") ? K::SKIP_DMA
                       : name[0] == 't' ? K::TNP_B : K::CNP;
        if (!layer) layer = FakeLayer::make(name, {kind});
        return layer;
    }
    std::shared_ptr<Layer> operator[](std::string const& name) const {
        return name == "-" ? nullptr : layers.at(name);
    }
    LayerList list(Names const& names) const {
        LayerList result;
        for (auto const& name : names) result.push_back((*this)[name]);
        return result;
    }
    std::map<std::string, std::shared_ptr<FakeLayer>> layers;
};

// A residual block: add's inputs are (c3, c1), c1's outputs (c2, add).
char const* const kResidual = "in>c1 c1>c2 c2>c3 c3>add c1>add add>c4 c4>c5";
// The same block with c1's outputs listed as (add, c2).
char const* const kResidualSkipFirst = "in>c1 c2>c3 c3>add c1>add c1>c2 add>c4 c4>c5";
// add's result reaches c3 and, one layer later, the Concatenate: a dual output that is stored.
char const* const kDualOutput = "in>c1 c1>c2 c2>add c1>add add>c3 add>cat c3>cat cat>c4";
// add feeds c3 and c4 at the same depth.
char const* const kDualOutputEqualDepth = "in>c1 c1>add in>add add>c3 add>c4";

TEST(GraphUtils, Depth) {
    Graph g(std::string(kResidual) + " c5>s");
    std::pair<char const*, unsigned> const rows[] = {
        {"in", 1}, {"add", 4}, {"c5", 6}, {"s", 6},  // a skip DMA sits at the depth of its deepest input
    };
    DepthMemo memo;
    for (auto const& [layer, depth] : rows) EXPECT_EQ(get_layer_depth(g[layer], &memo), depth) << layer;
    EXPECT_EQ(get_layer_depth(nullptr, &memo), 0u);
}

TEST(GraphUtils, LongChainNeedsNoDeepRecursion) {
    constexpr size_t length = 100000;  // a recursive walk would overflow the stack
    std::vector<std::shared_ptr<FakeLayer>> chain{FakeLayer::make("l0", {K::None})};
    for (size_t i = 1; i < length; ++i) {
        chain.push_back(FakeLayer::make("l", {K::CNP}));
        connect(chain[i - 1], chain[i]);
    }
    DepthMemo memo;
    EXPECT_EQ(get_layer_depth(chain.back(), &memo), length);
    memo.clear();
    while (!chain.empty()) chain.pop_back();  // release from the end: no destructor cascade
}

TEST(GraphUtils, SortByDepthAndFirstCommonLayer) {
    Graph g("in>a a>b a>b2 in>s");
    std::pair<Names, Names> const sorts[] = {
        {{"b2", "b"}, {"b2", "b"}},  // equal depths keep their order
        {{"s", "in"}, {"in", "s"}},  // input key 0 before a skip DMA of depth 1
        {{"a", "-", "in"}, {"-", "in", "a"}},
    };
    for (auto const& [given, sorted] : sorts) {
        LayerList list = g.list(given);
        sort_by_depth(&list);
        EXPECT_EQ(testing::names_of(list), sorted);
    }
    Graph r(kResidual);
    struct Row { Names a, b; char const* expected; };
    Row const commons[] = {
        {{"c2", "c3", "add", "c4"}, {"add", "c4"}, "add"},
        {{"c4", "add"}, {"c4", "add"}, "add"},  // the shallowest, not the first found
        {{"c2"}, {"c3"}, "-"},
    };
    for (auto const& row : commons) EXPECT_EQ(name_of(first_common_layer(r.list(row.a), r.list(row.b))), row.expected);
}

TEST(GraphUtils, SkipConnectBranch) {
    struct Row { char const* graph; char const* layer; Names main, skip; };
    Row const rows[] = {
        // Either outbound order: the longer path is the main branch.
        {kResidual, "c1", {"c2", "c3", "add", "c4", "c5"}, {"add", "c4", "c5"}},
        {kResidualSkipFirst, "c1", {"c2", "c3", "add", "c4", "c5"}, {"add", "c4", "c5"}},
        {"x>a x>b x>c a>d", "x", {"a", "d"}, {}},  // three outbounds: only the first is followed
    };
    for (auto const& row : rows) {
        Graph g(row.graph);
        auto [main, skip] = get_skipconnect_branch(g[row.layer]);
        EXPECT_EQ(testing::names_of(main), row.main) << row.graph << " " << row.layer;
        EXPECT_EQ(testing::names_of(skip), row.skip) << row.graph << " " << row.layer;
    }
}

TEST(GraphUtils, BranchHeads) {
    struct Row { char const* graph; char const* layer; char const* main; char const* skip; };
    Row const rows[] = {
        {"in>x x>a x>b a>add b>add add>c", "x", "a", "b"},  // one depth: the first stays main
        {"in>x x>a x>b b>b2 a>add b2>add", "x", "b", "a"},  // the second rejoins over a longer path
        {kResidual, "c1", "c2", "add"},                   // the second is the rejoining point
        {"in>x x>a x>b a>a2", "x", "a", "b"},              // they never meet: the first stays main
        {"in>c1 c1>s2 c1>s1 s1>s2 s2>c2", "c1", "s1", "s2"},  // skip DMAs of one depth: s1 leads to s2
        {"x>a x>b x>c a>d", "x", "a", "-"},                // three outbounds: only the first
        {"x", "x", "-", "-"},
    };
    for (auto const& row : rows) {
        Graph g(row.graph);
        LayerGraph graph;
        auto const [main, skip] = graph.branch_heads(g[row.layer]);
        EXPECT_EQ(name_of(main), row.main) << row.graph;
        EXPECT_EQ(name_of(skip), row.skip) << row.graph;
        auto const [main_list, skip_list] = get_skipconnect_branch(g[row.layer]);
        EXPECT_EQ(name_of(main_list.empty() ? nullptr : main_list.front()), row.main) << row.graph;
        EXPECT_EQ(name_of(skip_list.empty() ? nullptr : skip_list.front()), row.skip) << row.graph;
    }
}

TEST(GraphUtils, Predicates) {
    struct Row { char const* graph; char const* layer; std::string holds; };  // the predicates answering true
    Row const rows[] = {
        {kResidual, "c1", "split skip store"},  // its output is the skip input of c4
        {kResidual, "add", ""},  // not a CNP layer
        {kResidual, "c4", "merge load"}, {"t", "t", "load store"},
        {kDualOutput, "c3", "merge dual dual_store skip store load"},
        {kDualOutputEqualDepth, "c3", "merge dual load"},  // straight to the other branch
        {kDualOutputEqualDepth, "c4", ""},
        {"s0>s x>s s>y", "x", "skip store"},  // s0 has no mappable layer: x is still the producer
    };
    for (auto const& row : rows) {
        Graph g(row.graph);
        auto const layer = g[row.layer];
        std::pair<char const*, bool> const answers[] = {
            {"split", is_split_layer(layer)}, {"merge", is_merge(layer)}, {"skip", is_skip_layer(layer)},
            {"load", layer_need_load_dma(layer)}, {"store", layer_need_store_dma(layer)},
            {"dual", is_dual_output_layer(layer)},
            {"dual_store", is_dual_output_to_store_dma(layer)},
        };
        std::istringstream words(row.holds);
        std::set<std::string> const holds{std::istream_iterator<std::string>(words), {}};
        for (auto const& [name, answer] : answers)
            EXPECT_EQ(answer, holds.contains(name)) << row.graph << " " << row.layer << " " << name;
    }
    EXPECT_FALSE(is_merge(nullptr));
}

TEST(GraphUtils, MappableLayers) {
    Graph g(std::string(kResidual) + " s1>s2 slone");
    std::pair<char const*, char const*> const own[] = {
        {"in", "in"}, {"add", "c4"}, {"s1", "-"}, {"slone", "-"}, {"-", "-"},  // add's outbound carries its mapping
    };
    for (auto const& [layer, expected] : own) EXPECT_EQ(name_of(get_mappable_layer(g[layer])), expected) << layer;
    Graph empty_branches("s>p s>q in>a in>b");
    EXPECT_EQ(name_of(get_mappable_layer(empty_branches["s"])), "p");  // both branches empty: the first

    struct Row { Graph const* graph; Names list; char const* first; char const* last; };
    Row const rows[] = {
        {&g, {"in", "c1", "c2", "c3", "add", "c4", "c5"}, "c1", "c5"},
        {&g, {"c4", "c2", "add"}, "c2", "c4"}, {&g, {"in", "add"}, "-", "-"},
        {&empty_branches, {"a", "b"}, "a", "b"},  // a tie without branches keeps first and last
    };
    for (auto const& row : rows) {
        EXPECT_EQ(name_of(first_mappable_layer(row.graph->list(row.list))), row.first);
        EXPECT_EQ(name_of(last_mappable_layer(row.graph->list(row.list))), row.last);
    }
    std::pair<char const*, char const*> const next[] = {{"in", "c1"}, {"add", "c4"}, {"c5", "-"}};
    for (auto const& [layer, expected] : next) EXPECT_EQ(name_of(next_mappable_layer(g[layer])), expected);
    std::pair<char const*, char const*> const previous[] = {
        {"in", "-"}, {"c4", "c3"},  // a merge: the deepest producer feeding its skip DMA
    };
    for (auto const& [layer, expected] : previous)
        EXPECT_EQ(name_of(previous_mappable_layer(g[layer])), expected);
    // x names s as input but s does not list x: the main branch of s is empty.
    Graph odd("s x");
    odd.get("x")->add_inbound(odd["s"]);
    EXPECT_EQ(previous_mappable_layer(odd["x"]), nullptr);
}

TEST(GraphUtils, AlternateLayer) {
    Graph g("in>x x>a x>b in>y y>s1 y>s2");  // y's branches have no mappable layer
    DepthMemo memo;
    EXPECT_TRUE(is_alt_layer(g["x"], &memo));
    EXPECT_EQ(memo.at(g["b"]), 3u);
    EXPECT_FALSE(is_alt_layer(g["y"], &memo));
    EXPECT_FALSE(is_alt_layer(g["a"], &memo));
    Graph r(kResidual);
    EXPECT_FALSE(is_alt_layer(r["c1"], &memo));  // c2 at depth 3, c4 at depth 5
}

TEST(GraphUtils, OutBranchesAndLayersToMapTogether) {
    Graph g(std::string(kResidual) + " A>B B>C C>D");
    struct Row { Names layers; int64_t branches; Names together; };
    Row const rows[] = {
        {{"A", "B", "C"}, 1, {"A"}},  // C's outbound D lies outside the list
        {{"c1"}, 2, {"c1"}},          // a split with both outputs outside
        {{"c1", "c2", "c3", "add", "c4"}, 1, {"c1", "c2", "c3", "add", "c4"}},
        {{"c1", "c2", "c3"}, 2, {"c1", "c2", "c3"}},  // the skip branch never closes
    };
    for (auto const& row : rows) {
        EXPECT_EQ(get_out_branches_count(g.list(row.layers)), row.branches) << row.layers.size();
        EXPECT_EQ(testing::names_of(get_layers_to_map_together(g.list(row.layers))), row.together);
    }
}

}  // namespace
}  // namespace nuvra
