#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "hw/ident.h"
#include "hw/mesh.h"
#include "hw/presets.h"
#include "hw/virtual_device.h"
#include "support/error_text.h"
#include "support/fake_device.h"

namespace nuvra {
namespace {

TEST(HwIdent, OrdersByColumnRowIdThenChannelAsUnsignedBytes) {
    struct Row { hw::Ident a, b; bool less; };
    Row const rows[] = {
        {{0, 1, 0, 0}, {1, 0, 0, 0}, true},  {{1, 0, 0, 0}, {0, 1, 0, 0}, false},
        {{2, 2, 2, 0}, {2, 2, 2, 1}, true},  {{2, 2, 1, 9}, {2, 2, 2, 0}, true},
        {{3, 3, 3, 3}, {3, 3, 3, 3}, false}, {{0x7F, 0, 0, 0}, {0x80, 0, 0, 0}, true},
    };
    for (auto const& row : rows) EXPECT_EQ(row.a < row.b, row.less);
    static_assert(sizeof(hw::Ident) == 4);
}

TEST(HwType, Names) {
    const char* const names[] = {"None", "HRC",         "CNP1",  "CNP2",          "FNP2", "FNP3",
                                 "SKIP_DMA_STORE", "TNP_B", "TNP_R", "SKIP_DMA_LOAD", "DMA"};
    for (int value = 0; value <= 10; ++value) EXPECT_EQ(hw::to_string(static_cast<hw::Type>(value)), names[value]);
    for (int value : {11, 255}) EXPECT_EQ(hw::to_string(static_cast<hw::Type>(value)), "Unknown");
}

TEST(HwVersion, TextAndGeneration) {
    struct Row { HwVersion version; const char* text; const char* hex; IpVersion ip; };
    Row const rows[] = {
        {{0xBC, 0xA2, 1, 0}, "188.162.1.0.", "BC.A2.001.000", IpVersion::v2},
        {{0xBC, 0x00, 0, 2}, "188.0.0.2.", "BC.00.000.002", IpVersion::v1},
        {{0xBC, 0xA1, 0, 0}, "188.161.0.0.", "BC.A1.000.000", IpVersion::v1},
        {{0xBC, 0xB1, 0, 0}, "188.177.0.0.", "BC.B1.000.000", IpVersion::wisp},
        {{0xBC, 0xA3, 0, 0}, "188.163.0.0.", "BC.A3.000.000", IpVersion::none},
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
    EXPECT_EQ(absent.start_neuron(), 0u);
    EXPECT_EQ(absent.filters(), 0u);
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
    struct Row { IpVersion version; SramSize published; SramSize expected; };
    Row const rows[] = {
        {IpVersion::v1, SramSize_v1, {43008, 44800, 0, 0, 0, 0}},
        {IpVersion::v2, SramSize_v2, {65536, 51200, 0, 0, 0, 0}},
        {IpVersion::wisp, SramSize_wisp, {0, 0, 448, 8192, 892, 256}},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(Mesh(row.version, {}, {}, std::nullopt, {}, {}).np_sram_size, row.expected);
        EXPECT_EQ(row.published, row.expected);
    }
    for (auto version : {IpVersion::none, static_cast<IpVersion>(4)})
        EXPECT_EQ(testing::error_text<std::runtime_error>([&] { Mesh(version, {}, {}, std::nullopt, {}, {}); }),
                  "The mesh should have a valid IP version.");
}

TEST(HwMesh, LookUpTablesOnAllNps) {
    struct Row { std::optional<np::Info> hrc; std::vector<np::Info> nps, skip_dmas; bool expected; };
    Row const rows[] = {
        {std::nullopt, {}, {}, true},
        {hrc(true), {np_at(1, true), np_at(2, true)}, {}, true},
        {hrc(true), {np_at(1, true), np_at(2, false)}, {}, false},
        {hrc(false), {}, {}, false},
        {std::nullopt, {np_at(1, true)}, {np_at(5, false)}, true},  // skip DMAs do not count
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        Mesh const mesh(IpVersion::v2, {}, {}, rows[i].hrc, rows[i].nps, rows[i].skip_dmas);
        EXPECT_EQ(mesh.has_lut_on_all_nps(), rows[i].expected) << "row " << i;
    }
}

TEST(VirtualDevice, TakesAMeshOfTheProductsGeneration) {
    // refusal: null when accepted
    struct Row { HwVersion version; IpVersion mesh; const char* refusal; };
    Row const rows[] = {
        {hw::Tolmar_v2, IpVersion::v2, nullptr},
        {hw::Wisp_Tolmar, IpVersion::v2,
         "Incompatible hardware and Ip versions: HW Version is 188.177.1.0. with product id = 177 while IP "
         "version is v2."},
        {{0xBC, 0x42, 0, 0}, IpVersion::none, nullptr},
    };
    for (auto const& row : rows) {
        Mesh mesh = fake_mesh(IpVersion::v1);
        mesh.ip_version = row.mesh;
        try {
            auto const device = make_virtual_device(row.version, mesh);
            EXPECT_EQ(row.refusal, nullptr) << format_hw_version(row.version);
            EXPECT_EQ(device->get_ip_version(), row.mesh);
            EXPECT_EQ(device->desc(), "VirtualDevice/" + format_hw_version(row.version));
            EXPECT_EQ(device->hardware(), nullptr);
        } catch (std::invalid_argument const& e) {
            EXPECT_STREQ(e.what(), row.refusal ? row.refusal : "accepted");
        }
    }
}

TEST(HwComponent, SameWorkIgnoresOnlyTheBuffering) {
    hw::Component base{hw::Type::CNP2, {1, 2, 0, 0}, hw::NpPart{0, 8, {1, 0, Shape{4, 4, 2}}, {}, false}, {}};
    struct Row { const char* change; void (*apply)(hw::Component&); bool same; };
    Row const rows[] = {
        {"buffering", [](hw::Component& c) { c.np_part->single_buffer = true; }, true},
        {"channel", [](hw::Component& c) { c.ident.channel = 1; }, false},
        {"no np part", [](hw::Component& c) { c.np_part.reset(); }, false},
        {"window shape", [](hw::Component& c) { c.np_part->spatial_partition.shape = Shape{4, 4, 3}; }, false},
        {"cut", [](hw::Component& c) { c.np_part->halo_partition.y = 1; }, false},
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
