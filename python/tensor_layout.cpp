#include "python/tensor_layout.h"

#include <stdexcept>
#include <string>

#include "hw/format.h"

namespace nuvra::python {

std::optional<NumpyElement> numpy_element(TensorType type) {
    switch (type) {
        case TensorType::int32: return NumpyElement{"int32", 'i', 4};
        case TensorType::float32: return NumpyElement{"float32", 'f', 4};
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2: return NumpyElement{"uint8", 'B', 1};
        case TensorType::int16: return NumpyElement{"int16", 'h', 2};
        case TensorType::int8:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::bit: return NumpyElement{"int8", 'b', 1};
        case TensorType::uint16: return NumpyElement{"uint16", 'H', 2};
    }
    return std::nullopt;
}

NumpyElement output_element(TensorType type) {
    std::optional<NumpyElement> const element = numpy_element(type);
    if (!element)
        throw std::runtime_error(std::string("Unable to convert a tensor of type ") + Tensor::type_name(type) + "\n");
    return *element;
}

ArrayLayout array_layout(Tensor const& dense) {
    std::optional<NumpyElement> const element = output_element(dense.type());
    Shape const& dims = dense.dimensions();
    Strides const& strides = dense.strides();
    size_t const n = dims.rank();
    if (strides.size() != n) throw std::logic_error("A tensor has one stride per dimension.");
    bool const reversed = dense.layout() == Layout::reversed;
    ArrayLayout layout{*element, {}, {}};
    // The last element's byte offset must lie inside the buffer the array copies from.
    uint64_t last = 0;
    for (size_t k = 0; k < n; ++k) {
        size_t const j = reversed ? n - 1 - k : k;
        layout.shape.push_back(dims[j]);
        layout.strides.push_back(int64_t{strides[j]} * static_cast<int64_t>(element->item_size));
        last += uint64_t{dims[j] - 1u} * strides[j];
    }
    if ((last + 1) * element->item_size > dense.buffer().bytes)
        throw std::logic_error("A tensor's strides reach past its buffer.");
    return layout;
}

Shape dense_shape(std::span<const int64_t> dims) {
    if (dims.empty() || dims.size() > Shape::max_rank)
        throw std::invalid_argument(format("Cannot instantiate a Dense with {} dimensions (min 1, max 4).\n", dims.size()));
    std::vector<uint32_t> shape;
    for (size_t i = 0; i < dims.size(); ++i) {
        if (dims[i] > int64_t{UINT32_MAX})
            throw std::invalid_argument(
                format("Cannot have a shape with dimension {} set to {} (max {}).", i, dims[i], UINT32_MAX));
        shape.push_back(static_cast<uint32_t>(dims[i]));
    }
    return Shape(shape);
}

}  // namespace nuvra::python
