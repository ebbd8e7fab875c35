// What the Python HardwareDevice adds to a host device, in plain C++: the device object with the
// program bytes, metrics and power events it keeps; its runner's checks, timing and metrics; the
// array that a run's outputs fill; and the SoC and flash drivers behind a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "engine/hardware_device.h"
#include "engine/soc_driver.h"
#include "engine/tensor.h"
#include "hw/device.h"
#include "hw/power_meter.h"
#include "python/metrics.h"

namespace nuvra::python {

// Times one engine call: by the steady clock, and with a device also by its clock counter, which
// runs from construction to stop() and is stopped on every other way out as well.
class ClockedRun {
public:
    // Starts the counter of `hardware` (none: timings only) and reads it, then the start time.
    explicit ClockedRun(HardwareDevice* hardware);
    ~ClockedRun();
    ClockedRun(ClockedRun const&) = delete;
    ClockedRun& operator=(ClockedRun const&) = delete;

    // Reads the end time, then the counter, and stops the counter.
    void stop();

    int64_t start_ms() const { return start_ms_; }
    int64_t end_ms() const { return end_ms_; }
    // Counter ticks of the run: the difference of the counter's low 32 bits, modulo 2^32.
    uint32_t clocks() const { return end_count_ - start_count_; }

private:
    HardwareDevice* hardware_;
    bool counting_ = false;
    uint32_t start_count_ = 0, end_count_ = 0;
    int64_t start_ms_ = 0, end_ms_ = 0;
};

// The SoC driver of the board behind `hardware`: null without a device, a driver, or a SoC.
SocDriver* soc_driver(HardwareDevice const* hardware);
// The events of that SoC's power meter, oldest first; none while it has no meter (measurement off).
std::optional<std::vector<PowerMeter::PowerEvent>> soc_power_events(HardwareDevice const& hardware);
// The SPI flash of the board behind `device`; std::invalid_argument "The device does not contain
// an ZR62 flash" for a missing device or one whose driver has no flash.
std::shared_ptr<SpiFlashController> zr62_flash(Device const* device);

// What the runner does with the engine device.
enum class InferenceMode { fit = 0, forward = 1, predict = 2 };

// The numpy array of a run's outputs: dtype, shape (outputs, e0, e1, e2), byte strides, and the
// bytes of each output.
struct OutputArray {
    const char* dtype;
    std::vector<int64_t> shape;
    std::vector<int64_t> strides;
    size_t output_bytes;
};

// The array for `outputs`, all of output 0's element type and extents: e0, e1, e2 are output 0's
// first three extents (1s in front of an output of fewer). Int32, float32, int8 and the unsigned
// byte and sub-byte types (bit included) travel as int32, float32, int8 and uint8; any other
// type is std::runtime_error "Unexpected output type."; an output of another type or element
// count is std::runtime_error "Unexpected output shape.". No outputs: an empty float64 array.
OutputArray output_array(std::vector<std::unique_ptr<Tensor>> const& outputs);
// Copies output k to byte k x output_bytes of `array` (sized by output_array) and frees it.
void copy_outputs(std::vector<std::unique_ptr<Tensor>>& outputs, OutputArray const& layout, std::span<uint8_t> array);

// One accelerator of the host as Python holds it: the host device, the program bytes last given
// to it, and what its runs measured.
class PyHardwareDevice : public Device {
public:
    explicit PyHardwareDevice(std::shared_ptr<Device> device);

    HwVersion version() const override { return device_->version(); }
    const char* desc() const override { return device_->desc(); }
    Mesh const& mesh() const override { return device_->mesh(); }
    HardwareDevice* hardware() const override { return device_->hardware(); }

    // One object per host device, in the order of get_devices(), built on the first call; when
    // building throws, nothing is kept and the next call tries again.
    static std::vector<std::shared_ptr<PyHardwareDevice>> const& devices();

    // Runs a batch of 2-D (frames, features) or 4-D (frames, x, y, channels) inputs in one engine
    // call and writes "inference_frames", "inference_clk", "inference_start" and "inference_end";
    // power events are copied from a SoC power meter when there is one. `labels` (fit only): none,
    // one, or one per frame. Input and label checks come before anything reaches the device.
    std::vector<std::unique_ptr<Tensor>> run(Dense const& inputs, std::vector<int32_t> const& labels,
                                             InferenceMode mode);

    // Unprograms the device, keeps a copy of `bytes` and programs it from that copy (the whole
    // program, or program_info whose program_data sits at `address` in device memory), then
    // writes "program_clk". The same bytes again program again. A whole program the engine's
    // reader refuses is refused with the reader's words before the device is touched: it keeps
    // its program, and this object its bytes and metrics.
    void set_program(std::span<const uint8_t> bytes);
    void program_external(std::span<const uint8_t> bytes, uint32_t address);
    void unprogram();
    // The program on the device; null data when there is none.
    std::span<const uint8_t> program() const { return engine().program(); }

    bool learn_enabled() const { return engine().learn_enabled(); }
    // Asks the device only for a change.
    void set_learn_enabled(bool enabled);
    // The learning memory, 32-bit words (none without a learning layer).
    std::vector<uint32_t> read_learn_mem();
    // Writes the whole words of `bytes` (a remainder of 1 to 3 bytes is dropped); another number
    // of words than the memory holds is std::runtime_error "Unexpected input buffer size.".
    void write_learn_mem(std::span<const uint8_t> bytes);

    // (usage, top usage) in bytes.
    std::pair<uint32_t, uint32_t> memory() const;
    void reset_top_memory() { engine().reset_top_memory(); }

private:
    HardwareDevice& engine() const;
    void load(std::span<const uint8_t> bytes, std::function<void(std::vector<uint8_t> const&)> const& program);

    std::shared_ptr<Device> device_;
    std::vector<uint8_t> program_;  // the device reads its program from these bytes

public:
    PyMetrics metrics;
    std::vector<PowerMeter::PowerEvent> power_events;  // of the last run that found a power meter
};

}  // namespace nuvra::python
