#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "hw/presets.h"
#include "mapping/map_constraints.h"
#include "tests/cpp/support/fake_device.h"

namespace nuvra {
namespace {

std::string invalid_argument_text(auto&& action) {
    try {
        action();
    } catch (std::invalid_argument const& e) {
        return e.what();
    }
    return "";
}

TEST(MapConstraints, DefaultsFollowTheGeneration) {
    struct Row {
        HwVersion version;
        uint32_t width, height, filters;
    };
    Row const rows[] = {
        {hw::Vexa_v1, 32, 256, 512},
        {hw::Vexa_v2, 32, 256, 504},
        {{0xBC, 0x00, 0, 3}, 32, 256, 512},  // only the exact Vexa_v2 version is reduced
        {{0xBD, 0x00, 0, 2}, 32, 256, 512},
        {{0xBC, 0x00, 1, 2}, 32, 256, 512},
        {hw::Dorvel_v1, 32, 256, 512},
        {hw::ZR62_v1, 32, 256, 512},
        {{0xBC, 0xA1, 0, 2}, 32, 256, 512},
        {hw::Tolmar_v2, 64, 256, 512},
        {hw::Wisp_Tolmar, 0, 0, 0},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.version.to_string());
        auto const device = make_fake_device(row.version);
        MapConstraints const constraints(device);
        EXPECT_EQ(constraints.device(), device);
        EXPECT_EQ(constraints.cnp_max_width_default(), row.width);
        EXPECT_EQ(constraints.cnp_max_height_default(), row.height);
        EXPECT_EQ(constraints.cnp_max_filters_default(), row.filters);
        EXPECT_EQ(constraints.cnp_max_width(), row.width);
        EXPECT_EQ(constraints.cnp_max_height(), row.height);
        EXPECT_EQ(constraints.cnp_max_filters(), row.filters);
        EXPECT_FALSE(constraints.hwpr_loopitself());
    }
}

TEST(MapConstraints, RefusesNullDeviceAndUnknownProducts) {
    EXPECT_EQ(invalid_argument_text([] { MapConstraints c(nullptr); }),
              "Invalid device passed to MapConstraints.");
    for (uint8_t product : {0x42, 0x01, 0xA0, 0xA3, 0xB0, 0xB2, 0xFF}) {
        SCOPED_TRACE(int(product));
        auto const device = make_fake_device({0xBC, product, 1, 0});
        EXPECT_EQ(invalid_argument_text([&] { MapConstraints c(device); }),
                  "Unsupported IP version in MapConstraints constructor.");
    }
}

enum class Limit { Width, Height, Filters };

TEST(MapConstraints, SettersBoundedByTheirDefault) {
    struct Row {
        HwVersion version;
        Limit limit;
        uint32_t value;
        std::string error;  // empty: accepted
    };
    uint32_t const max = std::numeric_limits<uint32_t>::max();
    Row const rows[] = {
        {hw::Vexa_v2, Limit::Filters, 512, "CNP max filters should be <= 504. Receives 512."},
        {hw::Vexa_v2, Limit::Filters, 505, "CNP max filters should be <= 504. Receives 505."},
        {hw::Vexa_v2, Limit::Filters, 504, ""},
        {hw::Vexa_v1, Limit::Filters, 512, ""},
        {hw::ZR62_v1, Limit::Filters, 512, ""},
        {hw::ZR62_v1, Limit::Filters, 513, "CNP max filters should be <= 512. Receives 513."},
        {hw::ZR62_v1, Limit::Width, 32, ""},
        {hw::ZR62_v1, Limit::Width, 33, "CNP max width should be <= 32. Receives 33."},
        {hw::ZR62_v1, Limit::Height, 257, "CNP max height should be <= 256. Receives 257."},
        {hw::Tolmar_v2, Limit::Width, 64, ""},
        {hw::Tolmar_v2, Limit::Width, 65, "CNP max width should be <= 64. Receives 65."},
        {hw::Tolmar_v2, Limit::Height, 1, ""},
        {hw::Tolmar_v2, Limit::Filters, 0, ""},  // no lower bound
        {hw::Tolmar_v2, Limit::Filters, max, "CNP max filters should be <= 512. Receives 4294967295."},
        {hw::Wisp_Tolmar, Limit::Width, 0, ""},
        {hw::Wisp_Tolmar, Limit::Height, 0, ""},
        {hw::Wisp_Tolmar, Limit::Filters, 0, ""},
        {hw::Wisp_Tolmar, Limit::Width, 1, "CNP max width should be <= 0. Receives 1."},
        {hw::Wisp_Tolmar, Limit::Height, 1, "CNP max height should be <= 0. Receives 1."},
        {hw::Wisp_Tolmar, Limit::Filters, 8, "CNP max filters should be <= 0. Receives 8."},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.version.to_string() + " " + std::to_string(int(row.limit)) + " " +
                     std::to_string(row.value));
        MapConstraints c(make_fake_device(row.version));
        uint32_t const defaults[] = {c.cnp_max_width(), c.cnp_max_height(), c.cnp_max_filters()};
        std::string const error = invalid_argument_text([&] {
            switch (row.limit) {
            case Limit::Width: c.set_cnp_max_width(row.value); break;
            case Limit::Height: c.set_cnp_max_height(row.value); break;
            case Limit::Filters: c.set_cnp_max_filters(row.value); break;
            }
        });
        EXPECT_EQ(error, row.error);
        uint32_t expected[] = {defaults[0], defaults[1], defaults[2]};
        if (row.error.empty()) expected[int(row.limit)] = row.value;  // a refused value changes nothing
        EXPECT_EQ(c.cnp_max_width(), expected[0]);
        EXPECT_EQ(c.cnp_max_height(), expected[1]);
        EXPECT_EQ(c.cnp_max_filters(), expected[2]);
        EXPECT_EQ(c.cnp_max_width_default(), defaults[0]);
        EXPECT_EQ(c.cnp_max_height_default(), defaults[1]);
        EXPECT_EQ(c.cnp_max_filters_default(), defaults[2]);
    }
}

