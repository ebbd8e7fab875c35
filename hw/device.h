// The system's view of an accelerator: its version, description, mesh and, for real
// hardware, the engine device that programs and runs it.
#pragma once

#include "hw/mesh.h"
#include "hw/types.h"

namespace nuvra {

class HardwareDevice;

// The refusal of a run or a read-back on a device without hardware.
inline constexpr char hardware_required_message[] = "An actual hardware device is required.";

class Device {
public:
    virtual ~Device() = default;
    virtual HwVersion version() const = 0;
    virtual const char* desc() const = 0;
    virtual Mesh const& mesh() const = 0;
    // The engine device, or null for a device without hardware (a virtual device).
    virtual HardwareDevice* hardware() const = 0;

    IpVersion get_ip_version() const { return version().get_ip_version(); }
};

// std::invalid_argument "Incompatible hardware and Ip versions: HW Version is <version> with
// product id = <decimal id> while IP version is <mesh generation>." when the generation of
// `version` is not the mesh's.
void check_ip_version(HwVersion version, IpVersion mesh_ip);

// Whether a program made for one of the two devices is the program of the other, and runs on the
// same board: one hardware version, one mesh (NPs and their types, HRC, skip DMAs, DMA endpoints,
// SRAM sizes) and one engine device (both without hardware, or the same board).
bool equal_devices(Device const& a, Device const& b);

}  // namespace nuvra
