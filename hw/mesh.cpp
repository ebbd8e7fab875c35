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

Mesh::Mesh(IpVersion ip, hw::Ident const& conf_dma, hw::Ident const& event_dma, std::optional<np::Info> hrc_np,
           std::vector<np::Info> mesh_nps, std::vector<np::Info> skip_dma_engines)
    : ip_version(ip),
      dma_conf(conf_dma),
      dma_event(event_dma),
      hrc(std::move(hrc_np)),
      nps(std::move(mesh_nps)),
      skip_dmas(std::move(skip_dma_engines)),
      np_sram_size(default_sram_size(ip)) {}

bool Mesh::has_lut_on_all_nps() const {
    if (hrc && !hrc->has_lut) return false;
    return std::all_of(nps.begin(), nps.end(), [](np::Info const& np) { return np.has_lut; });
}

}  // namespace nuvra
