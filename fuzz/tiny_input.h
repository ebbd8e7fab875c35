// One small sample for a model's software run.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/model.h"
#include "engine/tensor.h"

namespace nuvra::fuzz {

// The largest run a target asks for. The fuzzer looks for faults, not for sound arithmetic that is
// merely long: a model past these (a chain of transposed layers, a wide kernel on many channels)
// is a large model, refused or not by the engine's own limits, and is not run.
inline constexpr uint64_t max_tiny_input_elements = 1 << 14;
inline constexpr uint64_t max_tiny_layer_elements = 1 << 20;
inline constexpr uint64_t max_tiny_macs = 1 << 25;

// Whether the model is small enough to run here: its input, each layer's output and its MACs.
inline bool tiny(Model const& model) {
    if (model.layer_count() == 0 || model.macs() > max_tiny_macs) return false;
    Shape const input = model.input_shape();
    if (input.rank() == 0 || input.product() > max_tiny_input_elements) return false;
    for (auto const& layer : model.layers()) {
        try {
            if (layer->output_dimensions().product() > max_tiny_layer_elements) return false;
        } catch (std::exception const&) {
            // A layer without output: the run refuses it.
        }
    }
    return true;
}

// Runs one sample of the model's input shape (bytes of a fixed pattern) through forward; a model
// that is not tiny is not run.
inline void forward_tiny(Model& model) {
    if (!tiny(model)) return;
    Shape const shape = model.input_shape();
    std::vector<uint32_t> dims{1};
    for (uint32_t d : shape) dims.push_back(d);
    std::vector<uint8_t> bytes(shape.product());
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    auto const input = Dense::copy(bytes.data(), bytes.size(), TensorType::uint8, Shape(dims), Layout::c_order);
    model.forward(input);
}

}  // namespace nuvra::fuzz
