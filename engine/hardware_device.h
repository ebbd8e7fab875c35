// The engine's handle on one accelerator: it loads programs, runs samples, and learns on chip.
// Implemented by the engine's device drivers (and by test doubles); the mapping engine's hardware
// sequences drive it.
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

    // The number of samples of the next run.
    virtual void set_batch_size(uint32_t count, bool flag) = 0;
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

protected:
    HardwareDevice() = default;
    HardwareDevice(HardwareDevice const&) = default;
    HardwareDevice& operator=(HardwareDevice const&) = default;
};

}  // namespace nuvra
