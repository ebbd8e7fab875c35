#include "hw/device.h"

#include <stdexcept>

#include "hw/format.h"

namespace nuvra {

void check_ip_version(HwVersion version, IpVersion mesh_ip) {
    if (version.get_ip_version() == mesh_ip) return;
    throw std::invalid_argument(format("Incompatible hardware and Ip versions: HW Version is {} with product id = {} "
                                       "while IP version is {}.",
                                       version.to_string(), version.product_id, ip_version_name(mesh_ip)));
}

bool equal_devices(Device const& a, Device const& b) {
    return a.version() == b.version() && a.mesh() == b.mesh() && a.hardware() == b.hardware();
}

}  // namespace nuvra
