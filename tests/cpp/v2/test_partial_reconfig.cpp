// Partial-reconfiguration words of a second-generation NP, written from real linked layers whose
// mappings are built by hand.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/v2/partial_reconfig.h"
#include "engine/error_text.h"
#include "engine/layer_fixtures.h"
#include "engine/layers.h"
#include "mapping/layer_mapping.h"
#include "support/model_builder.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using List = std::vector<hw::Component>;

std::string overflow(uint64_t value, int width) {
    return "Attempted to write value " + std::to_string(value) + " into a " + std::to_string(width) +
           "-bit field, which will cause an overflow.";
}

hw::Component unit(hw::Type type, uint8_t col) {
    hw::Component c;
    c.type = type;
    c.ident = {col, 0, 0, 0};
    return c;
}

// An NP component computing `filters` channels from `start`, with its input part and kept window.
hw::Component np_on(uint8_t col, NpSpace spatial, NpSpace kept, uint32_t start = 0, uint32_t filters = 4) {
    hw::Component c = unit(hw::Type::CNP1, col);
    c.np_part = hw::NpPart{start, filters, spatial, kept, false};
    return c;
}

// A model of real layers, and a hand-built mapping for the linked layer.
struct Linked {
    nuvra::testing::ModelBuilder model;
    std::shared_ptr<LayerMapping> mapping;

    void input(uint32_t width, uint32_t height, uint32_t channels, int bits) {
        model.layer(LayerType::InputData, "in",
                    {{"input_width", int(width)},
                     {"input_height", int(height)},
                     {"input_channels", int(channels)},
                     {"input_bits", bits}},
                    {});
    }
    // Maps `name` on two NPs in columns 3 and 4, fed by an NP in column 1, input link index 7.
    Layer& map(std::string const& name) {
        mapping = std::make_shared<LayerMapping>(1);
        *mapping->components = {unit(hw::Type::CNP1, 3), unit(hw::Type::CNP1, 4)};
        mapping->input_link_index = 7;
        mapping->inputs.push_back(std::make_shared<List>(List{unit(hw::Type::CNP1, 1)}));
        auto layer = model[name];
        set_layer_mapping(*layer, mapping);
        return *layer;
    }
};

std::vector<uint32_t> image() { return std::vector<uint32_t>(64, 0u); }

// 8-bit input of 16 x 8 x 32, the linked Conv2D kept window 16 x 8 of 32 channels at (2, 1).
hw::Component const cnp_component =
    np_on(3, NpSpace{0, 0, Shape{16, 8, 32}}, NpSpace{2, 1, Shape{16, 8, 32}});

TEST(V2PartialReconfig, ConvolutionOnCnp) {
    Linked linked;
    linked.input(16, 8, 32, 8);
    linked.model.conv("b", "in");
    Layer& layer = linked.map("b");
    auto regs = image();
    update_partial_reconfig_regs(&regs, layer, cnp_component, true);

    struct Row {
        size_t word;
        uint32_t value;
    } const rows[] = {
        {32, 0x07000035},  // enabled, CNP, 8-bit input code 3, link index 7
        {33, 0x00020001},  // window origin row 1, column 2
        {34, 0x00100008},  // 8 rows, 16 columns
        {35, 0x00100080},  // row a4(16) = 16 bytes, 16 x 32 / 4 = 128 words
        {40, 0},           // no max-pooling input
        {41, 0x02000101},  // 2 NPs, sources in column 1
        {42, 0},
        {44, 0x00008000},  // the flag
    };
    for (auto const& row : rows) EXPECT_EQ(regs.at(row.word), row.value) << "word " << row.word;
}

TEST(V2PartialReconfig, MaxPoolingInputMode) {
    struct Row {
        const char* what;
        int activation;  // of the pooling layer before the linked one
        uint32_t word32, word40;
    } const rows[] = {
        {"max pooling without activation", 0, 0x07000835, 1024},  // ((16 x 32 x 8 + 31) / 32) x 8
        {"max pooling with ReLU", 1, 0x07000035, 0},
    };
    for (auto const& row : rows) {
        Linked linked;
        linked.input(32, 16, 32, 8);
        linked.model.layer(LayerType::Conv2D, "a",
                           {{"kernel_size", 1}, {"filters", 32}, {"pool_type", 1}, {"pool_size", 2},
                            {"activation", row.activation}},
                           {"in"});
        linked.model.conv("b", "a");
        Layer& layer = linked.map("b");
        auto regs = image();
        update_partial_reconfig_regs(&regs, layer, cnp_component, false);
        EXPECT_EQ(regs[32], row.word32) << row.what;
        EXPECT_EQ(regs[40], row.word40) << row.what;
        EXPECT_EQ(regs[35], 0x00100080u) << row.what;
    }
}

