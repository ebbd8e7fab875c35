#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

#include "mapping/split.h"
#include "support/split_doubles.h"

namespace nuvra {
namespace {

struct SplitRow {
    uint32_t total, max_chunk, align;
    uint32_t num_chunks, chunk_size;  // expected; every field 0 when the cut fails
};

const SplitRow split_rows[] = {
    {100, 30, 8, 5, 24},     // 4 x 25 rounds to 32 > 30: one alignment step less, 5 chunks
    {10, 10, 4, 1, 10},      // fits in one chunk
    {10, 3, 4, 0, 0},        // limit below the alignment
    {0, 5, 1, 0, 0},         // empty dimension
    {600, 512, 1, 2, 300},   // Conv2D filters over the CNP limit
    {70, 64, 4, 2, 36},      // TNP-B depthwise channels
    {100, 60, 32, 4, 32},    // 50 rounds to 64 > 60: chunks of 32
    {10, 9, 4, 2, 8},        // 5 rounds to 8 <= 9
    {300, 256, 2, 2, 150},
    {5, 0, 0, 0, 0},         // no limit and no alignment cannot cut
    {0xFFFFFFF0u, 0x20, 1, 0, 0},  // the count's ceiling does not fit 32 bits
};

TEST(SplitCut, ChunksPerRow) {
    for (auto const& row : split_rows) {
        Split const s(row.total, row.max_chunk, row.align);
        EXPECT_EQ(s.num_chunks, row.num_chunks) << row.total << "/" << row.max_chunk;
        EXPECT_EQ(s.chunk_size, row.chunk_size) << row.total << "/" << row.max_chunk;
        if (row.num_chunks == 0 && row.total != 0) {
            EXPECT_EQ(s, Split()) << "a failed cut clears every field";
        } else {
            EXPECT_EQ(s.total, row.total);
            EXPECT_EQ(s.max_chunk, row.max_chunk);
            EXPECT_EQ(s.align, row.align);
        }
    }
}

using Pairs = std::set<std::pair<uint32_t, uint32_t>>;

TEST(SplitFactors, FactorPairs) {
    EXPECT_EQ(factor_pairs(12), (Pairs{{12, 1}, {6, 2}, {4, 3}}));
    EXPECT_EQ(factor_pairs(16), (Pairs{{16, 1}, {8, 2}, {4, 4}}));
    EXPECT_EQ(factor_pairs(1), (Pairs{{1, 1}}));
    EXPECT_EQ(factor_pairs(7), (Pairs{{7, 1}}));
    EXPECT_TRUE(factor_pairs(0).empty());
}

TEST(SplitFactors, TripletsFactorOnlyTheSmallerMember) {
    using Triplets = std::set<SplitsNumChunks>;
    EXPECT_EQ(SplitsNumChunks::factor_triplets(8), (Triplets{{1, 1, 8}, {1, 2, 4}}));
    EXPECT_EQ(SplitsNumChunks::factor_triplets(12), (Triplets{{1, 1, 12}, {1, 2, 6}, {1, 3, 4}}));
}

TEST(SplitFactors, SplitsNumberInDescendingOrder) {
    using V = std::vector<SplitsNumChunks>;
    EXPECT_EQ(SplitsNumChunks::get_splits_number(4),
              (V{{4, 1, 1}, {2, 2, 1}, {2, 1, 2}, {1, 4, 1}, {1, 2, 2}, {1, 1, 4}}));
    EXPECT_EQ(SplitsNumChunks::get_splits_number(1), (V{{1, 1, 1}}));
    EXPECT_TRUE(SplitsNumChunks::get_splits_number(0).empty());
    for (auto const& t : SplitsNumChunks::get_splits_number(8))
        EXPECT_FALSE(t.width == 2 && t.height == 2 && t.filters == 2);
    auto const twelve = SplitsNumChunks::get_splits_number(12);
    EXPECT_EQ(twelve.size(), 3u + 6u + 6u);  // orderings of {1,1,12}, {1,2,6}, {1,3,4}
    for (auto const& t : twelve) EXPECT_NE(t.width * 100 + t.height * 10 + t.filters, 223u);
}

std::shared_ptr<SplitTestLayer> conv_layer(Shape input, uint32_t filters = 16) {
    return std::make_shared<SplitTestLayer>("conv", LayerType::Conv2D, input,
                                            std::map<std::string, int>{{"filters", int(filters)},
                                                                       {"kernel_size", 3}});
}

TEST(SplitFirstCuts, ByHeightAlignsToMaxPoolWidth) {
    auto layer = conv_layer(Shape{8, 300, 4});
    NpSplitParams params = make_split_params(1, 1, 1, 1, 1, 2, 4, 16);
    EXPECT_EQ(split_by_height(*layer, params, 256), Split(300, 256, 2));
    params.pool_type = 2;  // average pooling: no alignment
    EXPECT_EQ(split_by_height(*layer, params, 256), Split(300, 256, 1));
}

TEST(SplitFirstCuts, ByNeuronsAlignsForTnpB) {
    auto layer = conv_layer(Shape{8, 8, 70});
    EXPECT_EQ(split_by_neurons(*layer, 70, 64, true).align, 1u);
    layer->kinds = {ComponentKind::TNP_B};
    EXPECT_EQ(split_by_neurons(*layer, 70, 64, true), Split(70, 64, 4));
    EXPECT_EQ(split_by_neurons(*layer, 70, 64, false).align, 1u);
}

TEST(SplitFirstCuts, ForWeightsRefinesUntilOneChunkFits) {
    struct Row {
        Split start;
        uint32_t max_weight_filters;
        uint32_t num_chunks, chunk_size;
        std::vector<uint32_t> queries;
    };
    const Row rows[] = {
        {Split(300, 512, 1), 512, 1, 300, {300}},
        {Split(300, 512, 1), 100, 3, 100, {300, 150, 100}},
        {Split(70, 64, 4), 20, 4, 20, {36, 24, 20}},
        // Three chunks of 8 would leave the last empty: passed over without a query.
        {Split(13, 8, 4), 4, 4, 4, {8, 4}},
        {Split(12, 8, 8), 4, 0, 0, {8}},  // chunks of 8 never fit and never get finer
        {Split(5, 8, 1), 0, 0, 0, {5, 3, 2, 1}},
    };
    auto layer = conv_layer(Shape{8, 8, 8});
    for (auto const& row : rows) {
        SplitTestChecker checker;
        checker.max_weight_filters = row.max_weight_filters;
        Split const cut = split_for_weights(*layer, checker, row.start);
        EXPECT_EQ(cut.num_chunks, row.num_chunks) << row.start.total;
        EXPECT_EQ(cut.chunk_size, row.chunk_size) << row.start.total;
        EXPECT_EQ(checker.weight_queries, row.queries) << row.start.total;
        if (row.num_chunks != 0) {
            EXPECT_EQ(cut.total, row.start.total);
            EXPECT_EQ(cut.max_chunk, row.start.max_chunk);
            EXPECT_EQ(cut.align, row.start.align);
        }
    }
}

struct SearchSetup {
    uint32_t channels = 4;
    NpSplitParams params;
    Split height = Split(16, 256, 1);
    Split width = Split(16, 64, 1);
    Split filters = Split(16, 512, 1);
    uint32_t fifo_size = 0;
    bool hwpr = false;
    uint32_t reserved = 0;
    bool follow = false;
    bool height_cut = true;
    bool tnp_b = false;
    FirstChunkShift shift;

