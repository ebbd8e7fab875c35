// Partial-reconfiguration words of a second-generation NP, written from real linked layers whose
// mappings are built by hand.
#include <gtest/gtest.h>

#include "backends/v2/partial_reconfig.h"
#include "mapping/layer_mapping.h"
#include "support/error_text.h"
#include "support/layer_fixtures.h"
#include "support/model_builder.h"
#include "support/record_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using namespace nuvra::v2::testing;
using List = std::vector<hw::Component>;
using Params = std::map<std::string, int>;

hw::Component unit(hw::Type type, uint8_t col) { return make_component(type, {col, 0, 0, 0}); }

// An NP in column 3 computing `filters` channels from `start`, over `spatial`, keeping `kept`.
hw::Component np_on(NpSpace spatial, NpSpace kept, uint32_t start = 0, uint32_t filters = 4) {
    return make_component(hw::Type::CNP1, {3, 0, 0, 0}, hw::NpPart{start, filters, spatial, kept, false});
}

// 8-bit input of 16 x 8 x 32, the linked Conv2D kept window 16 x 8 of 32 channels at (2, 1).
hw::Component const cnp_component = np_on(NpSpace{0, 0, Shape{16, 8, 32}}, NpSpace{2, 1, Shape{16, 8, 32}});

// A model "in" -> ... of real layers, and a hand-built mapping of the linked layer on two NPs in
// columns 3 and 4, fed by an NP in column 1, input link index 7.
struct Linked {
    nuvra::testing::ModelBuilder model;
    std::shared_ptr<LayerMapping> mapping = std::make_shared<LayerMapping>(1);

    explicit Linked(Shape input = {16, 8, 32}, int bits = 8) {
        model.layer(LayerType::InputData, "in",
                    {{"input_width", int(input[0])}, {"input_height", int(input[1])},
                     {"input_channels", int(input[2])}, {"input_bits", bits}},
                    {});
    }
    Linked& add(LayerType type, std::string const& name, Params const& params, std::string const& in = "in") {
        model.layer(type, name, params, {in});
        return *this;
    }
    Layer& map(std::string const& name) {
        *mapping->components = {unit(hw::Type::CNP1, 3), unit(hw::Type::CNP1, 4)};
        mapping->input_link_index = 7;
        mapping->inputs.push_back(std::make_shared<List>(List{unit(hw::Type::CNP1, 1)}));
        set_layer_mapping(*model[name], mapping);
        return *model[name];
    }
    std::vector<uint32_t> update(std::string const& name, hw::Component const& c = cnp_component, bool flag = false,
                                 std::vector<uint32_t> regs = std::vector<uint32_t>(64, 0u)) {
        update_partial_reconfig_regs(&regs, map(name), c, flag);
        return regs;
    }
};

Params const conv1{{"kernel_size", 1}, {"filters", 4}};

TEST(V2PartialReconfig, ConvolutionOnCnp) {
    auto const regs = Linked().add(LayerType::Conv2D, "b", conv1).update("b", cnp_component, true);
    std::map<size_t, uint32_t> const words{
        {32, 0x07000035},  // enabled, CNP, 8-bit input code 3, link index 7
        {33, 0x00020001},  // window origin row 1, column 2
        {34, 0x00100008},  // 8 rows, 16 columns
        {35, 0x00100080},  // row a4(16) = 16 bytes, 16 x 32 / 4 = 128 words
        {40, 0},           // no max-pooling input
        {41, 0x02000101},  // 2 NPs, sources in column 1
        {42, 0},
        {44, 0x00008000},  // the flag
    };
    for (auto const& [word, value] : words) EXPECT_EQ(regs.at(word), value) << "word " << word;
}

