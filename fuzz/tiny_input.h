// One small sample for a model's software run.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/model.h"
#include "engine/tensor.h"

namespace nuvra::fuzz {

// Largest input a target builds: the run, not the caller's input, is what is fuzzed.
inline constexpr uint64_t max_tiny_input_elements = 1 << 14;

// Runs one sample of the model's input shape (bytes of a fixed pattern) through forward; a model
// without layers or with a larger input is not run.
inline void forward_tiny(Model& model) {
    if (model.layer_count() == 0) return;
    Shape const shape = model.input_shape();
    if (shape.rank() == 0 || shape.product() > max_tiny_input_elements) return;
    std::vector<uint32_t> dims{1};
    for (uint32_t d : shape) dims.push_back(d);
    std::vector<uint8_t> bytes(shape.product());
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    auto const input = Dense::copy(bytes.data(), bytes.size(), TensorType::uint8, Shape(dims), Layout::c_order);
    model.forward(input);
}

}  // namespace nuvra::fuzz
