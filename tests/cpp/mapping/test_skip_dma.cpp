#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mapping/layer_mapping.h"
#include "mapping/skip_dma.h"
#include "mapping_fixtures.h"
#include "support/fake_layer.h"
#include "support/model_builder.h"

namespace nuvra {
namespace {

using testing::component;
using testing::connect;
using testing::expect_runtime_error;
using testing::FakeLayer;
using testing::ModelBuilder;
using testing::pass_components;
using testing::pass_dma;
using K = ComponentKind;
using Components = std::vector<hw::Component>;

// A fake layer that carries a LayerMapping of the given index.
std::shared_ptr<FakeLayer> mapped(std::string name, std::set<K> kinds, uint8_t index = 1) {
    auto layer = FakeLayer::make(std::move(name), std::move(kinds));
    layer->set_mapping(std::make_shared<LayerMapping>(index));
    return layer;
}

std::shared_ptr<LayerMapping> mapping_of(std::shared_ptr<Layer> const& layer) {
    auto mapping = layer_mapping(layer);
    EXPECT_NE(mapping, nullptr) << layer->get_name();
    return mapping;
}

// in -> c1 -> c2 -> add(c2, c1) -> c3
void residual(ModelBuilder& b) {
    b.input("in");
    b.conv("c1", "in");
    b.conv("c2", "c1");
    b.add("add", "c2", "c1");
    b.conv("c3", "add");
}

// ---- requests ----

TEST(SkipDmaRequest, ComponentsPerTypeList) {
    ModelBuilder b;
    residual(b);
    hw::Component const np = component(hw::Type::CNP1, {3, 1, 0, 0});
    hw::Component const store = component(hw::Type::SKIP_DMA_STORE);
    hw::Component const load = component(hw::Type::SKIP_DMA_LOAD);
    struct Row {
        char const* layer;
        std::vector<hw::Type> types;
        Components expected;
    };
    Row const rows[] = {
        {"c1", {hw::Type::CNP1}, {np}},
        {"c1", {}, {np}},
        {"c1", {hw::Type::CNP1, hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, {np, store, load}},
        {"c2", {hw::Type::CNP1, hw::Type::SKIP_DMA_STORE}, {np}},  // nothing to store
        {"c3", {hw::Type::CNP1, hw::Type::SKIP_DMA_LOAD}, {np, load}},
    };
    for (auto const& row : rows) {
        Components components{np};
        request_skipdma(&components, row.types, b[row.layer]);
        EXPECT_EQ(components, row.expected) << row.layer << " " << row.types.size();
    }
    EXPECT_EQ(request_skipdma_load(), Components{load});
}

TEST(SkipDmaRequest, StoresPerReason) {
    // t is a TNP-B layer and also the skip input of add: two stores.
    ModelBuilder b;
    b.input("in");
    b.buffer_temp_conv("t", "in", 2);
    b.conv("c2", "t");
    b.add("add", "c2", "t");
    b.conv("c3", "add");
    b.concat("cat", {"add", "c3"});
    b.conv("c4", "cat");
    std::pair<char const*, size_t> const rows[] = {
        {"t", 2},
        {"c2", 0},
        {"c3", 2},  // the skip input of cat and a dual output stored for it
        {"c4", 0},
    };
    for (auto const& [layer, count] : rows)
        EXPECT_EQ(request_skipdma_store(b[layer]),
                  Components(count, component(hw::Type::SKIP_DMA_STORE)))
            << layer;
}

// ---- channel numbering ----

TEST(SkipDmaChannels, QuartetsAlongThePass) {
    auto first = FakeLayer::make("first", {K::CNP});
    auto t1 = FakeLayer::make("t1", {K::TNP_B});  // needs a load and a store
    auto plain = FakeLayer::make("plain", {K::CNP});
    auto t2 = FakeLayer::make("t2", {K::TNP_B});
    auto outside = FakeLayer::make("outside", {K::CNP});
    LayerList const pass{first, t1, plain, t2};
    struct Row {
        std::shared_ptr<Layer> layer;
        size_t previous;
        uint32_t quartet;
    };
    Row const rows[] = {
        {first, 0, 0x04030201},
        {first, 3, 0x07060504},    // after three layers of earlier passes
        {t1, 0, 0x08070605},
        {plain, 0, 0x08070605},    // a layer without DMA does not advance the count
        {t2, 0, 0x0C0B0A09},
        {t2, 2, 0x0E0D0C0B},
        {outside, 0, 0x0C0B0A09},  // not in the pass: the whole pass counts
        {first, 251, 0xFFFEFDFC},  // the largest quartet
    };
    for (auto const& row : rows) {
        LayerList previous(row.previous, first);
        EXPECT_EQ(skipdma_channels_for_layer(row.layer, pass, previous), row.quartet)
            << row.layer->get_name() << " " << row.previous;
    }
}

TEST(SkipDmaChannels, QuartetBeyondEightBitsFails) {
    auto first = FakeLayer::make("first", {K::CNP});
    std::pair<size_t, char const*> const rows[] = {
        {252, "Cannot map layer 'first'. Skip-DMA channel 256 does not fit in 8 bits."},
        {300, "Cannot map layer 'first'. Skip-DMA channel 304 does not fit in 8 bits."},
    };
    for (auto const& [count, message] : rows) {
        LayerList previous(count, first);
        expect_runtime_error([&] { skipdma_channels_for_layer(first, {first}, previous); }, message);
    }
}

TEST(SkipDmaChannels, StoreChannelsBeyondEightBitsFail) {
    // p follows `tnp` TNP-B layers in its pass: its store channel is 1 + 2 * tnp and its dual
    // output channel 2 + 2 * tnp.
    struct Row {
        size_t tnp;
        char const* store;  // channel, or the failure
        char const* dual;
    };
    Row const rows[] = {
        {0, "1", "2"},  // the first layer after the pass's first element counts nothing
        {126, "253", "254"},
        {127, "255", "Cannot map layer 'p'. Skip-DMA channel 256 does not fit in 8 bits."},
        {128, "Cannot map layer 'p'. Skip-DMA channel 257 does not fit in 8 bits.",
         "Cannot map layer 'p'. Skip-DMA channel 258 does not fit in 8 bits."},
    };
    for (auto const& row : rows) {
        auto first = FakeLayer::make("first", {K::CNP});
        auto p = mapped("p", {K::CNP});
        connect(first, p);
        LayerList pass{first};
        for (size_t i = 0; i < row.tnp; ++i) pass.push_back(FakeLayer::make("t", {K::TNP_B}));
        pass.push_back(p);
        DepthMemo memo;
        auto mapping = mapping_of(p);
        auto check = [&](std::function<void()> const& set, std::unique_ptr<SkipDmaStoreInfo> const& info,
                         std::string const& expected) {
            if (expected.rfind("Cannot", 0) == 0) {
                expect_runtime_error(set, expected);
            } else {
                set();
                ASSERT_NE(info, nullptr);
                EXPECT_EQ(std::to_string(info->channel), expected);
            }
        };
        SCOPED_TRACE(row.tnp);
        check([&] { set_skipdma_store_channel_info(p, pass, {}, &memo); }, mapping->skipdma_store_info,
              row.store);
        check([&] { set_skipdma_store_channel_dual_output_info(p, pass, &memo); },
              mapping->skipdma_store_dual_output_info, row.dual);
    }
}

// ---- TNP-B records ----

TEST(SkipDmaTnpB, StoreChannelIsThePlaceInThePass) {
    auto first = FakeLayer::make("first", {K::CNP});
    auto t = mapped("t", {K::TNP_B}, 3);
    t->set_params(LayerType::BufferTempConv, {{"fifo_size", 3}});
    DepthMemo memo;
    set_skipdma_store_channel_info(t, {first, first, t}, {}, &memo);
    auto mapping = mapping_of(t);
    ASSERT_NE(mapping->skipdma_store_info, nullptr);
    EXPECT_EQ(mapping->skipdma_store_info->delay, 4);
    EXPECT_EQ(mapping->skipdma_store_info->store_flag, 1);
    EXPECT_EQ(mapping->skipdma_store_info->channel, 2);

    // Absent from the pass: the failure leaves what was written before it.
    expect_runtime_error([&] { set_skipdma_store_channel_info(t, {first}, {}, &memo); },
                         "Cannot map layer 't'. Layer not found in the sequence.");
    ASSERT_NE(mapping->skipdma_store_info, nullptr);
    EXPECT_EQ(mapping->skipdma_store_info->delay, 4);
    EXPECT_EQ(mapping->skipdma_store_info->store_flag, 1);
    EXPECT_EQ(mapping->skipdma_store_info->channel, 0);
}

TEST(SkipDmaTnpB, LoadRecord) {
    struct Row {
        uint8_t index;
        int fifo_size;
        bool has_store_record;
        char const* failure;  // empty: {channel index - 1, delay fifo + 1, store channel}
    };
    Row const rows[] = {
        {3, 3, true, ""},
        {3, 3, false, ""},   // no store record: store channel 0
        {1, 254, true, ""},  // the longest buffer that fits
        {0, 3, true, "Cannot map layer 't'. Skip-DMA channel -1 does not fit in 8 bits."},
        {3, 255, true, "Cannot map layer 't'. Skip-DMA delay 256 does not fit in 8 bits."},
        {3, -2, true, "Cannot map layer 't'. Skip-DMA delay -1 does not fit in 8 bits."},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(::testing::Message() << int(row.index) << " " << row.fifo_size);
        auto t = mapped("t", {K::TNP_B}, row.index);
        t->set_params(LayerType::BufferTempConv, {{"fifo_size", row.fifo_size}});
        auto mapping = mapping_of(t);
        if (row.has_store_record) {
            mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>();
            mapping->skipdma_store_info->channel = 6;
        }
        DepthMemo memo;
        auto set = [&] { set_skipdma_load_channel_info(t, {t}, {}, &memo); };
        if (*row.failure) {
            expect_runtime_error(set, row.failure);
            continue;
        }
        set();
        ASSERT_NE(mapping->skipdma_load_info, nullptr);
        EXPECT_EQ(mapping->skipdma_load_info->channel, row.index - 1);
        EXPECT_EQ(mapping->skipdma_load_info->delay, row.fifo_size + 1);
        EXPECT_EQ(mapping->skipdma_load_info->store_channel, row.has_store_record ? 6 : 0);
        EXPECT_EQ(mapping->skipdma_load_info->channel_offset, 0u);
    }
}

// ---- merges with a single input ----

TEST(SkipDmaMergeInputs, AddOrConcatenateNeedsTwoInputs) {
    struct Row {
        LayerType merge_type;
        size_t inputs;
        char const* message;
    };
    Row const rows[] = {
        {LayerType::Add, 1, "Cannot map layer 'm'. Merge layer 's' needs 2 inbound layers but has 1."},
        {LayerType::Add, 0, "Cannot map layer 'm'. Merge layer 's' needs 2 inbound layers but has 0."},
        {LayerType::Concatenate, 1,
         "Cannot map layer 'm'. Merge layer 's' needs 2 inbound layers but has 1."},
    };
    for (auto const& row : rows) {
        auto s = FakeLayer::make("s", {K::SKIP_DMA});
        s->set_params(row.merge_type);
        auto m = mapped("m", {K::CNP});
        for (size_t i = 0; i < row.inputs; ++i) connect(mapped("p", {K::CNP}), s);
        connect(s, m);
        DepthMemo memo;
        expect_runtime_error([&] { set_skipdma_load_channel_info(m, {m}, {}, &memo); }, row.message);
        if (row.merge_type == LayerType::Add)
            expect_runtime_error([&] { set_merge_layer_info(m, {m}, {}, &memo); }, row.message);
    }
}

TEST(SkipDmaMergeInputs, ConcatenateWithOneInputForShift) {
    auto p = mapped("p", {K::CNP});
    auto c = FakeLayer::make("c", {K::SKIP_DMA});
    c->set_params(LayerType::Concatenate);
    connect(p, c);
    DepthMemo memo;
    expect_runtime_error([&] { shift_output_into_sram(p, &memo); },
                         "Cannot map layer 'p'. Merge layer 'c' needs 2 inbound layers but has 1.");
}

// ---- layers without a LayerMapping ----

TEST(SkipDmaSetters, LayerWithoutLayerMappingIsLeftAlone) {
    struct OtherMapping : Layer::Mapping {};
    for (bool other_kind : {false, true}) {
        auto s = FakeLayer::make("s", {K::SKIP_DMA});
        s->set_params(LayerType::Add);
        auto m = FakeLayer::make("m", {K::CNP, K::TNP_B});
        connect(s, m);
        if (other_kind) m->set_mapping(std::make_shared<OtherMapping>());
        auto before = m->mapping();
        DepthMemo memo;
        Components alternates;
        std::vector<std::shared_ptr<Components>> lists;
        EXPECT_NO_THROW(set_skipdma_store_channel_info(m, {}, {}, &memo));
        EXPECT_NO_THROW(set_skipdma_store_channel_dual_output_info(m, {}, &memo));
        EXPECT_NO_THROW(set_skipdma_load_channel_info(m, {}, {}, &memo));
        EXPECT_NO_THROW(set_merge_layer_info(m, {}, {}, &memo));
        EXPECT_NO_THROW(set_alt_layers(m, {}, &lists));
        EXPECT_NO_THROW(shift_output_into_sram(m, &memo));
        EXPECT_EQ(m->mapping(), before);
        EXPECT_TRUE(lists.empty());
    }
}

// ---- Concatenate and Add details ----

TEST(SkipDmaConcatenate, OutputShiftAndChannelOffset) {
    struct Row {
        char const* what;
        bool second_from_input;           // c2 reads `in` instead of c1 (equal depths)
        std::vector<std::string> order;   // the Concatenate's inputs
        std::optional<uint32_t> c1_shift;
        std::optional<uint32_t> c2_shift;
        uint32_t offset;                  // channel_offset of c3's load
    };
    Row const rows[] = {
        {"deeper second input", false, {"c1", "c2"}, std::nullopt, 4u, 0},
        {"deeper first input", false, {"c2", "c1"}, std::nullopt, std::nullopt, 6},
        {"equal depths", true, {"c1", "c2"}, std::nullopt, std::nullopt, 0},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.what);
        ModelBuilder b;
        b.input("in");
        b.conv("c1", "in", 4);
        b.conv("c2", row.second_from_input ? "in" : "c1", 6);
        b.concat("cat", row.order);
        b.conv("c3", "cat");
        LayerList pass = b.list({"in", "c1", "c2", "cat", "c3"});
        LayerMappingBuilder::map_standalone(pass, pass_components(pass), pass_dma);
        DepthMemo memo;
        shift_output_into_sram(b["c1"], &memo);
        shift_output_into_sram(b["c2"], &memo);
        set_skipdma_load_channel_info(b["c3"], pass, {}, &memo);
        EXPECT_EQ(mapping_of(b["c1"])->sram_output_shift, row.c1_shift);
        EXPECT_EQ(mapping_of(b["c2"])->sram_output_shift, row.c2_shift);
        EXPECT_EQ(mapping_of(b["c3"])->skipdma_load_info->channel_offset, row.offset);
    }
}

TEST(SkipDmaMerge, AddShiftsFollowTheDeeperInput) {
    struct Row {
        char const* first;
        char const* second;
        char const* a_shift;  // the Add variable that becomes a_shift
        char const* b_shift;
    };
    Row const rows[] = {
        {"c2", "c1", "a_shift", "b_shift"},
        {"c1", "c2", "b_shift", "a_shift"},  // the first input is shallower: exchanged
    };
    for (auto const& row : rows) {
        ModelBuilder b;
        b.input("in");
        b.conv("c1", "in");
        b.conv("c2", "c1");
        b.add("add", row.first, row.second);
        b.conv("c3", "add");
        LayerList pass = b.list({"c1", "c2", "add", "c3"});
        LayerMappingBuilder::map_standalone(pass, pass_components(pass), pass_dma);
        DepthMemo memo;
        set_merge_layer_info(b["c3"], pass, {}, &memo);
        auto const& info = *mapping_of(b["c3"])->merge_info;
        Variables const& vars = b["add"]->variables();
        EXPECT_TRUE(info.add);
        EXPECT_EQ(info.a_shift, vars.get(row.a_shift)) << row.first;
        EXPECT_EQ(info.b_shift, vars.get(row.b_shift)) << row.first;
        EXPECT_EQ(info.output_shift, vars.get("output_shift"));
        EXPECT_TRUE(info.not_first);
        EXPECT_EQ(info.channel, 6u);
    }
}

TEST(SkipDmaMerge, FirstMappableLayerOfThePass) {
    ModelBuilder b;
    residual(b);
    LayerList pass = b.list({"c3"});
    LayerMappingBuilder::map_standalone(pass, pass_components(pass), pass_dma);
    DepthMemo memo;
    set_merge_layer_info(b["c3"], pass, b.list({"in", "c1", "c2", "add"}), &memo);
    auto const& info = *mapping_of(b["c3"])->merge_info;
    EXPECT_FALSE(info.not_first);
    EXPECT_EQ(info.channel, 6u);  // the pass's first layer: quartet from 4 earlier layers + 1
}

TEST(SkipDmaStore, LayerFeedingOnlyASkipDmaLinksThroughTheQuartet) {
    // c1 -> s (skip DMA) only: store flag set and link index = third byte of the quartet.
    auto first = mapped("first", {K::CNP});
    auto c1 = mapped("c1", {K::CNP}, 2);
    auto s = FakeLayer::make("s", {K::SKIP_DMA});
    auto c2 = mapped("c2", {K::CNP}, 3);
    connect(first, c1);
    connect(c1, s);
    connect(first, s);
    connect(s, c2);
    DepthMemo memo;
    set_skipdma_store_channel_info(c1, {first, c1, s, c2}, {}, &memo);
    auto mapping = mapping_of(c1);
    ASSERT_NE(mapping->skipdma_store_info, nullptr);
    EXPECT_EQ(mapping->skipdma_store_info->store_flag, 1);
    EXPECT_EQ(mapping->skipdma_store_info->delay, 0);
    // c1 is not the skip input of s (first is), so it stores nothing: channel 1 + 2 * 0.
    EXPECT_EQ(mapping->skipdma_store_info->channel, 1);
    EXPECT_EQ(mapping->link_index, 3);  // quartet 1..4, third byte
}

}  // namespace
}  // namespace nuvra
