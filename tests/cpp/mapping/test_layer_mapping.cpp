#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "mapping/layer_mapping.h"
#include "mapping_fixtures.h"
#include "support/model_builder.h"

namespace nuvra {
namespace {

using testing::component;
using testing::expect_runtime_error;
using testing::ModelBuilder;
using testing::pass_components;
using testing::pass_dma;

std::shared_ptr<LayerMapping> mapping_of(ModelBuilder const& b, std::string const& name) {
    auto mapping = layer_mapping(b[name]);
    EXPECT_NE(mapping, nullptr) << name;
    return mapping;
}

void map_pass(ModelBuilder const& b, std::vector<std::string> const& names,
              std::vector<std::string> const& previous = {}) {
    LayerList layers = b.list(names);
    LayerMappingBuilder::build_layer_mapping(layers, b.list(previous), pass_components(layers),
                                             pass_dma);
}

// ---- accessors ----

TEST(LayerMappingAccessors, StoreLoadAndDualOutputSelection) {
    struct Row {
        size_t stores;
        std::optional<bool> merge_dual_output;  // no merge record when empty
        int32_t store_index;
        int32_t dual_output_index;
    };
    Row const rows[] = {
        {0, std::nullopt, -1, -1},
        {0, true, -1, -1},
        {1, std::nullopt, 0, -1},
        {1, false, 0, -1},
        {1, true, -1, 0},  // a lone store carrying the dual output is not the plain store
        {2, std::nullopt, 0, -1},
        {2, true, 0, 1},
        {3, true, -1, 2},
    };
    for (auto const& row : rows) {
        LayerMapping mapping(1);
        for (size_t i = 0; i < row.stores; ++i)
            mapping.skipdma_stores.push_back(
                component(hw::Type::SKIP_DMA_STORE, {0, 0, 0, static_cast<uint8_t>(i + 1)}));
        if (row.merge_dual_output) {
            mapping.merge_info = std::make_unique<MergeLayerInfo>();
            mapping.merge_info->dual_output = *row.merge_dual_output;
        }
        SCOPED_TRACE(::testing::Message() << row.stores << " stores");
        EXPECT_EQ(mapping.get_skipdma_store_index(), row.store_index);
        EXPECT_EQ(mapping.get_skipdma_store_dual_output_index(), row.dual_output_index);
        LayerMapping const& view = mapping;
        hw::Component const* store =
            row.store_index < 0 ? nullptr : &mapping.skipdma_stores[row.store_index];
        hw::Component const* dual =
            row.dual_output_index < 0 ? nullptr : &mapping.skipdma_stores[row.dual_output_index];
        EXPECT_EQ(view.skipdma_store(), store);
        EXPECT_EQ(mapping.skipdma_store(), store);
        EXPECT_EQ(view.skipdma_store_dual_output(), dual);
        EXPECT_EQ(mapping.skipdma_store_dual_output(), dual);
        EXPECT_EQ(view.skipdma_load(), nullptr);
    }
}

TEST(LayerMappingAccessors, FirstLoadAndDefaults) {
    LayerMapping mapping(7);
    EXPECT_EQ(mapping.index, 7);
    EXPECT_EQ(mapping.link_index, 255);
    EXPECT_EQ(mapping.input_link_index, 0);
    ASSERT_NE(mapping.components, nullptr);
    EXPECT_TRUE(mapping.components->empty());
    EXPECT_FALSE(mapping.sram_output_shift.has_value());
    mapping.skipdma_loads = {component(hw::Type::SKIP_DMA_LOAD, {1, 0, 0, 4}),
                             component(hw::Type::SKIP_DMA_LOAD, {1, 0, 0, 5})};
    EXPECT_EQ(mapping.skipdma_load(), &mapping.skipdma_loads[0]);
}

// ---- map_standalone ----

TEST(LayerMappingStandalone, IndicesAlongThePass) {
    struct Row {
        char const* what;
        std::function<std::vector<std::string>(ModelBuilder&)> build;
        std::vector<unsigned> indices;
    };
    Row const rows[] = {
        {"kind 0 then two NP layers",
         [](ModelBuilder& b) {
             b.input("in");
             b.conv("c1", "in");
             b.conv("c2", "c1");
             return std::vector<std::string>{"in", "c1", "c2"};
         },
         {0, 1, 2}},
        {"a TNP-B layer takes two steps",
         [](ModelBuilder& b) {
             b.input("in");
             b.conv("c1", "in");
             b.buffer_temp_conv("t", "c1", 3);
             b.conv("c2", "t");
             return std::vector<std::string>{"in", "c1", "t", "c2"};
         },
         {0, 1, 3, 4}},
        {"skip DMAs are 255 and do not count",
         [](ModelBuilder& b) {
             b.input("in");
             b.conv("c1", "in");
             b.conv("c2", "c1");
             b.add("add", "c2", "c1");
             b.conv("c3", "add");
             return std::vector<std::string>{"in", "c1", "c2", "add", "c3"};
         },
         {0, 1, 2, 255, 3}},
        {"an HRC layer is 0",
         [](ModelBuilder& b) {
             b.input("in");
             b.input_conv("hrc", "in");
             b.conv("c1", "hrc");
             return std::vector<std::string>{"in", "hrc", "c1"};
         },
         {0, 0, 1}},
    };
    for (auto const& row : rows) {
        ModelBuilder b;
        auto names = row.build(b);
        LayerList layers = b.list(names);
        LayerMappingBuilder::map_standalone(layers, pass_components(layers), pass_dma);
        std::vector<unsigned> indices;
        for (auto const& name : names) indices.push_back(mapping_of(b, name)->index);
        EXPECT_EQ(indices, row.indices) << row.what;
    }
}

TEST(LayerMappingStandalone, PassDmaAndComponentSplit) {
    ModelBuilder b;
    b.input("in");
    b.conv("c1", "in");
    b.conv("c2", "c1");
    b.add("add", "c2", "c1");
    b.conv("c3", "add");
    LayerList layers = b.list({"in", "c1", "c2", "add", "c3"});
    auto components = pass_components(layers);
    LayerMappingBuilder::map_standalone(layers, components, pass_dma);

    auto c1 = mapping_of(b, "c1");
    ASSERT_EQ(c1->inputs.size(), 1u);  // the first mappable layer reads the pass's input DMA
    EXPECT_EQ(*c1->inputs[0], std::vector<hw::Component>{component(hw::Type::DMA, pass_dma)});
    EXPECT_TRUE(c1->outputs.empty());
    EXPECT_EQ(*c1->components, std::vector<hw::Component>{components[1][0]});
    EXPECT_EQ(c1->skipdma_stores, std::vector<hw::Component>{component(hw::Type::SKIP_DMA_STORE)});
    EXPECT_TRUE(c1->skipdma_loads.empty());
    EXPECT_FALSE(c1->uses_skipdma_layer_flag);

    auto c3 = mapping_of(b, "c3");
    EXPECT_TRUE(c3->inputs.empty());
    ASSERT_EQ(c3->outputs.size(), 1u);  // the last mappable layer writes the pass's output DMA
    EXPECT_EQ(*c3->outputs[0], std::vector<hw::Component>{component(hw::Type::DMA, pass_dma)});
    EXPECT_EQ(c3->skipdma_loads, std::vector<hw::Component>{component(hw::Type::SKIP_DMA_LOAD)});
    EXPECT_EQ(c3->link_index, 255);

    for (auto const* name : {"in", "add"}) {
        auto m = mapping_of(b, name);
        EXPECT_TRUE(m->components->empty()) << name;
        EXPECT_TRUE(m->inputs.empty() && m->outputs.empty()) << name;
    }
}

TEST(LayerMappingStandalone, HrcLayerReadsTheHrcNotTheDma) {
    ModelBuilder b;
    b.input("in");
    b.input_conv("hrc", "in");
    b.conv("c1", "hrc");
    LayerList layers = b.list({"in", "hrc", "c1"});
    LayerMappingBuilder::map_standalone(layers, pass_components(layers), pass_dma);
    auto hrc = mapping_of(b, "hrc");
    ASSERT_EQ(hrc->inputs.size(), 1u);
    EXPECT_EQ(*hrc->inputs[0], std::vector<hw::Component>{component(hw::Type::HRC)});
    EXPECT_TRUE(mapping_of(b, "c1")->inputs.empty());
}

TEST(LayerMappingStandalone, ReplacesAnEarlierMapping) {
    ModelBuilder b;
    b.input("in");
    b.conv("c1", "in");
    LayerList layers = b.list({"in", "c1"});
    LayerMappingBuilder::map_standalone(layers, pass_components(layers), pass_dma);
    auto first = mapping_of(b, "c1");
    LayerMappingBuilder::map_standalone(b["c1"], {}, 9, std::nullopt, std::nullopt);
    auto second = mapping_of(b, "c1");
    EXPECT_NE(first, second);
    EXPECT_EQ(second->index, 9);
    EXPECT_TRUE(second->inputs.empty() && second->outputs.empty());
}

TEST(LayerMappingStandalone, IndexBeyondEightBitsFails) {
    struct Row {
        int tnp_layers;       // each takes two steps of the counter
        char const* failure;  // empty: mapped
    };
    Row const rows[] = {
        {127, ""},                                                        // last index 254
        {128, "Cannot map layer 't128'. Layer index 256 does not fit in 8 bits."},
    };
    for (auto const& row : rows) {
        ModelBuilder b;
        b.input("in");
        std::vector<std::string> names{"in"};
        for (int i = 1; i <= row.tnp_layers; ++i) {
            names.push_back("t" + std::to_string(i));
            b.buffer_temp_conv(names.back(), names[names.size() - 2], 1);
        }
        LayerList layers = b.list(names);
        std::vector<std::vector<hw::Component>> components(layers.size());
        auto map = [&] { LayerMappingBuilder::map_standalone(layers, components, pass_dma); };
        if (*row.failure) {
            expect_runtime_error(map, row.failure);
        } else {
            map();
            EXPECT_EQ(mapping_of(b, names.back())->index, 254);
        }
    }
}

// ---- whole passes ----

// Three residual blocks in a row: in -> c1 -> c2 -> add1(c2, c1) -> c3 -> c4 -> add2(c4, c3) ->
// c5 -> c6 -> add3(c6, c5) -> c7, mapped as one pass without the input layer.
TEST(LayerMappingPass, ResidualChainChannelsAndLinks) {
    ModelBuilder b;
    b.input("in");
    b.conv("c1", "in");
    b.conv("c2", "c1");
    b.add("add1", "c2", "c1");
    b.conv("c3", "add1");
    b.conv("c4", "c3");
    b.add("add2", "c4", "c3");
    b.conv("c5", "add2");
    b.conv("c6", "c5");
    b.add("add3", "c6", "c5");
    b.conv("c7", "add3");
    map_pass(b, {"c1", "c2", "add1", "c3", "c4", "add2", "c5", "c6", "add3", "c7"});

    struct Store {
        uint8_t delay, store_flag, channel;
    };
    struct Load {
        uint8_t channel, delay, store_channel;
    };
    struct Row {
        char const* layer;
        uint8_t index, link_index;
        std::optional<Store> store;
        std::optional<Load> load;
        std::optional<uint32_t> merge_channel;
    };
    // Store channels go 1, 3, 5; load quartets start at 1 and advance by 4 per DMA-using layer.
    Row const rows[] = {
        {"c1", 1, 2, Store{1, 0, 1}, std::nullopt, std::nullopt},
        {"c2", 2, 3, std::nullopt, std::nullopt, std::nullopt},
        {"add1", 255, 255, std::nullopt, std::nullopt, std::nullopt},
        {"c3", 3, 4, Store{1, 0, 3}, Load{5, 1, 1}, 6},
        {"c4", 4, 5, std::nullopt, std::nullopt, std::nullopt},
        {"c5", 5, 6, Store{1, 0, 5}, Load{9, 1, 3}, 10},
        {"c6", 6, 7, std::nullopt, std::nullopt, std::nullopt},
        {"c7", 7, 255, std::nullopt, Load{13, 1, 5}, 14},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.layer);
        auto m = mapping_of(b, row.layer);
        EXPECT_EQ(m->index, row.index);
        EXPECT_EQ(m->link_index, row.link_index);
        ASSERT_EQ(m->skipdma_store_info != nullptr, row.store.has_value());
        if (row.store) {
            EXPECT_EQ(m->skipdma_store_info->delay, row.store->delay);
            EXPECT_EQ(m->skipdma_store_info->store_flag, row.store->store_flag);
            EXPECT_EQ(m->skipdma_store_info->channel, row.store->channel);
        }
        ASSERT_EQ(m->skipdma_load_info != nullptr, row.load.has_value());
        if (row.load) {
            EXPECT_EQ(m->skipdma_load_info->channel, row.load->channel);
            EXPECT_EQ(m->skipdma_load_info->delay, row.load->delay);
            EXPECT_EQ(m->skipdma_load_info->store_channel, row.load->store_channel);
            EXPECT_EQ(m->skipdma_load_info->channel_offset, 0u);
        }
        ASSERT_EQ(m->merge_info != nullptr, row.merge_channel.has_value());
        if (row.merge_channel) {
            EXPECT_TRUE(m->merge_info->add);
            EXPECT_EQ(m->merge_info->channel, *row.merge_channel);
            EXPECT_TRUE(m->merge_info->not_first);
            EXPECT_FALSE(m->merge_info->dual_output);
            EXPECT_EQ(m->merge_info->dual_output_target, 0);
        }
        EXPECT_EQ(m->skipdma_store_dual_output_info, nullptr);
        EXPECT_EQ(m->alt_info, nullptr);
        EXPECT_FALSE(m->sram_output_shift.has_value());
    }

