// Small builders for the formatter tests: tensors from values and bytes of word images.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>

#include "engine/tensor.h"

namespace nuvra::v2::testing {

// A one-dimensional tensor of `type` holding `values` (each converted to the storage type).
template <class T>
std::shared_ptr<Dense> vector_tensor(TensorType type, std::vector<T> const& values) {
    auto tensor = Dense::create(type, Shape{uint32_t(values.size())}, Layout::c_order);
    for (size_t i = 0; i < values.size(); ++i) tensor_write<T>(*tensor, {uint32_t(i)}, values[i]);
    return tensor;
}

inline std::shared_ptr<Dense> u8_vector(std::vector<uint8_t> const& values) {
    return vector_tensor<uint8_t>(TensorType::uint8, values);
}
inline std::shared_ptr<Dense> i8_vector(std::vector<int8_t> const& values) {
    return vector_tensor<int8_t>(TensorType::int8, values);
}

// Byte i of a word image (bits 8 (i mod 4) .. of word i / 4).
inline uint8_t byte_at(std::vector<uint32_t> const& words, size_t i) {
    return uint8_t(words.at(i / 4) >> (8 * (i % 4)));
}

}  // namespace nuvra::v2::testing
