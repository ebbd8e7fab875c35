// Mesh output routing of a second-generation NP: the routing lists of a mapping, words 44 to 47
// and 52, and the configuration DMA word.
#include <gtest/gtest.h>

#include "backends/v2/routing.h"
#include "mapping/layer_mapping.h"
#include "support/error_text.h"
#include "support/model_builder.h"
#include "support/record_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using namespace nuvra::v2::testing;
using List = std::vector<hw::Component>;

hw::Component unit(hw::Type type, uint8_t col, uint8_t row = 0, uint8_t id = 0) {
    return make_component(type, {col, row, id, 0});
}
hw::Component np(uint8_t col, uint8_t row = 0, uint8_t id = 0) { return unit(hw::Type::CNP1, col, row, id); }

// The arguments of format_mesh_registers_set_output_to_NPs, with one NP on each side.
struct RouteArgs {
    List sources{np(1)};
    List own{np(2)};
    List destinations{np(3)};
    std::unique_ptr<AltLayerInfo> alt;
    uint8_t link_index = 5;
    bool p2p_in = false;
    bool p2p_out = false;
    bool flag3 = false;

    void apply(std::vector<uint32_t>* regs) const {
        format_mesh_registers_set_output_to_NPs(regs, sources, own, destinations, alt, link_index, p2p_in, p2p_out,
                                                flag3);
    }
};

std::vector<uint32_t> image() { return std::vector<uint32_t>(64, 0u); }

TEST(V2Routing, WordsOfASpreadLayer) {
    RouteArgs args;
    args.own = {np(2), np(4)};
    args.destinations = {np(3), np(1), np(2)};
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
    struct { char const* what; void (*change)(RouteArgs*); size_t word; uint32_t value; } const rows[] = {
        {"destinations in columns 3, 1, 2", [](RouteArgs* a) { a->destinations = {np(3), np(1), np(2)}; }, 45,
         0x05000301},
        {"one HRC destination", [](RouteArgs* a) { a->destinations = {unit(hw::Type::HRC, 0)}; }, 45, 0x05000101},
        {"one HRC source", [](RouteArgs* a) { a->sources = {unit(hw::Type::HRC, 0)}; }, 46, 0x00000101},
        {"point-to-point output", [](RouteArgs* a) { a->p2p_out = true; a->destinations = {np(5, 2, 3)}; }, 45,
         0x05800502},
        {"point-to-point input", [](RouteArgs* a) { a->p2p_in = true; a->sources = {np(6, 1, 2)}; }, 46, 0x00400601},
        {"link 255 to a TNP-B", [](RouteArgs* a) { a->link_index = 255; a->destinations = {unit(hw::Type::TNP_B, 3)}; },
         45, 0xFE000303},
        {"link 255 to a CNP", [](RouteArgs* a) { a->link_index = 255; }, 45, 0xFF000303},
        {"only the first destination counts", [](RouteArgs* a) { a->destinations = {np(3), unit(hw::Type::TNP_B, 4)}; },
         45, 0x05000403},
        {"span over own NPs and one HRC destination",
         [](RouteArgs* a) { a->own = {np(2), np(4)}; a->destinations = {unit(hw::Type::HRC, 0)}; }, 47, 0x00000401},
    };
    for (auto const& row : rows) {
        RouteArgs args;
        row.change(&args);
        auto regs = image();
        args.apply(&regs);
        EXPECT_EQ(regs.at(row.word), row.value) << row.what;
    }
}

TEST(V2Routing, AlternateBranch) {
    RouteArgs args;
    args.alt = std::make_unique<AltLayerInfo>(AltLayerInfo{true, 6, 3});
    auto regs = image();
    regs[52] = 0x80;  // the merge bits stay
    args.apply(&regs);
    EXPECT_EQ(regs[46], 0x00080101u);
    EXPECT_EQ(regs[52], 0x06030090u);

    RouteArgs plain;  // without one, word 52 and bit 19 of word 46 stay as they were
    regs = image();
    regs[46] = 1u << 19;
    regs[52] = 0xFFFFFFFF;
    plain.apply(&regs);
    EXPECT_EQ(regs[46], 0x00080101u);
    EXPECT_EQ(regs[52], 0xFFFFFFFFu);
}

