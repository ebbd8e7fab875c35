// Hardware versions of known chips and boards.
#pragma once

#include "hw/ident.h"

namespace nuvra::hw {

inline constexpr HwVersion Vexa_v1{0xBC, 0x00, 0, 1};
// The first-generation board whose CNPs take at most 504 filters.
inline constexpr HwVersion Vexa_v2{0xBC, 0x00, 0, 2};
inline constexpr HwVersion Dorvel_v1{0xBC, 0xA1, 3, 6};
inline constexpr HwVersion ZR62_v1{0xBC, 0xA1, 3, 9};
inline constexpr HwVersion Tolmar_v2{0xBC, 0xA2, 1, 0};
inline constexpr HwVersion Wisp_Tolmar{0xBC, 0xB1, 1, 0};

}  // namespace nuvra::hw
