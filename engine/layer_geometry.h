// Output sizes and paddings of convolutions and pooling: the one definition every layer kind uses
// (the rules are written out in engine/layers.h).
#pragma once

#include <cstdint>

#include "engine/layer.h"
#include "engine/params.h"

namespace nuvra {

// One axis of a convolution or pooling window over an input of `size` elements.
struct AxisGeometry {
    uint32_t output = 0;  // 0 when the window does not fit (Valid padding, size < kernel)
    uint32_t before = 0;  // padding at the start (top or left)
    uint32_t after = 0;   // padding at the end (bottom or right)

    friend bool operator==(AxisGeometry const&, AxisGeometry const&) = default;
};

// The window of `kernel` elements moved by `stride` (both at least 1) along the axis.
AxisGeometry window_axis(uint32_t size, uint32_t kernel, uint32_t stride, Padding padding);

// What a convolution followed by optional pooling computes.
struct ConvPoolSpec {
    uint32_t kernel_x = 1, kernel_y = 1;
    uint32_t stride_x = 1, stride_y = 1;
    Padding padding = Padding::Valid;
    PoolType pool_type = PoolType::NoPooling;
    bool global_pool = false;  // pool size -1: the whole convolution output
    uint32_t pool_x = 1, pool_y = 1;
    uint32_t pool_stride_x = 1, pool_stride_y = 1;  // 1..127
};

struct ConvPoolGeometry {
    ConvCalculatedParams conv;
    PoolingCalculatedParams pool;
};

// The convolution block and the pooling block of an input of width `width` and height `height`.
ConvPoolGeometry conv_pool_geometry(uint32_t width, uint32_t height, ConvPoolSpec const& spec);

}  // namespace nuvra
