// Window geometry that the nn test operations hand the reference kernels, derived from the
// shapes of the arrays they are given.
#pragma once

#include <cstdint>

#include "engine/ops.h"

namespace nuvra::python {

// The window of a convolution whose weights are (kernel x, kernel y, ...), moved by `stride` in
// both axes over `inputs` ((x, y, channels) or a batch of them). ImagePatches refuses what does
// not fit; a kernel dimension above 2^31 - 1 is std::out_of_range.
ImagePatches conv_patches(Shape const& inputs, Shape const& weights, uint8_t stride, Padding padding);

// What a transposed convolution is called with: the padding cut from each axis of the output,
// and the output size (the input's x and y times the stride).
struct TransposeGeometry {
    int32_t pad_x = 0;
    int32_t pad_y = 0;
    uint32_t width = 0;
    uint32_t height = 0;

    friend bool operator==(TransposeGeometry const&, TransposeGeometry const&) = default;
};

// pad = (kernel - stride) / 2, or 0 when the kernel is smaller than the stride; the kernel is the
// weights' first two dimensions, which must fit 8 bits ("conv2d_transpose: kernel size N does not
// fit 8 bits."); an output size above 4294967295 is refused as well. Both std::invalid_argument.
TransposeGeometry transpose_geometry(Shape const& inputs, Shape const& weights, uint8_t stride);

}  // namespace nuvra::python
