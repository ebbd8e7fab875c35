#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "support/fake_layer.h"
#include "support/mapping_fixtures.h"

namespace nuvra {
namespace {

using namespace testing;
using K = ComponentKind;
using Components = std::vector<hw::Component>;
using Names = std::vector<std::string>;

std::shared_ptr<LayerMapping> mapping_of(std::shared_ptr<Layer> const& layer) {
    auto mapping = layer_mapping(layer);
    EXPECT_NE(mapping, nullptr) << layer->get_name();
    return mapping;
}

// A fake layer that carries a LayerMapping of the given index.
std::shared_ptr<FakeLayer> mapped(std::string name, std::set<K> kinds, uint8_t index = 1) {
    auto layer = FakeLayer::make(std::move(name), std::move(kinds));
    layer->set_mapping(std::make_shared<LayerMapping>(index));
    return layer;
}

void map_pass(ModelBuilder const& b, Names const& names, Names const& previous = {}) {
    LayerList layers = b.list(names);
    LayerMappingBuilder::build_layer_mapping(layers, b.list(previous), pass_components(layers), pass_dma);
}

void map_standalone(ModelBuilder const& b, Names const& names) {
    LayerList layers = b.list(names);
    LayerMappingBuilder::map_standalone(layers, pass_components(layers), pass_dma);
}

char const* const kResidual = "in c1<in c2<c1 add<c2,c1 c3<add";
std::string const kSecondBranch = "Hardware partial reconfiguration with layers on the second branch is not supported.";

TEST(LayerMapping, StoreAccessors) {
    struct Row { size_t stores; std::optional<bool> merge_dual_output; int32_t store, dual_output; };
    Row const rows[] = {
        {1, std::nullopt, 0, -1}, {1, true, -1, 0},  // a lone store carrying the dual output is not the plain store
        {3, true, -1, 2},
    };
    for (auto const& row : rows) {
        LayerMapping mapping(1);
        mapping.skipdma_stores.assign(row.stores, component(hw::Type::SKIP_DMA_STORE));
        if (row.merge_dual_output) {
            mapping.merge_info = std::make_unique<MergeLayerInfo>();
            mapping.merge_info->dual_output = *row.merge_dual_output;
        }
        auto const at = [&](int32_t i) { return i < 0 ? nullptr : &mapping.skipdma_stores[size_t(i)]; };
        EXPECT_EQ(mapping.skipdma_store(), at(row.store)) << row.stores;
        EXPECT_EQ(mapping.skipdma_store_dual_output(), at(row.dual_output)) << row.stores;
        EXPECT_EQ(mapping.skipdma_load(), nullptr);
    }
}

TEST(LayerMapping, StandaloneIndicesAndPassDma) {
    ModelBuilder b = build_model("in hrc<in c1<hrc c2<c1 t<c2 c3<t add<c3,c2 c4<add");
    std::pair<Names, std::vector<unsigned>> const rows[] = {
        {{"in", "c1", "c2"}, {0, 1, 2}},
        {{"in", "c2", "t", "c3"}, {0, 1, 3, 4}},                // a TNP-B layer takes two steps
        {{"in", "c2", "c3", "add", "c4"}, {0, 1, 2, 255, 3}},  // a skip DMA is 255 and does not count
        {{"in", "hrc", "c1"}, {0, 0, 1}},
    };
    for (auto const& [names, indices] : rows) {
        map_standalone(b, names);
        std::vector<unsigned> got;
        for (auto const& name : names) got.push_back(mapping_of(b[name])->index);
        EXPECT_EQ(got, indices) << names[1];
    }
    // The HRC reads the HRC; the last mappable layer writes the pass's output DMA.
    EXPECT_EQ(*mapping_of(b["hrc"])->inputs.at(0), Components{component(hw::Type::HRC)});
    EXPECT_TRUE(mapping_of(b["c1"])->inputs.empty());
    EXPECT_EQ(*mapping_of(b["c1"])->outputs.at(0), Components{component(hw::Type::DMA, pass_dma)});
    // Otherwise the first mappable layer reads the pass's input DMA.
    map_standalone(b, {"in", "c2", "c3", "add", "c4"});
    EXPECT_EQ(*mapping_of(b["c2"])->inputs.at(0), Components{component(hw::Type::DMA, pass_dma)});
    EXPECT_EQ(mapping_of(b["c2"])->skipdma_stores, Components{component(hw::Type::SKIP_DMA_STORE)});
    EXPECT_EQ(mapping_of(b["c4"])->skipdma_loads, Components{component(hw::Type::SKIP_DMA_LOAD)});
    EXPECT_EQ(mapping_of(b["c4"])->link_index, 255);
    EXPECT_TRUE(mapping_of(b["add"])->components->empty());
}

TEST(LayerMapping, IndexBeyondEightBitsFails) {
    std::string words = "t0";  // 128 TNP-B layers, each taking two steps of the counter
    for (int i = 1; i <= 128; ++i) words += " t" + std::to_string(i) + ":1<t" + std::to_string(i - 1);
    ModelBuilder tnp = build_model(words);
    LayerList layers = tnp.model().layers();
    std::vector<Components> const none(layers.size());
    expect_runtime_error([&] { LayerMappingBuilder::map_standalone(layers, none, pass_dma); },
                         "Cannot map layer 't128'. Layer index 256 does not fit in 8 bits.");
    ModelBuilder b = build_model(kResidual);
    LayerMappingBuilder::map_standalone(b["c1"], {}, 255, std::nullopt, pass_dma);
    LayerMappingBuilder::map_standalone(b["c2"], {}, 1, pass_dma, std::nullopt);
    expect_runtime_error([&] { LayerMappingBuilder::link_to_previous_pass(b["c2"], b["c1"]); },
                         "Cannot map layer 'c1'. Layer index 256 does not fit in 8 bits.");
    EXPECT_EQ(mapping_of(b["c1"])->outputs.size(), 1u);  // left as it was
}

// Three residual blocks in a row, mapped as one pass without the input layer.
TEST(LayerMapping, ResidualChainChannelsAndLinks) {
    ModelBuilder b = build_model(
        "in c1<in c2<c1 add1<c2,c1 c3<add1 c4<c3 add2<c4,c3 c5<add2 c6<c5 add3<c6,c5 c7<add3");
    map_pass(b, {"c1", "c2", "add1", "c3", "c4", "add2", "c5", "c6", "add3", "c7"});
    // -1: no such record. Store channels go 1, 3, 5; load quartets start at 1 and advance by 4
    // per DMA-using layer.
    struct Row { char const* layer; int index, link_index, store_channel, load_channel, load_store, merge_channel; };
    Row const rows[] = {
        {"c1", 1, 2, 1, -1, -1, -1},  {"c2", 2, 3, -1, -1, -1, -1}, {"add1", 255, 255, -1, -1, -1, -1},
        {"c3", 3, 4, 3, 5, 1, 6},     {"c4", 4, 5, -1, -1, -1, -1}, {"c5", 5, 6, 5, 9, 3, 10},
        {"c7", 7, 255, -1, 13, 5, 14},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.layer);
        auto m = mapping_of(b[row.layer]);
        EXPECT_EQ(m->index, row.index);
        EXPECT_EQ(m->link_index, row.link_index);
        EXPECT_EQ(m->skipdma_store_info ? int(m->skipdma_store_info->channel) : -1, row.store_channel);
        if (m->skipdma_store_info) { EXPECT_EQ(m->skipdma_store_info->delay, 1); }
        EXPECT_EQ(m->skipdma_load_info ? int(m->skipdma_load_info->channel) : -1, row.load_channel);
        EXPECT_EQ(m->skipdma_load_info ? int(m->skipdma_load_info->store_channel) : -1, row.load_store);
        EXPECT_EQ(m->merge_info ? int(m->merge_info->channel) : -1, row.merge_channel);
    }
    // Each layer sends to the next one, which reads it (the deepest producer, for a merge).
    for (auto const& [from, to] : {std::pair{"c2", "c3"}, std::pair{"c3", "c4"}, std::pair{"c6", "c7"}}) {
        EXPECT_EQ(mapping_of(b[from])->outputs.at(0), mapping_of(b[to])->components) << from;
        EXPECT_EQ(mapping_of(b[to])->inputs.back(), mapping_of(b[from])->components) << to;
    }
    auto const& merge = *mapping_of(b["c3"])->merge_info;
    EXPECT_TRUE(merge.add);
    EXPECT_EQ(merge.a_shift, b["add1"]->variables().get("a_shift"));
    EXPECT_EQ(merge.output_shift, b["add1"]->variables().get("output_shift"));
}

TEST(LayerMapping, TnpBKeepsItsFrames) {
    ModelBuilder b = build_model("in c1<in t:3<c1");
    map_pass(b, {"in", "c1", "t"});
    auto t = mapping_of(b["t"]);
    EXPECT_EQ(t->index, 3);
    EXPECT_TRUE(t->uses_skipdma_layer_flag);
    // fifo_size 3 keeps 4 frames; the store channel is the layer's place in the pass and the
    // load reads it back on the channel before the layer's index.
    auto const& store = *t->skipdma_store_info;
    auto const& load = *t->skipdma_load_info;
    EXPECT_EQ((std::vector<int>{store.delay, store.store_flag, store.channel}), (std::vector<int>{4, 1, 2}));
    EXPECT_EQ((std::vector<int>{load.delay, load.channel, load.store_channel}), (std::vector<int>{4, 2, 2}));
}

// add's result reaches c3 and, through a store, the Concatenate one layer later.
TEST(LayerMapping, DualOutputStoreAndLoadAgreeOnTheChannel) {
    ModelBuilder b = build_model(std::string(kResidual) + " cat<add,c3 c4<cat");
    map_pass(b, {"c1", "c2", "add", "c3", "cat", "c4"});
    auto c3 = mapping_of(b["c3"]);
    auto c4 = mapping_of(b["c4"]);
    ASSERT_EQ(c3->skipdma_stores.size(), 2u);
    EXPECT_TRUE(c3->merge_info->dual_output);
    EXPECT_EQ(c3->merge_info->dual_output_target, 8);  // fourth byte of the quartet 5..8
    EXPECT_EQ(c3->skipdma_store_info->channel, 3);
    EXPECT_EQ(c3->skipdma_store_dual_output_info->channel, 4);
    EXPECT_EQ(c3->sram_output_shift, 4u);  // add's 4 channels come first in the Concatenate
    EXPECT_EQ(c3->link_index, 4);
    EXPECT_EQ(c4->skipdma_load_info->channel, 9);
    EXPECT_EQ(c4->skipdma_load_info->store_channel, 4);  // the channel c3's dual-output store writes
    EXPECT_FALSE(c4->merge_info->add);
}

TEST(LayerMapping, AlternateBranchesAndTheSecondBranchRule) {
    ModelBuilder b = build_model("in c1<in ca<c1 cb<c1 cat<ca,cb c2<cat");
    expect_runtime_error([&] { map_pass(b, {"c1", "ca"}); }, "Cannot map layer 'c1'. " + kSecondBranch);
    map_pass(b, {"c1", "ca", "cb", "cat", "c2"});
    auto c1 = mapping_of(b["c1"]);
    auto ca = mapping_of(b["ca"]);
    auto cb = mapping_of(b["cb"]);
    EXPECT_FALSE(ca->alt_info->alternate);
    EXPECT_EQ(ca->alt_info->nps, 2u);
    EXPECT_TRUE(cb->alt_info->alternate);
    EXPECT_EQ(cb->alt_info->main_index, ca->index);
    EXPECT_EQ(c1->link_index, ca->index);
    EXPECT_EQ(c1->outputs, (std::vector<std::shared_ptr<Components>>{ca->components, cb->components}));
    EXPECT_EQ(ca->link_index, 7);  // feeds only the Concatenate: the quartet's third byte
    EXPECT_EQ(cb->link_index, mapping_of(b["c2"])->index);

    // add feeds c3 and c4 at the same depth: c3's dual output goes to c4 by its index.
    ModelBuilder d = build_model("in c1<in add<c1,in c3<add c4<add");
    expect_runtime_error([&] { map_pass(d, {"in", "c1", "add", "c3"}); }, "Cannot map layer 'c3'. " + kSecondBranch);
    map_pass(d, {"in", "c1", "add", "c3", "c4"});
    EXPECT_EQ(mapping_of(d["c3"])->merge_info->dual_output_target, 3);
}

TEST(LayerMapping, LinkToPreviousPass) {
    ModelBuilder b = build_model(std::string(kResidual) + " c4<c3");
    map_pass(b, {"in", "c1", "c2", "add"});
    // c3 would load what c1 stored in the pass before: refused, its merge and load channels written.
    expect_runtime_error([&] { map_pass(b, {"c3", "c4"}, {"in", "c1", "c2", "add"}); },
                         "Cannot map layer 'c3'. " + kSecondBranch);
    auto c2 = mapping_of(b["c2"]);
    auto c3 = mapping_of(b["c3"]);
    // The first layer of a pass takes load channel (previous-pass layers) + 1.
    EXPECT_EQ(c3->skipdma_load_info->channel, 5);
    EXPECT_EQ(c3->merge_info->channel, 6u);
    EXPECT_FALSE(c3->merge_info->not_first);
    c2->p2p_in = c2->p2p_out = true;
    LayerMappingBuilder::link_to_previous_pass(b["c3"], b["c2"]);
    EXPECT_EQ(c2->outputs, std::vector<std::shared_ptr<Components>>{c3->components});  // no output DMA
    EXPECT_FALSE(c2->p2p_in || c2->p2p_out);
    EXPECT_EQ(c2->link_index, 3);  // its own index 2, plus 1
    EXPECT_EQ(c3->input_link_index, 3);
    EXPECT_EQ(c3->inputs.back(), c2->components);
}

TEST(SkipDma, RequestedComponents) {
    using T = hw::Type;
    hw::Component const np = component(T::CNP1, {3, 1, 0, 0});
    hw::Component const store = component(T::SKIP_DMA_STORE);
    hw::Component const load = component(T::SKIP_DMA_LOAD);
    ModelBuilder b = build_model("in t:2<in c2<t add<c2,t c3<add cat<add,c3 c4<cat");
    struct Row { char const* layer; std::vector<T> types; Components expected; };
    Row const rows[] = {
        {"t", {T::CNP1}, {np}},
        {"t", {T::CNP1, T::SKIP_DMA_STORE, T::SKIP_DMA_LOAD}, {np, store, store, load}},  // TNP-B and skip layer
        {"c2", {T::CNP1, T::SKIP_DMA_STORE}, {np}},                                       // nothing to store
        {"c3", {T::CNP1, T::SKIP_DMA_STORE}, {np, store, store}},  // the skip input of cat, a stored dual output
        {"c4", {T::CNP1, T::SKIP_DMA_LOAD}, {np, load}},
    };
    for (auto const& row : rows) {
        Components components{np};
        request_skipdma(&components, row.types, b[row.layer]);
        EXPECT_EQ(components, row.expected) << row.layer << " " << row.types.size();
    }
}

TEST(SkipDma, ChannelQuartets) {
    auto first = FakeLayer::make("first", {K::CNP});
    auto plain = FakeLayer::make("plain", {K::CNP});
    auto t2 = FakeLayer::make("t2", {K::TNP_B});
    LayerList const pass{first, FakeLayer::make("t1", {K::TNP_B}), plain, t2};  // TNP-B: a load and a store
    struct Row { std::shared_ptr<Layer> layer; size_t previous; uint32_t quartet; };
    Row const rows[] = {
        {first, 0, 0x04030201},
        {first, 3, 0x07060504},  // after three layers of earlier passes
        {plain, 0, 0x08070605},  // a layer without DMA does not advance the count
        {t2, 2, 0x0E0D0C0B},
        {FakeLayer::make("outside", {K::CNP}), 0, 0x0C0B0A09},  // not in the pass: the whole pass counts
    };
    for (auto const& row : rows)
        EXPECT_EQ(skipdma_channels_for_layer(row.layer, pass, LayerList(row.previous, first)), row.quartet);
    expect_runtime_error([&] { skipdma_channels_for_layer(first, pass, LayerList(252, first)); },
                         "Cannot map layer 'first'. Skip-DMA channel 256 does not fit in 8 bits.");
}

TEST(SkipDma, StoreChannelsBeyondEightBitsFail) {
    // p follows `tnp` TNP-B layers in its pass: store channel 1 + 2 * tnp, dual output one more.
    std::string const too_big = "Cannot map layer 'p'. Skip-DMA channel ";
    struct Row { size_t tnp; std::string store, dual; };  // the channel, or the failure
    Row const rows[] = {
        {127, "255", too_big + "256 does not fit in 8 bits."},
        {128, too_big + "257 does not fit in 8 bits.", too_big + "258 does not fit in 8 bits."},
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
            if (expected.starts_with("Cannot")) return expect_runtime_error(set, expected);
            set();
            EXPECT_EQ(std::to_string(info->channel), expected);
        };
        check([&] { set_skipdma_store_channel_info(p, pass, {}, &memo); }, mapping->skipdma_store_info, row.store);
        check([&] { set_skipdma_store_channel_dual_output_info(p, pass, &memo); },
              mapping->skipdma_store_dual_output_info, row.dual);
    }
}

