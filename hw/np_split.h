// Geometry of one NP's share of a split convolution: where its part of the input lies, the halo
// it reads around that part, the phase of the part within the stride, and the window of the
// layer's output that the NP produces.
#pragma once

#include <cstdint>

#include "hw/ident.h"
#include "hw/shape.h"

namespace nuvra {

// The fields the CNP register formatting and the memory sizing read. Each quantity has two names
// for one storage: the geometry's (the halo window, the part, y and x) and the register map's (the
// cut, i for rows and j for columns). Under the register map's names the phases and the offsets
// are signed. Objects are used by value, never deleted through this base.
class NpSplitInterface {
public:
    union { uint32_t window_y = 0; uint32_t i_orig_cut; };       // row origin of the halo window (the cut)
    union { uint32_t window_x = 0; uint32_t j_orig_cut; };       // column origin of the halo window
    union { uint32_t part_height = 0; uint32_t ii_size; };       // height of the part
    union { uint32_t part_width = 0; uint32_t jj_size; };        // width of the part
    uint32_t part_channels = 0;                                  // channels of the part
    union { uint32_t phase_y = 0; int32_t i_phase; };            // (top padding + part y) modulo the stride
    union { uint32_t phase_x = 0; int32_t j_phase; };            // (left padding + part x) modulo the stride
    union { uint32_t window_dy = 0; int32_t ii_offset; };        // window y minus part y: zero or negative
    union { uint32_t window_dx = 0; int32_t jj_offset; };        // window x minus part x: zero or negative
    union { uint32_t window_height = 0; uint32_t i_size_cut; };  // height of the halo window
    union { uint32_t window_width = 0; uint32_t j_size_cut; };   // width of the halo window
    union { uint32_t out_y = 0; uint32_t out_i_orig; };          // first output row produced by the NP
    union { uint32_t out_x = 0; uint32_t out_j_orig; };          // first output column produced by the NP
    union { uint32_t out_height = 0; uint32_t out_i_size; };     // output rows produced (0: no centre in the part)
    union { uint32_t out_width = 0; uint32_t out_j_size; };      // output columns produced

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
