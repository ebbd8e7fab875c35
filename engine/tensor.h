// Tensors of the engine: element types, shapes, memory layouts, the dense tensor, and the one
// typed accessor through which every reader and writer of tensor elements goes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "hw/shape.h"

namespace nuvra {

// Element type of a tensor. The numbers travel through files and the Python API.
enum class TensorType : int32_t {
    int32 = 0,
    float32 = 1,
    uint8 = 2,
    int16 = 3,
    int8 = 4,
    int4 = 5,    // stored as one signed byte per element
    int2 = 6,    // stored as one signed byte per element
    uint4 = 7,   // stored as one unsigned byte per element
    uint2 = 8,   // stored as one unsigned byte per element
    bit = 9,     // stored as one signed byte per element
    uint16 = 10,
};

// Order of the elements in memory.
enum class Layout : int32_t {
    c_order = 0,   // the last dimension varies fastest
    reversed = 1,  // the first dimension varies fastest (the dimensions stored in reverse order)
};

// A shape's product checked against max_shape_size (the free-function form of checked_size()).
inline uint32_t checked_shape_size(Shape const& shape) { return shape.checked_size(); }

class Dense;

// Read-only view of a tensor's bytes.
struct Buffer {
    const void* data = nullptr;
    size_t bytes = 0;
};

// Writable view of a tensor's bytes.
struct MutableBuffer {
    void* data = nullptr;
    size_t bytes = 0;
};

// Element strides, one per dimension, counted in elements.
using Strides = std::vector<uint32_t>;

// A tensor: typed elements laid out in a buffer, addressed through per-dimension strides.
class Tensor {
public:
    using Layout = nuvra::Layout;

    virtual ~Tensor() = default;

    virtual TensorType type() const = 0;
    // Number of elements.
    virtual size_t size() const = 0;
    virtual Shape const& dimensions() const = 0;
    virtual Layout layout() const = 0;
    // Element strides matching the buffer: element (c0, c1, ...) sits at sum(ck * strides[k]).
    virtual Strides const& strides() const = 0;
    virtual Buffer buffer() const = 0;
    virtual MutableBuffer mutable_buffer() = 0;

    // A dense tensor with the same elements: this object itself when it is a Dense held by a
    // shared pointer, otherwise a new copy.
    virtual std::shared_ptr<Dense const> ensure_dense() const = 0;
    std::shared_ptr<Dense> ensure_dense();

    // "int32", "float32", "uint8", "int16", "int8", "int4", "int2", "uint4", "uint2", "bit",
    // "uint16"; "unknown" for any other value.
    static const char* type_name(TensorType type);
    // Bytes per element: 4 for int32 and float32, 2 for int16 and uint16, 1 for the byte and
    // sub-byte types, 0 for an unknown type.
    static size_t item_size(TensorType type);
};

// A tensor that owns its elements, densely packed in its layout.
class Dense final : public Tensor, public std::enable_shared_from_this<Dense> {
public:
    // A copy of `byte_count` bytes at `data`, which must be exactly elements x item size
    // (std::invalid_argument otherwise, and for an unknown type or layout).
    static std::shared_ptr<Dense> copy(const void* data, size_t byte_count, TensorType type,
                                       Shape const& shape, Layout layout);
    // A zero-filled tensor.
    static std::shared_ptr<Dense> create(TensorType type, Shape const& shape, Layout layout);
    // Dense element strides of a shape in a layout (c_order: last stride 1; reversed: first
    // stride 1). Panics when the shape holds more than max_shape_size elements.
    static Strides eval_strides(Shape const& shape, Layout layout);

    // The same elements under `shape`, which must hold as many (std::invalid_argument otherwise),
    // in the same row-major order: sharing this tensor's elements, not a copy of them, when the
    // layout keeps that order (row-major, or a shape that differs only in trailing dimensions of
    // 1); else a row-major copy. An element written through either tensor then shows in both.
    std::shared_ptr<Dense> reshaped(Shape const& shape) const;

    // One tensor per index of the first dimension, in that order, each holding the elements
    // whose first coordinate is that index and the remaining dimensions (a one-dimensional
    // tensor gives tensors of shape (1)), in the same type and layout. A tensor without
    // dimensions cannot be split (std::invalid_argument).
    std::vector<std::shared_ptr<Dense>> split() const;

    TensorType type() const override { return type_; }
    size_t size() const override { return size_; }
    Shape const& dimensions() const override { return shape_; }
    Layout layout() const override { return layout_; }
    Strides const& strides() const override { return strides_; }
    Buffer buffer() const override { return {data_->data(), data_->size()}; }
    MutableBuffer mutable_buffer() override { return {data_->data(), data_->size()}; }
    std::shared_ptr<Dense const> ensure_dense() const override;
    using Tensor::ensure_dense;

    // A copy of the object holds a copy of the elements, shared with no other tensor.
    Dense(Dense const& other);
    Dense& operator=(Dense const& other);

private:
    // Zero-filled elements, or `data` (as many bytes as the shape's elements take) when given.
    Dense(TensorType type, Shape const& shape, Layout layout, std::shared_ptr<std::vector<uint8_t>> data = nullptr);