TEST(V2PartialReconfig, SeparableLayer) {
    struct Row {
        const char* what;
        uint32_t start, filters;
        uint32_t word32, word42;
    } const rows[] = {
        {"a group of the channels", 8, 8, 0x07000435, 0xA808A008},  // other bits kept
        {"all the channels", 0, 32, 0x07000035, 0xAAAAAAAA},
    };
    for (auto const& row : rows) {
        Linked linked;
        linked.input(16, 8, 32, 8);
        linked.model.layer(LayerType::DepthwiseConv2D, "b", {{"kernel_size", 3}}, {"in"});
        Layer& layer = linked.map("b");
        ASSERT_TRUE(layer.is_separable());
        auto regs = image();
        regs[42] = 0xAAAAAAAA;
        hw::Component const c =
            np_on(3, NpSpace{0, 0, Shape{16, 8, 8}}, NpSpace{0, 0, Shape{16, 8, 8}}, row.start, row.filters);
        update_partial_reconfig_regs(&regs, layer, c, false);
        EXPECT_EQ(regs[32], row.word32) << row.what;
        EXPECT_EQ(regs[42], row.word42) << row.what;
        // (8 x 16 + 31) / 32 = 4 words, row 4 x 8 x 4 = 128, separable bit 15.
        EXPECT_EQ(regs[35], 0x00808004u) << row.what;
    }
}

TEST(V2PartialReconfig, FullyConnectedOnFnp) {
    struct Row {
        const char* what;
        int bits;
        bool through_cnp;  // the Dense1D reads a Conv2D's output (else the input directly)
        uint32_t word32, word35;
    } const rows[] = {
        // row a4(k(3)) = 4, words (4 x 5 + 3) / 4 = 5
        {"4-bit, packed", 4, false, 0x07000027, 0x00040005},
        // row k(3) = 2, words (2 x 5 + 3) / 4 = 3
        {"4-bit, row byte padded", 4, true, 0x07000027, 0x00020003},
        // row a4(k(3)) = a4(3) = 4
        {"8-bit, row word padded", 8, true, 0x07000037, 0x00040005},
    };
    for (auto const& row : rows) {
        Linked linked;
        linked.input(3, 2, row.through_cnp ? 4 : 5, row.bits);
        std::string feed = "in";
        if (row.through_cnp) {
            linked.model.layer(LayerType::Conv2D, "c",
                               {{"kernel_size", 1}, {"filters", 5}, {"output_bits", row.bits}}, {"in"});
            feed = "c";
        }
        linked.model.layer(LayerType::Dense1D, "d", {{"units", 10}}, {feed});
        Layer& layer = linked.map("d");
        auto regs = image();
        regs[40] = 0xAAAAAAAA;
        hw::Component const c = np_on(3, NpSpace{0, 0, Shape{3, 2, 5}}, NpSpace{0, 0, Shape{3, 2, 5}});
        update_partial_reconfig_regs(&regs, layer, c, false);
        EXPECT_EQ(regs[32], row.word32) << row.what;
        EXPECT_EQ(regs[33], 0u) << row.what;
        EXPECT_EQ(regs[34], 0x00030002u) << row.what;  // 2 rows, 3 columns
        EXPECT_EQ(regs[35], row.word35) << row.what;
        EXPECT_EQ(regs[40], 0xAAAAAAAAu) << row.what;
    }
}

TEST(V2PartialReconfig, FnpWithoutInputLayout) {
    Linked linked;
    linked.input(64, 64, 1, 8);
    linked.model.layer(LayerType::Dense1D, "d", {{"units", 10}}, {"in"});
    Layer& layer = linked.map("d");
    auto regs = image();
    hw::Component const c = np_on(3, NpSpace{0, 0, Shape{64, 64, 1}}, NpSpace{0, 0, Shape{64, 64, 1}});
    EXPECT_EQ(error_text<std::runtime_error>([&] { update_partial_reconfig_regs(&regs, layer, c, false); }),
              "Unsupported padding.");
}

TEST(V2PartialReconfig, LayerOnNoNpKindWritesNoWindow) {
    Linked linked;
    linked.input(16, 8, 32, 8);
    linked.model.conv("b", "in");
    Layer& layer = linked.map("b");
    nuvra::testing::impl(layer).override_target_components({ComponentKind::SKIP_DMA});
    auto regs = image();
    for (size_t word : {33, 34, 40}) regs[word] = 0xAAAAAAAA;
    regs[35] = 0xFFFFFFFF;
    update_partial_reconfig_regs(&regs, layer, cnp_component, false);
    EXPECT_EQ(regs[32], 0x07000035u);
    for (size_t word : {33, 34, 40}) EXPECT_EQ(regs[word], 0xAAAAAAAAu) << "word " << word;
    EXPECT_EQ(regs[35], 0x0000C000u);
}

