#include "hw/np_split.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>

#include "hw/arith.h"

namespace nuvra {

namespace {

// Dimension i of a shape, 0 when the shape has fewer dimensions.
uint32_t dim(Shape const& shape, size_t i) { return i < shape.rank() ? shape[i] : 0; }

// Geometry is worked out in 64 bits and stored in 32.
uint32_t narrow(int64_t value) {
    if (!fits_in<uint32_t>(value)) throw std::invalid_argument("NP split geometry does not fit in 32 bits.");
    return uint32_t(value);
}

uint32_t round_up_4(uint32_t value) { return narrow(int64_t(round_up(value, 4))); }

// What one NP produces along one axis of the layer's output.
struct AxisOutput {
    uint32_t phase = 0;  // position of the part's start within the stride
    uint32_t start = 0;  // first (pooled) output produced
    uint32_t count = 0;  // (pooled) outputs produced
};

// `pos` and `size` place the part on an axis of length `extent`; `pad_lead` is the convolution's
// leading padding, `pool_lead` and `pool_trail` the pooling's padding on that axis.
AxisOutput axis_output(uint32_t pos, uint32_t size, uint32_t extent, uint32_t pad_lead,
                       int kernel, int stride, uint32_t pool_size, uint8_t pool_stride,
                       uint32_t pool_lead, uint32_t pool_trail) {
    AxisOutput out;
    int64_t const s = int64_t(pad_lead) + pos;  // first padded input row of the part
    int64_t const e = s + int64_t(size) - 1;    // last padded input row of the part
    int64_t const h = kernel / 2;               // kernel centre offset
    int64_t const ps = pool_stride;
    out.phase = narrow(s % stride);

    // Outputs whose kernel centre lies in the part: first..last.
    int64_t const first = s <= h ? 0 : int64_t(ceil_div(uint64_t(s - h), uint64_t(stride)));
    if (e < h) return out;  // no centre in the part: an empty window at output 0
    int64_t const last = (e - h) / stride;

    // The pooling's trailing padding only counts for the part that ends the axis.
    int64_t const end = int64_t(pos) + size == int64_t(extent) ? int64_t(pool_trail) : 0;
    int64_t start = 0;
    int64_t n = 1;
    if (first != 0) {
        start = (first + pool_lead) / ps;
        n = 1 - start;
    }
    int64_t const t = last + pool_lead + end;
    if (int64_t(pool_size) < ps + t) n += (ps - int64_t(pool_size) + t) / ps;
    out.start = narrow(start);
    out.count = narrow(std::max<int64_t>(n, 0));  // a part between two pooled outputs gives none
    return out;
}

}  // namespace

NpSplit::NpSplit(Shape const& input, NpSpace part, NpSpace const& window, int kernel, int stride,
                 PaddingParams const& pad, uint32_t pool_size, uint8_t pool_stride,
                 PaddingParams const& pool_pad) {
    if (stride < 1) throw std::invalid_argument("NP split needs a stride of at least 1.");
    if (pool_stride < 1) throw std::invalid_argument("NP split needs a pool stride of at least 1.");
    if (kernel < 0) throw std::invalid_argument("NP split needs a kernel size of at least 0.");

    window_y = window.y;
    window_x = window.x;
    window_height = dim(window.shape, 1);
    window_width = dim(window.shape, 0);
    part_height = dim(part.shape, 1);
    part_width = dim(part.shape, 0);
    part_channels = dim(part.shape, 2);
    window_dy = window.y - part.y;  // wraps: the halo starts before the part
    window_dx = window.x - part.x;

    AxisOutput const rows = axis_output(part.y, part_height, dim(input, 1), pad.top, kernel, stride,
                                        pool_size, pool_stride, pool_pad.top, pool_pad.bottom);
    AxisOutput const cols = axis_output(part.x, part_width, dim(input, 0), pad.left, kernel, stride,
                                        pool_size, pool_stride, pool_pad.left, pool_pad.right);
    phase_y = rows.phase;
    out_y = rows.start;
    out_height = rows.count;
    phase_x = cols.phase;
    out_x = cols.start;
    out_width = cols.count;
}

uint32_t NpSplit::icont_size() const { return round_up_4(part_width); }

TransposedCnpSplit::TransposedCnpSplit(NpSpace part, NpSpace const& window) {
    window_y = window.y;
    window_x = window.x;
    window_height = dim(window.shape, 1);
    window_width = dim(window.shape, 0);
    part_height = dim(part.shape, 1);
    part_width = dim(part.shape, 0);
    part_channels = dim(part.shape, 2);
    window_dy = window.y - part.y;
    window_dx = window.x - part.x;
    phase_y = 0;
    phase_x = 0;
    out_y = narrow(2 * int64_t(part.y));
    out_x = narrow(2 * int64_t(part.x));
    out_height = narrow(2 * int64_t(part_height));
    out_width = narrow(2 * int64_t(part_width));
}

uint32_t TransposedCnpSplit::icont_size() const { return round_up_4(out_width); }

}  // namespace nuvra