TEST(V2Routing, Failures) {
    struct {
        char const* what;
        void (*change)(RouteArgs*);
        std::string message;
        uint32_t word44;  // what word 44 holds after the failure
    } const rows[] = {
        {"P2P OUT to two NPs", [](RouteArgs* a) { a->p2p_out = true; a->destinations = {np(3), np(4)}; },
         "Cannot use P2P OUT mode for multiple NPs.", 0xFF080009},
        {"P2P IN from two NPs", [](RouteArgs* a) { a->p2p_in = true; a->sources = {np(1), np(2)}; },
         "Cannot use P2P IN mode for multiple NPs.", 0xFF080008},
        {"P2P destination id 4", [](RouteArgs* a) { a->p2p_out = true; a->destinations = {np(3, 0, 4)}; },
         overflow(16, 4), 0xFF080009},
        // 0 - 1 never wraps into a link index.
        {"link 0 to a TNP-B", [](RouteArgs* a) { a->link_index = 0; a->destinations = {unit(hw::Type::TNP_B, 3)}; },
         overflow(4294967295u, 8), 0xFF080008},
        {"256 alternate NPs",
         [](RouteArgs* a) { a->alt = std::make_unique<AltLayerInfo>(AltLayerInfo{false, 256, 0}); }, overflow(256, 8),
         0xFF080008},
        // Nothing is written when a list is empty.
        {"no destinations", [](RouteArgs* a) { a->destinations.clear(); }, "Cannot route an NP without destinations.",
         0},
        {"no sources", [](RouteArgs* a) { a->sources.clear(); }, "Cannot route an NP without sources.", 0},
        {"no own components", [](RouteArgs* a) { a->own.clear(); }, "Cannot route an NP without layer components.", 0},
    };
    for (auto const& row : rows) {
        RouteArgs args;
        row.change(&args);
        auto regs = image();
        EXPECT_EQ(error_text<std::runtime_error>([&] { args.apply(&regs); }), row.message) << row.what;
        EXPECT_EQ(regs[44], row.word44) << row.what;
    }
    std::vector<uint32_t> small(45, 0u);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { RouteArgs{}.apply(&small); }),
              "A register image must hold 64 words.");
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
    EXPECT_EQ(error_text<std::invalid_argument>([] { format_mesh_cfg_dma_reg(nullptr, {}); }),
              "A register image must hold 64 words.");
}

// The skip-DMA load joins the sources; the stores join the destinations, or the sources when the
// mapping counts them as inputs. A missing inbound list is skipped.
TEST(V2Routing, RoutingListsOfAMapping) {
    auto const columns = [](List const& list) {
        std::vector<uint8_t> result;
        for (auto const& c : list) result.push_back(c.ident.col);
        return result;
    };
    for (bool stores_are_inputs : {false, true}) {
        nuvra::testing::ModelBuilder model;
        model.input("input");
        model.conv("b", "input");
        auto mapping = std::make_shared<LayerMapping>(1);
        *mapping->components = {np(3), np(4)};
        mapping->inputs = {std::make_shared<List>(List{np(1), np(2)}), nullptr};
        mapping->outputs.push_back(std::make_shared<List>(List{np(5)}));
        mapping->skipdma_loads = {unit(hw::Type::SKIP_DMA_LOAD, 9)};
        mapping->skipdma_stores = {unit(hw::Type::SKIP_DMA_STORE, 8)};
        mapping->uses_skipdma_layer_flag = stores_are_inputs;
        set_layer_mapping(*model["b"], mapping);
        auto const read_back = layer_mapping(*model["b"]);
        ASSERT_TRUE(read_back);
        using Columns = std::vector<uint8_t>;
        EXPECT_EQ(columns(routing_sources(*read_back)), (stores_are_inputs ? Columns{1, 2, 9, 8} : Columns{1, 2, 9}));
        EXPECT_EQ(columns(routing_destinations(*read_back)), (stores_are_inputs ? Columns{5} : Columns{5, 8}));
    }
}

}  // namespace
}  // namespace nuvra::v2
