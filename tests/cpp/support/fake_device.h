// A device without hardware, made from a version and a mesh, for tests of code that reads a
// Device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "hw/device.h"
#include "hw/mesh.h"

namespace nuvra {

class FakeDevice : public Device {
public:
    FakeDevice(HwVersion version, Mesh mesh) : version_(version), mesh_(std::move(mesh)) {}

    HwVersion version() const override { return version_; }
    const char* desc() const override { return "fake device"; }
    Mesh const& mesh() const override { return mesh_; }
    HardwareDevice* hardware() const override { return nullptr; }

    // The mesh can be edited before the code under test reads it.
    Mesh& mutable_mesh() { return mesh_; }

private:
    HwVersion version_;
    Mesh mesh_;
};

// A mesh of the given generation with the given NPs and skip DMAs, no HRC, and the
// generation's default SRAM sizes.
inline Mesh fake_mesh(IpVersion ip, std::vector<np::Info> nps = {},
                      std::vector<np::Info> skip_dmas = {}) {
    return Mesh(ip, {0, 0, 0, 0}, {0, 0, 1, 0}, std::nullopt, std::move(nps), std::move(skip_dmas));
}

inline std::shared_ptr<FakeDevice> make_fake_device(HwVersion version, Mesh mesh) {
    return std::make_shared<FakeDevice>(version, std::move(mesh));
}

// `count` NPs of `type` with look-up tables, in columns first_col, first_col + 1, ... of row 0.
inline std::vector<np::Info> fake_nps(hw::Type type, uint8_t count, uint8_t first_col = 1) {
    std::vector<np::Info> nps;
    for (uint8_t i = 0; i < count; ++i) nps.push_back({{uint8_t(first_col + i), 0, 0, 0}, {type}, true});
    return nps;
}

// A mesh of the generation of `version` (v1 for an unknown product id) with the given NPs.
inline Mesh fake_mesh(HwVersion version, std::vector<np::Info> nps = {}) {
    IpVersion ip = version.get_ip_version();
    if (ip == IpVersion::none) ip = IpVersion::v1;
    return fake_mesh(ip, std::move(nps));
}

// A device whose mesh has the generation of `version` (v1 for an unknown product id) and the
// given NPs.
inline std::shared_ptr<FakeDevice> make_fake_device(HwVersion version, std::vector<np::Info> nps = {}) {
    return make_fake_device(version, fake_mesh(version, std::move(nps)));
}

// A mesh of `count` NPs of every kind (in rows of up to 15 columns, four per position), the HRC
// and two skip-DMA engines.
inline Mesh roomy_mesh(IpVersion ip, size_t count) {
    std::vector<np::Info> nps;
    for (size_t i = 0; i < count; ++i)
        nps.push_back({{uint8_t(1 + i / 4 % 15), uint8_t(i / 60), uint8_t(i % 4), 0},
                       {hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP2, hw::Type::FNP3, hw::Type::TNP_B},
                       true});
    std::vector<np::Info> skip_dmas;
    for (uint8_t row = 0; row < 2; ++row)
        skip_dmas.push_back({{0, row, 0, 4}, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, true});
    return Mesh(ip, {0, 0, 0, 0}, {0, 0, 1, 0}, np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, true}, nps, skip_dmas);
}

}  // namespace nuvra
