#include "engine/version.h"

namespace nuvra {

const char* version() { return "2.0.0"; }

}  // namespace nuvra
