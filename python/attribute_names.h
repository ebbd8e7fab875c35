// Attribute lookups that forward unknown names to a parameter set.
#pragma once

#include <string_view>

namespace nuvra::python {

// Names of the form __name__ belong to Python's own protocols (copying, pickling): a missing one
// must be an AttributeError, so that those protocols fall back to their defaults.
inline bool is_protocol_name(std::string_view name) {
    return name.size() > 4 && name.starts_with("__") && name.ends_with("__");
}

}  // namespace nuvra::python