// Mended: a merge's load named the store channel its producer would have had in the merge's pass,
// which no store or another store writes; and a TNP-B layer's frame buffer took the channel of a
// skip store (its place in the pass against 1 + 2 x the stores up to the producer), so that a load
// of either read both.
TEST(SkipDma, ALoadReadsTheOneStoreOfItsPass) {
    struct Row { char const* model; std::vector<Names> passes; std::string failure; };
    Row const rows[] = {
        {kResidual, {{"in", "c1"}, {"c2", "add", "c3"}}, "Cannot map layer 'c3'. " + kSecondBranch},
        {"in c1<in c2<c1 t<c2 c4<t add<c4,c1 c5<add", {{"in", "c1", "c2", "t", "c4", "add", "c5"}},
         "Cannot map layer 't'. Layers 'c1' and 't' would store on one skip-DMA channel (3)."},
    };
    for (auto const& row : rows) {
        ModelBuilder b = build_model(row.model);
        Names previous;
        auto const map_all = [&] {
            for (auto const& pass : row.passes) {
                map_pass(b, pass, previous);
                previous.insert(previous.end(), pass.begin(), pass.end());
            }
        };
        expect_runtime_error(map_all, row.failure);
    }
}

TEST(SkipDma, TnpBRecords) {
    auto absent = mapped("t", {K::TNP_B}, 3);
    absent->set_params(LayerType::BufferTempConv, {{"fifo_size", 3}});
    DepthMemo memo;
    expect_runtime_error([&] { set_skipdma_store_channel_info(absent, {FakeLayer::make("x")}, {}, &memo); },
                         "Cannot map layer 't'. Layer not found in the sequence.");
    // The load reads channel index - 1 with a delay of fifo_size + 1.
    struct Row { uint8_t index; int fifo_size; char const* failure; };
    Row const rows[] = {
        {0, 3, "Cannot map layer 't'. Skip-DMA channel -1 does not fit in 8 bits."},
        {3, 255, "Cannot map layer 't'. Skip-DMA delay 256 does not fit in 8 bits."},
        {3, -2, "Cannot map layer 't'. Skip-DMA delay -1 does not fit in 8 bits."},
    };
    for (auto const& row : rows) {
        auto t = mapped("t", {K::TNP_B}, row.index);
        t->set_params(LayerType::BufferTempConv, {{"fifo_size", row.fifo_size}});
        expect_runtime_error([&] { set_skipdma_load_channel_info(t, {t}, {}, &memo); }, row.failure);
    }
}

