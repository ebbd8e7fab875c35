#include "python/nn_geometry.h"

#include <limits>
#include <stdexcept>

#include "hw/arith.h"
#include "hw/format.h"

namespace nuvra::python {

namespace {

// The kernel sizes reach the hardware as bytes: a wider one would silently become another size.
uint8_t kernel_byte(uint32_t size) {
    if (size > std::numeric_limits<uint8_t>::max())
        throw std::invalid_argument(format("conv2d_transpose: kernel size {} does not fit 8 bits.", size));
    return static_cast<uint8_t>(size);
}

int32_t transpose_pad(uint8_t kernel, uint8_t stride) { return kernel > stride ? (kernel - stride) >> 1 : 0; }

uint32_t transpose_size(uint32_t input, uint8_t stride, const char* axis) {
    uint64_t const size = uint64_t{input} * stride;
    if (size > std::numeric_limits<uint32_t>::max())
        throw std::invalid_argument(format("conv2d_transpose: output {} {} does not fit 32 bits.", axis, size));
    return static_cast<uint32_t>(size);
}

}  // namespace

ImagePatches conv_patches(Shape const& inputs, Shape const& weights, uint8_t stride, Padding padding) {
    return ImagePatches(narrow<int32_t>(weights[0], "kernel x"), narrow<int32_t>(weights[1], "kernel y"), stride,
                        stride, padding, inputs);
}

TransposeGeometry transpose_geometry(Shape const& inputs, Shape const& weights, uint8_t stride) {
    uint8_t const kernel_x = kernel_byte(weights[0]);
    uint8_t const kernel_y = kernel_byte(weights[1]);
    // A batch (samples, x, y, channels) has its image sizes one place further.
    size_t const x = inputs.rank() == 4 ? 1 : 0;
    return {transpose_pad(kernel_x, stride), transpose_pad(kernel_y, stride),
            transpose_size(inputs[x], stride, "width"), transpose_size(inputs[x + 1], stride, "height")};
}

}  // namespace nuvra::python