    SplitSearchResult run(SplitTestChecker const& checker) const {
        return find_split_chunks(channels, 8, params, checker, height, width, filters, fifo_size,
                                 hw::Type::CNP1, hwpr, reserved, follow, height_cut, tnp_b, shift);
    }
};

TEST(SplitSearch, OneNpWhenItFits) {
    SearchSetup setup;
    SplitTestChecker checker;
    auto r = setup.run(checker);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.buffer_mode, BufferMode::Dual);
    EXPECT_EQ(r.width.num_chunks, 1u);
    EXPECT_EQ(r.height.num_chunks, 1u);
    EXPECT_EQ(r.filters.num_chunks, 1u);

    checker.dual_capacity = 0;  // only a single buffer holds it
    r = setup.run(checker);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.buffer_mode, BufferMode::Single);
    EXPECT_EQ(r.width.num_chunks * r.height.num_chunks * r.filters.num_chunks, 1u);
}

TEST(SplitSearch, FewestNpsThenMostWidthChunks) {
    SearchSetup setup;
    SplitTestChecker checker;
    checker.dual_capacity = 16 * 4 * 4;  // needs a window of at most 64 elements per channel
    checker.single_capacity = 0;
    auto const r = setup.run(checker);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.width.num_chunks, 4u);
    EXPECT_EQ(r.width.chunk_size, 4u);
    EXPECT_EQ(r.height.num_chunks, 1u);
    EXPECT_EQ(r.filters.num_chunks, 1u);
    EXPECT_EQ(r.width.total, 16u);
    EXPECT_EQ(r.width.max_chunk, 64u);
}

