// The one place where numpy arrays meet engine tensors: array data is copied into a new Dense on
// the way in, and out of a tensor into a new array that owns its memory on the way out.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "engine/tensor.h"
#include "engine/variables.h"

namespace nuvra::python {

// A new Dense of `type` holding `source` (an array or anything numpy makes one of) as elements
// of T: int32_t, float, int8_t, uint8_t, int16_t or uint16_t. numpy casts other element types
// (unsafely) and copies views into C order. A null or unconvertible source is
// std::invalid_argument "Invalid source array."; the dimensions must pass dense_shape.
template <class T>
std::shared_ptr<Dense> dense_from_numpy(pybind11::handle source, TensorType type);

// An array argument of elements T: when a function's arguments are matched, numpy force-casts an
// array-like to T (one it cannot cast does not match), and signatures show an array-like of T.
template <class T>
using ArrayOf = pybind11::array_t<T, pybind11::array::forcecast>;

// The Dense of an ArrayOf<T> argument, of the tensor type that carries T.
template <class T>
std::shared_ptr<Dense> dense_from_argument(ArrayOf<T> const& array);

// Scales that keep their element: a uint16 array as a uint16 tensor, any other array force-cast
// to uint8.
std::shared_ptr<Dense> dense_from_scales(pybind11::array const& scales);

// The model runner's input: an int8, uint8, int16 or float32 array as a tensor of that type;
// any other dtype is std::invalid_argument "Input dtype should be int8, uint8, int16 or float32.".
std::shared_ptr<Dense> dense_from_input_array(pybind11::array const& inputs);

// A new array holding a copy of the tensor's elements (see tensor_layout.h for the element types
// and the dimension order).
pybind11::array tensor_to_numpy(std::shared_ptr<const Tensor> const& tensor);

// Replaces the variable `name` by the elements of `value`, keeping the variable's type, or adds a
// variable the layer declares without holding it, of its declared type (Variables::assign): the
// array's dtype must be the numpy element of that type, no cast is made.
void tensor_from_numpy(Variables& variables, std::string const& name, pybind11::array const& value);

// The bit width the engine evaluates for an integer array; 0 for float32; any other dtype is
// std::runtime_error "Wrong py::array type: cannot evaluate the bitwidth.".
int32_t evaluate_array_bitwidth(pybind11::array const& array);

// Labels of an integer array, element by element; none for an array of another kind (bool,
// float, ...). An element outside the signed 32-bit range is pybind11's cast error.
std::optional<std::vector<int32_t>> integer_labels(pybind11::array const& labels);
// Labels of a list of signed 32-bit integers; none when an element is not one (a float included).
std::optional<std::vector<int32_t>> list_labels(pybind11::list const& labels);

}  // namespace nuvra::python
