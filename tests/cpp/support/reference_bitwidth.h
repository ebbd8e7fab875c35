// evaluate_bitwidth written the slow, obviously checked way: every value read through tensor_read
// by its row-major index. evaluate_bitwidth must give exactly its widths and refusals;
// bench/format_variables times it as the checked path.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <stdexcept>

#include "engine/tensor.h"
#include "hw/format.h"

namespace nuvra::testing {

// evaluate_bitwidth, element by element in row-major order.
inline int checked_evaluate_bitwidth(Dense const& tensor) {
    auto const widest = [&](auto read, auto width) {
        int result = 0;
        for (size_t i = 0; i < tensor.size(); ++i) result = std::max(result, width(read(i)));
        return result;
    };
    auto const unsigned_width = [](uint32_t value) { return int(std::bit_width(value)); };
    auto const signed_width = [](int32_t value) {
        if (value == 0) return 0;
        uint32_t const magnitude = value < 0 ? ~uint32_t(value) : uint32_t(value);
        return int(std::bit_width(magnitude)) + 1;
    };
    switch (tensor.type()) {
        case TensorType::int32: return widest([&](size_t i) { return tensor_read<int32_t>(tensor, i); }, signed_width);
        case TensorType::int16: return widest([&](size_t i) { return tensor_read<int16_t>(tensor, i); }, signed_width);
        case TensorType::int8:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::bit: return widest([&](size_t i) { return tensor_read<int8_t>(tensor, i); }, signed_width);
        case TensorType::uint16:
            return widest([&](size_t i) { return tensor_read<uint16_t>(tensor, i); }, unsigned_width);
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2:
            return widest([&](size_t i) { return tensor_read<uint8_t>(tensor, i); }, unsigned_width);
        case TensorType::float32: break;
    }
    throw std::invalid_argument(
        format("Cannot evaluate the bit width of a tensor of type {}.", Tensor::type_name(tensor.type())));
}

}  // namespace nuvra::testing
