// Builds messages with "{}" placeholders: each "{}" takes the next argument.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>

namespace nuvra {

namespace detail {

template <class T>
void put_arg(std::ostringstream& out, T const& value) {
    // Byte-sized integers are numbers here, never characters.
    if constexpr (std::is_same_v<T, uint8_t> || std::is_same_v<T, int8_t> ||
                  std::is_same_v<T, char> || std::is_same_v<T, signed char>) {
        if constexpr (std::is_same_v<T, char>)
            out << value;
        else
            out << static_cast<int>(value);
    } else if constexpr (std::is_same_v<T, bool>) {
        out << (value ? "true" : "false");
    } else {
        out << value;
    }
}

inline void format_rest(std::ostringstream& out, std::string_view fmt) { out << fmt; }

template <class T, class... Rest>
void format_rest(std::ostringstream& out, std::string_view fmt, T const& first, Rest const&... rest) {
    auto pos = fmt.find("{}");
    if (pos == std::string_view::npos) {
        out << fmt;
        return;
    }
    out << fmt.substr(0, pos);
    put_arg(out, first);
    format_rest(out, fmt.substr(pos + 2), rest...);
}

}  // namespace detail

// format("Cannot map layer '{}'. {}", name, message)
template <class... Args>
std::string format(std::string_view fmt, Args const&... args) {
    std::ostringstream out;
    detail::format_rest(out, fmt, args...);
    return out.str();
}

}  // namespace nuvra
