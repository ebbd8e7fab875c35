#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <vector>

#include "hw/mesh.h"

namespace nuvra {
namespace {

np::Info np_at(uint8_t col, bool has_lut) { return {{col, 1, 0, 0}, {hw::Type::CNP1, hw::Type::FNP2}, has_lut}; }

np::Info hrc(bool has_lut) { return {{0, 0, 0, 0}, {hw::Type::HRC}, has_lut}; }

TEST(HwMesh, TakesDefaultSramSizesOfItsGeneration) {
    struct Row {
        IpVersion version;
        SramSize expected;
    };
    Row const rows[] = {
        {IpVersion::v1, {43008, 44800, 0, 0, 0, 0}},
        {IpVersion::v2, {65536, 51200, 0, 0, 0, 0}},
        {IpVersion::wisp, {0, 0, 448, 8192, 892, 256}},
    };
    for (auto const& row : rows) {
        Mesh const mesh(row.version, {1, 2, 0, 0}, {1, 2, 1, 0}, std::nullopt, {}, {});
        EXPECT_EQ(mesh.np_sram_size, row.expected);
    }
    EXPECT_EQ(SramSize_v1, (SramSize{43008, 44800, 0, 0, 0, 0}));
    EXPECT_EQ(SramSize_v2, (SramSize{65536, 51200, 0, 0, 0, 0}));
    EXPECT_EQ(SramSize_wisp, (SramSize{0, 0, 448, 8192, 892, 256}));
}

TEST(HwMesh, StoresEndpointsInOrder) {
    hw::Ident const conf{3, 4, 0, 0};
    hw::Ident const event{3, 4, 1, 0};
    Mesh const mesh(IpVersion::v2, conf, event, hrc(true), {np_at(1, true)}, {np_at(2, false)});
    EXPECT_EQ(mesh.ip_version, IpVersion::v2);
    EXPECT_EQ(mesh.dma_conf, conf);
    EXPECT_EQ(mesh.dma_event, event);
    ASSERT_TRUE(mesh.hrc.has_value());
    EXPECT_EQ(*mesh.hrc, hrc(true));
    EXPECT_EQ(mesh.nps, std::vector<np::Info>{np_at(1, true)});
    EXPECT_EQ(mesh.skip_dmas, std::vector<np::Info>{np_at(2, false)});
}

TEST(HwMesh, RefusesUnknownGeneration) {
    for (auto version : {IpVersion::none, static_cast<IpVersion>(4), static_cast<IpVersion>(255)}) {
        try {
            Mesh(version, {}, {}, std::nullopt, {}, {});
            FAIL() << "accepted " << static_cast<int>(version);
        } catch (std::runtime_error const& e) {
            EXPECT_STREQ(e.what(), "The mesh should have a valid IP version.");
        }
    }
}

TEST(HwMesh, LookUpTablesOnAllNps) {
    struct Row {
        std::optional<np::Info> hrc;
        std::vector<np::Info> nps;
        std::vector<np::Info> skip_dmas;
        bool expected;
    };
    Row const rows[] = {
        {std::nullopt, {}, {}, true},
        {hrc(true), {np_at(1, true), np_at(2, true)}, {}, true},
        {hrc(true), {np_at(1, true), np_at(2, false)}, {}, false},
        {hrc(false), {np_at(1, true)}, {}, false},
        {hrc(false), {}, {}, false},
        {std::nullopt, {np_at(1, true)}, {}, true},
        {std::nullopt, {np_at(1, true)}, {np_at(5, false)}, true},  // skip DMAs do not count
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        auto const& row = rows[i];
        Mesh const mesh(IpVersion::v2, {}, {}, row.hrc, row.nps, row.skip_dmas);
        EXPECT_EQ(mesh.has_lut_on_all_nps(), row.expected) << "row " << i;
    }
}

TEST(HwMesh, EqualityCoversEveryMember) {
    Mesh const base(IpVersion::v2, {1, 0, 0, 0}, {1, 0, 1, 0}, hrc(true), {np_at(1, true)}, {np_at(2, false)});
    EXPECT_EQ(base, Mesh(base));

    Mesh other = base;
    other.skip_dmas[0].ident.channel = 1;
    EXPECT_NE(base, other);
    other = base;
    other.hrc.reset();
    EXPECT_NE(base, other);
    other = base;
    other.np_sram_size.input_bytes = 1;
    EXPECT_NE(base, other);
    other = base;
    other.nps[0].types = {hw::Type::FNP2, hw::Type::CNP1};  // same set, other order
    EXPECT_EQ(base, other);
}

}  // namespace
}  // namespace nuvra
