#include "engine/version.h"

namespace nuvra {

namespace {

// The one place the version is written: CMakeLists.txt takes the project's version and
// pyproject.toml the Python package's from this line.
constexpr char version_text[] = "2.0.0";

}  // namespace

const char* version() { return version_text; }

}  // namespace nuvra
