// Geometry of one NP's share of a split convolution: where its part of the input lies, the halo
// it reads around that part, the phase of the part within the stride, and the window of the
// layer's output that the NP produces.
#pragma once

#include <cstdint>

#include "hw/ident.h"
#include "hw/shape.h"

namespace nuvra {

// The fields the CNP register formatting and the memory sizing read. Objects are used by value,
// never deleted through this base.
class NpSplitInterface {
public:
    uint32_t window_y = 0;       // y origin of the halo window
    uint32_t window_x = 0;       // x origin of the halo window
    uint32_t part_height = 0;    // height of the part
    uint32_t part_width = 0;     // width of the part
    uint32_t part_channels = 0;  // channels of the part
    uint32_t phase_y = 0;        // (top padding + part y) modulo the stride
    uint32_t phase_x = 0;        // (left padding + part x) modulo the stride
    uint32_t window_dy = 0;      // window y minus part y: zero or negative, two's complement
    uint32_t window_dx = 0;      // window x minus part x: zero or negative, two's complement
    uint32_t window_height = 0;  // height of the halo window
    uint32_t window_width = 0;   // width of the halo window
    uint32_t out_y = 0;          // first output row produced by the NP
    uint32_t out_x = 0;          // first output column produced by the NP
    uint32_t out_height = 0;     // output rows produced (0: no output centre in the part)
    uint32_t out_width = 0;      // output columns produced

    // Words of one input row as the NP stores it.
    virtual uint32_t icont_size() const = 0;

protected:
    NpSplitInterface() = default;
    NpSplitInterface(NpSplitInterface const&) = default;
    NpSplitInterface& operator=(NpSplitInterface const&) = default;
    ~NpSplitInterface() = default;
};

// A part of an ordinary convolution, optionally followed by pooling. `input` is the layer's input
// (width, height, channels), `part` the component's spatial partition, `window` its halo
// partition. A stride or pool stride below 1, or a negative kernel, is std::invalid_argument.
class NpSplit final : public NpSplitInterface {
public:
    NpSplit(Shape const& input, NpSpace part, NpSpace const& window, int kernel, int stride,
            PaddingParams const& pad, uint32_t pool_size, uint8_t pool_stride,
            PaddingParams const& pool_pad);

    // The part width rounded up to a multiple of 4.
    uint32_t icont_size() const override;
};

// A part of a transposed convolution on a CNP, whose output is twice its input each way.
class TransposedCnpSplit final : public NpSplitInterface {
public:
    TransposedCnpSplit(NpSpace part, NpSpace const& window);

    // The output width (twice the part width) rounded up to a multiple of 4.
    uint32_t icont_size() const override;
};

}  // namespace nuvra
