// The accelerators found on this host: each engine driver's device with the mesh read from its
// registers, listed once per process.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "hw/device.h"
#include "hw/mesh.h"

namespace nuvra {

class HardwareDevice;
class HardwareDriver;

// The Device of a real accelerator: version and description come from its engine device, the
// mesh is the one discovered from its registers, and hardware() is never null.
class HostDevice : public Device {
public:
    // Null arguments are std::invalid_argument.
    HostDevice(std::shared_ptr<HardwareDevice> hardware, std::unique_ptr<Mesh> mesh);

    HwVersion version() const override;
    const char* desc() const override;
    Mesh const& mesh() const override { return *mesh_; }
    HardwareDevice* hardware() const override { return hardware_.get(); }
    // The engine device itself, shared with whoever else holds it (the Python device objects).
    std::shared_ptr<HardwareDevice> const& shared_hardware() const { return hardware_; }

private:
    std::shared_ptr<HardwareDevice> hardware_;
    std::unique_ptr<Mesh> mesh_;
};

// The engine device of `driver` (HardwareDevice::create) wrapped in a HostDevice with its
// discovered mesh, its generation checked (check_ip_version).
std::shared_ptr<HostDevice> make_host_device(HardwareDriver* driver);

// Whether the HRC of a device failed to answer (true: a time-out); devices/hrc_probe.h.
using TimeoutProbe = std::function<bool(std::shared_ptr<Device> const&)>;

// One host device per driver of get_drivers(), in driver order. On Vexa_v2 the HRC time-out
// probe runs, and a device that timed out is made afresh from its driver, once, without a second
// probe. A std::runtime_error while handling one driver (the engine's, mesh discovery's, or the
// probe's outside its guarded run) is printed on standard output with a newline and that driver
// is skipped; a generation mismatch (std::invalid_argument) ends the discovery. Caches nothing.
std::vector<std::shared_ptr<Device>> populate_devices();
// The same with another probe in place of hrc_check_timeout.
std::vector<std::shared_ptr<Device>> populate_devices(TimeoutProbe const& probe);

// The process-wide list of host devices, built by populate_devices() on the first call and kept
// until the process ends; when building it throws, nothing is kept and the next call tries again.
std::vector<std::shared_ptr<Device>> const& get_devices();

}  // namespace nuvra