TEST(MapConstraints, LoopItselfOnlyOnV2) {
    struct Row {
        HwVersion version;
        bool value;
        bool accepted;
    };
    Row const rows[] = {
        {hw::Vexa_v2, false, true},     {hw::Vexa_v2, true, false},
        {hw::ZR62_v1, false, true},     {hw::ZR62_v1, true, false},
        {hw::Tolmar_v2, false, true},   {hw::Tolmar_v2, true, true},
        {hw::Wisp_Tolmar, false, true}, {hw::Wisp_Tolmar, true, false},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.version.to_string() + (row.value ? " true" : " false"));
        MapConstraints c(make_fake_device(row.version));
        EXPECT_EQ(invalid_argument_text([&] { c.set_hwpr_loopitself(row.value); }),
                  row.accepted ? "" : "HWPR NP loopitself feature is only supported for IP v2.");
        EXPECT_EQ(c.hwpr_loopitself(), row.accepted && row.value);
    }
    MapConstraints c(make_fake_device(hw::Tolmar_v2));
    c.set_hwpr_loopitself(true);
    c.set_hwpr_loopitself(false);
    EXPECT_FALSE(c.hwpr_loopitself());
}

TEST(MapConstraints, DefaultSelectTakesTheFirstNps) {
    std::vector<hw::Ident> const source{{1, 1, 0, 0}, {2, 1, 0, 0}, {3, 1, 0, 0}};
    struct Row {
        std::vector<hw::Ident> source;
        size_t count;
        hw::Type type;
        std::vector<hw::Ident> expected;
    };
    Row const rows[] = {
        {source, 0, hw::Type::CNP1, {}},
        {source, 1, hw::Type::CNP1, {source[0]}},
        {source, 2, hw::Type::FNP2, {source[0], source[1]}},
        {source, 3, hw::Type::TNP_B, source},
        {source, 4, hw::Type::CNP1, source},
        {source, std::numeric_limits<size_t>::max(), hw::Type::None, source},
        {{}, 5, hw::Type::CNP1, {}},
    };
    MapConstraints const c(make_fake_device(hw::Tolmar_v2));
    for (auto const& row : rows) {
        SCOPED_TRACE(row.count);
        EXPECT_EQ(c.select_nps(row.source, row.count, row.type), row.expected);
    }
    EXPECT_NO_THROW(c.next_layer_handler("conv_1"));
}

// The hooks are virtual: the mapper's calls through the base reach an override.
TEST(MapConstraints, HooksCanBeOverridden) {
    struct Reversing : MapConstraints {
        using MapConstraints::MapConstraints;
        mutable std::vector<std::string> names;
        void next_layer_handler(std::string const& name) const override { names.push_back(name); }
        std::vector<hw::Ident> select_nps(std::vector<hw::Ident> const& source, size_t,
                                          hw::Type) const override {
            return {source.rbegin(), source.rend()};
        }
    };
    Reversing derived(make_fake_device(hw::Tolmar_v2));
    MapConstraints const& base = derived;
    base.next_layer_handler("dense");
    EXPECT_EQ(derived.names, std::vector<std::string>{"dense"});
    std::vector<hw::Ident> const source{{1, 1, 0, 0}, {2, 1, 0, 0}};
    EXPECT_EQ(base.select_nps(source, 1, hw::Type::CNP1),
              (std::vector<hw::Ident>{{2, 1, 0, 0}, {1, 1, 0, 0}}));
}

}  // namespace
}  // namespace nuvra
