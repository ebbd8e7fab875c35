// The engine's access to one accelerator's registers (the interface itself lives with the hardware
// model, whose clock-mode helpers and mesh discovery use it too), and the drivers of the host.
#pragma once

#include <memory>
#include <vector>

#include "hw/driver.h"

namespace nuvra {

// The drivers of the accelerators on this host, in the engine's order. This build has no driver of
// a real bus, so nothing in it fills the list and it is empty on every host; the simulated boards
// of the tests are put in it through detail::driver_list().
std::vector<HardwareDriver*> get_drivers();

namespace detail {
// The list behind get_drivers(); it owns its drivers.
std::vector<std::shared_ptr<HardwareDriver>>& driver_list();
}  // namespace detail

}  // namespace nuvra
