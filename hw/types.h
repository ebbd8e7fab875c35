// Small enumerations shared by the hardware model, the mapping engine and the Python module.
#pragma once

#include <cstdint>

namespace nuvra {

// Generation of the accelerator IP; `none` for a product this system does not know.
enum class IpVersion : uint8_t {
    none = 0,
    v1 = 1,
    v2 = 2,
    wisp = 3,
};

// Where a sequence runs: on the host, on the accelerator, or on both.
enum class BackendType : uint8_t {
    Software = 0,
    Hardware = 1,
    Hybrid = 2,
};

}  // namespace nuvra
