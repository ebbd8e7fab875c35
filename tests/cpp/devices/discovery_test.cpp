#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "backends/ip_version_backend.h"
#include "devices/host_device.h"
#include "devices/mesh_discovery.h"
#include "engine/model.h"
#include "engine/sequence.h"
#include "engine/sim/board.h"
#include "hw/presets.h"
#include "mapping/map_constraints.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/model_builder.h"

namespace nuvra {
namespace {

using Boards = std::vector<std::shared_ptr<sim::Board>>;
using Devices = std::vector<std::shared_ptr<Device>>;

std::shared_ptr<sim::Board> board(sim::BoardSetup setup) { return std::make_shared<sim::Board>(std::move(setup)); }

// populate_devices() over `boards` (installed for the call), and what it printed.
Devices populate(Boards const& boards, std::string* printed) {
    sim::InstalledBoards const installed(boards);
    ::testing::internal::CaptureStdout();
    Devices devices = populate_devices();
    *printed = ::testing::internal::GetCapturedStdout();
    return devices;
}

TEST(HostDevices, NoDriversNoDevicesNothingPrinted) {
    std::string printed;
    EXPECT_TRUE(populate({}, &printed).empty());
    EXPECT_EQ(printed, "");
    EXPECT_EQ(testing::error_text<std::runtime_error>([] { HardwareDevice::create(nullptr); }),
              "No engine device for this driver.");
}

TEST(HostDevices, FailingBoardsArePrintedAndSkippedInDriverOrder) {
    sim::BoardSetup no_sram = sim::tolmar_v2();
    no_sram.mesh_word(0x70) = 0;
    sim::BoardSetup unknown = sim::tolmar_v2();
    unknown.version.product_id = 0x42;
    Boards const boards{board(sim::tolmar_v2()), board(no_sram),          board(sim::tolmar_v2()),
                        board(sim::tolmar_v2()), board(sim::wisp_tolmar()), board(unknown)};
    boards[2]->failures.create = "The board does not answer.";
    boards[3]->failures.register_read = "Bus read failed.";
    std::string printed;
    Devices const devices = populate(boards, &printed);
    EXPECT_EQ(printed, "The mesh has no SRAM.\nThe board does not answer.\nBus read failed.\nUnknown IP version.\n");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]->hardware(), boards[0].get());
    EXPECT_EQ(devices[1]->hardware(), boards[4].get());
}

// The real probe maps its InputConvolutional layer through the first-generation back end and runs
// it on the simulated board; a run that fails counts as a time-out: the device is made again once.
TEST(HostDevices, ProbeMapsAndRunsOnASimulatedVexaV2) {
    register_mapping_backend();
    struct { const char* run_failure; int creates; } const rows[] = {{"", 1}, {"The HRC does not answer.", 2}};
    for (auto const& row : rows) {
        auto const made = board(sim::vexa_v2());
        made->failures.run = row.run_failure;
        std::string printed;
        EXPECT_EQ(populate({made}, &printed).size(), 1u);
        EXPECT_EQ(printed, "");
        EXPECT_EQ(made->creates, row.creates) << row.run_failure;
        EXPECT_EQ(std::vector<std::string>(made->calls.begin(), made->calls.begin() + 3),
                  (std::vector<std::string>{"program", "batch 1", "forward 1"}));
    }
}

