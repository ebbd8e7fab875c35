#include "hw/virtual_device.h"

#include <stdexcept>
#include <utility>

#include "hw/format.h"

namespace nuvra {

VirtualDevice::VirtualDevice(HwVersion version, Mesh mesh)
    : version_(version), mesh_(std::move(mesh)), desc_("VirtualDevice/" + format_hw_version(version)) {}

void check_device_versions(HwVersion const& version, IpVersion mesh_version) {
    if (version.get_ip_version() == mesh_version) return;
    throw std::invalid_argument(format(
        "Incompatible hardware and Ip versions: HW Version is {} with product id = {} while IP version is {}.",
        version.to_string(), version.product_id, to_string(mesh_version)));
}

std::shared_ptr<VirtualDevice> make_virtual_device(HwVersion version, Mesh const& mesh) {
    check_device_versions(version, mesh.ip_version);
    return std::make_shared<VirtualDevice>(version, mesh);
}

}  // namespace nuvra
