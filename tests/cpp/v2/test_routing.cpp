// Mesh output routing of a second-generation NP: the routing lists of a mapping, words 44 to 47
// and 52, and the configuration DMA word.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/v2/np_registers.h"
#include "backends/v2/routing.h"
#include "engine/error_text.h"
#include "engine/layers.h"
#include "mapping/layer_mapping.h"
#include "support/model_builder.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;

std::string overflow(uint64_t value, int width) {
    return "Attempted to write value " + std::to_string(value) + " into a " + std::to_string(width) +
           "-bit field, which will cause an overflow.";
}

hw::Component unit(hw::Type type, uint8_t col, uint8_t row = 0, uint8_t id = 0) {
    hw::Component c;
    c.type = type;
    c.ident = {col, row, id, 0};
    return c;
}

hw::Component cnp(uint8_t col, uint8_t row = 0, uint8_t id = 0) { return unit(hw::Type::CNP1, col, row, id); }

using List = std::vector<hw::Component>;

// The arguments of format_mesh_registers_set_output_to_NPs, with one NP on each side.
struct RouteArgs {
    List sources{cnp(1)};
    List own{cnp(2)};
    List destinations{cnp(3)};
    std::unique_ptr<AltLayerInfo> alt;
    uint8_t link_index = 5;
    bool p2p_in = false;
    bool p2p_out = false;
    bool flag3 = false;

    void apply(std::vector<uint32_t>* regs) const {
        format_mesh_registers_set_output_to_NPs(regs, sources, own, destinations, alt, link_index, p2p_in,
                                                p2p_out, flag3);
    }
};

std::vector<uint32_t> image() { return std::vector<uint32_t>(64, 0u); }

TEST(V2Routing, WordsOfASpreadLayer) {
    RouteArgs args;
    args.own = {cnp(2), cnp(4)};
    args.destinations = {cnp(3), cnp(1), cnp(2)};
    args.flag3 = true;
    auto regs = image();
    regs[44] = 0x0000FFFF;  // bits 4-15 are kept
    regs[45] = 0x00FF0000;  // bits 16-23 are kept without point-to-point output
    regs[46] = 0x80000000;  // bit 31 is cleared
    regs[47] = 0x12340000;  // bits 16-31 are kept
    args.apply(&regs);
    EXPECT_EQ(regs[44], 0xFF08FFFCu);
    EXPECT_EQ(regs[45], 0x05FF0301u);  // columns 1 to 3, link 5
    EXPECT_EQ(regs[46], 0x00000101u);
    EXPECT_EQ(regs[47], 0x12340401u);  // own 2-4 with destinations 1-3
    EXPECT_EQ(regs[52], 0u);
}

TEST(V2Routing, FieldsByCase) {
    struct Row {
        const char* what;
        void (*change)(RouteArgs*);
        size_t word;
        uint32_t value;
    } const rows[] = {
        {"destinations in columns 3, 1, 2", [](RouteArgs* a) { a->destinations = {cnp(3), cnp(1), cnp(2)}; },
         45, 0x05000301},
        {"one HRC destination", [](RouteArgs* a) { a->destinations = {unit(hw::Type::HRC, 0)}; }, 45, 0x05000101},
        {"one HRC source", [](RouteArgs* a) { a->sources = {unit(hw::Type::HRC, 0)}; }, 46, 0x00000101},
        {"sources in columns 6 and 2", [](RouteArgs* a) { a->sources = {cnp(6), cnp(2)}; }, 46, 0x00000602},
        {"point-to-point output",
         [](RouteArgs* a) {
             a->p2p_out = true;
             a->destinations = {cnp(5, 2, 3)};
         },
         45, 0x05800502},
        {"point-to-point input",
         [](RouteArgs* a) {
             a->p2p_in = true;
             a->sources = {cnp(6, 1, 2)};
         },
         46, 0x00400601},
        {"link 255 to a TNP-B",
         [](RouteArgs* a) {
             a->link_index = 255;
             a->destinations = {unit(hw::Type::TNP_B, 3)};
         },
         45, 0xFE000303},
        {"link 255 to a CNP", [](RouteArgs* a) { a->link_index = 255; }, 45, 0xFF000303},
        {"only the first destination counts",
         [](RouteArgs* a) { a->destinations = {cnp(3), unit(hw::Type::TNP_B, 4)}; }, 45, 0x05000403},
        {"span over own NPs and one HRC destination",
         [](RouteArgs* a) {
             a->own = {cnp(2), cnp(4)};
             a->destinations = {unit(hw::Type::HRC, 0)};
         },
         47, 0x00000401},
        {"span of one HRC layer", [](RouteArgs* a) { a->own = {unit(hw::Type::HRC, 0)}; }, 47, 0x00000301},
        {"output flags", [](RouteArgs* a) { a->flag3 = true; }, 44, 0xFF08000C},
        {"point-to-point output flag",
         [](RouteArgs* a) {
             a->p2p_out = true;
             a->destinations = {cnp(5)};
         },
         44, 0xFF080009},
    };
    for (auto const& row : rows) {
        RouteArgs args;
        row.change(&args);
        auto regs = image();
        args.apply(&regs);
        EXPECT_EQ(regs.at(row.word), row.value) << row.what;
    }
}

