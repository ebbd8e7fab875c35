#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/error_text.h"
#include "engine/sim/board.h"
#include "hw/mesh_discovery.h"
#include "hw/presets.h"

namespace nuvra {
namespace {

using Idents = std::vector<hw::Ident>;
using Types = std::set<hw::Type>;
using Edit = std::function<void(sim::BoardSetup&)>;

Idents idents_of(std::vector<np::Info> const& infos) {
    Idents idents;
    for (auto const& info : infos) idents.push_back(info.ident);
    return idents;
}

// Which positions hold NPs: column by column, row by row, id by id.
TEST(MeshDiscovery, PositionsHoldingNps) {
    auto const mesh = [](uint8_t rows, uint8_t cols, uint8_t nps, uint8_t last_row_cols) {
        MeshInfo info;
        info.rows = rows;
        info.cols = cols;
        info.nps_per_node = nps;
        info.last_row_cols = last_row_cols;
        return info;
    };
    struct Row {
        const char* name;
        MeshInfo info;
        Idents expected;
    };
    MeshInfo dma = mesh(1, 1, 4, 1);
    dma.dma_row = dma.dma_col = 1;
    dma.dma_event_id = 1;
    MeshInfo dma_only = dma;
    dma_only.dma_node_no_np = 1;
    MeshInfo row1 = mesh(2, 3, 1, 3);
    row1.row1_first_col = 3;
    MeshInfo row2 = mesh(3, 2, 1, 1);
    row2.row2_first_col = 2;
    MeshInfo extra = mesh(1, 2, 1, 2);
    extra.row1_first_col = 2;
    extra.extra_np_row = extra.extra_np_col = 1;
    Row const rows[] = {
        {"DMA position: the ids of the DMA engines are not NPs", dma, {{1, 1, 2, 0}, {1, 1, 3, 0}}},
        {"DMA position without NPs", dma_only, {}},
        {"row 1 starts at column 3", row1, {{1, 2, 0, 0}, {2, 2, 0, 0}, {3, 1, 0, 0}, {3, 2, 0, 0}}},
        {"row 2 starts at column 2, the last row ends at column 1", row2,
         {{1, 1, 0, 0}, {1, 3, 0, 0}, {2, 1, 0, 0}, {2, 2, 0, 0}}},
        {"the extra position always holds NPs", extra, {{1, 1, 0, 0}, {2, 1, 0, 0}}},
        {"no rows", mesh(0, 3, 1, 3), {}},
        {"no NPs per position", mesh(2, 3, 0, 3), {}},
    };
    auto board = std::make_shared<sim::Board>(sim::tolmar_v2());
    for (auto const& row : rows) EXPECT_EQ(idents_of(add_nps(row.info, board.get())), row.expected) << row.name;
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
        setup.np_words[{1, 1, 0, 0}] = row.word;
        auto board = std::make_shared<sim::Board>(setup);
        MeshInfo info;
        info.rows = info.cols = info.nps_per_node = info.last_row_cols = 1;
        std::vector<np::Info> const nps = add_nps(info, board.get());
        ASSERT_EQ(nps.size(), 1u);
        EXPECT_EQ(nps[0], (np::Info{{1, 1, 0, 0}, row.types, row.lut})) << row.word;
    }
}

TEST(MeshDiscovery, MeshOfTheBoard) {
    struct Row {
        const char* name;
        sim::BoardSetup setup;
        Edit edit;
        std::string error;  // empty: the mesh below
        IpVersion ip = IpVersion::none;
        size_t nps = 0;
        std::optional<np::Info> hrc = std::nullopt;
        SramSize sram = {};
        Idents skip_dmas = {};
    };
    auto const none = [](sim::BoardSetup&) {};
    auto const word = [](uint32_t offset, uint32_t value) {
        return [=](sim::BoardSetup& s) { s.mesh_word(offset) = value; };
    };
    np::Info const v2_hrc{{0, 0, 0, 0}, {hw::Type::HRC}, true};
    np::Info const v1_hrc{{0, 0, 0, 0}, {hw::Type::HRC}, false};
    Idents const skips{{1, 1, 3, 1}, {2, 1, 3, 1}};
    Row const rows[] = {
        {"Tolmar_v2: 4 x 2 positions of 4 ids, 2 of them DMA engines", sim::tolmar_v2(), none, "", IpVersion::v2, 30,
         v2_hrc, SramSize_v2, skips},
        {"skip DMAs on channel 5 in columns 1 and 2, none for bit 0", sim::tolmar_v2(), word(0x64, 5u << 24 | 0x7u),
         "", IpVersion::v2, 30, v2_hrc, SramSize_v2, {{1, 1, 3, 5}, {2, 1, 3, 5}}},
        {"input SRAM drops the bits above 26", sim::tolmar_v2(),
         [](sim::BoardSetup& s) { s.mesh_word(0x70) = 1u << 27 | 1u, s.mesh_word(0x74) = 512; }, "", IpVersion::v2,
         30, v2_hrc, {2, 3200}, skips},
        {"weight SRAM in 64 bits: R74 x 100 passes 32 bits", sim::tolmar_v2(), word(0x74, 42949673), "",
         IpVersion::v2, 30, v2_hrc, {65536, 268435456}, skips},
        {"weight SRAM above 32 bits", sim::tolmar_v2(), word(0x74, 0xFFFFFFFF),
         "The mesh reports an SRAM size that does not fit 32 bits."},
        {"no input SRAM", sim::tolmar_v2(), word(0x70, 0), "The mesh has no SRAM."},
        {"no weight SRAM", sim::tolmar_v2(), word(0x74, 0), "The mesh has no SRAM."},
        {"no HRC", sim::tolmar_v2(), word(0x68, 0), "", IpVersion::v2, 30, std::nullopt, SramSize_v2, skips},
        {"unknown product", sim::tolmar_v2(), [](sim::BoardSetup& s) { s.version.product_id = 0x42; },
         "Unknown IP version."},
        {"Vexa_v2 scans every column of the last row", sim::vexa_v2(), none, "", IpVersion::v1, 78, v1_hrc,
         SramSize_v1},
        {"another v1 board ends its last row where R58 says", sim::vexa_v2(),
         [](sim::BoardSetup& s) { s.version = hw::ZR62_v1; }, "", IpVersion::v1, 66, v1_hrc, SramSize_v1},
        {"wisp: SRAM sizes in the order of the registers", sim::wisp_tolmar(),
         [](sim::BoardSetup& s) {
             for (uint32_t i = 0; i < 4; ++i) s.mesh_word(0x70 + 4 * i) = i + 1;
         },
         "", IpVersion::wisp, 1, std::nullopt, {0, 0, 1, 2, 3, 4}},
    };
    for (auto const& row : rows) {
        sim::BoardSetup setup = row.setup;
        row.edit(setup);
        auto board = std::make_shared<sim::Board>(setup);
        std::unique_ptr<Mesh> mesh;
        EXPECT_EQ(testing::error_text<std::runtime_error>([&] { mesh = Mesh::discover(board.get()); }), row.error)
            << row.name;
        if (!mesh) continue;
        EXPECT_EQ(mesh->ip_version, row.ip) << row.name;
        EXPECT_EQ(mesh->nps.size(), row.nps) << row.name;
        EXPECT_EQ(mesh->hrc, row.hrc) << row.name;
        EXPECT_EQ(mesh->np_sram_size, row.sram) << row.name;
        EXPECT_EQ(idents_of(mesh->skip_dmas), row.skip_dmas) << row.name;
    }
}

TEST(MeshDiscovery, DmaEnginesAndTheWispNp) {
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
