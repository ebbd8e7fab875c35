// A test double of the engine's HardwareDevice that remembers what it was asked, and a Device
// with that hardware behind it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "engine/hardware_device.h"
#include "engine/tensor.h"
#include "hw/device.h"
#include "hw/mesh.h"
#include "support/fake_device.h"

namespace nuvra::testing {

// A one-element int32 tensor holding `value`, owned by whoever takes it.
class ValueTensor final : public Tensor {
public:
    explicit ValueTensor(int32_t value) : value_(value), shape_{1}, strides_{1} {}

    int32_t value() const { return value_; }

    TensorType type() const override { return TensorType::int32; }
    size_t size() const override { return 1; }
    Shape const& dimensions() const override { return shape_; }
    Layout layout() const override { return Layout::c_order; }
    Strides const& strides() const override { return strides_; }
    Buffer buffer() const override { return {&value_, sizeof value_}; }
    MutableBuffer mutable_buffer() override { return {&value_, sizeof value_}; }
    std::shared_ptr<Dense const> ensure_dense() const override {
        return Dense::copy(&value_, sizeof value_, TensorType::int32, shape_, Layout::c_order);
    }

private:
    int32_t value_;
    Shape shape_;
    Strides strides_;
};

class FakeHardwareDevice : public HardwareDevice {
public:
    explicit FakeHardwareDevice(HwVersion version) : version_(version) {}

    // What the device was asked, in order: "program", "batch N", "learn on|off", "fit",
    // "forward", "predict".
    std::vector<std::string> calls;
    std::vector<BatchDelivery> deliveries;  // of the set_batch_size calls, in order
    std::vector<uint8_t> loaded;
    bool has_program = false;  // false: program() answers a null pointer
    bool learning = false;
    std::vector<uint32_t> learn_mem;  // the learning layer's memory, as the device reads it back

    HwVersion version() const override { return version_; }
    const char* desc() const override { return "fake hardware"; }
    void program(const uint8_t* data, size_t size) override {
        calls.push_back("program");
        loaded.assign(data, data + size);
        has_program = true;
    }
    std::span<const uint8_t> program() const override {
        if (!has_program) return {};
        // A non-null pointer even for an empty program.
        static uint8_t const empty = 0;
        return loaded.empty() ? std::span<const uint8_t>(&empty, 0) : std::span<const uint8_t>(loaded);
    }
    void read_np_registers(uint32_t* words, hw::Ident const&, uint32_t count) override {
        for (uint32_t i = 0; i < count; ++i) words[i] = 0;
    }
    void set_batch_size(uint32_t count, BatchDelivery delivery) override {
        calls.push_back("batch " + std::to_string(count));
        deliveries.push_back(delivery);
    }
    bool learn_enabled() const override { return learning; }
    void set_learn_enabled(bool enabled) override {
        learning = enabled;
        calls.push_back(enabled ? "learn on" : "learn off");
    }
    std::vector<std::unique_ptr<Tensor>> fit(std::vector<std::shared_ptr<const Tensor>> const& inputs,
                                             std::vector<int> const& labels) override {
        calls.push_back("fit");
        return outputs(inputs, 100);
    }
    std::vector<std::unique_ptr<Tensor>> forward(std::vector<std::shared_ptr<const Tensor>> const& inputs) override {
        calls.push_back("forward");
        return outputs(inputs, 200);
    }
    std::vector<std::unique_ptr<Tensor>> predict(std::vector<std::shared_ptr<const Tensor>> const& inputs) override {
        calls.push_back("predict");
        return outputs(inputs, 300);
    }
    HardwareDriver* driver() const override { return nullptr; }
    void toggle_clock_counter(bool) override {}
    uint64_t read_clock_counter() override { return 0; }
    uint32_t program_clock_count() const override { return 0; }
    uint64_t memory() const override { return 0; }
    void reset_top_memory() override {}
    void program_external(const uint8_t* data, size_t size, uint32_t) override { program(data, size); }
    void unprogram() override {
        loaded.clear();
        has_program = false;
    }
    uint32_t learn_mem_size() const override { return static_cast<uint32_t>(learn_mem.size()); }
    void read_learn_mem(uint32_t* words) override { std::copy(learn_mem.begin(), learn_mem.end(), words); }
    void write_learn_mem(uint32_t const* words) override { std::copy_n(words, learn_mem.size(), learn_mem.begin()); }

private:
    // One output per input: base plus the sum of the input's bytes (a ValueTensor(i) of a small
    // i gives base + i), so an output depends on its own sample only.
    static std::vector<std::unique_ptr<Tensor>> outputs(std::vector<std::shared_ptr<const Tensor>> const& inputs,
                                                        int32_t base) {
        std::vector<std::unique_ptr<Tensor>> result;
        for (auto const& input : inputs) {
            Buffer const bytes = input->buffer();
            int32_t sum = base;
            for (size_t i = 0; i < bytes.bytes; ++i) sum += static_cast<uint8_t const*>(bytes.data)[i];
            result.push_back(std::make_unique<ValueTensor>(sum));
        }
        return result;
    }

    HwVersion version_;
};

// A device whose hardware is a FakeHardwareDevice of the same version.
class FakeHostDevice : public Device {
public:
    FakeHostDevice(HwVersion version, Mesh mesh)
        : version_(version), mesh_(std::move(mesh)), hardware_(std::make_unique<FakeHardwareDevice>(version)) {}

    HwVersion version() const override { return version_; }
    const char* desc() const override { return "fake host device"; }
    Mesh const& mesh() const override { return mesh_; }
    HardwareDevice* hardware() const override { return hardware_.get(); }
    FakeHardwareDevice& fake() { return *hardware_; }

private:
    HwVersion version_;
    Mesh mesh_;
    std::unique_ptr<FakeHardwareDevice> hardware_;
};

// A host device whose mesh has the generation of `version` and the given NPs.
inline std::shared_ptr<FakeHostDevice> make_fake_host_device(HwVersion version, std::vector<np::Info> nps = {}) {
    return std::make_shared<FakeHostDevice>(version, fake_mesh(version, std::move(nps)));
}

}  // namespace nuvra::testing
