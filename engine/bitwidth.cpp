#include "engine/bitwidth.h"

#include <bit>
#include <stdexcept>
#include <type_traits>

#include "engine/layer.h"
#include "hw/format.h"

namespace nuvra {

namespace {

// The widest element of a dense tensor read as T, in one pass over its buffer: a dense tensor
// holds each of its elements exactly once whatever its layout, and the widest does not depend on
// the order. The element type is checked once; the loop only folds bits.
//   unsigned: the width of the OR of all values is the largest binary width;
//   signed: v and ~v (for v < 0) have the same magnitude bits, so the width of their OR plus the
//   sign bit is the largest two's-complement width, except that a tensor of zeros takes 0 bits
//   (a -1 alone takes 1).
template <class T>
int widest(Dense const& tensor) {
    check_element_type<T>(tensor);
    Buffer const buffer = tensor.buffer();
    size_t const count = tensor.size();
    if (buffer.bytes / sizeof(T) < count) throw std::logic_error("A dense tensor is shorter than its elements.");
    using U = std::make_unsigned_t<T>;
    T const* values = static_cast<T const*>(buffer.data);
    if constexpr (std::is_unsigned_v<T>) {
        U bits = 0;
        for (size_t i = 0; i < count; ++i) bits |= values[i];
        return static_cast<int>(std::bit_width(bits));
    } else {
        U any = 0;
        U magnitude = 0;
        for (size_t i = 0; i < count; ++i) {
            T const v = values[i];
            any |= static_cast<U>(v);
            magnitude |= static_cast<U>(v ^ static_cast<T>(v >> (8 * sizeof(T) - 1)));
        }
        if (any == 0) return 0;
        return static_cast<int>(std::bit_width(magnitude)) + 1;
    }
}

}  // namespace

int evaluate_bitwidth(Dense const& tensor) {
    switch (tensor.type()) {
        case TensorType::int32: return widest<int32_t>(tensor);
        case TensorType::int16: return widest<int16_t>(tensor);
        case TensorType::int8:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::bit: return widest<int8_t>(tensor);
        case TensorType::uint16: return widest<uint16_t>(tensor);
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2: return widest<uint8_t>(tensor);
        case TensorType::float32: break;
    }
    throw std::invalid_argument(
        format("Cannot evaluate the bit width of a tensor of type {}.", Tensor::type_name(tensor.type())));
}

MappingStatus check_bitwidth(Layer const& layer, int bits, std::string const& variable, bool required) {
    if (!layer.variables().has(variable)) {
        if (!required) return MappingStatus::success();
        return MappingStatus(layer, format("Variable {} is missing.", variable));
    }
    int const needed = evaluate_bitwidth(*layer.variable(variable)->ensure_dense());
    if (needed <= bits) return MappingStatus::success();
    return MappingStatus(layer, format("Variable {} needs {} bits, but at most {} bits are supported.", variable,
                                       needed, bits));
}

}  // namespace nuvra