TEST(SkipDma, MergeNeedsTwoInboundLayers) {
    for (size_t inputs : {0u, 1u}) {
        auto s = FakeLayer::make("s", {K::SKIP_DMA});
        s->set_params(LayerType::Add);
        auto m = mapped("m", {K::CNP});
        for (size_t i = 0; i < inputs; ++i) connect(mapped("p", {K::CNP}), s);
        connect(s, m);
        DepthMemo memo;
        std::string const message =
            "Cannot map layer 'm'. Merge layer 's' needs 2 inbound layers but has " + std::to_string(inputs) + ".";
        expect_runtime_error([&] { set_skipdma_load_channel_info(m, {m}, {}, &memo); }, message);
        expect_runtime_error([&] { set_merge_layer_info(m, {m}, {}, &memo); }, message);
    }
    auto p = mapped("p", {K::CNP});
    auto c = FakeLayer::make("c", {K::SKIP_DMA});
    c->set_params(LayerType::Concatenate);
    connect(p, c);
    DepthMemo memo;
    expect_runtime_error([&] { shift_output_into_sram(p, &memo); },
                         "Cannot map layer 'p'. Merge layer 'c' needs 2 inbound layers but has 1.");
}

TEST(SkipDma, LayerWithoutLayerMappingIsLeftAlone) {
    struct OtherMapping : Layer::Mapping {};
    for (bool other_kind : {false, true}) {
        auto s = FakeLayer::make("s", {K::SKIP_DMA});
        s->set_params(LayerType::Add);
        auto m = FakeLayer::make("m", {K::CNP, K::TNP_B});
        connect(s, m);
        if (other_kind) m->set_mapping(std::make_shared<OtherMapping>());
        auto before = m->mapping();
        DepthMemo memo;
        std::vector<std::shared_ptr<Components>> lists;
        EXPECT_NO_THROW(set_skipdma_store_channel_info(m, {}, {}, &memo));
        EXPECT_NO_THROW(set_skipdma_store_channel_dual_output_info(m, {}, &memo));
        EXPECT_NO_THROW(set_skipdma_load_channel_info(m, {}, {}, &memo));
        EXPECT_NO_THROW(set_merge_layer_info(m, {}, {}, &memo));
        EXPECT_NO_THROW(set_alt_layers(m, {}, &lists));
        EXPECT_NO_THROW(shift_output_into_sram(m, &memo));
        EXPECT_EQ(m->mapping(), before);
    }
}