TEST(SplitSearch, LoopItselfRejectsSingleBufferCuts) {
    SearchSetup setup;
    SplitTestChecker checker;
    checker.dual_capacity = 16 * 8 * 4;
    auto r = setup.run(checker);
    EXPECT_EQ(r.width.num_chunks, 1u);
    EXPECT_EQ(r.buffer_mode, BufferMode::Single);
    setup.hwpr = true;
    checker.fit_queries.clear();
    r = setup.run(checker);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.width.num_chunks, 2u);
    EXPECT_EQ(r.buffer_mode, BufferMode::Dual);
    for (auto const& q : checker.fit_queries) EXPECT_TRUE(q.dual) << "no single-buffer query";
}

TEST(SplitSearch, HaloWidensTheFitWindow) {
    SearchSetup setup;
    setup.width = Split(30, 64, 1);
    setup.params = make_split_params(1, 1, 0, 0, 0, 0, 0, 16);
    SplitTestChecker checker;
    checker.dual_capacity = 12 * 16 * 4;  // chunk 10 + both halos
    checker.single_capacity = 0;
    auto const r = setup.run(checker);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.width.num_chunks, 3u);
    EXPECT_EQ(r.width.chunk_size, 10u);
    auto const& last = checker.fit_queries.back();
    EXPECT_EQ(last.width, 12u);
    EXPECT_EQ(last.height, 16u);
}

TEST(SplitSearch, PassesFifoBitsReservedAndChannels) {
    SearchSetup setup;
    setup.fifo_size = 8;
    setup.reserved = 512;
    setup.channels = 5;
    SplitTestChecker checker;
    checker.dual_capacity = 0;
    auto const r = setup.run(checker);
    ASSERT_TRUE(r.found);
    bool saw_dual = false, saw_single = false;
    for (auto const& q : checker.fit_queries) {
        EXPECT_EQ(q.fifo_size, 8u);
        EXPECT_EQ(q.bits, 8u);
        EXPECT_EQ(q.reserved, 512u);
        EXPECT_EQ(q.channels, 5u);
        EXPECT_EQ(q.type, hw::Type::CNP1);
        (q.dual ? saw_dual : saw_single) = true;
    }
    EXPECT_TRUE(saw_dual && saw_single);
}

TEST(SplitSearch, ChannelsFollowFilterChunks) {
    SearchSetup setup;
    setup.follow = true;
    setup.filters = Split(16, 8, 1);
    SplitTestChecker checker;
    auto const r = setup.run(checker);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.filters.num_chunks, 2u);
    EXPECT_EQ(checker.fit_queries.back().channels, 8u);
}

TEST(SplitSearch, TnpBLastChunkRule) {
    SearchSetup setup;
    setup.follow = true;
    setup.tnp_b = true;
    setup.filters = Split(70, 64, 4);  // 36 + 34: the last chunk is not whole groups of 4
    SplitTestChecker checker;
    EXPECT_FALSE(setup.run(checker).found);
    EXPECT_TRUE(checker.fit_queries.empty()) << "refused before asking the checker";

    setup.filters = Split(72, 64, 4);
    auto const r = setup.run(checker);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.filters.num_chunks, 2u);
    EXPECT_EQ(r.filters.chunk_size, 36u);
}

TEST(SplitSearch, HeightThatMayNotBeCut) {
    SearchSetup setup;
    setup.height_cut = false;
    setup.height = Split(300, 256, 1);
    SplitTestChecker checker;
    EXPECT_FALSE(setup.run(checker).found);

    setup.height = Split(16, 256, 1);
    checker.dual_capacity = 16 * 8 * 4;
    checker.single_capacity = 0;
    auto const r = setup.run(checker);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.height.num_chunks, 1u);
    EXPECT_EQ(r.width.num_chunks, 2u);
}

TEST(SplitSearch, BoundIsComputedIn64Bits) {
    // 4096 x 4096 x 2048 is 2^35: in 32 bits the bound would be 0 and the search would end
    // before its first count.
    SearchSetup setup;
    setup.channels = 1;
    setup.width = Split(4096, 4096, 1);
    setup.height = Split(4096, 4096, 1);
    setup.filters = Split(2048, 2048, 1);
    SplitTestChecker checker;
    checker.dual_capacity = 4096ull * 2048;
    checker.single_capacity = 0;
    auto const r = setup.run(checker);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.width.num_chunks, 2u);
    EXPECT_EQ(r.width.chunk_size, 2048u);
}

