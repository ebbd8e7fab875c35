#include "engine/driver.h"

namespace nuvra {

std::vector<HardwareDriver*> get_drivers() {
    std::vector<HardwareDriver*> drivers;
    for (auto const& driver : detail::driver_list()) drivers.push_back(driver.get());
    return drivers;
}

// Process-wide state, listed in hw/process_state.h.
std::vector<std::shared_ptr<HardwareDriver>>& detail::driver_list() {
    static std::vector<std::shared_ptr<HardwareDriver>> drivers;
    return drivers;
}

}  // namespace nuvra
