#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "hw/ident.h"

namespace nuvra {
namespace {

TEST(HwIdent, OrderedColumnRowIdChannel) {
    struct Row {
        hw::Ident a;
        hw::Ident b;
        bool less;
    };
    Row const rows[] = {
        {{0, 1, 0, 0}, {1, 0, 0, 0}, true},  // column decides before row
        {{1, 0, 0, 0}, {0, 1, 0, 0}, false},
        {{2, 2, 2, 0}, {2, 2, 2, 1}, true},  // channel decides last
        {{2, 2, 1, 9}, {2, 2, 2, 0}, true},
        {{2, 1, 9, 9}, {2, 2, 0, 0}, true},
        {{3, 3, 3, 3}, {3, 3, 3, 3}, false},
        {{0x7F, 0, 0, 0}, {0x80, 0, 0, 0}, true},  // bytes compare unsigned
        {{0, 0, 0, 0xFF}, {0, 0, 1, 0}, true},
    };
    for (auto const& row : rows) EXPECT_EQ(row.a < row.b, row.less);
    static_assert(sizeof(hw::Ident) == 4);
    std::map<hw::Ident, int> const by_ident = {{{1, 1, 0, 0}, 3}, {{0, 2, 0, 0}, 2}, {{0, 1, 1, 0}, 1}};
    std::vector<int> order;
    for (auto const& [ident, value] : by_ident) order.push_back(value);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(HwType, Names) {
    struct Row {
        int value;
        const char* name;
    };
    Row const rows[] = {
        {0, "None"},  {1, "HRC"},           {2, "CNP1"},  {3, "CNP2"},  {4, "FNP2"},
        {5, "FNP3"},  {6, "SKIP_DMA_STORE"}, {7, "TNP_B"}, {8, "TNP_R"}, {9, "SKIP_DMA_LOAD"},
        {10, "DMA"},  {11, "Unknown"},      {12, "Unknown"}, {255, "Unknown"},
    };
    for (auto const& row : rows) EXPECT_EQ(hw::to_string(static_cast<hw::Type>(row.value)), row.name) << row.value;
    EXPECT_EQ(static_cast<int>(hw::Type::SKIP_DMA_LOAD), 9);
    EXPECT_EQ(static_cast<int>(hw::Type::DMA), 10);
}

TEST(HwVersion, TextAndGeneration) {
    struct Row {
        HwVersion version;
        const char* text;
        IpVersion ip;
    };
    Row const rows[] = {
        {{0xBC, 0xA2, 1, 0}, "188.162.1.0.", IpVersion::v2},
        {{0xBC, 0x00, 0, 2}, "188.0.0.2.", IpVersion::v1},
        {{0xBC, 0xA1, 0, 0}, "188.161.0.0.", IpVersion::v1},
        {{0xBC, 0xB1, 0, 0}, "188.177.0.0.", IpVersion::wisp},
        {{0xBC, 0xA3, 0, 0}, "188.163.0.0.", IpVersion::none},
        {{0xBC, 0xB0, 0, 0}, "188.176.0.0.", IpVersion::none},
        {{0xFF, 0xFF, 255, 255}, "255.255.255.255.", IpVersion::none},
        {{0, 0, 0, 0}, "0.0.0.0.", IpVersion::v1},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(row.version.to_string(), row.text);
        EXPECT_EQ(row.version.get_ip_version(), row.ip) << row.text;
        EXPECT_EQ(ip_version_of_product(row.version.product_id), row.ip) << row.text;
    }
    EXPECT_EQ((HwVersion{1, 2, 3, 4}), (HwVersion{1, 2, 3, 4}));
    EXPECT_NE((HwVersion{1, 2, 3, 4}), (HwVersion{1, 2, 3, 5}));
    EXPECT_EQ(static_cast<int>(IpVersion::wisp), 3);
    EXPECT_EQ(static_cast<int>(BackendType::Hybrid), 2);
}

TEST(HwComponent, WithoutNpPartReadsAsSingleBufferedNothing) {
    hw::Component const component{hw::Type::FNP2, {1, 2, 0, 0}, std::nullopt, {}};
    EXPECT_EQ(component.start_neuron(), 0u);
    EXPECT_EQ(component.filters(), 0u);
    EXPECT_EQ(component.spatial_partition(), NpSpace{});
    EXPECT_EQ(component.halo_partition(), NpSpace{});
    EXPECT_TRUE(component.single_buffer());

    hw::NpPart part;
    part.start_neuron = 8;
    part.filters = 16;
    part.spatial_partition.x = 3;
    part.single_buffer = false;
    hw::Component const with_part{hw::Type::CNP1, {1, 2, 0, 0}, part, {}};
    EXPECT_EQ(with_part.start_neuron(), 8u);
    EXPECT_EQ(with_part.filters(), 16u);
    EXPECT_EQ(with_part.spatial_partition().x, 3u);
    EXPECT_FALSE(with_part.single_buffer());
}

TEST(HwComponent, Equality) {
    hw::Component const absent{hw::Type::CNP1, {1, 2, 0, 0}, std::nullopt, {}};
    hw::Component zero_part = absent;
    zero_part.np_part = hw::NpPart{};
    EXPECT_NE(absent, zero_part);  // presence of the NP part counts

    zero_part.np_part->single_buffer = true;  // reads alike, still not equal
    EXPECT_EQ(zero_part.filters(), absent.filters());
    EXPECT_EQ(zero_part.single_buffer(), absent.single_buffer());
    EXPECT_NE(absent, zero_part);

    hw::Component const base{hw::Type::CNP1, {1, 2, 0, 0}, hw::NpPart{}, {}};
    auto changed = [&](auto&& change) {
        hw::Component other = base;
        change(other);
        return other;
    };
    EXPECT_EQ(base, changed([](hw::Component&) {}));
    EXPECT_NE(base, changed([](hw::Component& c) { c.type = hw::Type::CNP2; }));
    EXPECT_NE(base, changed([](hw::Component& c) { c.ident.channel = 1; }));
    EXPECT_NE(base, changed([](hw::Component& c) { c.np_part->spatial_partition.y = 1; }));
    EXPECT_NE(base, changed([](hw::Component& c) { c.np_part->halo_partition.x = 1; }));
    EXPECT_NE(base, changed([](hw::Component& c) { c.np_part->halo_partition.shape = Shape{4, 4, 2}; }));
    EXPECT_NE(base, changed([](hw::Component& c) { c.np_part->single_buffer = true; }));
    EXPECT_NE(base, changed([](hw::Component& c) { c.mem_info.evsram_32b_size = 1; }));
}

TEST(HwNpInfo, EqualityOnIdentTypesAndLut) {
    np::Info const base{{1, 1, 0, 0}, {hw::Type::CNP1, hw::Type::CNP2}, true};
    EXPECT_EQ(base, (np::Info{{1, 1, 0, 0}, {hw::Type::CNP2, hw::Type::CNP1}, true}));
    EXPECT_NE(base, (np::Info{{1, 1, 0, 1}, {hw::Type::CNP1, hw::Type::CNP2}, true}));
    EXPECT_NE(base, (np::Info{{1, 1, 0, 0}, {hw::Type::CNP1}, true}));
    EXPECT_NE(base, (np::Info{{1, 1, 0, 0}, {hw::Type::CNP1, hw::Type::CNP2}, false}));
}

}  // namespace
}  // namespace nuvra
