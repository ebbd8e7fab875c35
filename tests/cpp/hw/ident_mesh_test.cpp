#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <vector>

#include "hw/ident.h"
#include "hw/mesh.h"

namespace nuvra {
namespace {

TEST(HwIdent, OrdersByColumnRowIdThenChannelAsUnsignedBytes) {
    struct Row {
        hw::Ident a, b;
        bool less;
    };
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
    struct Row {
        HwVersion version;
        const char* text;
        IpVersion ip;
    };
    Row const rows[] = {
        {{0xBC, 0xA2, 1, 0}, "188.162.1.0.", IpVersion::v2},   {{0xBC, 0x00, 0, 2}, "188.0.0.2.", IpVersion::v1},
        {{0xBC, 0xA1, 0, 0}, "188.161.0.0.", IpVersion::v1},   {{0xBC, 0xB1, 0, 0}, "188.177.0.0.", IpVersion::wisp},
        {{0xBC, 0xA3, 0, 0}, "188.163.0.0.", IpVersion::none}, {{0xBC, 0xB0, 0, 0}, "188.176.0.0.", IpVersion::none},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(row.version.to_string(), row.text);
        EXPECT_EQ(row.version.get_ip_version(), row.ip) << row.text;
        EXPECT_EQ(ip_version_of_product(row.version.product_id), row.ip) << row.text;
    }
    EXPECT_EQ(static_cast<int>(IpVersion::wisp), 3);
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
    struct Row {
        IpVersion version;
        SramSize published;
        SramSize expected;
    };
    Row const rows[] = {
        {IpVersion::v1, SramSize_v1, {43008, 44800, 0, 0, 0, 0}},
        {IpVersion::v2, SramSize_v2, {65536, 51200, 0, 0, 0, 0}},
        {IpVersion::wisp, SramSize_wisp, {0, 0, 448, 8192, 892, 256}},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(Mesh(row.version, {}, {}, std::nullopt, {}, {}).np_sram_size, row.expected);
        EXPECT_EQ(row.published, row.expected);
    }
    for (auto version : {IpVersion::none, static_cast<IpVersion>(4)}) {
        try {
            Mesh(version, {}, {}, std::nullopt, {}, {});
            ADD_FAILURE() << "accepted " << static_cast<int>(version);
        } catch (std::runtime_error const& e) {
            EXPECT_STREQ(e.what(), "The mesh should have a valid IP version.");
        }
    }
}

TEST(HwMesh, LookUpTablesOnAllNps) {
    struct Row {
        std::optional<np::Info> hrc;
        std::vector<np::Info> nps, skip_dmas;
        bool expected;
    };
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

}  // namespace
}  // namespace nuvra
