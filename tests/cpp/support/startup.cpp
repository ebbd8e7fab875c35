// The test program maps through the build's generation table, as the Python module does when it
// is imported.
#include "backends/ip_version_backend.h"

namespace {

[[maybe_unused]] bool const registered = (nuvra::register_mapping_backend(), true);

}  // namespace
