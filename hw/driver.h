// Access to one accelerator's registers, through which the clock-mode helpers read and write; the
// engine's devices implement it.
#pragma once

#include <cstddef>
#include <cstdint>

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

}  // namespace nuvra
