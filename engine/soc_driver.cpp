#include "engine/soc_driver.h"

#include <stdexcept>

#include "engine/driver.h"

namespace nuvra {

// A SocDriver that is not also a HardwareDriver has no registers: the clock functions refuse the
// null driver.
soc::ClockMode SocDriver::clock_mode() { return soc::get_clock_mode(dynamic_cast<HardwareDriver*>(this)); }

void SocDriver::set_clock_mode(soc::ClockMode mode) {
    soc::set_clock_mode(dynamic_cast<HardwareDriver*>(this), mode);
}

}  // namespace nuvra

uint16_t SpiFlashController::get_id() const { throw std::runtime_error("get_id function is not yet implemented"); }
