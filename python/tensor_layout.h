// How engine tensors and numpy arrays describe the same elements: the numpy element type of each
// tensor type, the shape a numpy array gives a tensor, and the shape and byte strides a tensor
// gives a numpy array. The conversions themselves are python/numpy_conversion.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "engine/tensor.h"

namespace nuvra::python {

// The numpy element that carries a tensor type: sub-byte and bit types travel one byte per
// element, signed ones as int8 and unsigned ones as uint8.
struct NumpyElement {
    const char* dtype;  // numpy dtype name
    char format;        // buffer-protocol format character
    size_t item_size;   // bytes
};

// The numpy element of `type`; none for a value outside the engine's types.
std::optional<NumpyElement> numpy_element(TensorType type);
// The same, or std::runtime_error "Unable to convert a tensor of type unknown" followed by a
// line break.
NumpyElement output_element(TensorType type);

// A numpy array's view of a dense tensor: its element, shape and strides in bytes. A reversed
// layout reverses the dimension order, so the array is always in C order.
struct ArrayLayout {
    NumpyElement element;
    std::vector<int64_t> shape;
    std::vector<int64_t> strides;
};

// The layout of `dense`; a tensor type outside the engine's fails as output_element does.
ArrayLayout array_layout(Tensor const& dense);

// The engine shape of an array's dimensions: 1 to 4 of them (std::invalid_argument "Cannot
// instantiate a Dense with N dimensions (min 1, max 4)." and a line break), none above
// 4294967295 (std::invalid_argument), none 0 (panics "Cannot have a shape with dimension %zu set
// to 0").
Shape dense_shape(std::span<const int64_t> dims);

}  // namespace nuvra::python
