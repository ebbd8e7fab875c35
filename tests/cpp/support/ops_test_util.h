// Small tensors for the kernel tests: build from a shape and values, read back as values; and the
// die of the random tests.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "engine/ops_support.h"
#include "engine/tensor.h"

namespace nuvra::testing {

// A number below `n`.
inline uint32_t roll(std::mt19937& random, uint64_t n) { return uint32_t(random() % n); }

template <class T>
std::shared_ptr<Dense> tensor_of(TensorType type, std::vector<uint32_t> const& dims, std::vector<T> const& values) {
    return Dense::copy(values.data(), values.size() * sizeof(T), type, Shape(dims), Layout::c_order);
}
using Dims = std::vector<uint32_t>;
inline auto i32(Dims const& d, std::vector<int32_t> const& v) { return tensor_of(TensorType::int32, d, v); }
inline auto i16(Dims const& d, std::vector<int16_t> const& v) { return tensor_of(TensorType::int16, d, v); }
inline auto u16(Dims const& d, std::vector<uint16_t> const& v) { return tensor_of(TensorType::uint16, d, v); }
inline auto i8(Dims const& d, std::vector<int8_t> const& v) { return tensor_of(TensorType::int8, d, v); }
inline auto u8(Dims const& d, std::vector<uint8_t> const& v) { return tensor_of(TensorType::uint8, d, v); }
inline auto f32(Dims const& d, std::vector<float> const& v) { return tensor_of(TensorType::float32, d, v); }
// One-dimensional tensors of the values.
inline auto i8(std::vector<int8_t> const& v) { return i8({uint32_t(v.size())}, v); }
inline auto u8(std::vector<uint8_t> const& v) { return u8({uint32_t(v.size())}, v); }

template <class T>
std::vector<T> values_of(Tensor const& t) {
    return ops::detail::read_all<T>(t);
}
inline std::vector<uint32_t> dims_of(Tensor const& t) { return t.dimensions().to_vector(); }

// The elements of a tensor of any of the kernels' element types, as numbers.
inline std::vector<double> numbers(Tensor const& t) {
    auto as_double = [](auto const& values) { return std::vector<double>(values.begin(), values.end()); };
    switch (t.type()) {
        case TensorType::int32: return as_double(values_of<int32_t>(t));
        case TensorType::float32: return as_double(values_of<float>(t));
        case TensorType::int16: return as_double(values_of<int16_t>(t));
        case TensorType::uint16: return as_double(values_of<uint16_t>(t));
        case TensorType::int8: return as_double(values_of<int8_t>(t));
        default: return as_double(values_of<uint8_t>(t));
    }
}

}  // namespace nuvra::testing
