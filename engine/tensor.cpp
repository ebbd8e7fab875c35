#include "engine/tensor.h"

#include <limits>
#include <stdexcept>

#include "hw/format.h"
#include "hw/panic.h"

namespace nuvra {

namespace {

bool is_known_type(TensorType type) { return Tensor::item_size(type) != 0; }

bool is_known_layout(Layout layout) { return layout == Layout::c_order || layout == Layout::reversed; }

}  // namespace

// ---- Tensor ----

std::shared_ptr<Dense> Tensor::ensure_dense() {
    // This object is not const, so neither is the dense tensor that may be this object itself.
    return std::const_pointer_cast<Dense>(static_cast<Tensor const*>(this)->ensure_dense());
}

const char* Tensor::type_name(TensorType type) {
    switch (type) {
        case TensorType::int32: return "int32";
        case TensorType::float32: return "float32";
        case TensorType::uint8: return "uint8";
        case TensorType::int16: return "int16";
        case TensorType::int8: return "int8";
        case TensorType::int4: return "int4";
        case TensorType::int2: return "int2";
        case TensorType::uint4: return "uint4";
        case TensorType::uint2: return "uint2";
        case TensorType::bit: return "bit";
        case TensorType::uint16: return "uint16";
    }
    return "unknown";
}

size_t Tensor::item_size(TensorType type) {
    switch (type) {
        case TensorType::int32:
        case TensorType::float32: return 4;
        case TensorType::int16:
        case TensorType::uint16: return 2;
        case TensorType::uint8:
        case TensorType::int8:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::uint4:
        case TensorType::uint2:
        case TensorType::bit: return 1;
    }
    return 0;
}

// ---- Dense ----

Dense::Dense(TensorType type, Shape const& shape, Layout layout, std::shared_ptr<std::vector<uint8_t>> data)
    : type_(type), shape_(shape), layout_(layout), strides_(eval_strides(shape, layout)),
      size_(shape.checked_size()),
      data_(data ? std::move(data) : std::make_shared<std::vector<uint8_t>>(size_ * item_size(type), 0)) {}

Dense::Dense(Dense const& other)
    : Tensor(other), enable_shared_from_this(other), type_(other.type_), shape_(other.shape_),
      layout_(other.layout_), strides_(other.strides_), size_(other.size_),
      data_(std::make_shared<std::vector<uint8_t>>(*other.data_)) {}

Dense& Dense::operator=(Dense const& other) {
    if (this == &other) return *this;
    type_ = other.type_;
    shape_ = other.shape_;
    layout_ = other.layout_;
    strides_ = other.strides_;
    size_ = other.size_;
    data_ = std::make_shared<std::vector<uint8_t>>(*other.data_);
    return *this;
}

Strides Dense::eval_strides(Shape const& shape, Layout layout) {
    if (!is_known_layout(layout))
        throw std::invalid_argument(format("Unknown tensor layout {}", static_cast<int32_t>(layout)));
    shape.checked_size();  // every stride below is then at most the product, so fits 32 bits
    size_t const rank = shape.rank();
    Strides strides(rank);
    uint64_t step = 1;
    for (size_t k = 0; k < rank; ++k) {
        size_t const axis = layout == Layout::c_order ? rank - 1 - k : k;
        strides[axis] = static_cast<uint32_t>(step);
        step *= shape[axis];
    }
    return strides;
}

std::shared_ptr<Dense> Dense::create(TensorType type, Shape const& shape, Layout layout) {
    if (!is_known_type(type))
        throw std::invalid_argument(format("Unknown tensor type {}", static_cast<int32_t>(type)));
    if (!is_known_layout(layout))
        throw std::invalid_argument(format("Unknown tensor layout {}", static_cast<int32_t>(layout)));
    return std::shared_ptr<Dense>(new Dense(type, shape, layout));
}

std::shared_ptr<Dense> Dense::copy(const void* data, size_t byte_count, TensorType type, Shape const& shape,
                                   Layout layout) {
    if (!is_known_type(type))
        throw std::invalid_argument(format("Unknown tensor type {}", static_cast<int32_t>(type)));
    // 64-bit: at most 4294967295 elements of at most 4 bytes.
    uint64_t const expected = uint64_t{shape.checked_size()} * item_size(type);
    if (byte_count != expected)
        throw std::invalid_argument(format("Cannot copy {} bytes into a tensor of {} {} elements ({} bytes expected).",
                                           byte_count, shape.product(), type_name(type), expected));
    if (data == nullptr && byte_count != 0) throw std::invalid_argument("Cannot copy a tensor from null data.");
    auto dense = create(type, shape, layout);
    if (byte_count != 0) std::memcpy(dense->data_->data(), data, byte_count);
    return dense;
}

std::vector<std::shared_ptr<Dense>> Dense::split() const {
    size_t const rank = shape_.rank();
    if (rank == 0) throw std::invalid_argument("Cannot split a tensor without dimensions.");
    std::vector<uint32_t> dims = shape_.to_vector();
    uint32_t const count = dims.front();
    dims.erase(dims.begin());
    Shape const part_shape = dims.empty() ? Shape{1} : Shape(dims);
    Strides const part_strides = eval_strides(part_shape, layout_);
    size_t const item = item_size(type_);
    size_t const part_size = size_ / count;

    std::vector<std::shared_ptr<Dense>> parts;
    parts.reserve(count);
    for (uint32_t index = 0; index < count; ++index) {
        auto part = create(type_, part_shape, layout_);
        // Walk the part's elements in row-major order of its own dimensions; the source element
        // has the same coordinates after the first one, which is `index`.
        for (size_t linear = 0; linear < part_size; ++linear) {
            size_t rest = linear;
            uint64_t source = uint64_t{index} * strides_[0];
            uint64_t target = 0;
            for (size_t k = dims.size(); k-- > 0;) {
                size_t const coord = rest % dims[k];
                rest /= dims[k];
                source += uint64_t{coord} * strides_[k + 1];
                target += uint64_t{coord} * part_strides[k];
            }
            std::memcpy(part->data_->data() + target * item, data_->data() + source * item, item);
        }
        parts.push_back(std::move(part));
    }
    return parts;
}

std::shared_ptr<Dense> Dense::reshaped(Shape const& shape) const {
    if (shape.checked_size() != size_)
        throw std::invalid_argument(format("Cannot reshape a tensor of {} elements to a shape of {}.", size_,
                                           shape.product()));
    if (layout_ == Layout::c_order || shape.same_but_trailing_ones(shape_))
        return std::shared_ptr<Dense>(new Dense(type_, shape, layout_, data_));
    auto out = create(type_, shape, Layout::c_order);
    size_t const item = item_size(type_);
    for (size_t i = 0; i < size_; ++i)
        std::memcpy(out->data_->data() + i * item,
                    data_->data() + detail::linear_element_offset(*this, type_, true, i, data_->size()), item);
    return out;
}

std::shared_ptr<Dense const> Dense::ensure_dense() const {
    if (auto self = weak_from_this().lock()) return self;
    return copy(data_->data(), data_->size(), type_, shape_, layout_);
}

// ---- typed element access ----

namespace detail {

void check_type(Tensor const& tensor, TensorType requested, bool type_ok) {
    if (!type_ok)
        panic("Wrong requested type %s for a tensor of type %s", Tensor::type_name(requested),
              Tensor::type_name(tensor.type()));
}

namespace {

// Byte offset of the element at `element` (counted in elements through the strides), refusing
// a tensor whose strides and buffer disagree.
size_t checked_byte_offset(Tensor const& tensor, uint64_t element, size_t buffer_bytes) {
    size_t const item = Tensor::item_size(tensor.type());
    uint64_t const offset = element * item;
    if (item == 0 || offset + item > buffer_bytes)
        panic("Tensor element at offset %lu lies outside its buffer of %zu bytes", static_cast<unsigned long>(offset),
              buffer_bytes);
    return static_cast<size_t>(offset);
}

}  // namespace

size_t element_offset(Tensor const& tensor, TensorType requested, bool type_ok, uint32_t const* coords,
                      size_t count, size_t buffer_bytes) {
    check_type(tensor, requested, type_ok);
    Shape const& shape = tensor.dimensions();
    Strides const& strides = tensor.strides();
    if (count != shape.rank() || strides.size() != shape.rank())
        panic("Wrong number of coordinates: %zu for a tensor of %zu dimensions", count, shape.rank());
    // Row-major index of the coordinates, for the message, and the strided element position.
    // In range, both stay below the element count; out of range, a wrapped value is only printed.
    uint64_t linear = 0;
    uint64_t element = 0;
    bool in_range = true;
    for (size_t k = 0; k < count; ++k) {
        linear = linear * shape[k] + coords[k];
        if (coords[k] >= shape[k]) in_range = false;
        element += uint64_t{coords[k]} * strides[k];
    }
    if (!in_range || linear >= tensor.size())
        panic("Coordinates are out-of-range (linear index %zu, tensor size %zu)", static_cast<size_t>(linear),
              tensor.size());
    return checked_byte_offset(tensor, element, buffer_bytes);
}

size_t linear_element_offset(Tensor const& tensor, TensorType requested, bool type_ok, size_t index,
                             size_t buffer_bytes) {
    check_type(tensor, requested, type_ok);
    Shape const& shape = tensor.dimensions();
    Strides const& strides = tensor.strides();
    if (index >= tensor.size())
        panic("Coordinates are out-of-range (linear index %zu, tensor size %zu)", index, tensor.size());
    if (strides.size() != shape.rank())
        panic("Wrong number of coordinates: %zu for a tensor of %zu dimensions", strides.size(), shape.rank());
    uint64_t element = 0;
    size_t rest = index;
    for (size_t k = shape.rank(); k-- > 0;) {
        element += uint64_t{rest % shape[k]} * strides[k];
        rest /= shape[k];
    }
    return checked_byte_offset(tensor, element, buffer_bytes);
}

}  // namespace detail

}  // namespace nuvra
