// Small tensors for the kernel tests: build from a shape and values, read back as values.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "engine/ops_support.h"
#include "engine/tensor.h"

namespace nuvra::testing {

template <class T>
std::shared_ptr<Dense> tensor_of(TensorType type, std::vector<uint32_t> const& dims, std::vector<T> const& values) {
    return Dense::copy(values.data(), values.size() * sizeof(T), type, Shape(dims), Layout::c_order);
}
inline std::shared_ptr<Dense> i32(std::vector<uint32_t> const& dims, std::vector<int32_t> const& v) {
    return tensor_of(TensorType::int32, dims, v);
}
inline std::shared_ptr<Dense> i8(std::vector<uint32_t> const& dims, std::vector<int8_t> const& v) {
    return tensor_of(TensorType::int8, dims, v);
}
inline std::shared_ptr<Dense> u8(std::vector<uint32_t> const& dims, std::vector<uint8_t> const& v) {
    return tensor_of(TensorType::uint8, dims, v);
}
inline std::shared_ptr<Dense> i16(std::vector<uint32_t> const& dims, std::vector<int16_t> const& v) {
    return tensor_of(TensorType::int16, dims, v);
}
inline std::shared_ptr<Dense> u16(std::vector<uint32_t> const& dims, std::vector<uint16_t> const& v) {
    return tensor_of(TensorType::uint16, dims, v);
}
inline std::shared_ptr<Dense> f32(std::vector<uint32_t> const& dims, std::vector<float> const& v) {
    return tensor_of(TensorType::float32, dims, v);
}

template <class T>
std::vector<T> values_of(Tensor const& t) {
    return ops::detail::read_all<T>(t);
}
inline std::vector<uint32_t> dims_of(Tensor const& t) { return t.dimensions().to_vector(); }

}  // namespace nuvra::testing
