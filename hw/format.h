// Builds messages with "{}" placeholders, checked against their arguments at compile time.
#pragma once

#include <string>
#include <utility>

#include <fmt/format.h>

namespace nuvra {

// format("Cannot map layer '{}'. {}", name, message)
template <class... Args>
std::string format(fmt::format_string<Args...> text, Args&&... args) {
    return fmt::format(text, std::forward<Args>(args)...);
}

}  // namespace nuvra