TEST(V2Routing, AlternateBranchSetUp) {
    RouteArgs args;
    args.alt = std::make_unique<AltLayerInfo>(AltLayerInfo{true, 6, 3});
    auto regs = image();
    regs[52] = 0x80;  // the merge bits stay
    args.apply(&regs);
    EXPECT_EQ(regs[46], 0x00080101u);
    EXPECT_EQ(regs[52], 0x06030090u);
}

TEST(V2Routing, WithoutAlternateWord52AndBit19StayAsTheyWere) {
    RouteArgs args;
    auto regs = image();
    regs[46] = 1u << 19;
    regs[52] = 0xFFFFFFFF;
    args.apply(&regs);
    EXPECT_EQ(regs[46], 0x00080101u);
    EXPECT_EQ(regs[52], 0xFFFFFFFFu);
}

TEST(V2Routing, Failures) {
    struct Row {
        const char* what;
        void (*change)(RouteArgs*);
        std::string message;
        uint32_t word44;  // what word 44 holds after the failure
    } const rows[] = {
        {"P2P OUT to two NPs",
         [](RouteArgs* a) {
             a->p2p_out = true;
             a->destinations = {cnp(3), cnp(4)};
         },
         "Cannot use P2P OUT mode for multiple NPs.", 0xFF080009},
        {"P2P IN from two NPs",
         [](RouteArgs* a) {
             a->p2p_in = true;
             a->sources = {cnp(1), cnp(2)};
         },
         "Cannot use P2P IN mode for multiple NPs.", 0xFF080008},
        {"P2P destination id 4",
         [](RouteArgs* a) {
             a->p2p_out = true;
             a->destinations = {cnp(3, 0, 4)};
         },
         overflow(16, 4), 0xFF080009},
        {"P2P source id 4",
         [](RouteArgs* a) {
             a->p2p_in = true;
             a->sources = {cnp(1, 0, 4)};
         },
         overflow(16, 4), 0xFF080008},
        {"link 0 to a TNP-B",
         [](RouteArgs* a) {
             a->link_index = 0;
             a->destinations = {unit(hw::Type::TNP_B, 3)};
         },
         overflow(4294967295u, 8), 0xFF080008},
        {"256 alternate NPs", [](RouteArgs* a) { a->alt = std::make_unique<AltLayerInfo>(AltLayerInfo{false, 256, 0}); },
         overflow(256, 8), 0xFF080008},
        // Nothing is written when a list is empty.
        {"no destinations", [](RouteArgs* a) { a->destinations.clear(); }, "Cannot route an NP without destinations.",
         0},
        {"no destinations, P2P OUT",
         [](RouteArgs* a) {
             a->p2p_out = true;
             a->destinations.clear();
         },
         "Cannot route an NP without destinations.", 0},
        {"no sources", [](RouteArgs* a) { a->sources.clear(); }, "Cannot route an NP without sources.", 0},
        {"no own components", [](RouteArgs* a) { a->own.clear(); }, "Cannot route an NP without layer components.",
         0},
    };
    for (auto const& row : rows) {
        RouteArgs args;
        row.change(&args);
        auto regs = image();
        EXPECT_EQ(error_text<std::runtime_error>([&] { args.apply(&regs); }), row.message) << row.what;
        EXPECT_EQ(regs[44], row.word44) << row.what;
    }
}

