// Hardware versions of known chips and boards, and the mesh a third-generation device reports.
#pragma once

#include <optional>

#include "hw/ident.h"
#include "hw/mesh.h"

namespace nuvra::hw {

inline constexpr HwVersion Vexa_v1{0xBC, first_boards_product_id, 0, 1};
// The first-generation board whose CNPs take at most 504 filters.
inline constexpr HwVersion Vexa_v2{0xBC, first_boards_product_id, 0, 2};
inline constexpr HwVersion Dorvel_v1{0xBC, v1_chip_product_id, 3, 6};
inline constexpr HwVersion ZR62_v1{0xBC, v1_chip_product_id, 3, 9};
inline constexpr HwVersion Tolmar_v2{0xBC, v2_chip_product_id, 1, 0};
inline constexpr HwVersion Wisp_Tolmar{0xBC, wisp_chip_product_id, 1, 0};

// A third-generation mesh: one TNP-R at {0, 0, 0, 0}, no HRC, no skip DMA, the generation's
// default SRAM sizes.
inline Mesh default_wisp_mesh() {
    return Mesh(IpVersion::wisp, Ident{0, 0, 1, 0}, Ident{0, 0, 2, 0}, std::nullopt,
                {np::Info{Ident{0, 0, 0, 0}, {Type::TNP_R}, false}}, {});
}

}  // namespace nuvra::hw
