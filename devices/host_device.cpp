#include "devices/host_device.h"

#include <iostream>
#include <stdexcept>
#include <utility>

#include "devices/hrc_probe.h"
#include "engine/hardware_device.h"
#include "hw/presets.h"

namespace nuvra {

HostDevice::HostDevice(std::shared_ptr<HardwareDevice> hardware, std::unique_ptr<Mesh> mesh)
    : hardware_(std::move(hardware)), mesh_(std::move(mesh)) {
    if (!hardware_ || !mesh_) throw std::invalid_argument("A host device needs its engine device and its mesh.");
}

HwVersion HostDevice::version() const { return hardware_->version(); }

const char* HostDevice::desc() const { return hardware_->desc(); }

std::shared_ptr<HostDevice> make_host_device(HardwareDriver* driver) {
    std::shared_ptr<HardwareDevice> hardware = HardwareDevice::create(driver);
    std::unique_ptr<Mesh> mesh = Mesh::discover(hardware.get());
    auto device = std::make_shared<HostDevice>(std::move(hardware), std::move(mesh));
    check_ip_version(device->version(), device->mesh().ip_version);
    return device;
}

std::vector<std::shared_ptr<Device>> populate_devices() { return populate_devices(hrc_check_timeout); }

std::vector<std::shared_ptr<Device>> populate_devices(TimeoutProbe const& probe) {
    std::vector<std::shared_ptr<Device>> devices;
    for (HardwareDriver* driver : get_drivers()) {
        try {
            std::shared_ptr<HostDevice> device = make_host_device(driver);
            // One chip revision can come up with an HRC that does not answer: made afresh, once.
            if (device->version() == hw::Vexa_v2 && probe(device)) {
                device.reset();
                device = make_host_device(driver);
            }
            devices.push_back(std::move(device));
        } catch (std::runtime_error const& error) {
            std::cout << error.what() << '\n' << std::flush;
        }
    }
    return devices;
}

// The host's devices are process-wide state (hw/process_state.h lists it).
std::vector<std::shared_ptr<Device>> const& get_devices() {
    static std::vector<std::shared_ptr<Device>> const devices = populate_devices();
    return devices;
}

}  // namespace nuvra
