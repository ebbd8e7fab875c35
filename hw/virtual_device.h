// A device without hardware, described by a hardware version and an NP mesh: models map onto it
// with no accelerator present.
#pragma once

#include <memory>
#include <string>

#include "hw/device.h"
#include "hw/mesh.h"

namespace nuvra {

class VirtualDevice : public Device {
public:
    // Keeps its own copy of the mesh; describes itself as "VirtualDevice/BC.A2.001.000".
    VirtualDevice(HwVersion version, Mesh mesh);

    HwVersion version() const override { return version_; }
    const char* desc() const override { return desc_.c_str(); }
    Mesh const& mesh() const override { return mesh_; }
    HardwareDevice* hardware() const override { return nullptr; }

private:
    HwVersion version_;
    Mesh mesh_;
    std::string desc_;
};

// A virtual device over a copy of `mesh`, after the generation check of host devices
// (check_ip_version): std::invalid_argument unless the mesh's generation is the one the version's
// product id selects.
std::shared_ptr<VirtualDevice> make_virtual_device(HwVersion version, Mesh const& mesh);

}  // namespace nuvra
