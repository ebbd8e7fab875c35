#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/split.h"
#include "mapping/splitters.h"
#include "support/error_text.h"
#include "support/layer_fixtures.h"
#include "support/split_doubles.h"

namespace nuvra {
namespace {

std::shared_ptr<testing::FakeLayer> layer_of(LayerType type, Shape input, std::map<std::string, int> const& params) {
    return split_layer("L1", type, input, params);
}
std::shared_ptr<testing::FakeLayer> conv_layer(Shape input, int filters = 16) {
    return layer_of(LayerType::Conv2D, input, {{"filters", filters}, {"kernel_size", 3}});
}

TEST(Split, Cut) {
    struct Row { uint32_t total, max_chunk, align; uint32_t num_chunks, chunk_size; };  // both 0: the cut fails
    Row const rows[] = {
        {100, 30, 8, 5, 24},            // 4 x 25 rounds to 32 > 30: one alignment step less
        {10, 3, 4, 0, 0},               // limit below the alignment
        {0, 5, 1, 0, 0},                // empty dimension
        {100, 60, 32, 4, 32},           // 50 rounds to 64 > 60
        {5, 0, 0, 0, 0},                // no limit and no alignment cannot cut
        {0xFFFFFFF0u, 0x20, 1, 0, 0},   // the count's ceiling does not fit 32 bits
    };
    for (auto const& row : rows) {
        Split const s(row.total, row.max_chunk, row.align);
        EXPECT_EQ(s.num_chunks, row.num_chunks) << row.total << "/" << row.max_chunk;
        EXPECT_EQ(s.chunk_size, row.chunk_size) << row.total << "/" << row.max_chunk;
        if (row.num_chunks == 0 && row.total != 0) { EXPECT_EQ(s, Split()) << "a failed cut clears every field"; }
    }
}

TEST(Split, FactorsAndSplitsNumber) {
    using V = std::vector<SplitsNumChunks>;
    EXPECT_TRUE(factor_pairs(0).empty());
    EXPECT_EQ(SplitsNumChunks::get_splits_number(4),
              (V{{4, 1, 1}, {2, 2, 1}, {2, 1, 2}, {1, 4, 1}, {1, 2, 2}, {1, 1, 4}}));
    EXPECT_EQ(SplitsNumChunks::get_splits_number(1), (V{{1, 1, 1}}));
    for (auto const& t : SplitsNumChunks::get_splits_number(8)) EXPECT_FALSE(t.width == 2 && t.height == 2);
    auto const twelve = SplitsNumChunks::get_splits_number(12);
    EXPECT_EQ(twelve.size(), 3u + 6u + 6u);  // orderings of {1,1,12}, {1,2,6}, {1,3,4}, never {2,2,3}
}

// The halo holds by name what make_split_params took in reading order, and each side widens
// the chunk windows along its own axis only.
TEST(Split, HaloSidesByTheirAxis) {
    NpSplitParams const params = make_split_params(1, 2, 3, 4, 0, 0, 0, 16);
    EXPECT_EQ(params.halo, (Halo{.left = 1, .right = 2, .top = 3, .bottom = 4}));
    // 2 x 2 chunks of 4 x 4, width outermost: a first chunk reads no leading halo, a last chunk
    // no trailing one.
    struct Row { uint32_t x, y, width, height; };
    Row const windows[] = {{0, 0, 4 + 2, 4 + 4}, {0, 4 - 3, 4 + 2, 3 + 4}, {4 - 1, 0, 1 + 4, 4 + 4},
                           {4 - 1, 4 - 3, 1 + 4, 3 + 4}};
    auto const components = build_split_components(*conv_layer(Shape{8, 8, 3}), params, false, hw::Type::CNP1,
                                                   Split(8, 4, 1), Split(8, 4, 1), Split(16, 16, 1));
    ASSERT_EQ(components.size(), std::size(windows));
    for (size_t i = 0; i < components.size(); ++i)
        EXPECT_EQ(components[i].halo_partition(),
                  (NpSpace{windows[i].x, windows[i].y, Shape{windows[i].width, windows[i].height, 3}}))
            << i;
}

TEST(Split, FirstCuts) {
    auto layer = conv_layer(Shape{8, 300, 70});
    NpSplitParams params = make_split_params(1, 1, 1, 1, 1, 2, 4, 16);
    EXPECT_EQ(split_by_height(*layer, params, 256), Split(300, 256, 2));  // aligned to the max-pool width
    params.pool_type = 2;  // average pooling: no alignment
    EXPECT_EQ(split_by_height(*layer, params, 256), Split(300, 256, 1));
    EXPECT_EQ(split_by_neurons(*layer, 70, 64, true).align, 1u);
    layer->set_kinds({ComponentKind::TNP_B});
    EXPECT_EQ(split_by_neurons(*layer, 70, 64, true), Split(70, 64, 4));

    // split_for_weights refines until one chunk fits.
    struct Row {
        Split start; uint32_t max_weight_filters; uint32_t num_chunks, chunk_size; std::vector<uint32_t> queries;
    };
    Row const rows[] = {
        {Split(300, 512, 1), 100, 3, 100, {300, 150, 100}},
        {Split(70, 64, 4), 20, 4, 20, {36, 24, 20}},
        {Split(13, 8, 4), 4, 4, 4, {8, 4}},  // three chunks of 8 would leave the last empty: not asked
        {Split(12, 8, 8), 4, 0, 0, {8}},     // chunks of 8 never fit and never get finer
    };
    for (auto const& row : rows) {
        SplitTestChecker checker;
        checker.max_weight_filters = row.max_weight_filters;
        Split const cut = split_for_weights(*layer, checker, row.start);
        EXPECT_EQ(cut.num_chunks, row.num_chunks) << row.start.total;
        EXPECT_EQ(cut.chunk_size, row.chunk_size) << row.start.total;
        EXPECT_EQ(checker.weight_queries, row.queries) << row.start.total;
    }
}

struct SearchSetup {
    uint32_t channels = 4;
    NpSplitParams params;
    Split height = Split(16, 256, 1), width = Split(16, 64, 1), filters = Split(16, 512, 1);
    bool hwpr = false, follow = false, height_cut = true, tnp_b = false;
    FirstChunkShift shift;
};

TEST(Split, Search) {
    using S = SearchSetup&;
    using C = SplitTestChecker&;
    // last_width: of the last fit query; -1: not checked
    struct Row {
        char const* name; std::function<void(S, C)> set; bool found;
        uint32_t width_chunks, width_size, height_chunks, filter_chunks; BufferMode mode; int last_width;
    };
    auto const Dual = BufferMode::Dual, Single = BufferMode::Single;
    Row const rows[] = {
        {"one NP", [](S, C) {}, true, 1, 16, 1, 1, Dual, -1},
        {"single buffer only", [](S, C c) { c.dual_capacity = 0; }, true, 1, 16, 1, 1, Single, -1},
        {"fewest NPs, then most width chunks",
         [](S, C c) { c.dual_capacity = 16 * 4 * 4, c.single_capacity = 0; }, true, 4, 4, 1, 1, Dual, -1},
        {"loop itself refuses a single buffer", [](S s, C c) { s.hwpr = true, c.dual_capacity = 16 * 8 * 4; }, true,
         2, 8, 1, 1, Dual, -1},
        {"halo widens the fit window",
         [](S s, C c) {
             s.width = Split(30, 64, 1), s.params = make_split_params(1, 1, 0, 0, 0, 0, 0, 16);
             c.dual_capacity = 12 * 16 * 4, c.single_capacity = 0;
         },
         true, 3, 10, 1, 1, Dual, 12},
        {"TNP-B last chunk not whole groups of 4",
         [](S s, C) { s.follow = s.tnp_b = true, s.filters = Split(70, 64, 4); }, false, 0, 0, 0, 0, Dual, -1},
        {"height may not be cut", [](S s, C) { s.height_cut = false, s.height = Split(300, 256, 1); }, false, 0, 0,
         0, 0, Dual, -1},
        // 4096 x 4096 x 2048 is 2^35: a 32-bit bound would be 0.
        {"bound in 64 bits",
         [](S s, C c) {
             s.channels = 1, s.width = s.height = Split(4096, 4096, 1), s.filters = Split(2048, 2048, 1);
             c.dual_capacity = 4096ull * 2048, c.single_capacity = 0;
         },
         true, 2, 2048, 1, 1, Dual, -1},
        // The first chunk gives two columns to the last, which would grow to 27 > 25.
        {"shifted last chunk within the limit", [](S s, C) { s.width = Split(100, 25, 1), s.shift = {2, 0}; }, true,
         5, 20, 1, 1, Dual, 22},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        SearchSetup s;
        SplitTestChecker checker;
        row.set(s, checker);
        auto const r = find_split_chunks(s.channels, 8, s.params, checker, s.height, s.width, s.filters, 0,
                                         hw::Type::CNP1, s.hwpr, 0, s.follow, s.height_cut, s.tnp_b, s.shift);
        ASSERT_EQ(r.found, row.found);
        if (!r.found) continue;
        EXPECT_EQ((std::vector<uint32_t>{r.width.num_chunks, r.width.chunk_size, r.height.num_chunks,
                                         r.filters.num_chunks}),
                  (std::vector<uint32_t>{row.width_chunks, row.width_size, row.height_chunks, row.filter_chunks}));
        EXPECT_EQ(r.buffer_mode, row.mode);
        if (row.last_width >= 0) { EXPECT_EQ(checker.fit_queries.back().width, uint32_t(row.last_width)); }
    }
}

// The finest cut is asked once per buffer, not every cut on the way.
TEST(Split, NothingFitsFailsAtOnce) {
    SplitTestChecker checker;
    checker.dual_capacity = checker.single_capacity = 0;
    EXPECT_FALSE(find_split_chunks(2048, 8, make_split_params(3, 3, 3, 3, 0, 0, 0, 2048), checker,
                                   Split(4096, 256, 1), Split(4096, 64, 1), Split(2048, 512, 1), 0, hw::Type::CNP1,
                                   false, 0, false, true, false, {})
                     .found);
    ASSERT_EQ(checker.fit_queries.size(), 2u);
    EXPECT_EQ(checker.fit_queries[0].width, 1u + 3 + 3);
}

// Per component: x, y, width, height, channels, halo x, halo width, first neuron, filters.
std::vector<std::vector<uint32_t>> views(std::vector<hw::Component> const& components) {
    std::vector<std::vector<uint32_t>> result;
    for (auto const& c : components) {
        auto const s = c.spatial_partition();
        auto const h = c.halo_partition();
        result.push_back({s.x, s.y, s.shape[0], s.shape[1], s.shape[2], h.x, h.shape[0], c.start_neuron(), c.filters()});
    }
    return result;
}

TEST(Split, Components) {
    struct Row {
        char const* name; std::shared_ptr<testing::FakeLayer> layer; NpSplitParams params; Split width, height, filters;
        std::vector<std::vector<uint32_t>> expected;
    };
    auto const pooled = conv_layer(Shape{100, 10, 3});
    PoolingCalculatedParams shifted{};
    shifted.padding.left = 2;  // the first chunk is two columns shorter
    pooled->set_pool_block(shifted);
    Row const rows[] = {
        {"halo of paddings (1, 1)", conv_layer(Shape{30, 8, 3}), make_split_params(1, 1, 1, 1, 0, 0, 0, 16),
         Split(30, 10, 1), Split(8, 8, 1), Split(16, 16, 1),
         {{0, 0, 10, 8, 3, 0, 11, 0, 16}, {10, 0, 10, 8, 3, 9, 12, 0, 16}, {20, 0, 10, 8, 3, 19, 11, 0, 16}}},
        {"width, then height, then filters", conv_layer(Shape{8, 8, 3}, 10), {}, Split(8, 4, 1), Split(8, 4, 1),
         Split(10, 6, 1),
         {{0, 0, 4, 4, 3, 0, 4, 0, 5}, {0, 0, 4, 4, 3, 0, 4, 5, 5}, {0, 4, 4, 4, 3, 0, 4, 0, 5},
          {0, 4, 4, 4, 3, 0, 4, 5, 5}, {4, 0, 4, 4, 3, 4, 4, 0, 5}, {4, 0, 4, 4, 3, 4, 4, 5, 5},
          {4, 4, 4, 4, 3, 4, 4, 0, 5}, {4, 4, 4, 4, 3, 4, 4, 5, 5}}},
        {"pooling shift: the last chunk ends at column 100", pooled, {}, Split(100, 25, 1), Split(10, 10, 1),
         Split(16, 16, 1),
         {{0, 0, 23, 10, 3, 0, 23, 0, 16}, {23, 0, 25, 10, 3, 23, 25, 0, 16}, {48, 0, 25, 10, 3, 48, 25, 0, 16},
          {73, 0, 27, 10, 3, 73, 27, 0, 16}}},
        {"the left halo never starts before the input", conv_layer(Shape{6, 4, 3}),
         make_split_params(3, 3, 0, 0, 0, 0, 0, 16), Split(6, 2, 1), Split(4, 4, 1), Split(16, 16, 1),
         {{0, 0, 2, 4, 3, 0, 5, 0, 16}, {2, 0, 2, 4, 3, 0, 7, 0, 16}, {4, 0, 2, 4, 3, 1, 5, 0, 16}}},
    };
    for (auto const& row : rows) {
        auto const components = build_split_components(*row.layer, row.params, false, hw::Type::CNP1, row.width,
                                                       row.height, row.filters);
        EXPECT_EQ(views(components), row.expected) << row.name;
    }
    EXPECT_EQ(testing::error_text<std::runtime_error>([] {  // five columns cut for an input of four
                  build_split_components(*conv_layer(Shape{4, 4, 3}), {}, false, hw::Type::CNP1, Split(5, 1, 1),
                                         Split(4, 4, 1), Split(16, 16, 1));
              }),
              "Cannot have a shape with dimension 0 set to 0");
}

TEST(Splitters, Conv2D) {
    auto layer = layer_of(LayerType::Conv2D, Shape{16, 16, 8}, {{"filters", 600}, {"kernel_size", 3}});
    SplitTestChecker checker;
    checker.split_params = make_split_params(1, 1, 1, 1, 0, 0, 0, 600);
    auto const outcome = split_conv_layer(*layer, checker, 256, 64, 512, hw::Type::CNP2, false);
    EXPECT_EQ(outcome.second.to_string(), "Success.");
    EXPECT_EQ(checker.weight_queries, std::vector<uint32_t>{300});  // cut 2 x 300 before the weight check
    ASSERT_EQ(outcome.first.size(), 2u);
    EXPECT_EQ(outcome.first[1].start_neuron(), 300u);
    EXPECT_EQ(outcome.first[1].type, hw::Type::CNP2);
    EXPECT_EQ(checker.split_param_queries, std::vector<hw::Type>{hw::Type::CNP2});

    struct Row { uint32_t max_height, max_width, max_filters, max_weight_filters; uint64_t capacity; char const* text; };
    auto const unlimited = SplitTestChecker::unlimited;
    const Row failures[] = {
        {0, 64, 512, 512, unlimited, "Cannot split by height."},
        {256, 0, 512, 512, unlimited, "Cannot split by width."},
        {256, 64, 0, 512, unlimited, "Cannot split by neurons."},
        {256, 64, 512, 0, unlimited, "Cannot split to fit weights in ram."},
        {256, 64, 512, 512, 0, "Cannot split to fit inputs in ram."},
    };
    layer = layer_of(LayerType::Conv2D, Shape{16, 16, 8}, {{"filters", 32}, {"kernel_size", 3}});
    for (auto const& row : failures) {
        SplitTestChecker refusing;
        refusing.split_params = make_split_params(1, 1, 1, 1, 0, 0, 0, 32);
        refusing.max_weight_filters = row.max_weight_filters;
        refusing.dual_capacity = refusing.single_capacity = row.capacity;
        auto const failed =
            split_conv_layer(*layer, refusing, row.max_height, row.max_width, row.max_filters, hw::Type::CNP1, false);
        EXPECT_TRUE(failed.first.empty());
        EXPECT_EQ(failed.second.to_string(), std::string("Cannot map layer 'L1'. ") + row.text);
    }
}

TEST(Splitters, FifoAndReservedReachTheFitTests) {
    auto layer =
        layer_of(LayerType::BufferTempConv, Shape{4, 4, 8}, {{"filters", 16}, {"kernel_size", 1}, {"fifo_size", 8}});
    layer->set_kinds({ComponentKind::TNP_B});
    SplitTestChecker checker;
    checker.reserved_words = 512;
    checker.split_params = make_split_params(0, 0, 0, 0, 0, 0, 0, 16);
    checker.dual_capacity = 0;  // only the single buffer holds it
    auto const outcome = split_conv_layer(*layer, checker, 256, 64, 512, hw::Type::TNP_B, false);
    ASSERT_EQ(outcome.first.size(), 1u);
    EXPECT_TRUE(outcome.first[0].single_buffer());
    ASSERT_FALSE(checker.fit_queries.empty());
    for (auto const& q : checker.fit_queries)
        EXPECT_TRUE(q.fifo_size == 8 && q.reserved == 512 && q.type == hw::Type::TNP_B);
}

// A layer's own "fifo_size" goes to the dual and the single input-fit test alike; without one
// both get 0. Real layers: each kind keeps the key it is given.
TEST(Splitters, GivenFifoSizeReachesBothFitTests) {
    using LT = LayerType;
    struct Row { LT type; std::map<std::string, int> params; uint32_t fifo_size; };
    Row const rows[] = {
        {LT::Conv2D, {{"kernel_size", 3}, {"filters", 4}, {"fifo_size", 8}}, 8},
        {LT::Conv2D, {{"kernel_size", 3}, {"filters", 4}}, 0},
        {LT::DepthwiseConv2D, {{"kernel_size", 3}, {"fifo_size", 8}}, 8},
        {LT::Convolutional, {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 4}, {"fifo_size", 8}}, 8},
        {LT::SeparableConvolutional, {{"kernel_width", 3}, {"kernel_height", 3}, {"filters", 4}, {"fifo_size", 14}},
         14},
    };
    for (auto const& row : rows) {
        auto const layer = testing::make_layer(row.type, row.params, "L1");
        auto const model = testing::model_with(layer, 8, 8, 4);
        SplitTestChecker checker;
        checker.split_params = make_split_params(1, 1, 1, 1, 0, 0, 0, 4);
        checker.dual_capacity = 0;  // the dual buffer never holds it: both tests are asked
        auto const split = layer->is_depthwise() ? split_depthwise_conv_layer : split_conv_layer;
        auto const outcome = split(*layer, checker, 256, 64, 512, hw::Type::CNP2, false);
        EXPECT_EQ(outcome.second.message, "Success.") << int(row.type);
        std::set<std::pair<bool, uint32_t>> asked;
        for (auto const& q : checker.fit_queries) asked.emplace(q.dual, q.fifo_size);
        EXPECT_EQ(asked, (std::set<std::pair<bool, uint32_t>>{{true, row.fifo_size}, {false, row.fifo_size}}))
            << int(row.type);
    }
}

TEST(Splitters, Depthwise) {
    auto layer = layer_of(LayerType::DepthwiseConv2D, Shape{8, 8, 16}, {{"kernel_size", 3}});
    layer->set_depthwise(true);
    SplitTestChecker checker;
    auto const outcome = split_depthwise_conv_layer(*layer, checker, 256, 64, 8, hw::Type::CNP1, false);
    ASSERT_EQ(outcome.first.size(), 2u);
    EXPECT_EQ(outcome.first[1].spatial_partition().shape[2], 8u);
    EXPECT_EQ(outcome.first[1].start_neuron(), 8u);
    EXPECT_EQ(checker.fit_queries.back().channels, 8u);
    layer->set_kinds({ComponentKind::TNP_B});  // a limit below the TNP-B alignment cannot cut the channels
    EXPECT_EQ(split_depthwise_conv_layer(*layer, checker, 256, 64, 3, hw::Type::TNP_B, false).second.message,
              "Cannot split by neurons.");

    // 70 channels on TNP-B: 2 chunks of 36 (35 rounded up), whose last holds 34, not whole groups.
    layer = layer_of(LayerType::DepthwiseBufferTempConv, Shape{4, 4, 70}, {{"kernel_size", 1}, {"fifo_size", 2}});
    layer->set_kinds({ComponentKind::TNP_B});
    layer->set_depthwise(true);
    SplitTestChecker tnp_b;
    EXPECT_EQ(split_depthwise_conv_layer(*layer, tnp_b, 256, 64, 64, hw::Type::TNP_B, false).second.message,
              "Cannot split to fit inputs in ram.");
    EXPECT_EQ(tnp_b.weight_queries, std::vector<uint32_t>{36});
}

TEST(Splitters, Transposed) {
    auto tall = layer_of(LayerType::Conv2DTranspose, Shape{8, 40, 4}, {{"filters", 8}, {"kernel_size", 3}});
    SplitTestChecker checker;
    EXPECT_EQ(split_transposed_conv2d_layer(*tall, checker, 32, 32, 512, false).second.to_string(),
              "Cannot map layer 'L1'. Split by height is not supported.");
    EXPECT_EQ(split_transposed_dwconv2d_layer(*tall, checker, 32, 32, 512, false).second.message,
              "Split by height is not supported.");
    EXPECT_TRUE(checker.split_param_queries.empty()) << "the transposed kinds build their own";

    // Leading halo 1, trailing halo kernel - 3.
    for (auto const& [kernel, first_halo_width] : {std::pair{3, 10u}, std::pair{4, 11u}}) {
        auto layer = layer_of(LayerType::Conv2DTranspose, Shape{20, 8, 4}, {{"filters", 8}, {"kernel_size", kernel}});
        auto const outcome = split_transposed_conv2d_layer(*layer, checker, 32, 10, 512, false);
        ASSERT_EQ(outcome.first.size(), 2u) << kernel;
        EXPECT_EQ(outcome.first[0].halo_partition().shape[0], first_halo_width) << kernel;
        EXPECT_EQ(outcome.first[1].halo_partition().x, 9u) << kernel;
        EXPECT_EQ(outcome.first[1].halo_partition().shape[0], 11u) << kernel;
        EXPECT_EQ(outcome.first[0].halo_partition().shape[1], 8u) << "one height chunk, no halo";
    }
}

}  // namespace
}  // namespace nuvra
