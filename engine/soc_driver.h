// What the driver of some boards offers beside its register access: the clock and power meter of a
// system-on-chip board, and the SPI flash of a board that has one. A board's driver implements
// these beside HardwareDriver (unrelated bases); callers reach them by a cross-cast
// (dynamic_cast<SocDriver*>(driver)).
#pragma once

#include <cstdint>
#include <memory>

#include "hw/clock.h"
#include "hw/power_meter.h"

class SpiFlashController;

namespace nuvra {

class SocDriver {
public:
    virtual ~SocDriver() = default;

    // The accelerator's clock, read and programmed through the board's clock registers (the
    // driver's own HardwareDriver side carries the register access). Their failures pass through.
    soc::ClockMode clock_mode();
    void set_clock_mode(soc::ClockMode mode);

    // Power measurement is off until switched on; while it is on, power_meter() is the meter the
    // board logs its power events into, and null otherwise.
    virtual void set_power_measurement_enabled(bool enabled) = 0;
    virtual std::shared_ptr<PowerMeter> power_meter() = 0;
};

// The driver of a board with an SPI flash.
class FlashAccessDriver {
public:
    virtual ~FlashAccessDriver() = default;
    virtual std::shared_ptr<::SpiFlashController> flash_controller() = 0;
};

}  // namespace nuvra

// The handle of a board's SPI flash, made by the board's FlashAccessDriver.
class SpiFlashController {
public:
    virtual ~SpiFlashController() = default;
    // Reading the flash id is not available: always std::runtime_error
    // "get_id function is not yet implemented".
    uint16_t get_id() const;
};