    // Each layer reads the components of the layer before it (the deepest producer of a merge)
    // and sends to the one after.
    std::pair<char const*, char const*> const links[] = {
        {"c1", "c2"}, {"c2", "c3"}, {"c3", "c4"}, {"c4", "c5"}, {"c5", "c6"}, {"c6", "c7"},
    };
    for (auto const& [from, to] : links) {
        auto source = mapping_of(b, from);
        auto target = mapping_of(b, to);
        ASSERT_EQ(source->outputs.size(), 1u) << from;
        EXPECT_EQ(source->outputs[0], target->components) << from;
        ASSERT_FALSE(target->inputs.empty()) << to;
        EXPECT_EQ(target->inputs.back(), source->components) << to;
    }
    auto c3 = mapping_of(b, "c3");
    auto add1 = b["add1"];
    EXPECT_EQ(c3->merge_info->a_shift, add1->variables().get("a_shift"));
    EXPECT_EQ(c3->merge_info->b_shift, add1->variables().get("b_shift"));
    EXPECT_EQ(c3->merge_info->output_shift, add1->variables().get("output_shift"));
}

TEST(LayerMappingPass, TnpBKeepsItsFrames) {
    ModelBuilder b;
    b.input("in");
    b.conv("c1", "in");
    b.buffer_temp_conv("t", "c1", 3);
    map_pass(b, {"in", "c1", "t"});
    auto t = mapping_of(b, "t");
    EXPECT_EQ(t->index, 3);
    EXPECT_TRUE(t->uses_skipdma_layer_flag);
    ASSERT_NE(t->skipdma_store_info, nullptr);
    ASSERT_NE(t->skipdma_load_info, nullptr);
    // fifo_size 3 keeps 4 frames in both records; the store channel is the layer's place in
    // the pass and the load reads it back on the channel before the layer's index.
    EXPECT_EQ(t->skipdma_store_info->delay, 4);
    EXPECT_EQ(t->skipdma_store_info->store_flag, 1);
    EXPECT_EQ(t->skipdma_store_info->channel, 2);
    EXPECT_EQ(t->skipdma_load_info->delay, 4);
    EXPECT_EQ(t->skipdma_load_info->channel, 2);
    EXPECT_EQ(t->skipdma_load_info->store_channel, 2);
    EXPECT_EQ(mapping_of(b, "c1")->link_index, 3);
}

// in -> c1 -> c2 -> add1(c2, c1) -> c3 -> cat(add1, c3) -> c4: add1's result reaches c3 and,
// through a store, the Concatenate one layer later.
TEST(LayerMappingPass, DualOutputStoreAndLoadAgreeOnTheChannel) {
    ModelBuilder b;
    b.input("in");
    b.conv("c1", "in");
    b.conv("c2", "c1");
    b.add("add1", "c2", "c1");
    b.conv("c3", "add1");
    b.concat("cat", {"add1", "c3"});
    b.conv("c4", "cat");
    map_pass(b, {"c1", "c2", "add1", "c3", "cat", "c4"});

    auto c3 = mapping_of(b, "c3");
    auto c4 = mapping_of(b, "c4");
    ASSERT_EQ(c3->skipdma_stores.size(), 2u);
    ASSERT_NE(c3->merge_info, nullptr);
    EXPECT_TRUE(c3->merge_info->dual_output);
    EXPECT_EQ(c3->merge_info->dual_output_target, 8);  // fourth byte of the quartet 5..8
    EXPECT_EQ(c3->merge_info->channel, 6u);
    EXPECT_EQ(c3->skipdma_store(), &c3->skipdma_stores[0]);
    EXPECT_EQ(c3->skipdma_store_dual_output(), &c3->skipdma_stores[1]);

    ASSERT_NE(c3->skipdma_store_info, nullptr);
    EXPECT_EQ(c3->skipdma_store_info->delay, 0);
    EXPECT_EQ(c3->skipdma_store_info->store_flag, 1);  // its only outbound layer is a skip DMA
    EXPECT_EQ(c3->skipdma_store_info->channel, 3);
    ASSERT_NE(c3->skipdma_store_dual_output_info, nullptr);
    EXPECT_EQ(c3->skipdma_store_dual_output_info->delay, 1);
    EXPECT_EQ(c3->skipdma_store_dual_output_info->store_flag, 0);
    EXPECT_EQ(c3->skipdma_store_dual_output_info->channel, 4);
    ASSERT_NE(c3->skipdma_load_info, nullptr);
    EXPECT_EQ(c3->skipdma_load_info->channel, 5);
    EXPECT_EQ(c3->skipdma_load_info->store_channel, 1);
    EXPECT_EQ(c3->sram_output_shift, 4u);  // add1's 4 channels come first in the Concatenate

    ASSERT_NE(c4->skipdma_load_info, nullptr);
    EXPECT_EQ(c4->skipdma_load_info->channel, 9);
    EXPECT_EQ(c4->skipdma_load_info->delay, 1);
    // The Concatenate reads back c3's dual output: the channel its store writes.
    EXPECT_EQ(c4->skipdma_load_info->store_channel, c3->skipdma_store_dual_output_info->channel);
    ASSERT_NE(c4->merge_info, nullptr);
    EXPECT_FALSE(c4->merge_info->add);
    EXPECT_EQ(c4->merge_info->channel, 10u);
    EXPECT_EQ(c4->merge_info->a_shift, nullptr);
    EXPECT_EQ(c3->link_index, 4);  // set to the quartet's third byte, then linked to c4
    ASSERT_EQ(c4->inputs.size(), 1u);
    EXPECT_EQ(c4->inputs[0], c3->components);
}

// in -> c1 -> (ca, cb) -> cat(ca, cb) -> c2: two alternates at equal depth after a split.
TEST(LayerMappingPass, AlternateBranches) {
    ModelBuilder b;
    b.input("in");
    b.conv("c1", "in");
    b.conv("ca", "c1");
    b.conv("cb", "c1");
    b.concat("cat", {"ca", "cb"});
    b.conv("c2", "cat");
    map_pass(b, {"c1", "ca", "cb", "cat", "c2"});

    auto c1 = mapping_of(b, "c1");
    auto ca = mapping_of(b, "ca");
    auto cb = mapping_of(b, "cb");
    ASSERT_NE(ca->alt_info, nullptr);
    ASSERT_NE(cb->alt_info, nullptr);
    EXPECT_FALSE(ca->alt_info->alternate);
    EXPECT_EQ(ca->alt_info->nps, 2u);
    EXPECT_EQ(ca->alt_info->main_index, 0);
    EXPECT_TRUE(cb->alt_info->alternate);
    EXPECT_EQ(cb->alt_info->nps, 2u);
    EXPECT_EQ(cb->alt_info->main_index, ca->index);
    EXPECT_EQ(c1->link_index, ca->index);
    ASSERT_EQ(c1->outputs.size(), 2u);  // the split feeds both alternates and nothing else
    EXPECT_EQ(c1->outputs[0], ca->components);
    EXPECT_EQ(c1->outputs[1], cb->components);
    EXPECT_EQ(ca->inputs.back(), c1->components);
    EXPECT_EQ(cb->inputs.back(), c1->components);
    EXPECT_EQ(ca->link_index, 7);  // feeds only the Concatenate: the quartet's third byte
    EXPECT_EQ(cb->link_index, mapping_of(b, "c2")->index);
}

TEST(LayerMappingPass, SecondBranchInAnotherPassFails) {
    ModelBuilder b;
    b.input("in");
    b.conv("c1", "in");
    b.conv("ca", "c1");
    b.conv("cb", "c1");
    b.concat("cat", {"ca", "cb"});
    expect_runtime_error([&] { map_pass(b, {"c1", "ca"}); },
                         "Cannot map layer 'c1'. Hardware partial reconfiguration with layers on "
                         "the second branch is not supported.");
}

TEST(LayerMappingPass, DualOutputStraightToTheOtherBranch) {
    // add1 feeds c3 and c4 at the same depth: c3's dual output goes to c4 by its index, and
    // fails when c4 lies in another pass.
    struct Row {
        std::vector<std::string> pass;
        char const* failure;
    };
    Row const rows[] = {
        {{"in", "c1", "add1", "c3", "c4"}, ""},
        {{"in", "c1", "add1", "c3"},
         "Cannot map layer 'c3'. Hardware partial reconfiguration with layers on the second "
         "branch is not supported."},
    };
    for (auto const& row : rows) {
        ModelBuilder b;
        b.input("in");
        b.conv("c1", "in");
        b.add("add1", "c1", "in");
        b.conv("c3", "add1");
        b.conv("c4", "add1");
        if (*row.failure) {
            expect_runtime_error([&] { map_pass(b, row.pass); }, row.failure);
            continue;
        }
        map_pass(b, row.pass);
        auto c3 = mapping_of(b, "c3");
        ASSERT_NE(c3->merge_info, nullptr);
        EXPECT_TRUE(c3->merge_info->dual_output);
        EXPECT_EQ(c3->merge_info->dual_output_target, mapping_of(b, "c4")->index);
        EXPECT_EQ(c3->merge_info->dual_output_target, 3);
    }
}

TEST(LayerMappingPass, UpdateLeavesALayerWithoutMappingAlone) {
    ModelBuilder b;
    b.input("in");
    b.conv("c1", "in");
    DepthMemo memo;
    EXPECT_NO_THROW(LayerMappingBuilder::update_layer_mapping(b["c1"], b.list({"in", "c1"}), {}, &memo));
    EXPECT_EQ(b["c1"]->mapping(), nullptr);
}

// ---- passes after passes ----

TEST(LayerMappingPass, LinkToPreviousPass) {
    ModelBuilder b;
    b.input("in");
    b.conv("c1", "in");
    b.conv("c2", "c1");
    b.conv("c3", "c2");
    b.conv("c4", "c3");
    map_pass(b, {"in", "c1", "c2"});
    map_pass(b, {"c3", "c4"}, {"in", "c1", "c2"});
    auto c2 = mapping_of(b, "c2");
    auto c3 = mapping_of(b, "c3");
    c2->p2p_in = c2->p2p_out = true;
    ASSERT_EQ(c3->inputs.size(), 1u);  // the new pass's input DMA

    LayerMappingBuilder::link_to_previous_pass(b["c3"], b["c2"]);
    ASSERT_EQ(c2->outputs.size(), 1u);  // the output DMA gives way to the next pass
    EXPECT_EQ(c2->outputs[0], c3->components);
    EXPECT_FALSE(c2->p2p_in);
    EXPECT_FALSE(c2->p2p_out);
    EXPECT_EQ(c2->link_index, 3);  // its own index 2, plus 1
    EXPECT_EQ(c3->input_link_index, 3);
    ASSERT_EQ(c3->inputs.size(), 2u);
    EXPECT_EQ(c3->inputs[1], c2->components);
}

TEST(LayerMappingPass, LinkToPreviousPassIndexOverflowFails) {
    ModelBuilder b;
    b.input("in");
    b.conv("c1", "in");
    b.conv("c2", "c1");
    LayerMappingBuilder::map_standalone(b["c1"], {}, 255, std::nullopt, pass_dma);
    LayerMappingBuilder::map_standalone(b["c2"], {}, 1, pass_dma, std::nullopt);
    expect_runtime_error([&] { LayerMappingBuilder::link_to_previous_pass(b["c2"], b["c1"]); },
                         "Cannot map layer 'c1'. Layer index 256 does not fit in 8 bits.");
    EXPECT_EQ(mapping_of(b, "c1")->outputs.size(), 1u);  // left as it was
}

TEST(LayerMappingPass, LoadChannelsCountThePreviousPasses) {
    ModelBuilder b;
    b.input("in");
    b.conv("c1", "in");
    b.conv("c2", "c1");
    b.add("add1", "c2", "c1");
    b.conv("c3", "add1");
    map_pass(b, {"c1", "c2", "add1", "c3"}, {"in"});
    // One earlier layer: the first quartet starts at 2, c3's (second DMA user) at 2 + 4.
    EXPECT_EQ(mapping_of(b, "c3")->skipdma_load_info->channel, 6);
    EXPECT_EQ(mapping_of(b, "c3")->merge_info->channel, 7u);
}

}  // namespace
}  // namespace nuvra
