// The engine's access to one accelerator's registers, and the drivers of the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace nuvra {

// A device driver: reads and writes 32-bit registers on the device bus. Callers move one register
// at a time: read(address, &word, 4) / write(address, &word, 4).
class HardwareDriver {
public:
    virtual ~HardwareDriver() = default;

    // Copies `bytes` bytes (a multiple of 4) from the device at `address` into `buffer`.
    virtual void read(uint32_t address, uint32_t* buffer, size_t bytes) = 0;
    // Copies `bytes` bytes (a multiple of 4) from `buffer` to the device at `address`.
    virtual void write(uint32_t address, uint32_t const* buffer, size_t bytes) = 0;
    // Bus address of the top-level registers that describe the mesh.
    virtual uint32_t top_level_reg_base() const = 0;
};

// The drivers of the accelerators on this host, in the engine's order. This build has no driver of
// a real bus, so nothing in it fills the list and it is empty on every host; the simulated boards
// of the tests are put in it through detail::driver_list().
std::vector<HardwareDriver*> get_drivers();

namespace detail {
// The list behind get_drivers(); it owns its drivers.
std::vector<std::shared_ptr<HardwareDriver>>& driver_list();
}  // namespace detail

}  // namespace nuvra
