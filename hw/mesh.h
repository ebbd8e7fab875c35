// The NP mesh of one device, as the mapping engine sees it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "hw/ident.h"
#include "hw/types.h"

namespace nuvra {

class HardwareDevice;

// SRAM capacities of a mesh.
struct SramSize {
    uint32_t input_bytes = 0;      // shared input-packet SRAM per pair of NPs
    uint32_t weight_bytes = 0;     // shared filter SRAM per pair of NPs
    uint32_t stsram_32b_size = 0;  // STSRAM, 32-bit words (wisp)
    uint32_t fsram_64b_size = 0;   // FSRAM, 64-bit words (wisp)
    uint32_t tsram_51b_size = 0;   // TSRAM, 51-bit words (wisp)
    uint32_t evsram_32b_size = 0;  // event SRAM, 32-bit words (wisp)

    friend bool operator==(SramSize const&, SramSize const&) = default;
};

// Default capacities of each generation.
inline constexpr SramSize SramSize_v1{43008, 44800, 0, 0, 0, 0};
inline constexpr SramSize SramSize_v2{65536, 51200, 0, 0, 0, 0};
inline constexpr SramSize SramSize_wisp{0, 0, 448, 8192, 892, 256};

struct Mesh {
    // Takes the generation's default SRAM sizes; throws std::runtime_error for a version other
    // than v1, v2 or wisp. Note the order of the two DMA endpoints: configuration, then events.
    Mesh(IpVersion ip_version, hw::Ident const& dma_conf, hw::Ident const& dma_event,
         std::optional<np::Info> hrc, std::vector<np::Info> nps, std::vector<np::Info> skip_dmas);

    IpVersion ip_version;
    hw::Ident dma_conf;   // carries configuration to the NPs
    hw::Ident dma_event;  // carries events
    std::optional<np::Info> hrc;
    std::vector<np::Info> nps;        // in discovery order
    std::vector<np::Info> skip_dmas;
    SramSize np_sram_size;

    // False when the HRC or any NP lacks a look-up table; skip DMAs do not count.
    bool has_lut_on_all_nps() const;

    // The mesh of a real device, read from its mesh-description registers and from one
    // configuration word per NP position (devices/mesh_discovery.h). std::runtime_error "The mesh has
    // no SRAM." or "Unknown IP version." when the registers describe no usable mesh; the errors
    // of the device's reads pass through.
    static std::unique_ptr<Mesh> discover(HardwareDevice* device);

    friend bool operator==(Mesh const&, Mesh const&) = default;
};

}  // namespace nuvra
