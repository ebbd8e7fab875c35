#include <gtest/gtest.h>

#include <map>
#include <string>

#include "mapping/graph_utils.h"
#include "support/fake_layer.h"

namespace nuvra {
namespace {

using testing::connect;
using testing::FakeLayer;
using K = ComponentKind;
using Fake = std::shared_ptr<FakeLayer>;

std::vector<std::string> names(LayerList const& layers) {
    std::vector<std::string> result;
    for (auto const& layer : layers) result.push_back(layer ? layer->get_name() : "<null>");
    return result;
}

std::string name_of(std::shared_ptr<Layer> const& layer) {
    return layer ? layer->get_name() : "<null>";
}

// A graph of fake layers by name.
struct Graph {
    std::map<std::string, Fake> layers;

    Fake add(std::string const& name, std::set<K> kinds) {
        auto layer = FakeLayer::make(name, std::move(kinds));
        layers[name] = layer;
        return layer;
    }
    Fake operator[](std::string const& name) const { return layers.at(name); }
    LayerList list(std::vector<std::string> const& wanted) const {
        LayerList result;
        for (auto const& name : wanted) result.push_back(layers.at(name));
        return result;
    }
};

// input -> c1 -> c2 -> c3 -> add -> c4 -> c5, with c1 also feeding add (a residual block).
// add's inputs are (c3, c1); c1's outputs (c2, add), or (add, c2) with `skip_first`.
Graph residual_block(bool skip_first = false) {
    Graph g;
    auto in = g.add("in", {K::None});
    auto c1 = g.add("c1", {K::CNP});
    auto c2 = g.add("c2", {K::CNP});
    auto c3 = g.add("c3", {K::CNP});
    auto add = g.add("add", {K::SKIP_DMA});
    auto c4 = g.add("c4", {K::CNP});
    auto c5 = g.add("c5", {K::CNP});
    connect(in, c1);
    if (skip_first) {
        c1->add_outbound(add);
        connect(c1, c2);
    } else {
        connect(c1, c2);
        c1->add_outbound(add);
    }
    connect(c2, c3);
    connect(c3, add);
    add->add_inbound(c1);
    connect(add, c4);
    connect(c4, c5);
    return g;
}

TEST(GraphUtilsDepth, ChainAndSkipDma) {
    Graph g;
    auto in = g.add("in", {K::None});
    auto a = g.add("A", {K::CNP});
    auto b = g.add("B", {K::CNP});
    auto s = g.add("S", {K::SKIP_DMA});
    connect(in, a);
    connect(a, b);
    connect(b, s);

    struct Row {
        char const* layer;
        unsigned depth;
        bool memoised;
    };
    Row const rows[] = {
        {"in", 1, false},  // no inbound layers: depth 1, nothing stored
        {"A", 2, true},
        {"B", 3, true},
        {"S", 3, true},    // a skip DMA sits at the depth of its deepest input
    };
    DepthMemo memo;
    for (auto const& row : rows) {
        EXPECT_EQ(get_layer_depth(g[row.layer], &memo), row.depth) << row.layer;
        EXPECT_EQ(memo.count(g[row.layer]), row.memoised ? 1u : 0u) << row.layer;
    }
    EXPECT_EQ(get_layer_depth(nullptr, &memo), 0u);
}

TEST(GraphUtilsDepth, MemoAnswersWithoutWalkingAgain) {
    Graph g;
    auto in = g.add("in", {K::None});
    auto a = g.add("A", {K::CNP});
    connect(in, a);
    DepthMemo memo{{a, 7}};
    EXPECT_EQ(get_layer_depth(a, &memo), 7u);
}

TEST(GraphUtilsDepth, DeepestInputWins) {
    Graph g = residual_block();
    DepthMemo memo;
    std::pair<char const*, unsigned> const rows[] = {
        {"in", 1}, {"c1", 2}, {"c2", 3}, {"c3", 4}, {"add", 4}, {"c4", 5}, {"c5", 6},
    };
    for (auto const& [layer, depth] : rows) EXPECT_EQ(get_layer_depth(g[layer], &memo), depth) << layer;
}

TEST(GraphUtilsDepth, LongChainNeedsNoDeepRecursion) {
    // Deep enough that a recursive walk would overflow the stack.
    constexpr size_t length = 100000;
    std::vector<Fake> chain{FakeLayer::make("l0", {K::None})};
    for (size_t i = 1; i < length; ++i) {
        chain.push_back(FakeLayer::make("l", {K::CNP}));
        connect(chain[i - 1], chain[i]);
    }
    DepthMemo memo;
    EXPECT_EQ(get_layer_depth(chain.back(), &memo), length);
    EXPECT_EQ(memo.size(), length - 1);
    // Each layer owns its input: release from the end so that no destructor cascades.
    memo.clear();
    while (!chain.empty()) chain.pop_back();
}

TEST(GraphUtilsSort, ByDepthStable) {
    Graph g;
    auto in = g.add("in", {K::None});
    auto a = g.add("A", {K::CNP});
    auto b = g.add("B", {K::CNP});
    auto b2 = g.add("B2", {K::CNP});
    auto s = g.add("S", {K::SKIP_DMA});
    connect(in, a);
    connect(a, b);
    connect(a, b2);
    connect(in, s);

    struct Row {
        std::vector<std::string> given;
        std::vector<std::string> sorted;
    };
    Row const rows[] = {
        {{"B", "in", "A"}, {"in", "A", "B"}},
        {{"B2", "B"}, {"B2", "B"}},              // equal depths keep their order
        {{"B", "B2"}, {"B", "B2"}},
        {{"S", "in"}, {"in", "S"}},              // input key 0 before a skip DMA of depth 1
        {{}, {}},
    };
    for (auto const& row : rows) {
        LayerList list = g.list(row.given);
        sort_by_depth(&list);
        EXPECT_EQ(names(list), row.sorted);
    }
}

TEST(GraphUtilsSort, NullEntriesSortFirstWithoutFailing) {
    Graph g;
    auto in = g.add("in", {K::None});
    auto a = g.add("A", {K::CNP});
    connect(in, a);
    LayerList list{a, nullptr, in};
    sort_by_depth(&list);
    EXPECT_EQ(names(list), (std::vector<std::string>{"<null>", "in", "A"}));
}

TEST(GraphUtilsCommon, FirstCommonLayer) {
    Graph g = residual_block();
    struct Row {
        std::vector<std::string> a;
        std::vector<std::string> b;
        char const* expected;
    };
    Row const rows[] = {
        {{"c2", "c3", "add", "c4"}, {"add", "c4"}, "add"},
        {{"c4", "add"}, {"c4", "add"}, "add"},  // the shallowest, not the first found
        {{"c2"}, {"c3"}, "<null>"},
        {{}, {"c3"}, "<null>"},
        {{"c3"}, {}, "<null>"},
    };
    for (auto const& row : rows)
        EXPECT_EQ(name_of(first_common_layer(g.list(row.a), g.list(row.b))), row.expected);
}

TEST(GraphUtilsBranch, ResidualBlock) {
    using Names = std::vector<std::string>;
    struct Row {
        bool skip_first;  // c1 lists add before c2
        Names main;
        Names skip;
    };
    // Both outbound orders give the same branches: the longer path is the main branch.
    Row const rows[] = {
        {false, {"c2", "c3", "add", "c4", "c5"}, {"add", "c4", "c5"}},
        {true, {"c2", "c3", "add", "c4", "c5"}, {"add", "c4", "c5"}},
    };
    for (auto const& row : rows) {
        Graph g = residual_block(row.skip_first);
        auto [main, skip] = get_skipconnect_branch(g["c1"]);
        EXPECT_EQ(names(main), row.main) << row.skip_first;
        EXPECT_EQ(names(skip), row.skip) << row.skip_first;
    }
}

TEST(GraphUtilsBranch, OneThreeOrNoOutbounds) {
    Graph g;
    auto x = g.add("x", {K::CNP});
    auto a = g.add("a", {K::CNP});
    auto b = g.add("b", {K::CNP});
    auto c = g.add("c", {K::CNP});
    auto d = g.add("d", {K::CNP});
    connect(x, a);
    connect(x, b);
    connect(x, c);
    connect(a, d);

    auto [main3, skip3] = get_skipconnect_branch(x);
    EXPECT_EQ(names(main3), (std::vector<std::string>{"a", "d"}));
    EXPECT_TRUE(skip3.empty());

    auto [main1, skip1] = get_skipconnect_branch(a);
    EXPECT_EQ(names(main1), (std::vector<std::string>{"d"}));
    EXPECT_TRUE(skip1.empty());

    auto [main0, skip0] = get_skipconnect_branch(d);
    EXPECT_TRUE(main0.empty());
    EXPECT_TRUE(skip0.empty());
}

TEST(GraphUtilsPredicates, ResidualBlock) {
    Graph g = residual_block();
    struct Row {
        char const* layer;
        bool split, merge, skip, need_load, need_store;
    };
    Row const rows[] = {
        {"in", false, false, false, false, false},
        {"c1", true, false, true, false, true},    // its output is the skip input of c4
        {"c2", false, false, false, false, false},
        {"c3", false, false, false, false, false},
        {"add", false, false, false, false, false}, // not a CNP layer
        {"c4", false, true, false, true, false},    // the skip connection rejoins here
        {"c5", false, false, false, false, false},
    };
    for (auto const& row : rows) {
        auto layer = g[row.layer];
        EXPECT_EQ(is_split_layer(layer), row.split) << row.layer;
        EXPECT_EQ(is_merge(layer), row.merge) << row.layer;
        EXPECT_EQ(is_skip_layer(layer), row.skip) << row.layer;
        EXPECT_EQ(layer_need_load_dma(layer), row.need_load) << row.layer;
        EXPECT_EQ(layer_need_store_dma(layer), row.need_store) << row.layer;
        EXPECT_FALSE(is_dual_output_layer(layer)) << row.layer;
        EXPECT_FALSE(is_dual_output_to_store_dma(layer)) << row.layer;
    }
}

TEST(GraphUtilsPredicates, TnpBNeedsLoadAndStore) {
    auto t = FakeLayer::make("t", {K::TNP_B});
    EXPECT_TRUE(layer_need_load_dma(t));
    EXPECT_TRUE(layer_need_store_dma(t));
    EXPECT_FALSE(is_merge(t));
}

// in -> c1 -> c2 -> add(c2, c1) -> c3 -> cat(add, c3) -> c4: add's result reaches c3 and, one
// layer later, the Concatenate: a dual output that has to be stored.
Graph dual_output_graph() {
    Graph g;
    auto in = g.add("in", {K::None});
    auto c1 = g.add("c1", {K::CNP});
    auto c2 = g.add("c2", {K::CNP});
    auto add = g.add("add", {K::SKIP_DMA});
    auto c3 = g.add("c3", {K::CNP});
    auto cat = g.add("cat", {K::SKIP_DMA});
    auto c4 = g.add("c4", {K::CNP});
    connect(in, c1);
    connect(c1, c2);
    connect(c2, add);
    connect(c1, add);
    connect(add, c3);
    connect(add, cat);
    connect(c3, cat);
    connect(cat, c4);
    return g;
}

TEST(GraphUtilsPredicates, DualOutput) {
    Graph g = dual_output_graph();
    struct Row {
        char const* layer;
        bool merge, dual, dual_to_store, skip, need_store;
    };
    Row const rows[] = {
        {"c1", false, false, false, true, true},
        {"c2", false, false, false, false, false},
        {"c3", true, true, true, true, true},
        {"c4", true, false, false, false, false},
    };
    for (auto const& row : rows) {
        auto layer = g[row.layer];
        EXPECT_EQ(is_merge(layer), row.merge) << row.layer;
        EXPECT_EQ(is_dual_output_layer(layer), row.dual) << row.layer;
        EXPECT_EQ(is_dual_output_to_store_dma(layer), row.dual_to_store) << row.layer;
        EXPECT_EQ(is_skip_layer(layer), row.skip) << row.layer;
        EXPECT_EQ(layer_need_store_dma(layer), row.need_store) << row.layer;
    }
}

TEST(GraphUtilsPredicates, DualOutputAtEqualDepthGoesStraight) {
    // add feeds c3 and c4 at the same depth: c3 (main branch) is the merge, c4 is not.
    Graph g;
    auto in = g.add("in", {K::None});
    auto c1 = g.add("c1", {K::CNP});
    auto add = g.add("add", {K::SKIP_DMA});
    auto c3 = g.add("c3", {K::CNP});
    auto c4 = g.add("c4", {K::CNP});
    connect(in, c1);
    connect(c1, add);
    connect(in, add);
    connect(add, c3);
    connect(add, c4);
    EXPECT_TRUE(is_merge(c3));
    EXPECT_FALSE(is_merge(c4));
    EXPECT_TRUE(is_dual_output_layer(c3));
    EXPECT_FALSE(is_dual_output_to_store_dma(c3));
}

TEST(GraphUtilsMappable, OwnOrCarrier) {
    Graph g = residual_block();
    auto s1 = g.add("s1", {K::SKIP_DMA});
    auto s2 = g.add("s2", {K::SKIP_DMA});
    connect(s1, s2);  // a skip DMA that feeds only skip DMAs
    auto lone = g.add("lone", {K::SKIP_DMA});

    std::pair<char const*, char const*> const rows[] = {
        {"c2", "c2"},      // a layer that is not a skip DMA is its own mappable layer
        {"in", "in"},
        {"add", "c4"},     // one non-skip-DMA outbound layer carries the mapping
        {"s1", "<null>"},
        {"lone", "<null>"},
    };
    for (auto const& [layer, expected] : rows)
        EXPECT_EQ(name_of(get_mappable_layer(g[layer])), expected) << layer;
    EXPECT_EQ(get_mappable_layer(nullptr), nullptr);
}

TEST(GraphUtilsMappable, SkipDmaSplitWithEmptyBranches) {
    // Two outbound layers with nothing after them: both branches are empty, the first wins.
    Graph g;
    auto s = g.add("s", {K::SKIP_DMA});
    auto p = g.add("p", {K::CNP});
    auto q = g.add("q", {K::CNP});
    connect(s, p);
    connect(s, q);
    EXPECT_EQ(get_mappable_layer(s), p);
}

TEST(GraphUtilsMappable, FirstLastNextPrevious) {
    Graph g = residual_block();
    EXPECT_EQ(name_of(first_mappable_layer(g.list({"in", "c1", "c2", "c3", "add", "c4", "c5"}))), "c1");
    EXPECT_EQ(name_of(last_mappable_layer(g.list({"in", "c1", "c2", "c3", "add", "c4", "c5"}))), "c5");
    EXPECT_EQ(name_of(first_mappable_layer(g.list({"c4", "c2", "add"}))), "c2");
    EXPECT_EQ(name_of(last_mappable_layer(g.list({"c4", "c2", "add"}))), "c4");
    EXPECT_EQ(first_mappable_layer(g.list({"in", "add"})), nullptr);
    EXPECT_EQ(last_mappable_layer(g.list({"in", "add"})), nullptr);
    EXPECT_EQ(first_mappable_layer({}), nullptr);
    EXPECT_EQ(last_mappable_layer({}), nullptr);

    std::pair<char const*, char const*> const next_rows[] = {
        {"in", "c1"}, {"c1", "c2"}, {"c3", "c4"}, {"add", "c4"}, {"c5", "<null>"},
    };
    for (auto const& [layer, expected] : next_rows)
        EXPECT_EQ(name_of(next_mappable_layer(g[layer])), expected) << layer;

    std::pair<char const*, char const*> const previous_rows[] = {
        {"in", "<null>"},
        {"c1", "in"},   // the first inbound layer when it is not a skip DMA
        {"c2", "c1"},
        {"c4", "c3"},   // a merge: the deepest producer feeding its skip DMA
        {"c5", "c4"},
    };
    for (auto const& [layer, expected] : previous_rows)
        EXPECT_EQ(name_of(previous_mappable_layer(g[layer])), expected) << layer;
}

TEST(GraphUtilsMappable, TieBetweenLayersWithoutBranches) {
    // Two mappable layers of equal depth with nothing after them: empty branches count as depth
    // 0, the first stays first and the last stays last.
    Graph g;
    auto in = g.add("in", {K::None});
    auto a = g.add("A", {K::CNP});
    auto b = g.add("B", {K::CNP});
    connect(in, a);
    connect(in, b);
    EXPECT_EQ(first_mappable_layer({a, b}), a);
    EXPECT_EQ(last_mappable_layer({a, b}), b);
}

TEST(GraphUtilsMappable, PreviousThroughSkipDmaThatDoesNotListTheLayer) {
    // An inconsistent graph: x names s as input but s does not list x. The main branch of s is
    // empty and there is no previous mappable layer.
    Graph g;
    auto s = g.add("s", {K::SKIP_DMA});
    auto x = g.add("x", {K::FNP});
    x->add_inbound(s);
    EXPECT_EQ(previous_mappable_layer(x), nullptr);
}

TEST(GraphUtilsMappable, SkipLayerIgnoresProducersWithoutMapping) {
    // s0 is a skip DMA feeding only s, so it has no mappable layer; x is still the producer.
    Graph g;
    auto x = g.add("x", {K::CNP});
    auto s0 = g.add("s0", {K::SKIP_DMA});
    auto s = g.add("s", {K::SKIP_DMA});
    auto y = g.add("y", {K::CNP});
    connect(s0, s);
    connect(x, s);
    connect(s, y);
    EXPECT_TRUE(is_skip_layer(x));
}

TEST(GraphUtilsAlt, EqualDepthBranches) {
    Graph g;
    auto in = g.add("in", {K::None});
    auto x = g.add("x", {K::CNP});
    auto a = g.add("a", {K::CNP});
    auto b = g.add("b", {K::CNP});
    auto s1 = g.add("s1", {K::SKIP_DMA});
    auto s2 = g.add("s2", {K::SKIP_DMA});
    auto y = g.add("y", {K::CNP});
    connect(in, x);
    connect(x, a);
    connect(x, b);
    connect(in, y);
    connect(y, s1);  // y's branches have no mappable layer
    connect(y, s2);
    DepthMemo memo;
    EXPECT_TRUE(is_alt_layer(x, &memo));
    EXPECT_EQ(memo.at(a), 3u);
    EXPECT_EQ(memo.at(b), 3u);
    EXPECT_FALSE(is_alt_layer(y, &memo));
    EXPECT_FALSE(is_alt_layer(a, &memo));  // one outbound layer at most
    Graph r = residual_block();
    EXPECT_FALSE(is_alt_layer(r["c1"], &memo));  // c2 at depth 3, c4 at depth 5
}

TEST(GraphUtilsCounts, OutBranchesAndLayersToMapTogether) {
    Graph g = residual_block();
    auto a = g.add("A", {K::CNP});
    auto b = g.add("B", {K::CNP});
    auto c = g.add("C", {K::CNP});
    auto d = g.add("D", {K::CNP});
    connect(a, b);
    connect(b, c);
    connect(c, d);

    struct Row {
        std::vector<std::string> layers;
        int64_t branches;
        std::vector<std::string> together;
    };
    Row const rows[] = {
        {{}, 0, {}},
        {{"A", "B", "C"}, 1, {"A"}},                    // C's outbound D lies outside the list
        {{"c1"}, 2, {"c1"}},                            // a split with both outputs outside
        {{"c1", "c2", "c3", "add", "c4"}, 1, {"c1", "c2", "c3", "add", "c4"}},
        {{"c1", "c2", "c3"}, 2, {"c1", "c2", "c3"}},    // the skip branch never closes
    };
    for (auto const& row : rows) {
        EXPECT_EQ(get_out_branches_count(g.list(row.layers)), row.branches) << row.layers.size();
        EXPECT_EQ(names(get_layers_to_map_together(g.list(row.layers))), row.together);
    }
}

TEST(GraphUtilsGraph, SharedAnswersMatchFreeFunctions) {
    Graph g = dual_output_graph();
    DepthMemo memo;
    LayerGraph graph(&memo);
    for (auto const& [name, layer] : g.layers) {
        EXPECT_EQ(graph.is_merge(layer), is_merge(layer)) << name;
        EXPECT_EQ(graph.layer_need_store_dma(layer), layer_need_store_dma(layer)) << name;
        EXPECT_EQ(graph.get_mappable_layer(layer), get_mappable_layer(layer)) << name;
        EXPECT_EQ(graph.previous_mappable_layer(layer), previous_mappable_layer(layer)) << name;
        EXPECT_EQ(graph.next_mappable_layer(layer), next_mappable_layer(layer)) << name;
    }
    EXPECT_EQ(memo.at(g["c4"]), 5u);
}

}  // namespace
}  // namespace nuvra
