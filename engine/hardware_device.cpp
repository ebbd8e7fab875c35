#include "engine/hardware_device.h"

#include <stdexcept>

namespace nuvra {

std::shared_ptr<HardwareDevice> HardwareDevice::create(HardwareDriver* driver) {
    auto* const source = dynamic_cast<DeviceSourceDriver*>(driver);
    std::shared_ptr<HardwareDevice> device = source ? source->make_device() : nullptr;
    if (!device) throw std::runtime_error("No engine device for this driver.");
    return device;
}

}  // namespace nuvra
