// evaluate_bitwidth written the slow, obviously checked way: every value read through tensor_read
// by its row-major index. evaluate_bitwidth must give exactly its widths and refusals;
// bench/format_variables times it as the checked path.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <stdexcept>
#include <type_traits>

#include "engine/tensor.h"
#include "hw/format.h"

namespace nuvra::testing {

// evaluate_bitwidth, element by element in row-major order: the widest binary width, or for a
// signed type the widest two's-complement width (sign bit included; 0 takes none).
inline int checked_evaluate_bitwidth(Dense const& tensor) {
    auto const widest = [&]<class T>(T) {
        int result = 0;
        for (size_t i = 0; i < tensor.size(); ++i) {
            int64_t const v = tensor_read<T>(tensor, i);
            int const width = int(std::bit_width(uint64_t(v < 0 ? ~v : v)));
            result = std::max(result, std::is_signed_v<T> && v != 0 ? width + 1 : width);
        }
        return result;
    };
    switch (tensor.type()) {
        case TensorType::int32: return widest(int32_t{});
        case TensorType::int16: return widest(int16_t{});
        case TensorType::int8:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::bit: return widest(int8_t{});
        case TensorType::uint16: return widest(uint16_t{});
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2: return widest(uint8_t{});
        case TensorType::float32: break;
    }
    throw std::invalid_argument(
        format("Cannot evaluate the bit width of a tensor of type {}.", Tensor::type_name(tensor.type())));
}

}  // namespace nuvra::testing
