#include "hw/mesh.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace nuvra {

namespace {

SramSize default_sram_size(IpVersion version) {
    switch (version) {
    case IpVersion::v1: return SramSize_v1;
    case IpVersion::v2: return SramSize_v2;
    case IpVersion::wisp: return SramSize_wisp;
    default: throw std::runtime_error("The mesh should have a valid IP version.");
    }
}

}  // namespace

Mesh::Mesh(IpVersion ip_version, hw::Ident const& dma_conf, hw::Ident const& dma_event,
           std::optional<np::Info> hrc, std::vector<np::Info> nps, std::vector<np::Info> skip_dmas)
    : ip_version(ip_version),
      dma_conf(dma_conf),
      dma_event(dma_event),
      hrc(std::move(hrc)),
      nps(std::move(nps)),
      skip_dmas(std::move(skip_dmas)),
      np_sram_size(default_sram_size(ip_version)) {}

bool Mesh::has_lut_on_all_nps() const {
    if (hrc && !hrc->has_lut) return false;
    return std::all_of(nps.begin(), nps.end(), [](np::Info const& np) { return np.has_lut; });
}

}  // namespace nuvra
