// Clock modes of system-on-chip boards, and the small timing helpers of the system.
#pragma once

#include <cstdint>

namespace nuvra {

class HardwareDriver;

namespace soc {

// The accelerator's clock frequency in hertz, derived from the 600 MHz base clock by a divider.
enum class ClockMode : uint32_t {
    Performance = 300000000,
    Economy = 100000000,
    LowPower = 5000000,
};

// Programs the divider for `mode` and waits up to 10 ms for the board to take it.
void set_clock_mode(HardwareDriver* driver, ClockMode const& mode);
// The mode the divider is set to now.
ClockMode get_clock_mode(HardwareDriver* driver);

}  // namespace soc
}  // namespace nuvra

extern "C" {
// Nothing to do: no watchdog runs on the host.
void kick_watchdog();
// Sleeps `ms` milliseconds, resuming after signals; returns at once for 0.
void msleep(uint32_t ms);
// The monotonic clock in whole milliseconds.
int64_t time_ms();
}
