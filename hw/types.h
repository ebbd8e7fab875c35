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

// "v1", "v2", "wisp", or "none" for any other value.
constexpr const char* ip_version_name(IpVersion ip) {
    switch (ip) {
    case IpVersion::v1: return "v1";
    case IpVersion::v2: return "v2";
    case IpVersion::wisp: return "wisp";
    default: return "none";
    }
}

// Where a sequence runs: on the host, on the accelerator, or on both.
enum class BackendType : uint8_t {
    Software = 0,
    Hardware = 1,
    Hybrid = 2,
};

}  // namespace nuvra
