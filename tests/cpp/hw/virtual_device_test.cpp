#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "hw/presets.h"
#include "hw/virtual_device.h"
#include "support/fake_device.h"

namespace nuvra {
namespace {

TEST(HwVersionText, HexProductAndThreeDigitRevisions) {
    struct Row {
        HwVersion version;
        const char* text;
    };
    Row const rows[] = {
        {hw::ZR62_v1, "BC.A1.003.009"},
        {{1, 2, 255, 7}, "01.02.255.007"},
        {{0, 0, 0, 0}, "00.00.000.000"},
    };
    for (auto const& row : rows) EXPECT_EQ(format_hw_version(row.version), row.text);
}

TEST(VirtualDevice, TakesAMeshOfTheProductsGeneration) {
    struct Row {
        HwVersion version;
        IpVersion mesh;
        const char* refusal;  // null when accepted
    };
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
    struct Row {
        const char* change;
        void (*apply)(hw::Component&);
        bool same;
    };
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
