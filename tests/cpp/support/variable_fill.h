// Every element of a layer variable set to one value, written in the variable's own element type.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/layer.h"
#include "engine/tensor.h"

namespace nuvra::testing {

inline void fill_variable(Layer& layer, char const* name, double value) {
    auto const tensor = layer.variables().get(name);
    for (size_t i = 0; i < tensor->size(); ++i) {
        switch (tensor->type()) {
            case TensorType::float32: tensor_write<float>(*tensor, i, static_cast<float>(value)); break;
            case TensorType::int32: tensor_write<int32_t>(*tensor, i, static_cast<int32_t>(value)); break;
            case TensorType::uint8: tensor_write<uint8_t>(*tensor, i, static_cast<uint8_t>(value)); break;
            default: tensor_write<int8_t>(*tensor, i, static_cast<int8_t>(value));
        }
    }
}

}  // namespace nuvra::testing