TEST(V2Routing, AlternateOverflowAfterBit19) {
    RouteArgs args;
    args.alt = std::make_unique<AltLayerInfo>(AltLayerInfo{true, 256, 1});
    auto regs = image();
    EXPECT_THROW(args.apply(&regs), std::runtime_error);
    EXPECT_EQ(regs[46], 0x00080101u);
    EXPECT_EQ(regs[52], 0u);
}

TEST(V2Routing, ConfigurationDmaWord) {
    auto regs = image();
    regs[49] = 0xABC00000;  // bits 20-31 are kept
    format_mesh_cfg_dma_reg(&regs, hw::Ident{7, 2, 1, 0});
    EXPECT_EQ(regs[49], 0xABC20702u);

    regs[49] = 0x12345678;
    EXPECT_EQ(error_text<std::runtime_error>([&] { format_mesh_cfg_dma_reg(&regs, hw::Ident{7, 2, 4, 0}); }),
              overflow(16, 4));
    EXPECT_EQ(regs[49], 0x12345678u);
}

TEST(V2Routing, ImageMustHoldSixtyFourWords) {
    RouteArgs args;
    std::vector<uint32_t> small(45, 0u);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { args.apply(&small); }), "A register image must hold 64 words.");
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_mesh_cfg_dma_reg(nullptr, {}); }),
              "A register image must hold 64 words.");
}

// A chain input -> a -> b -> c of real layers, b mapped by hand with a skip-DMA load and store.
struct MappedChain {
    nuvra::testing::ModelBuilder model;
    std::shared_ptr<LayerMapping> b;

    MappedChain() {
        model.input("input");
        model.conv("a", "input");
        model.conv("b", "a");
        model.conv("c", "b");
        b = std::make_shared<LayerMapping>(1);
        *b->components = {cnp(3), cnp(4)};
        b->inputs.push_back(std::make_shared<List>(List{cnp(1), cnp(2)}));
        b->inputs.push_back(nullptr);  // a missing list is skipped
        b->outputs.push_back(std::make_shared<List>(List{cnp(5)}));
        b->skipdma_loads = {unit(hw::Type::SKIP_DMA_LOAD, 9)};
        b->skipdma_stores = {unit(hw::Type::SKIP_DMA_STORE, 8)};
        set_layer_mapping(*model["b"], b);
    }
};

std::vector<uint8_t> columns(List const& list) {
    std::vector<uint8_t> result;
    for (auto const& c : list) result.push_back(c.ident.col);
    return result;
}

TEST(V2Routing, RoutingListsOfAMapping) {
    struct Row {
        bool stores_are_inputs;
        std::vector<uint8_t> sources, destinations;
    } const rows[] = {
        {false, {1, 2, 9}, {5, 8}},
        {true, {1, 2, 9, 8}, {5}},
    };
    for (auto const& row : rows) {
        MappedChain chain;
        chain.b->uses_skipdma_layer_flag = row.stores_are_inputs;
        auto const mapping = layer_mapping(*chain.model["b"]);
        ASSERT_TRUE(mapping);
        EXPECT_EQ(columns(routing_sources(*mapping)), row.sources);
        EXPECT_EQ(columns(routing_destinations(*mapping)), row.destinations);
    }
}

TEST(V2Routing, MappedLayerRoutesThroughItsLists) {
    MappedChain chain;
    auto const mapping = layer_mapping(*chain.model["b"]);
    auto regs = default_np_regs(mapping->components->front(), mapping->index, false, false);
    format_mesh_registers_set_output_to_NPs(&regs, routing_sources(*mapping), *mapping->components,
                                            routing_destinations(*mapping), mapping->alt_info,
                                            mapping->link_index, mapping->p2p_in, mapping->p2p_out, false);
    EXPECT_EQ(regs[45], 0xFF000805u);  // columns 5 to 8, link index 255 (not linked yet)
    EXPECT_EQ(regs[46], 0x00000901u);  // columns 1 to 9
    EXPECT_EQ(regs[47], 0x00000803u);  // own 3-4 with destinations 5-8
}

}  // namespace
}  // namespace nuvra::v2
