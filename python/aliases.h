// Names that read a pair of per-axis layer parameters at once.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

#include "engine/params.h"

namespace nuvra::python {

// Built once when the module is loaded, before anything is registered; read only by the
// LayerParams lookup (process-wide state, listed in hw/process_state.h).
inline const std::map<std::string, std::vector<std::string>> layer_param_aliases = {
    {"kernel_size", {"kernel_width", "kernel_height"}},
    {"kernel_stride", {"stride_x", "stride_y"}},
    {"pool_size", {"pooling_width", "pooling_height"}},
    {"pool_stride", {"pooling_stride_x", "pooling_stride_y"}},
};

// The value `key` names: a parameter the set holds, else the values of an alias's two
// parameters in table order; a missing parameter fails as the engine's get does ("Key <key> not
// found").
inline std::variant<int32_t, std::vector<int32_t>> layer_param(LayerParams const& params, std::string const& key) {
    auto const alias = layer_param_aliases.find(key);
    if (params.has(key) || alias == layer_param_aliases.end()) return params.get(key);
    std::vector<int32_t> values;
    for (auto const& name : alias->second) values.push_back(params.get(name));
    return values;
}

}  // namespace nuvra::python
