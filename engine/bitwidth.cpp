#include "engine/bitwidth.h"

#include <bit>
#include <stdexcept>

#include "engine/layer.h"
#include "hw/format.h"

namespace nuvra {

namespace {

int unsigned_width(uint32_t value) { return static_cast<int>(std::bit_width(value)); }  // at most 32

// Two's-complement width with sign; 0 takes no bits.
int signed_width(int32_t value) {
    if (value == 0) return 0;
    // A negative v needs as many magnitude bits as -v - 1 (its complement), plus the sign.
    uint32_t const magnitude = value < 0 ? ~static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    return static_cast<int>(std::bit_width(magnitude)) + 1;
}

template <class T>
int widest(Dense const& tensor, int (*width)(std::conditional_t<std::is_signed_v<T>, int32_t, uint32_t>)) {
    int result = 0;
    for (size_t i = 0; i < tensor.size(); ++i) {
        int const w = width(tensor_read<T>(tensor, i));
        if (w > result) result = w;
    }
    return result;
}

}  // namespace

int evaluate_bitwidth(Dense const& tensor) {
    switch (tensor.type()) {
        case TensorType::int32: return widest<int32_t>(tensor, signed_width);
        case TensorType::int16: return widest<int16_t>(tensor, signed_width);
        case TensorType::int8:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::bit: return widest<int8_t>(tensor, signed_width);
        case TensorType::uint16: return widest<uint16_t>(tensor, unsigned_width);
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2: return widest<uint8_t>(tensor, unsigned_width);
        case TensorType::float32: break;
    }
    throw std::invalid_argument(
        format("Cannot evaluate the bit width of a tensor of type {}.", Tensor::type_name(tensor.type())));
}

MappingStatus check_bitwidth(Layer const& layer, int bits, std::string const& variable, bool required) {
    Variables const& variables = layer.variables();
    if (!variables.has(variable)) {
        if (!required) return MappingStatus::success();
        return MappingStatus(layer, format("Variable {} is missing.", variable));
    }
    int const needed = evaluate_bitwidth(*variables.get(variable)->ensure_dense());
    if (needed <= bits) return MappingStatus::success();
    return MappingStatus(layer, format("Variable {} needs {} bits, but at most {} bits are supported.", variable,
                                       needed, bits));
}

}  // namespace nuvra
