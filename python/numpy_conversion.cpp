#include "python/numpy_conversion.h"

#include <stdexcept>
#include <type_traits>

#include <pybind11/stl.h>

#include "engine/bitwidth.h"
#include "python/tensor_layout.h"

namespace py = pybind11;

namespace nuvra::python {

namespace {

bool has_dtype(py::array const& array, const char* name) { return array.dtype().equal(py::dtype(name)); }

// The member of dense_from_numpy for the numpy element named `dtype`, with the tensor type `type`.
std::shared_ptr<Dense> dense_of_dtype(std::string const& dtype, py::handle source, TensorType type) {
    if (dtype == "int32") return dense_from_numpy<int32_t>(source, type);
    if (dtype == "float32") return dense_from_numpy<float>(source, type);
    if (dtype == "int8") return dense_from_numpy<int8_t>(source, type);
    if (dtype == "uint8") return dense_from_numpy<uint8_t>(source, type);
    if (dtype == "int16") return dense_from_numpy<int16_t>(source, type);
    if (dtype == "uint16") return dense_from_numpy<uint16_t>(source, type);
    throw std::logic_error("No conversion for numpy element " + dtype + ".");
}

// The tensor type whose elements are stored as T.
template <class T>
constexpr TensorType tensor_type_of() {
    if constexpr (std::is_same_v<T, int32_t>) return TensorType::int32;
    else if constexpr (std::is_same_v<T, float>) return TensorType::float32;
    else if constexpr (std::is_same_v<T, int8_t>) return TensorType::int8;
    else if constexpr (std::is_same_v<T, uint8_t>) return TensorType::uint8;
    else if constexpr (std::is_same_v<T, int16_t>) return TensorType::int16;
    else if constexpr (std::is_same_v<T, uint16_t>) return TensorType::uint16;
    else static_assert(sizeof(T) == 0, "no tensor type stores these elements");
}

}  // namespace

template <class T>
std::shared_ptr<Dense> dense_from_numpy(py::handle source, TensorType type) {
    if (!source) {
        PyErr_Clear();
        throw std::invalid_argument("Invalid source array.");
    }
    // C-contiguous, forced cast, always an array; a failure leaves no Python error behind.
    auto array = py::array_t<T, py::array::c_style | py::array::forcecast>::ensure(source);
    if (!array) throw std::invalid_argument("Invalid source array.");
    std::vector<int64_t> const dims(array.shape(), array.shape() + array.ndim());
    Shape const shape = dense_shape(dims);
    return Dense::copy(array.data(), static_cast<size_t>(array.nbytes()), type, shape, Layout::c_order);
}

template std::shared_ptr<Dense> dense_from_numpy<int32_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<float>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<int8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<uint8_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<int16_t>(py::handle, TensorType);
template std::shared_ptr<Dense> dense_from_numpy<uint16_t>(py::handle, TensorType);

template <class T>
std::shared_ptr<Dense> dense_from_argument(ArrayOf<T> const& array) {
    return dense_from_numpy<T>(array, tensor_type_of<T>());
}

template std::shared_ptr<Dense> dense_from_argument<int32_t>(ArrayOf<int32_t> const&);
template std::shared_ptr<Dense> dense_from_argument<float>(ArrayOf<float> const&);
template std::shared_ptr<Dense> dense_from_argument<int8_t>(ArrayOf<int8_t> const&);
template std::shared_ptr<Dense> dense_from_argument<uint8_t>(ArrayOf<uint8_t> const&);
template std::shared_ptr<Dense> dense_from_argument<int16_t>(ArrayOf<int16_t> const&);
template std::shared_ptr<Dense> dense_from_argument<uint16_t>(ArrayOf<uint16_t> const&);

std::shared_ptr<Dense> dense_from_scales(py::array const& scales) {
    if (has_dtype(scales, "uint16")) return dense_from_numpy<uint16_t>(scales, TensorType::uint16);
    return dense_from_numpy<uint8_t>(scales, TensorType::uint8);
}

std::shared_ptr<Dense> dense_from_input_array(py::array const& inputs) {
    if (has_dtype(inputs, "int8")) return dense_from_numpy<int8_t>(inputs, TensorType::int8);
    if (has_dtype(inputs, "uint8")) return dense_from_numpy<uint8_t>(inputs, TensorType::uint8);
    if (has_dtype(inputs, "int16")) return dense_from_numpy<int16_t>(inputs, TensorType::int16);
    if (has_dtype(inputs, "float32")) return dense_from_numpy<float>(inputs, TensorType::float32);
    throw std::invalid_argument("Input dtype should be int8, uint8, int16 or float32.");
}

py::array tensor_to_numpy(std::shared_ptr<const Tensor> const& tensor) {
    output_element(tensor->type());
    std::shared_ptr<Dense const> const dense = tensor->ensure_dense();
    ArrayLayout const layout = array_layout(*dense);
    // No base object: the array copies the elements and owns them.
    return py::array(py::dtype(layout.element.dtype), layout.shape, layout.strides, dense->buffer().data);
}

void tensor_from_numpy(Variables& variables, std::string const& name, py::array const& value) {
    TensorType const type = variables.written_type(name);
    std::string const received = py::str(value.dtype());
    std::optional<NumpyElement> const element = numpy_element(type);
    if (!element) throw std::invalid_argument("Unsupported variable type for " + name + " " + received);
    if (!has_dtype(value, element->dtype))
        throw std::invalid_argument("Unsupported variable type for " + name + " expected " + element->dtype +
                                    " received " + received);
    variables.assign(name, dense_of_dtype(element->dtype, value, type));
}

int32_t evaluate_array_bitwidth(py::array const& array) {
    if (has_dtype(array, "float32")) return 0;
    struct Integer {
        const char* dtype;
        TensorType type;
    };
    static constexpr Integer integers[] = {{"int32", TensorType::int32}, {"int16", TensorType::int16},
                                           {"int8", TensorType::int8},   {"uint16", TensorType::uint16},
                                           {"uint8", TensorType::uint8}};
    for (Integer const& integer : integers)
        if (has_dtype(array, integer.dtype))
            return evaluate_bitwidth(*dense_of_dtype(integer.dtype, array, integer.type));
    throw std::runtime_error("Wrong py::array type: cannot evaluate the bitwidth.");
}

std::optional<std::vector<int32_t>> integer_labels(py::array const& labels) {
    char const kind = labels.dtype().kind();
    if (kind != 'i' && kind != 'u') return std::nullopt;
    std::vector<int32_t> result;
    result.reserve(static_cast<size_t>(labels.size()));
    for (py::handle element : labels.attr("flat")) result.push_back(element.cast<int32_t>());
    return result;
}

std::optional<std::vector<int32_t>> list_labels(py::list const& labels) {
    try {
        return labels.cast<std::vector<int32_t>>();
    } catch (py::cast_error const&) {
        return std::nullopt;
    }
}

}  // namespace nuvra::python