TEST(SplitSearch, NothingFitsFailsAtOnce) {
    SearchSetup setup;
    setup.channels = 2048;
    setup.width = Split(4096, 64, 1);
    setup.height = Split(4096, 256, 1);
    setup.filters = Split(2048, 512, 1);
    setup.params = make_split_params(3, 3, 3, 3, 0, 0, 0, 2048);
    SplitTestChecker checker;
    checker.dual_capacity = 0;
    checker.single_capacity = 0;
    auto const start = std::chrono::steady_clock::now();
    EXPECT_FALSE(setup.run(checker).found);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
    ASSERT_EQ(checker.fit_queries.size(), 2u);  // the finest cut, both buffers
    EXPECT_EQ(checker.fit_queries[0].width, 1u + 3 + 3);
    EXPECT_EQ(checker.fit_queries[0].height, 1u + 3 + 3);
}

TEST(SplitSearch, ShiftedLastChunkStaysWithinTheLimit) {
    SearchSetup setup;
    setup.width = Split(100, 25, 1);
    SplitTestChecker checker;
    auto r = setup.run(checker);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.width.num_chunks, 4u);

    // The first chunk gives two columns to the last, which would grow to 27 > 25.
    setup.shift = {2, 0};
    r = setup.run(checker);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.width.num_chunks, 5u);
    EXPECT_EQ(r.width.chunk_size, 20u);
    EXPECT_EQ(checker.fit_queries.back().width, 22u) << "the fit test covers the grown last chunk";
}

TEST(SplitSearch, FailedCutsFindNothing) {
    SearchSetup setup;
    setup.filters = Split(10, 3, 4);
    SplitTestChecker checker;
    EXPECT_FALSE(setup.run(checker).found);
    EXPECT_TRUE(checker.fit_queries.empty());
}

struct ComponentView {
    uint32_t x, y, width, height, channels;
    uint32_t halo_x, halo_y, halo_width, halo_height;
    uint32_t start_neuron, filters;
};

ComponentView view(hw::Component const& c) {
    auto const s = c.spatial_partition();
    auto const h = c.halo_partition();
    return {s.x, s.y, s.shape[0], s.shape[1], s.shape[2], h.x, h.y, h.shape[0], h.shape[1],
            c.start_neuron(), c.filters()};
}

void expect_components(std::vector<hw::Component> const& got, std::vector<ComponentView> const& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
        auto const v = view(got[i]);
        auto const& w = want[i];
        EXPECT_EQ(v.x, w.x) << i;
        EXPECT_EQ(v.y, w.y) << i;
        EXPECT_EQ(v.width, w.width) << i;
        EXPECT_EQ(v.height, w.height) << i;
        EXPECT_EQ(v.channels, w.channels) << i;
        EXPECT_EQ(v.halo_x, w.halo_x) << i;
        EXPECT_EQ(v.halo_y, w.halo_y) << i;
        EXPECT_EQ(v.halo_width, w.halo_width) << i;
        EXPECT_EQ(v.halo_height, w.halo_height) << i;
        EXPECT_EQ(v.start_neuron, w.start_neuron) << i;
        EXPECT_EQ(v.filters, w.filters) << i;
    }
}

TEST(SplitComponents, ThreeWidthChunksWithHalo) {
    auto layer = conv_layer(Shape{30, 8, 3});
    auto const params = make_split_params(1, 1, 1, 1, 0, 0, 0, 16);
    auto const comps = build_split_components(*layer, params, true, hw::Type::CNP2, Split(30, 10, 1),
                                              Split(8, 8, 1), Split(16, 16, 1));
    expect_components(comps, {
                                 {0, 0, 10, 8, 3, 0, 0, 11, 8, 0, 16},
                                 {10, 0, 10, 8, 3, 9, 0, 12, 8, 0, 16},
                                 {20, 0, 10, 8, 3, 19, 0, 11, 8, 0, 16},
                             });
    for (auto const& c : comps) {
        EXPECT_EQ(c.type, hw::Type::CNP2);
        EXPECT_EQ(c.ident, hw::Ident{});
        EXPECT_TRUE(c.single_buffer());
        EXPECT_EQ(c.mem_info, MemoryInfo{});
    }
}

