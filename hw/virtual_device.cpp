#include "hw/virtual_device.h"

#include <utility>

#include "hw/device.h"

namespace nuvra {

VirtualDevice::VirtualDevice(HwVersion version, Mesh mesh)
    : version_(version), mesh_(std::move(mesh)), desc_("VirtualDevice/" + format_hw_version(version)) {}

std::shared_ptr<VirtualDevice> make_virtual_device(HwVersion version, Mesh const& mesh) {
    check_ip_version(version, mesh.ip_version);
    return std::make_shared<VirtualDevice>(version, mesh);
}

}  // namespace nuvra
