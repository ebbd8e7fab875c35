// Names that read a pair of per-axis layer parameters at once.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace nuvra::python {

// Built once when the module is loaded, before anything is registered; read only by the
// LayerParams lookup.
inline const std::map<std::string, std::vector<std::string>> layer_param_aliases = {
    {"kernel_size", {"kernel_width", "kernel_height"}},
    {"kernel_stride", {"stride_x", "stride_y"}},
    {"pool_size", {"pooling_width", "pooling_height"}},
    {"pool_stride", {"pooling_stride_x", "pooling_stride_y"}},
};

}  // namespace nuvra::python
