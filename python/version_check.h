// The interpreter check done before the module is created.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nuvra::python {

// The module is built for this interpreter series only.
inline constexpr std::string_view compiled_python_version = "3.12";

// The refusal message for an interpreter whose version text does not start with "3.12"
// followed by a non-digit, or nothing when the interpreter is accepted.
inline std::optional<std::string> python_version_mismatch(std::string_view interpreter_version) {
    std::string_view want = compiled_python_version;
    bool accepted = interpreter_version.substr(0, want.size()) == want &&
                    (interpreter_version.size() == want.size() ||
                     !(interpreter_version[want.size()] >= '0' && interpreter_version[want.size()] <= '9'));
    if (accepted) return std::nullopt;
    return "Python version mismatch: module was compiled for Python " + std::string(want) +
           ", but the interpreter version is incompatible: " + std::string(interpreter_version) + ".";
}

}  // namespace nuvra::python