TEST(V2PartialReconfig, InputModes) {
    // After max pooling without activation the NP reads the pooled input: ((16 x 32 x 8 + 31) / 32) x 8.
    for (auto [activation, word32, word40] : {std::tuple{0, 0x07000835u, 1024u}, std::tuple{1, 0x07000035u, 0u}}) {
        Linked linked({32, 16, 32});
        linked.add(LayerType::Conv2D, "a",
                   {{"kernel_size", 1}, {"filters", 32}, {"pool_type", 1}, {"pool_size", 2}, {"activation",
                                                                                              activation}});
        auto const regs = linked.add(LayerType::Conv2D, "b", conv1, "a").update("b");
        EXPECT_EQ(regs[32], word32) << activation;
        EXPECT_EQ(regs[40], word40) << activation;
        EXPECT_EQ(regs[35], 0x00100080u) << activation;
    }
    // A separable layer: bit 10 when the NP holds a group of the channels; other bits of word 42 kept.
    for (auto [start, filters, word32, word42] :
         {std::tuple{8u, 8u, 0x07000435u, 0xA808A008u}, std::tuple{0u, 32u, 0x07000035u, 0xAAAAAAAAu}}) {
        std::vector<uint32_t> regs(64, 0u);
        regs[42] = 0xAAAAAAAA;
        NpSpace const part{0, 0, Shape{16, 8, 8}};
        regs = Linked().add(LayerType::DepthwiseConv2D, "b", {{"kernel_size", 3}})
                   .update("b", np_on(part, part, start, filters), false, regs);
        EXPECT_EQ(regs[32], word32) << filters;
        EXPECT_EQ(regs[42], word42) << filters;
        EXPECT_EQ(regs[35], 0x00808004u) << filters;  // (8 x 16 + 31) / 32 = 4 words, row 128, separable bit 15
    }
    // A layer on no NP kind writes no window and no sizes.
    Linked none;
    Layer& layer = none.add(LayerType::Conv2D, "b", conv1).map("b");
    nuvra::testing::impl(layer).override_target_components({ComponentKind::SKIP_DMA});
    std::vector<uint32_t> regs(64, 0u);
    regs[33] = regs[34] = regs[40] = 0xAAAAAAAA;
    regs[35] = 0xFFFFFFFF;
    update_partial_reconfig_regs(&regs, layer, cnp_component, false);
    EXPECT_EQ(regs[32], 0x07000035u);
    EXPECT_EQ((std::vector{regs[33], regs[34], regs[40]}), std::vector<uint32_t>(3, 0xAAAAAAAA));
    EXPECT_EQ(regs[35], 0x0000C000u);
}

TEST(V2PartialReconfig, FullyConnectedOnFnp) {
    struct {
        char const* what;
        int bits;
        bool through_cnp;  // the Dense1D reads a Conv2D's output (else the input directly)
        uint32_t word32, word35;
    } const rows[] = {
        {"4-bit, packed: row a4(k(3)) = 4", 4, false, 0x07000027, 0x00040005},
        {"4-bit, row byte padded: row k(3) = 2", 4, true, 0x07000027, 0x00020003},
        {"8-bit, row word padded: row a4(3) = 4", 8, true, 0x07000037, 0x00040005},
    };
    NpSpace const part{0, 0, Shape{3, 2, 5}};
    for (auto const& row : rows) {
        Linked linked({3, 2, row.through_cnp ? 4u : 5u}, row.bits);
        if (row.through_cnp) linked.add(LayerType::Conv2D, "c", {{"kernel_size", 1}, {"filters", 5}, {"output_bits",
                                                                                                      row.bits}});
        linked.add(LayerType::Dense1D, "d", {{"units", 10}}, row.through_cnp ? "c" : "in");
        std::vector<uint32_t> regs(64, 0u);
        regs[40] = 0xAAAAAAAA;
        regs = linked.update("d", np_on(part, part), false, regs);
        EXPECT_EQ(regs[32], row.word32) << row.what;
        EXPECT_EQ(regs[33], 0u) << row.what;
        EXPECT_EQ(regs[34], 0x00030002u) << row.what;  // 2 rows, 3 columns
        EXPECT_EQ(regs[35], row.word35) << row.what;
        EXPECT_EQ(regs[40], 0xAAAAAAAAu) << row.what;
    }
    NpSpace const wide{0, 0, Shape{64, 64, 1}};
    Linked too_wide({64, 64, 1});
    too_wide.add(LayerType::Dense1D, "d", {{"units", 10}});
    EXPECT_EQ(error_text<std::runtime_error>([&] { too_wide.update("d", np_on(wide, wide)); }), "Unsupported padding.");
}

