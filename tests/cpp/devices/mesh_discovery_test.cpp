#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "devices/mesh_discovery.h"
#include "engine/sim/board.h"
#include "hw/presets.h"
#include "support/error_text.h"

namespace nuvra {
namespace {

using Idents = std::vector<hw::Ident>;
using Types = std::set<hw::Type>;

Idents idents_of(std::vector<np::Info> const& infos) {
    Idents idents;
    for (auto const& info : infos) idents.push_back(info.ident);
    return idents;
}

// Column by column, row by row, id by id; the first rule that applies decides.
TEST(MeshDiscovery, PositionsHoldingNps) {
    struct Row {
        MeshInfo info;
        Idents expected;
    };
    Row const rows[] = {
        // The DMA position: the ids of its DMA engines hold no NP, and none at all when it says so.
        {{.rows = 1, .cols = 1, .nps_per_node = 4, .dma_row = 1, .dma_col = 1, .dma_event_id = 1, .last_row_cols = 1},
         {{1, 1, 2, 0}, {1, 1, 3, 0}}},
        {{.rows = 1, .cols = 1, .nps_per_node = 4, .dma_node_no_np = 1, .dma_row = 1, .dma_col = 1, .last_row_cols = 1},
         {}},
        {{.rows = 2, .cols = 3, .nps_per_node = 1, .row1_first_col = 3, .last_row_cols = 3},
         {{1, 2, 0, 0}, {2, 2, 0, 0}, {3, 1, 0, 0}, {3, 2, 0, 0}}},
        {{.rows = 3, .cols = 2, .nps_per_node = 1, .row2_first_col = 2, .last_row_cols = 1},
         {{1, 1, 0, 0}, {1, 3, 0, 0}, {2, 1, 0, 0}, {2, 2, 0, 0}}},
        // The extra position holds NPs where row 1 would have none.
        {{.rows = 1, .cols = 2, .nps_per_node = 1, .row1_first_col = 2, .extra_np_row = 1, .extra_np_col = 1,
          .last_row_cols = 2},
         {{1, 1, 0, 0}, {2, 1, 0, 0}}},
    };
    auto board = std::make_shared<sim::Board>(sim::tolmar_v2());
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(idents_of(add_nps(rows[i].info, board.get())), rows[i].expected) << i;
}

TEST(MeshDiscovery, TypesOfAnNpWord) {
    struct Row {
        HwVersion version;
        uint32_t word;
        Types types;
        bool lut;
    };
    Row const rows[] = {
        {hw::Tolmar_v2, 2u << 4, {hw::Type::FNP2}, false},
        {hw::Tolmar_v2, 3u << 4 | 1u << 6, {hw::Type::FNP3, hw::Type::CNP1}, false},
        {hw::Tolmar_v2, 2u << 6 | 1u << 8 | 1u << 9 | 1u << 10,
         {hw::Type::CNP1, hw::Type::CNP2, hw::Type::TNP_B, hw::Type::TNP_R}, true},
        {hw::Tolmar_v2, 1u << 4 | 3u << 6, {}, false},  // kinds without a type: listed without types
        {hw::Vexa_v2, 1u << 8 | 1u << 9 | 1u << 10, {}, true},  // TNPs exist on v2 only
    };
    for (auto const& row : rows) {
        sim::BoardSetup setup = sim::tolmar_v2();
        setup.version = row.version;
        setup.np_word = row.word;
        auto board = std::make_shared<sim::Board>(setup);
        EXPECT_EQ(add_nps({.rows = 1, .cols = 1, .nps_per_node = 1, .last_row_cols = 1}, board.get()),
                  (std::vector<np::Info>{{{1, 1, 0, 0}, row.types, row.lut}}))
            << row.word;
    }
}

TEST(MeshDiscovery, MeshOfTheBoard) {
    struct Row {
        const char* name;
        sim::BoardSetup setup;
        std::map<uint32_t, uint32_t> words;  // mesh words changed from the preset's
        std::string error;                   // empty: the mesh below
        size_t nps = 0;
        std::optional<np::Info> hrc = std::nullopt;
        SramSize sram = {};
        Idents skip_dmas = {};
    };
    sim::BoardSetup unknown = sim::tolmar_v2(), zr62 = sim::vexa_v2();
    unknown.version.product_id = 0x42;
    zr62.version = hw::ZR62_v1;
    np::Info const v2_hrc{{0, 0, 0, 0}, {hw::Type::HRC}, true};
    np::Info const v1_hrc{{0, 0, 0, 0}, {hw::Type::HRC}, false};
    Idents const skips{{1, 1, 3, 1}, {2, 1, 3, 1}};
    Row const rows[] = {
        {"Tolmar_v2: 4 x 2 positions of 4 ids, 2 of them DMA engines", sim::tolmar_v2(), {}, "", 30, v2_hrc,
         SramSize_v2, skips},
        {"skip DMAs on channel 5 in columns 1 and 2, none for bit 0", sim::tolmar_v2(), {{0x64, 5u << 24 | 0x7u}}, "",
         30, v2_hrc, SramSize_v2, {{1, 1, 3, 5}, {2, 1, 3, 5}}},
        {"input SRAM drops the bits above 26", sim::tolmar_v2(), {{0x70, 1u << 27 | 1u}, {0x74, 512}}, "", 30, v2_hrc,
         {2, 3200}, skips},
        {"weight SRAM counted in 64 bits", sim::tolmar_v2(), {{0x74, 42949673}}, "", 30, v2_hrc, {65536, 268435456},
         skips},
        {"weight SRAM above 32 bits", sim::tolmar_v2(), {{0x74, 0xFFFFFFFF}},
         "The mesh reports an SRAM size that does not fit 32 bits."},
        {"no input SRAM", sim::tolmar_v2(), {{0x70, 0}}, "The mesh has no SRAM."},
        {"no HRC", sim::tolmar_v2(), {{0x68, 0}}, "", 30, std::nullopt, SramSize_v2, skips},
        {"unknown product", unknown, {}, "Unknown IP version."},
        {"Vexa_v2 scans every column of the last row", sim::vexa_v2(), {}, "", 78, v1_hrc, SramSize_v1},
        {"another v1 board ends its last row where R58 says", zr62, {}, "", 66, v1_hrc, SramSize_v1},
        {"wisp: SRAM sizes in register order", sim::wisp_tolmar(), {{0x70, 1}, {0x74, 2}, {0x78, 3}, {0x7C, 4}}, "", 1,
         std::nullopt, {0, 0, 1, 2, 3, 4}},
    };
    for (auto const& row : rows) {
        sim::BoardSetup setup = row.setup;
        for (auto const& [offset, word] : row.words) setup.mesh_word(offset) = word;
        auto board = std::make_shared<sim::Board>(setup);
        std::unique_ptr<Mesh> mesh;
        EXPECT_EQ(testing::error_text<std::runtime_error>([&] { mesh = Mesh::discover(board.get()); }), row.error)
            << row.name;
        if (!mesh) continue;
        EXPECT_EQ(mesh->ip_version, setup.version.get_ip_version()) << row.name;
        EXPECT_EQ(mesh->nps.size(), row.nps) << row.name;
        EXPECT_EQ(mesh->hrc, row.hrc) << row.name;
        EXPECT_EQ(mesh->np_sram_size, row.sram) << row.name;
        EXPECT_EQ(idents_of(mesh->skip_dmas), row.skip_dmas) << row.name;
    }
}

TEST(MeshDiscovery, DmaEnginesSkipDmaTypesAndTheWispNp) {
    auto tolmar = std::make_shared<sim::Board>(sim::tolmar_v2());
    auto const v2 = Mesh::discover(tolmar.get());
    EXPECT_EQ(v2->dma_conf, (hw::Ident{1, 1, 0, 0}));
    EXPECT_EQ(v2->dma_event, (hw::Ident{1, 1, 1, 0}));
    EXPECT_EQ(v2->skip_dmas[0].types, (Types{hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}));
    auto wisp = std::make_shared<sim::Board>(sim::wisp_tolmar());
    EXPECT_EQ(Mesh::discover(wisp.get())->nps, (std::vector<np::Info>{{{0, 0, 0, 0}, {hw::Type::TNP_R}, false}}));
}

// 8-bit counters would never end a walk over 255 columns.
TEST(MeshDiscovery, MeshOf255ColumnsReadsEveryPositionOnce) {
    sim::BoardSetup setup = sim::tolmar_v2();
    setup.mesh_word(0x50) = 1u | 255u << 8;
    setup.mesh_word(0x54) = 1u;  // one NP per position, the DMA engines outside the mesh
    setup.mesh_word(0x58) = 255u << 24;
    auto board = std::make_shared<sim::Board>(setup);
    EXPECT_EQ(Mesh::discover(board.get())->nps.size(), 255u);
    EXPECT_EQ(board->np_reads.size(), 255u);
    for (auto const& [ident, reads] : board->np_reads) EXPECT_EQ(reads, 1) << int(ident.col);
}

}  // namespace
}  // namespace nuvra
