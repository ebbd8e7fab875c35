#include "engine/backend.h"

namespace nuvra {

namespace {

// Written once at start-up, from the thread that loads the module (process-wide state, listed in
// hw/process_state.h).
HardwareBackendHooks& registered_hooks() {
    static HardwareBackendHooks hooks;
    return hooks;
}

}  // namespace

void register_hardware_backend(HardwareBackendHooks hooks) { registered_hooks() = hooks; }

HardwareBackendHooks hardware_backend_hooks() { return registered_hooks(); }

}  // namespace nuvra