// in (8 x 8 x 4) -> c1 -> c2 mapped on a simulated second-generation board and run on 3 samples.
TEST(HostRun, ModelForwardRunsTheProgramOnTheBoard) {
    register_mapping_backend();
    auto const tolmar = std::make_shared<sim::SocBoard>(sim::tolmar_v2());
    std::string printed;
    Devices const devices = populate({tolmar}, &printed);
    ASSERT_EQ(devices.size(), 1u) << printed;

    testing::ModelBuilder b;
    b.input("in");
    for (auto [name, inbound] : {std::pair{"c1", "in"}, std::pair{"c2", "c1"}})
        b.layer(LayerType::Conv2D, name, {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, {inbound});
    b.model().map(devices[0]);
    ASSERT_EQ(b.model().sequences().size(), 1u);
    std::span<const uint8_t> const program = b.model().sequences()[0]->program();
    std::shared_ptr<Dense> const inputs = Dense::create(TensorType::uint8, Shape{3, 8, 8, 4}, Layout::c_order);
    auto* bytes = static_cast<uint8_t*>(inputs->mutable_buffer().data);
    for (size_t i = 0; i < 3 * 256; ++i) bytes[i] = uint8_t(i / 256 + 1);  // sample s holds s + 1
    std::shared_ptr<Tensor> const outputs = b.model().forward(inputs);

    EXPECT_EQ(tolmar->calls, (std::vector<std::string>{"program", "batch 3", "forward 3"}));
    std::span<const uint8_t> const loaded = tolmar->program();
    EXPECT_EQ(std::vector<uint8_t>(loaded.begin(), loaded.end()), std::vector<uint8_t>(program.begin(), program.end()));
    EXPECT_EQ(outputs->dimensions(), (Shape{3, 8, 8, 4}));
    for (uint32_t s = 0; s < 3; ++s) EXPECT_EQ(tensor_read<int32_t>(*outputs, {s, 0, 0, 0}), int32_t(256 * (s + 1)));
}

TEST(HostDevices, FlashIdIsNotImplemented) {
    sim::FlashBoard flash(sim::tolmar_v2());
    EXPECT_EQ(testing::error_text<std::runtime_error>([&] { flash.flash_controller()->get_id(); }),
              "get_id function is not yet implemented");
}

using Idents = std::vector<hw::Ident>;
using Types = std::set<hw::Type>;

Idents idents_of(std::vector<np::Info> const& infos) {
    Idents idents;
    for (auto const& info : infos) idents.push_back(info.ident);
    return idents;
}

// Column by column, row by row, id by id; the first rule that applies decides.
TEST(MeshDiscovery, PositionsHoldingNps) {
    struct Row { MeshInfo info; Idents expected; };
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
    struct Row { HwVersion version; uint32_t word; Types types; bool lut; };
    Row const rows[] = {
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
    // words: mesh words changed from the preset's; error: empty: the mesh below
    struct Row { const char* name; sim::BoardSetup setup; std::map<uint32_t, uint32_t> words; std::string error;
                 size_t nps = 0; std::optional<np::Info> hrc = std::nullopt; SramSize sram = {}; Idents skip_dmas = {};
    };
    np::Info const v2_hrc{{0, 0, 0, 0}, {hw::Type::HRC}, true}, v1_hrc{{0, 0, 0, 0}, {hw::Type::HRC}, false};
    sim::BoardSetup zr62 = sim::vexa_v2();
    zr62.version = hw::ZR62_v1;
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
        {"no HRC", sim::tolmar_v2(), {{0x68, 0}}, "", 30, std::nullopt, SramSize_v2, skips},
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

// The product list is the one source of a product's generation: the version, the generation
// table, the back end, MapConstraints and mesh discovery all read it, and every row of the table
// serves a product. An id outside the list has no generation anywhere.
TEST(Products, EveryProductHasOneGenerationEverywhere) {
    struct Row { uint8_t id; IpVersion ip; bool multi_pass; };
    Row const expected[] = {
        {0x00, IpVersion::v1, false},  // the first boards cannot cut a mapping into passes
        {0xA1, IpVersion::v1, true},
        {0xA2, IpVersion::v2, true},
        {0xB1, IpVersion::wisp, true},
    };
    ASSERT_EQ(std::size(hw::products), std::size(expected));
    std::set<IpVersion> served;
    for (size_t i = 0; i < std::size(expected); ++i) {
        Row const& row = expected[i];
        HwVersion const version{0xBC, row.id, 1, 0};
        SCOPED_TRACE(format_hw_version(version));
        hw::Product const& product = hw::products[i];
        EXPECT_EQ((std::tuple{product.id, product.ip, product.multi_pass}), (std::tuple{row.id, row.ip, row.multi_pass}));
        EXPECT_EQ(hw::find_product(row.id), &product);
        EXPECT_EQ(version.get_ip_version(), row.ip);
        EXPECT_EQ(generation_row(row.ip).ip, row.ip);

        auto const device = make_fake_device(version);
        IpVersionSpecificHardwareBackend const backend(*device);
        EXPECT_EQ(backend.ip_version(), row.ip);
        EXPECT_EQ(backend.multi_pass_capable(), row.multi_pass);
        EXPECT_EQ(MapConstraints(device).ip_version(), row.ip);

        sim::BoardSetup setup = row.ip == IpVersion::v1   ? sim::vexa_v2()
                                : row.ip == IpVersion::v2 ? sim::tolmar_v2()
                                                          : sim::wisp_tolmar();
        setup.version.product_id = row.id;
        auto const board = std::make_shared<sim::Board>(setup);
        EXPECT_EQ(Mesh::discover(board.get())->ip_version, row.ip);
        served.insert(row.ip);
    }
    for (Generation const& row : built_generations())
        EXPECT_TRUE(served.contains(row.ip)) << ip_version_name(row.ip) << " serves no product";

    for (unsigned id = 0; id <= 0xFF; ++id) {
        if (hw::find_product(uint8_t(id)) != nullptr) continue;
        EXPECT_EQ(ip_version_of_product(uint8_t(id)), IpVersion::none) << id;
        EXPECT_EQ(testing::error_text<std::runtime_error>([&] {
                      IpVersionSpecificHardwareBackend const backend(*make_fake_device({0xBC, uint8_t(id), 1, 0}));
                  }),
                  "Unsupported IP version in IpVersionSpecificHardwareBackend.")
            << id;
    }
}

}  // namespace
}  // namespace nuvra