TEST(SkipDma, ConcatenateShiftAndAddShifts) {
    // c1 has 4 channels, c2 6; the deeper second input is shifted by the first's channels.
    struct Row { char const* model; std::optional<uint32_t> c2_shift; uint32_t offset; };  // offset: of c3's load
    Row const rows[] = {
        {"in c1<in c2:6<c1 cat<c1,c2 c3<cat", 4u, 0},
        {"in c1<in c2:6<c1 cat<c2,c1 c3<cat", std::nullopt, 6},
        {"in c1<in c2:6<in cat<c1,c2 c3<cat", std::nullopt, 0},  // equal depths
    };
    for (auto const& row : rows) {
        ModelBuilder b = build_model(row.model);
        LayerList pass = b.list({"in", "c1", "c2", "cat", "c3"});
        LayerMappingBuilder::map_standalone(pass, pass_components(pass), pass_dma);
        DepthMemo memo;
        shift_output_into_sram(b["c1"], &memo);
        shift_output_into_sram(b["c2"], &memo);
        set_skipdma_load_channel_info(b["c3"], pass, {}, &memo);
        EXPECT_EQ(mapping_of(b["c1"])->sram_output_shift, std::nullopt);
        EXPECT_EQ(mapping_of(b["c2"])->sram_output_shift, row.c2_shift);
        EXPECT_EQ(mapping_of(b["c3"])->skipdma_load_info->channel_offset, row.offset);
    }
    // The Add's a_shift belongs to its deeper input: a shallower first input exchanges them.
    for (bool deeper_first : {true, false}) {
        ModelBuilder b = build_model(deeper_first ? kResidual : "in c1<in c2<c1 add<c1,c2 c3<add");
        LayerList pass = b.list({"c1", "c2", "add", "c3"});
        LayerMappingBuilder::map_standalone(pass, pass_components(pass), pass_dma);
        DepthMemo memo;
        set_merge_layer_info(b["c3"], pass, {}, &memo);
        auto const& info = *mapping_of(b["c3"])->merge_info;
        Variables const& vars = b["add"]->variables();
        EXPECT_EQ(info.a_shift, vars.get(deeper_first ? "a_shift" : "b_shift"));
        EXPECT_EQ(info.b_shift, vars.get(deeper_first ? "b_shift" : "a_shift"));
    }
}

}  // namespace
}  // namespace nuvra