TEST(V2PartialReconfig, SourceColumns) {
    struct Row {
        const char* what;
        List inputs;
        bool stores_are_inputs;
        uint32_t word41_low;
    } const rows[] = {
        {"the HRC alone", {unit(hw::Type::HRC, 0)}, false, 0x0101},
        {"inputs, load, not the store", {unit(hw::Type::CNP1, 2)}, false, 0x0702},
        {"inputs, load and store", {unit(hw::Type::CNP1, 2)}, true, 0x0902},
    };
    for (auto const& row : rows) {
        Linked linked;
        linked.input(16, 8, 32, 8);
        linked.model.conv("b", "in");
        Layer& layer = linked.map("b");
        linked.mapping->inputs = {std::make_shared<List>(row.inputs)};
        if (row.word41_low != 0x0101) {
            linked.mapping->skipdma_loads = {unit(hw::Type::SKIP_DMA_LOAD, 7)};
            linked.mapping->skipdma_stores = {unit(hw::Type::SKIP_DMA_STORE, 9)};
        }
        linked.mapping->uses_skipdma_layer_flag = row.stores_are_inputs;
        auto regs = image();
        regs[41] = 0x80000000;  // bit 31 is cleared
        update_partial_reconfig_regs(&regs, layer, cnp_component, false);
        EXPECT_EQ(regs[41], 0x02000000u | row.word41_low) << row.what;
    }
}

TEST(V2PartialReconfig, MergeBits) {
    struct Row {
        const char* what;
        bool merge, add;
        uint32_t bits;  // word 32 bits 3 and 6
    } const rows[] = {
        {"no merge", false, false, 0x00},
        {"Add merge", true, true, 0x08},
        {"Concatenate merge", true, false, 0x48},
    };
    for (auto const& row : rows) {
        Linked linked;
        linked.input(16, 8, 32, 8);
        linked.model.conv("b", "in");
        Layer& layer = linked.map("b");
        if (row.merge) {
            linked.mapping->merge_info = std::make_unique<MergeLayerInfo>();
            linked.mapping->merge_info->add = row.add;
        }
        auto regs = image();
        regs[32] = 0x48;
        update_partial_reconfig_regs(&regs, layer, cnp_component, false);
        EXPECT_EQ(regs[32] & 0x48, row.bits) << row.what;
    }
}

TEST(V2PartialReconfig, Failures) {
    struct Row {
        const char* what;
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
        Linked linked;
        linked.input(16, 8, 32, row.input_bits);
        linked.model.conv("b", "in");
        Layer& layer = linked.map("b");
        linked.mapping->components->assign(row.components, unit(hw::Type::CNP1, 3));
        if (row.no_sources) linked.mapping->inputs.clear();
        auto regs = image();
        EXPECT_EQ(error_text<std::runtime_error>([&] { update_partial_reconfig_regs(&regs, layer, cnp_component, false); }),
                  row.message)
            << row.what;
    }
}

TEST(V2PartialReconfig, SevenBitComponentCountFits) {
    Linked linked;
    linked.input(16, 8, 32, 8);
    linked.model.conv("b", "in");
    Layer& layer = linked.map("b");
    linked.mapping->components->assign(127, unit(hw::Type::CNP1, 3));
    auto regs = image();
    update_partial_reconfig_regs(&regs, layer, cnp_component, false);
    EXPECT_EQ(regs[41] >> 24, 127u);
}

TEST(V2PartialReconfig, RefusesWhatItCannotRead) {
    Linked linked;
    linked.input(16, 8, 32, 8);
    linked.model.conv("b", "in");
    linked.model.conv("unmapped", "in");
    Layer& layer = linked.map("b");
    auto regs = image();
    EXPECT_EQ(error_text<std::runtime_error>(
                  [&] { update_partial_reconfig_regs(&regs, *linked.model["unmapped"], cnp_component, false); }),
              "The linked layer unmapped has no hardware mapping.");
    EXPECT_EQ(regs, image());
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [&] { update_partial_reconfig_regs(&regs, layer, unit(hw::Type::CNP1, 3), false); }),
              "The linked component has no NP part.");
    std::vector<uint32_t> small(40, 0u);
    EXPECT_EQ(error_text<std::invalid_argument>(
                  [&] { update_partial_reconfig_regs(&small, layer, cnp_component, false); }),
              "A register image must hold 64 words.");
}

}  // namespace
}  // namespace nuvra::v2