    TensorType type_;
    Shape shape_;
    Layout layout_;
    Strides strides_;
    size_t size_;
    std::shared_ptr<std::vector<uint8_t>> data_;  // shared with the tensors reshaped from this one
};

namespace detail {

// The element type a C++ type reads, and whether a tensor of type `actual` may be read as it:
// int8_t reads the signed byte types, uint8_t the unsigned byte types, the others only their own.
template <class T>
struct ElementTraits;
template <>
struct ElementTraits<int8_t> {
    static constexpr TensorType type = TensorType::int8;
    static constexpr bool accepts(TensorType t) {
        return t == TensorType::int8 || t == TensorType::int4 || t == TensorType::int2 ||
               t == TensorType::bit;
    }
};
template <>
struct ElementTraits<uint8_t> {
    static constexpr TensorType type = TensorType::uint8;
    static constexpr bool accepts(TensorType t) {
        return t == TensorType::uint8 || t == TensorType::uint4 || t == TensorType::uint2;
    }
};
template <>
struct ElementTraits<int16_t> {
    static constexpr TensorType type = TensorType::int16;
    static constexpr bool accepts(TensorType t) { return t == type; }
};
template <>
struct ElementTraits<uint16_t> {
    static constexpr TensorType type = TensorType::uint16;
    static constexpr bool accepts(TensorType t) { return t == type; }
};
template <>
struct ElementTraits<int32_t> {
    static constexpr TensorType type = TensorType::int32;
    static constexpr bool accepts(TensorType t) { return t == type; }
};
template <>
struct ElementTraits<float> {
    static constexpr TensorType type = TensorType::float32;
    static constexpr bool accepts(TensorType t) { return t == type; }
};

// Panics "Wrong requested type %s for a tensor of type %s" (requested first) unless `type_ok`.
void check_type(Tensor const& tensor, TensorType requested, bool type_ok);

// Checks the requested type against the tensor's, then the coordinates against its dimensions,
// and returns the byte offset of the element. Panics "Wrong requested type %s for a tensor of
// type %s" (requested first) or "Coordinates are out-of-range (linear index %zu, tensor size
// %zu)" (the row-major index of the coordinates in the tensor's dimensions).
size_t element_offset(Tensor const& tensor, TensorType requested, bool type_ok,
                      uint32_t const* coords, size_t count, size_t buffer_bytes);
// The same for a linear index: the row-major position in the tensor's dimensions (for a
// one-dimensional tensor, element i at i * strides[0]).
size_t linear_element_offset(Tensor const& tensor, TensorType requested, bool type_ok, size_t index,
                             size_t buffer_bytes);

}  // namespace detail

// Panics as tensor_read does unless the tensor's elements can be read as T.
template <class T>
void check_element_type(Tensor const& tensor) {
    using Traits = detail::ElementTraits<T>;
    detail::check_type(tensor, Traits::type, Traits::accepts(tensor.type()));
}

// The element at `coords` (one coordinate per dimension), read through the tensor's strides.
template <class T>
T tensor_read(Tensor const& tensor, std::initializer_list<uint32_t> coords) {
    using Traits = detail::ElementTraits<T>;
    Buffer const buf = tensor.buffer();
    size_t const offset = detail::element_offset(tensor, Traits::type, Traits::accepts(tensor.type()),
                                                 coords.begin(), coords.size(), buf.bytes);
    T value;
    std::memcpy(&value, static_cast<const uint8_t*>(buf.data) + offset, sizeof(T));
    return value;
}

// The element at row-major position `index` of the tensor's dimensions, read through its strides.
template <class T>
T tensor_read(Tensor const& tensor, size_t index) {
    using Traits = detail::ElementTraits<T>;
    Buffer const buf = tensor.buffer();
    size_t const offset =
        detail::linear_element_offset(tensor, Traits::type, Traits::accepts(tensor.type()), index, buf.bytes);
    T value;
    std::memcpy(&value, static_cast<const uint8_t*>(buf.data) + offset, sizeof(T));
    return value;
}

// Writes the element at `coords`, with the checks of tensor_read.
template <class T>
void tensor_write(Tensor& tensor, std::initializer_list<uint32_t> coords, T value) {
    using Traits = detail::ElementTraits<T>;
    MutableBuffer const buf = tensor.mutable_buffer();
    size_t const offset = detail::element_offset(tensor, Traits::type, Traits::accepts(tensor.type()),
                                                 coords.begin(), coords.size(), buf.bytes);
    std::memcpy(static_cast<uint8_t*>(buf.data) + offset, &value, sizeof(T));
}

// Writes the element at row-major position `index`, with the checks of tensor_read.
template <class T>
void tensor_write(Tensor& tensor, size_t index, T value) {
    using Traits = detail::ElementTraits<T>;
    MutableBuffer const buf = tensor.mutable_buffer();
    size_t const offset =
        detail::linear_element_offset(tensor, Traits::type, Traits::accepts(tensor.type()), index, buf.bytes);
    std::memcpy(static_cast<uint8_t*>(buf.data) + offset, &value, sizeof(T));
}

}  // namespace nuvra
