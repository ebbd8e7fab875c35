#include "python/device_support.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "engine/program_info.h"
#include "hw/arith.h"
#include "hw/clock.h"
#include "devices/host_device.h"

namespace nuvra::python {

ClockedRun::ClockedRun(HardwareDevice* hardware) : hardware_(hardware) {
    if (hardware_) {
        hardware_->toggle_clock_counter(true);
        counting_ = true;
        start_count_ = static_cast<uint32_t>(hardware_->read_clock_counter());
    }
    start_ms_ = time_ms();
}

ClockedRun::~ClockedRun() {
    if (!counting_) return;
    try {
        hardware_->toggle_clock_counter(false);
    } catch (...) {
        // The run's own failure is the one the caller sees.
    }
}

void ClockedRun::stop() {
    end_ms_ = time_ms();
    if (!hardware_) return;
    end_count_ = static_cast<uint32_t>(hardware_->read_clock_counter());
    counting_ = false;
    hardware_->toggle_clock_counter(false);
}

SocDriver* soc_driver(HardwareDevice const* hardware) {
    HardwareDriver* const driver = hardware ? hardware->driver() : nullptr;
    return dynamic_cast<SocDriver*>(driver);
}

std::optional<std::vector<PowerMeter::PowerEvent>> soc_power_events(HardwareDevice const& hardware) {
    SocDriver* const soc = soc_driver(&hardware);
    std::shared_ptr<PowerMeter> const meter = soc ? soc->power_meter() : nullptr;
    if (!meter) return std::nullopt;
    return meter->events();
}

std::shared_ptr<SpiFlashController> zr62_flash(Device const* device) {
    HardwareDevice const* const hardware = device ? device->hardware() : nullptr;
    auto* const flash = dynamic_cast<FlashAccessDriver*>(hardware ? hardware->driver() : nullptr);
    if (!flash) throw std::invalid_argument("The device does not contain an ZR62 flash");
    return flash->flash_controller();
}

namespace {

// The numpy element of an output type, by name and size; none for the types a run cannot return.
std::optional<std::pair<const char*, size_t>> output_dtype(TensorType type) {
    switch (type) {
        case TensorType::int32: return std::pair{"int32", size_t{4}};
        case TensorType::float32: return std::pair{"float32", size_t{4}};
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2:
        case TensorType::bit: return std::pair{"uint8", size_t{1}};
        case TensorType::int8: return std::pair{"int8", size_t{1}};
        default: return std::nullopt;
    }
}

}  // namespace

OutputArray output_array(std::vector<std::unique_ptr<Tensor>> const& outputs) {
    if (outputs.empty()) return {"float64", {0}, {8}, 0};
    Tensor const& first = *outputs.front();
    auto const dtype = output_dtype(first.type());
    if (!dtype) throw std::runtime_error("Unexpected output type.");
    auto const [name, item_size] = *dtype;

    // Extents of one output, padded with 1s in front to three.
    Shape const& dims = first.dimensions();
    uint32_t extents[3] = {1, 1, 1};
    size_t const rank = std::min<size_t>(dims.rank(), 3);
    for (size_t i = 0; i < rank; ++i) extents[3 - rank + i] = dims[i];
    Shape const shape{narrow<uint32_t>(outputs.size(), "number of outputs"), extents[0], extents[1], extents[2]};

    uint64_t const elements = uint64_t{extents[0]} * extents[1] * extents[2];
    for (auto const& output : outputs)
        if (output->type() != first.type() || output->size() != elements)
            throw std::runtime_error("Unexpected output shape.");

    OutputArray array{name, {}, {}, static_cast<size_t>(elements * item_size)};
    for (uint32_t extent : shape) array.shape.push_back(extent);
    for (uint32_t stride : Dense::eval_strides(shape, Layout::c_order))
        array.strides.push_back(int64_t{stride} * static_cast<int64_t>(item_size));
    return array;
}

void copy_outputs(std::vector<std::unique_ptr<Tensor>>& outputs, OutputArray const& layout, std::span<uint8_t> array) {
    if (array.size() != outputs.size() * layout.output_bytes)
        throw std::logic_error("The output array is not sized for these outputs.");
    for (size_t k = 0; k < outputs.size(); ++k) {
        std::shared_ptr<Dense const> const dense = std::as_const(*outputs[k]).ensure_dense();
        if (dense->buffer().bytes != layout.output_bytes)
            throw std::logic_error("An output's buffer does not match its element count.");
        std::memcpy(array.data() + k * layout.output_bytes, dense->buffer().data, layout.output_bytes);
        outputs[k].reset();
    }
}

PyHardwareDevice::PyHardwareDevice(std::shared_ptr<Device> device) : device_(std::move(device)) {
    if (!device_) throw std::invalid_argument("A hardware device wraps a host device.");
}

// Process-wide state, listed in hw/process_state.h.
std::vector<std::shared_ptr<PyHardwareDevice>> const& PyHardwareDevice::devices() {
    static std::vector<std::shared_ptr<PyHardwareDevice>> const list = [] {
        std::vector<std::shared_ptr<Device>> const& hosts = get_devices();
        std::vector<std::shared_ptr<PyHardwareDevice>> made;
        made.reserve(hosts.size());
        for (auto const& host : hosts) made.push_back(std::make_shared<PyHardwareDevice>(host));
        return made;
    }();
    return list;
}

HardwareDevice& PyHardwareDevice::engine() const {
    HardwareDevice* const hardware = device_->hardware();
    if (!hardware) throw std::logic_error("A host device has an engine device.");
    return *hardware;
}

std::vector<std::unique_ptr<Tensor>> PyHardwareDevice::run(Dense const& inputs, std::vector<int32_t> const& labels,
                                                           InferenceMode mode) {
    Shape const& dims = inputs.dimensions();
    if (dims.rank() == 0 || dims[0] == 0) throw std::invalid_argument("Number of inputs should be higher than 0");
    if (dims.rank() != 2 && dims.rank() != 4)
        throw std::runtime_error("Input dimensions are not correct (Should be 4 or 2).");
    if (mode == InferenceMode::fit && labels.size() > 1 && labels.size() != dims[0])
        throw std::runtime_error("Number of labels should be the same as number of inputs.");

    std::vector<std::shared_ptr<Dense>> const parts = inputs.split();
    std::vector<std::shared_ptr<const Tensor>> const frames(parts.begin(), parts.end());
    HardwareDevice& hardware = engine();
    hardware.set_batch_size(narrow<uint32_t>(frames.size(), "number of frames"),
                            HardwareDevice::BatchDelivery::in_one_call);

    ClockedRun clock(&hardware);
    std::vector<std::unique_ptr<Tensor>> outputs;
    switch (mode) {
        case InferenceMode::fit: outputs = hardware.fit(frames, labels); break;
        case InferenceMode::forward: outputs = hardware.forward(frames); break;
        case InferenceMode::predict: outputs = hardware.predict(frames); break;
    }
    clock.stop();

    metrics.set("inference_frames", static_cast<int64_t>(frames.size()));
    metrics.set("inference_clk", clock.clocks());
    metrics.set("inference_start", clock.start_ms());
    metrics.set("inference_end", clock.end_ms());
    if (auto events = soc_power_events(hardware)) power_events = std::move(*events);
    return outputs;
}

void PyHardwareDevice::load(std::span<const uint8_t> bytes,
                            std::function<void(std::vector<uint8_t> const&)> const& program) {
    HardwareDevice& hardware = engine();
    hardware.unprogram();
    program_.assign(bytes.begin(), bytes.end());
    program(program_);
    metrics.set("program_clk", hardware.program_clock_count());
}

void PyHardwareDevice::set_program(std::span<const uint8_t> bytes) {
    // Bytes the reader refuses are refused before the board loses the program it holds.
    ProgramInfo const checked(bytes.data(), bytes.size());
    load(bytes, [this](std::vector<uint8_t> const& kept) { engine().program(kept.data(), kept.size()); });
}

void PyHardwareDevice::program_external(std::span<const uint8_t> bytes, uint32_t address) {
    load(bytes, [this, address](std::vector<uint8_t> const& kept) {
        engine().program_external(kept.data(), kept.size(), address);
    });
}

void PyHardwareDevice::unprogram() {
    engine().unprogram();
    program_.clear();
}

void PyHardwareDevice::set_learn_enabled(bool enabled) {
    HardwareDevice& hardware = engine();
    if (hardware.learn_enabled() != enabled) hardware.set_learn_enabled(enabled);
}

std::vector<uint32_t> PyHardwareDevice::read_learn_mem() {
    HardwareDevice& hardware = engine();
    std::vector<uint32_t> words(hardware.learn_mem_size());
    hardware.read_learn_mem(words.data());
    return words;
}

void PyHardwareDevice::write_learn_mem(std::span<const uint8_t> bytes) {
    HardwareDevice& hardware = engine();
    std::vector<uint32_t> words(bytes.size() / 4);
    if (words.size() != hardware.learn_mem_size()) throw std::runtime_error("Unexpected input buffer size.");
    if (!words.empty()) std::memcpy(words.data(), bytes.data(), words.size() * 4);
    hardware.write_learn_mem(words.data());
}

std::pair<uint32_t, uint32_t> PyHardwareDevice::memory() const {
    uint64_t const both = engine().memory();
    return {static_cast<uint32_t>(both), static_cast<uint32_t>(both >> 32)};
}

}  // namespace nuvra::python
