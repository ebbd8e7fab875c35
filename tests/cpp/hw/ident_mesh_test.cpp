#include <gtest/gtest.h>

#include <optional>
#include <utility>

#include "hw/ident.h"
#include "hw/mesh.h"
#include "hw/presets.h"
#include "hw/virtual_device.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_hardware_device.h"

namespace nuvra {
namespace {

TEST(HwIdent, OrdersByColumnRowIdThenChannelAsUnsignedBytesAndTypeNames) {
    struct Row { hw::Ident a, b; bool less; };
    Row const rows[] = {
        {{0, 1, 0, 0}, {1, 0, 0, 0}, true},  {{1, 0, 0, 0}, {0, 1, 0, 0}, false},
        {{2, 2, 2, 0}, {2, 2, 2, 1}, true},  {{2, 2, 1, 9}, {2, 2, 2, 0}, true},
        {{3, 3, 3, 3}, {3, 3, 3, 3}, false}, {{0x7F, 0, 0, 0}, {0x80, 0, 0, 0}, true},
    };
    for (auto const& row : rows) EXPECT_EQ(row.a < row.b, row.less);
    EXPECT_EQ(hw::to_string(hw::Type::SKIP_DMA_LOAD), "SKIP_DMA_LOAD");
    EXPECT_EQ(hw::to_string(static_cast<hw::Type>(11)), "Unknown");
}

TEST(HwVersion, TextAndGeneration) {
    struct Row { HwVersion version; const char* text; const char* hex; IpVersion ip; };
    Row const rows[] = {
        {{0xBC, 0xA2, 1, 0}, "188.162.1.0.", "BC.A2.001.000", IpVersion::v2},
        {{0xBC, 0x00, 0, 2}, "188.0.0.2.", "BC.00.000.002", IpVersion::v1},
        {{0xBC, 0xB1, 0, 0}, "188.177.0.0.", "BC.B1.000.000", IpVersion::wisp},
        {{0x01, 0xB0, 255, 7}, "1.176.255.7.", "01.B0.255.007", IpVersion::none},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(row.version.to_string(), row.text);
        EXPECT_EQ(format_hw_version(row.version), row.hex);
        EXPECT_EQ(row.version.get_ip_version(), row.ip) << row.text;
        EXPECT_EQ(ip_version_of_product(row.version.product_id), row.ip) << row.text;
    }
}

TEST(HwComponent, WithoutNpPartReadsAsSingleBufferedNothingAndDiffersFromAZeroPart) {
    hw::Component const absent{hw::Type::CNP1, {1, 2, 0, 0}, std::nullopt, {}};
    EXPECT_EQ(absent.start_neuron() + absent.filters(), 0u);
    EXPECT_EQ(absent.spatial_partition(), NpSpace{});
    EXPECT_TRUE(absent.single_buffer());
    hw::Component zero_part = absent;
    zero_part.np_part = hw::NpPart{};
    zero_part.np_part->single_buffer = true;  // reads alike, still not equal
    EXPECT_NE(absent, zero_part);
}

np::Info np_at(uint8_t col, bool has_lut) { return {{col, 1, 0, 0}, {hw::Type::CNP1, hw::Type::FNP2}, has_lut}; }
np::Info hrc(bool has_lut) { return {{0, 0, 0, 0}, {hw::Type::HRC}, has_lut}; }

TEST(HwMesh, TakesDefaultSramSizesOfItsGeneration) {
    EXPECT_EQ(Mesh(IpVersion::v2, {}, {}, std::nullopt, {}, {}).np_sram_size, (SramSize{65536, 51200, 0, 0, 0, 0}));
    EXPECT_EQ(Mesh(IpVersion::wisp, {}, {}, std::nullopt, {}, {}).np_sram_size, (SramSize{0, 0, 448, 8192, 892, 256}));
    for (auto version : {IpVersion::none, static_cast<IpVersion>(4)})
        EXPECT_EQ(testing::error_text<std::runtime_error>([&] { Mesh(version, {}, {}, std::nullopt, {}, {}); }),
                  "The mesh should have a valid IP version.");
}

TEST(HwMesh, LookUpTablesOnAllNps) {
    EXPECT_FALSE(Mesh(IpVersion::v2, {}, {}, hrc(true), {np_at(1, true), np_at(2, false)}, {}).has_lut_on_all_nps());
    EXPECT_FALSE(Mesh(IpVersion::v2, {}, {}, hrc(false), {}, {}).has_lut_on_all_nps());
    EXPECT_TRUE(Mesh(IpVersion::v2, {}, {}, std::nullopt, {np_at(1, true)}, {np_at(5, false)}).has_lut_on_all_nps())
        << "skip DMAs do not count";
}

TEST(VirtualDevice, TakesAMeshOfTheProductsGeneration) {
    struct Row { HwVersion version; IpVersion mesh; const char* refusal; };
    Row const rows[] = {
        {hw::Tolmar_v2, IpVersion::v2, ""},
        {hw::Wisp_Tolmar, IpVersion::v2,
         "Incompatible hardware and Ip versions: HW Version is 188.177.1.0. with product id = 177 while IP "
         "version is v2."},
        {{0xBC, 0x42, 0, 0}, IpVersion::none, ""},
    };
    for (auto const& row : rows) {
        Mesh mesh = fake_mesh(IpVersion::v1);
        mesh.ip_version = row.mesh;
        EXPECT_EQ(testing::error_text<std::invalid_argument>([&] {
                      auto const device = make_virtual_device(row.version, mesh);
                      EXPECT_EQ(device->desc(), "VirtualDevice/" + format_hw_version(row.version));
                  }),
                  row.refusal);
    }
}

// Constraints made for one device map onto another only when a program for the one is the
// program of the other and runs on the same board.
TEST(Device, EqualDevicesShareVersionMeshAndBoard) {
    Mesh const base = roomy_mesh(IpVersion::v2, 2);
    struct Row { const char* change; HwVersion version; void (*apply)(Mesh&); bool equal; };
    Row const rows[] = {
        {"nothing", hw::Tolmar_v2, [](Mesh&) {}, true},
        {"minor revision", {0xBC, 0xA2, 1, 1}, [](Mesh&) {}, false},
        {"generation", hw::ZR62_v1, [](Mesh& m) { m.ip_version = IpVersion::v1; }, false},
        {"one NP fewer", hw::Tolmar_v2, [](Mesh& m) { m.nps.pop_back(); }, false},
        {"NP order", hw::Tolmar_v2, [](Mesh& m) { std::swap(m.nps[0], m.nps[1]); }, false},
        {"an NP's types", hw::Tolmar_v2, [](Mesh& m) { m.nps[1].types.erase(hw::Type::CNP2); }, false},
        {"no HRC", hw::Tolmar_v2, [](Mesh& m) { m.hrc.reset(); }, false},
        {"one skip DMA fewer", hw::Tolmar_v2, [](Mesh& m) { m.skip_dmas.pop_back(); }, false},
        {"SRAM size", hw::Tolmar_v2, [](Mesh& m) { m.np_sram_size.weight_bytes -= 4; }, false},
    };
    auto const device = make_fake_device(hw::Tolmar_v2, base);
    for (auto const& row : rows) {
        Mesh mesh = base;
        row.apply(mesh);
        EXPECT_EQ(equal_devices(*device, *make_fake_device(row.version, mesh)), row.equal) << row.change;
    }
    // Two boards of one version and mesh are two devices, and a board is not a virtual copy of it.
    testing::FakeHostDevice const board(hw::Tolmar_v2, base), twin(hw::Tolmar_v2, base);
    EXPECT_TRUE(equal_devices(board, board));
    EXPECT_FALSE(equal_devices(board, twin));
    EXPECT_FALSE(equal_devices(board, *device));
}

TEST(HwComponent, SameWorkIgnoresOnlyTheBuffering) {
    hw::Component base{hw::Type::CNP2, {1, 2, 0, 0}, hw::NpPart{0, 8, {1, 0, Shape{4, 4, 2}}, {}, false}, {}};
    struct Row { const char* change; void (*apply)(hw::Component&); bool same; };
    Row const rows[] = {
        {"buffering", [](hw::Component& c) { c.np_part->single_buffer = true; }, true},
        {"no np part", [](hw::Component& c) { c.np_part.reset(); }, false},
        {"window shape", [](hw::Component& c) { c.np_part->spatial_partition.shape = Shape{4, 4, 3}; }, false},
        {"memory", [](hw::Component& c) { c.mem_info.evsram_32b_size = 1; }, false},
    };
    for (auto const& row : rows) {
        hw::Component changed = base;
        row.apply(changed);
        EXPECT_EQ(hw::same_work(base, changed), row.same) << row.change;
    }
    EXPECT_EQ(hw::to_string(hw::Ident{1, 2, 3, 4}), "(1, 2, 3)");
}

}  // namespace
}  // namespace nuvra
