// The engine's handle on one accelerator: it loads programs, runs samples, learns on chip, and
// reports its clock counter and memory use. Implemented by the engine's device drivers (and by test
// doubles); the mapping engine's hardware sequences and the Python device objects drive it.
//
// Programming is a sequence of states: no program, a program loaded by program() or
// program_external(), and unprogram(), which leaves none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "engine/driver.h"
#include "engine/tensor.h"
#include "hw/ident.h"

namespace nuvra {

class HardwareDevice {
public:
    virtual ~HardwareDevice() = default;

    virtual HwVersion version() const = 0;
    virtual const char* desc() const = 0;

    // Loads a program (the bytes of a hardware sequence) into the device. May throw.
    virtual void program(const uint8_t* data, size_t size) = 0;
    // The program loaded now; a null data pointer when none is.
    virtual std::span<const uint8_t> program() const = 0;

    // Reads `count` configuration words of the NP `ident` into `words`.
    virtual void read_np_registers(uint32_t* words, hw::Ident const& ident, uint32_t count) = 0;

    // How the samples of the next run reach the device.
    enum class BatchDelivery : uint8_t {
        in_parts,     // the run's samples come over several calls
        in_one_call,  // every sample of the run comes in the next call
    };
    // The number of samples of the next run, and how they come.
    virtual void set_batch_size(uint32_t count, BatchDelivery delivery) = 0;
    // Whether runs with labels train the learning layer on chip.
    virtual bool learn_enabled() const = 0;
    virtual void set_learn_enabled(bool enabled) = 0;

    // Runs the loaded program: `fit` also learns from one label per sample, `predict` returns
    // dequantized values. The outputs (one tensor per sample, in input order) go to the caller.
    virtual std::vector<std::unique_ptr<Tensor>> fit(std::vector<std::shared_ptr<const Tensor>> const& inputs,
                                                     std::vector<int> const& labels) = 0;
    virtual std::vector<std::unique_ptr<Tensor>> forward(std::vector<std::shared_ptr<const Tensor>> const& inputs) = 0;
    virtual std::vector<std::unique_ptr<Tensor>> predict(std::vector<std::shared_ptr<const Tensor>> const& inputs) = 0;

    // The driver behind the device; may be null.
    virtual HardwareDriver* driver() const = 0;

    // Starts (true) or stops (false) the device's clock counter.
    virtual void toggle_clock_counter(bool enable) = 0;
    // The clock counter now; runs are timed by the difference of two readings.
    virtual uint64_t read_clock_counter() = 0;
    // Clock ticks the last programming took.
    virtual uint32_t program_clock_count() const = 0;
    // Device memory in bytes: usage in the low 32 bits, top usage since the last reset in the high 32.
    virtual uint64_t memory() const = 0;
    // Lets the top usage start again from the usage now.
    virtual void reset_top_memory() = 0;
    // Loads a program whose program_info is `data` and whose program_data the caller has already
    // written to device memory at `address`. May throw.
    virtual void program_external(const uint8_t* data, size_t size, uint32_t address) = 0;
    // Removes the program, restoring the device's initial state.
    virtual void unprogram() = 0;
    // Size of the learning layer's memory in 32-bit words (0 without a learning layer).
    virtual uint32_t learn_mem_size() const = 0;
    // Copies learn_mem_size() words of the learning memory into `words`, or from `words` into it.
    virtual void read_learn_mem(uint32_t* words) = 0;
    virtual void write_learn_mem(uint32_t const* words) = 0;

    // The engine device of the board behind `driver`. A driver that cannot make one (null
    // included) is std::runtime_error "No engine device for this driver."; the driver's own
    // failures pass through.
    static std::shared_ptr<HardwareDevice> create(HardwareDriver* driver);

protected:
    HardwareDevice() = default;
    HardwareDevice(HardwareDevice const&) = default;
    HardwareDevice& operator=(HardwareDevice const&) = default;
};

// A driver that makes the engine device of its own board; HardwareDevice::create reaches it by a
// cross-cast from HardwareDriver.
class DeviceSourceDriver {
public:
    virtual ~DeviceSourceDriver() = default;
    virtual std::shared_ptr<HardwareDevice> make_device() = 0;
};

}  // namespace nuvra