TEST(V2PartialReconfig, SourceColumnsAndMergeBits) {
    struct {
        char const* what;
        List inputs;
        bool skip_dmas, stores_are_inputs;
        uint32_t word41_low;
    } const sources[] = {
        {"the HRC alone", {unit(hw::Type::HRC, 0)}, false, false, 0x0101},
        {"inputs, load, not the store", {unit(hw::Type::CNP1, 2)}, true, false, 0x0702},
        {"inputs, load and store", {unit(hw::Type::CNP1, 2)}, true, true, 0x0902},
    };
    for (auto const& row : sources) {
        Linked linked;
        linked.add(LayerType::Conv2D, "b", conv1).map("b");
        linked.mapping->inputs = {std::make_shared<List>(row.inputs)};
        if (row.skip_dmas) {
            linked.mapping->skipdma_loads = {unit(hw::Type::SKIP_DMA_LOAD, 7)};
            linked.mapping->skipdma_stores = {unit(hw::Type::SKIP_DMA_STORE, 9)};
        }
        linked.mapping->uses_skipdma_layer_flag = row.stores_are_inputs;
        std::vector<uint32_t> regs(64, 0u);
        regs[41] = 0x80000000;  // bit 31 is cleared
        update_partial_reconfig_regs(&regs, *linked.model["b"], cnp_component, false);
        EXPECT_EQ(regs[41], 0x02000000u | row.word41_low) << row.what;
    }
    // Word 32 bit 3: a merge; bit 6: a Concatenate merge.
    for (auto [merge, add, bits] : {std::tuple{false, false, 0x00u}, {true, true, 0x08u}, {true, false, 0x48u}}) {
        Linked linked;
        if (merge) {
            linked.mapping->merge_info = std::make_unique<MergeLayerInfo>();
            linked.mapping->merge_info->add = add;
        }
        std::vector<uint32_t> regs(64, 0u);
        regs[32] = 0x48;
        regs = linked.add(LayerType::Conv2D, "b", conv1).update("b", cnp_component, false, regs);
        EXPECT_EQ(regs[32] & 0x48, bits) << merge << add;
    }
}

TEST(V2PartialReconfig, Failures) {
    struct {
        char const* what;
        int input_bits;
        size_t components;
        bool no_sources;
        std::string message;
    } const rows[] = {
        {"16-bit input", 16, 2, false, overflow(6, 2)},
        {"128 components", 8, 128, false, overflow(128, 7)},
        {"no sources", 8, 2, true, "Cannot route an NP without sources."},
    };
    for (auto const& row : rows) {
        Linked linked({16, 8, 32}, row.input_bits);
        Layer& layer = linked.add(LayerType::Conv2D, "b", conv1).map("b");
        linked.mapping->components->assign(row.components, unit(hw::Type::CNP1, 3));
        if (row.no_sources) linked.mapping->inputs.clear();
        std::vector<uint32_t> regs(64, 0u);
        EXPECT_EQ(error_text<std::runtime_error>([&] { update_partial_reconfig_regs(&regs, layer, cnp_component,
                                                                                    false); }),
                  row.message)
            << row.what;
    }

    Linked linked;
    Layer& layer = linked.add(LayerType::Conv2D, "b", conv1).add(LayerType::Conv2D, "unmapped", conv1).map("b");
    std::vector<uint32_t> regs(64, 0u);
    EXPECT_EQ(error_text<std::runtime_error>(
                  [&] { update_partial_reconfig_regs(&regs, *linked.model["unmapped"], cnp_component, false); }),
              "The linked layer unmapped has no hardware mapping.");
    EXPECT_EQ(regs, std::vector<uint32_t>(64, 0u));
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [&] { update_partial_reconfig_regs(&regs, layer, unit(hw::Type::CNP1, 3), false); }),
              "The linked component has no NP part.");
    std::vector<uint32_t> small(40, 0u);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { update_partial_reconfig_regs(&small, layer, cnp_component,
                                                                                   false); }),
              "A register image must hold 64 words.");
}

}  // namespace
}  // namespace nuvra::v2