TEST(SplitComponents, OrderIsWidthThenHeightThenFilters) {
    auto layer = conv_layer(Shape{8, 8, 3}, 10);
    auto const comps = build_split_components(*layer, {}, false, hw::Type::CNP1, Split(8, 4, 1),
                                              Split(8, 4, 1), Split(10, 6, 1));
    expect_components(comps, {
                                 {0, 0, 4, 4, 3, 0, 0, 4, 4, 0, 5},
                                 {0, 0, 4, 4, 3, 0, 0, 4, 4, 5, 5},
                                 {0, 4, 4, 4, 3, 0, 4, 4, 4, 0, 5},
                                 {0, 4, 4, 4, 3, 0, 4, 4, 4, 5, 5},
                                 {4, 0, 4, 4, 3, 4, 0, 4, 4, 0, 5},
                                 {4, 0, 4, 4, 3, 4, 0, 4, 4, 5, 5},
                                 {4, 4, 4, 4, 3, 4, 4, 4, 4, 0, 5},
                                 {4, 4, 4, 4, 3, 4, 4, 4, 4, 5, 5},
                             });
    EXPECT_FALSE(comps.front().single_buffer());
}

TEST(SplitComponents, DepthwiseChunksHoldTheirFilterChannels) {
    auto layer = conv_layer(Shape{8, 8, 8});
    layer->depthwise = true;
    auto const comps = build_split_components(*layer, {}, false, hw::Type::CNP1, Split(8, 8, 1),
                                              Split(8, 8, 1), Split(8, 4, 1));
    ASSERT_EQ(comps.size(), 2u);
    EXPECT_EQ(comps[0].spatial_partition().shape[2], 4u);
    EXPECT_EQ(comps[1].spatial_partition().shape[2], 4u);
    EXPECT_EQ(comps[1].halo_partition().shape[2], 4u);
    EXPECT_EQ(comps[1].start_neuron(), 4u);
}

TEST(SplitComponents, PoolingShiftKeepsEveryColumnMapped) {
    auto layer = conv_layer(Shape{100, 10, 3});
    PoolingCalculatedParams pool;
    pool.padding.left = 2;
    pool.padding.top = 1;
    layer->pool = pool;
    EXPECT_EQ(first_chunk_shift(*layer).x, 2u);
    EXPECT_EQ(first_chunk_shift(*layer).y, 1u);
    auto const comps = build_split_components(*layer, {}, false, hw::Type::CNP1, Split(100, 25, 1),
                                              Split(10, 10, 1), Split(16, 16, 1));
    expect_components(comps, {
                                 {0, 0, 23, 10, 3, 0, 0, 23, 10, 0, 16},
                                 {23, 0, 25, 10, 3, 23, 0, 25, 10, 0, 16},
                                 {48, 0, 25, 10, 3, 48, 0, 25, 10, 0, 16},
                                 {73, 0, 27, 10, 3, 73, 0, 27, 10, 0, 16},  // ends at column 100
                             });
}

TEST(SplitComponents, LeftHaloNeverStartsBeforeTheInput) {
    auto layer = conv_layer(Shape{6, 4, 3});
    auto const params = make_split_params(3, 3, 0, 0, 0, 0, 0, 16);
    auto const comps = build_split_components(*layer, params, false, hw::Type::CNP1, Split(6, 2, 1),
                                              Split(4, 4, 1), Split(16, 16, 1));
    expect_components(comps, {
                                 {0, 0, 2, 4, 3, 0, 0, 5, 4, 0, 16},
                                 {2, 0, 2, 4, 3, 0, 0, 7, 4, 0, 16},
                                 {4, 0, 2, 4, 3, 1, 0, 5, 4, 0, 16},
                             });
}

TEST(SplitComponents, ZeroDimensionPanics) {
    auto layer = conv_layer(Shape{4, 4, 3});
    Split width(5, 1, 1);  // five columns cut for an input of four
    try {
        build_split_components(*layer, {}, false, hw::Type::CNP1, width, Split(4, 4, 1),
                               Split(16, 16, 1));
        FAIL() << "expected a panic";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Cannot have a shape with dimension 0 set to 0");
    }
}

TEST(SplitComponents, AddPksramShift) {
    auto layer = conv_layer(Shape{4, 4, 3});
    EXPECT_EQ(v2::get_add_pksram_shift(*layer), 0u);
    layer->inbounds = {nullptr};
    EXPECT_EQ(v2::get_add_pksram_shift(*layer), 0u);
    layer->inbounds = {std::make_shared<SplitTestLayer>("add", LayerType::Add, Shape{4, 4, 3})};
    EXPECT_EQ(v2::get_add_pksram_shift(*layer), 512u);
    layer->inbounds = {conv_layer(Shape{4, 4, 3}),
                       std::make_shared<SplitTestLayer>("add", LayerType::Add, Shape{4, 4, 3})};
    EXPECT_EQ(v2::get_add_pksram_shift(*layer), 0u) << "only the first inbound counts";
}

}  // namespace
}  // namespace nuvra
