// Shared pieces of the software kernels: row-major element copies checked once up front,
// saturation and shifting in wide integers, per-channel parameters and image geometry.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/tensor.h"
#include "hw/format.h"

namespace nuvra::ops::detail {

// Refuses (std::invalid_argument) a tensor whose strides do not match its dimensions or whose
// last element, through the strides, lies past its buffer: every element is then inside it.
void check_extent(Tensor const& tensor, size_t item, size_t buffer_bytes);

// Whether the tensor's strides lay its elements out in row-major order of its dimensions.
bool is_c_ordered(Tensor const& tensor);

// Raw bytes of every element in row-major order of the dimensions, item bytes each.
std::vector<uint8_t> row_major_bytes(Tensor const& tensor);

// All elements of `tensor` read as T in row-major order of its dimensions. The element type is
// checked by the project's typed accessor (its "Wrong requested type" message) before any read.
template <class T>
std::vector<T> read_all(Tensor const& tensor) {
    using Traits = nuvra::detail::ElementTraits<T>;
    if (!Traits::accepts(tensor.type()))
        (void)tensor_read<T>(tensor, size_t{0});  // panics with the typed accessor's message
    std::vector<uint8_t> const bytes = row_major_bytes(tensor);
    std::vector<T> values(tensor.size());
    if (!values.empty()) std::memcpy(values.data(), bytes.data(), values.size() * sizeof(T));
    return values;
}

// Writes `bytes` (every element in row-major order, item bytes each) into `tensor` through its
// strides, after check_extent.
void write_row_major_bytes(Tensor& tensor, uint8_t const* bytes);

// Writes `values` (row-major order of the dimensions) into `tensor` through its strides; the
// type is checked as in read_all and the element count must match.
template <class T>
void write_all(Tensor& tensor, std::vector<T> const& values) {
    using Traits = nuvra::detail::ElementTraits<T>;
    if (!Traits::accepts(tensor.type()))
        (void)tensor_read<T>(tensor, size_t{0});  // panics with the typed accessor's message
    if (values.size() != tensor.size())
        throw std::invalid_argument(format("Cannot write {} elements into a tensor of {} elements", values.size(),
                                           tensor.size()));
    write_row_major_bytes(tensor, reinterpret_cast<uint8_t const*>(values.data()));
}

// A new c-ordered dense tensor holding `values`.
template <class T>
std::shared_ptr<Dense> make_dense(TensorType type, Shape const& shape, std::vector<T> const& values) {
    return Dense::copy(values.data(), values.size() * sizeof(T), type, shape, Layout::c_order);
}

// A new c-ordered int32 tensor of `shape`, zero-filled, for a kernel to fill through int32_elements.
inline std::shared_ptr<Dense> new_int32(Shape const& shape) {
    return Dense::create(TensorType::int32, shape, Layout::c_order);
}
// The elements of a c-ordered int32 tensor in row-major order.
int32_t* int32_elements(Dense& tensor);
int32_t const* int32_elements(Dense const& tensor);

// Signed range of `bits` bits, bits in 1..32 (checked by check_bits).
inline int64_t signed_max(int bits) { return (int64_t{1} << (bits - 1)) - 1; }
inline int64_t signed_min(int bits) { return -(int64_t{1} << (bits - 1)); }

// The range of `bits`-bit values (1..32), signed or unsigned, as int32 holds them: unsigned
// 32-bit values stop at the int32 maximum.
struct ValueRange {
    int64_t lo, hi;
};
inline ValueRange int32_range(int bits, bool is_signed) {
    if (is_signed) return {signed_min(bits), signed_max(bits)};
    return {0, bits >= 32 ? std::numeric_limits<int32_t>::max() : (int64_t{1} << bits) - 1};
}

inline int32_t saturate(int64_t value, int bits) {
    return static_cast<int32_t>(std::clamp(value, signed_min(bits), signed_max(bits)));
}
inline int64_t clamp128(__int128 value) {
    constexpr auto lo = std::numeric_limits<int64_t>::min();
    constexpr auto hi = std::numeric_limits<int64_t>::max();
    return value < lo ? lo : value > hi ? hi : static_cast<int64_t>(value);
}

// value x 2^amount, saturated to the 64-bit range (amount >= 0).
inline int64_t shift_left(int64_t value, int amount) {
    if (value == 0) return 0;
    if (amount >= 63) return value > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
    return clamp128(static_cast<__int128>(value) << amount);
}
// Floor of value / 2^amount (amount >= 0).
inline int64_t shift_right_floor(int64_t value, int amount) {
    return amount >= 63 ? (value < 0 ? -1 : 0) : value >> amount;
}
// value / 2^amount rounded to nearest, halves up (amount >= 0).
inline int64_t shift_right_round(int64_t value, int amount) {
    if (amount == 0) return value;
    if (amount >= 64) return 0;  // |value| <= 2^63, so the quotient rounds to 0 (or 0 from -0.5)
    __int128 const half = static_cast<__int128>(1) << (amount - 1);
    return static_cast<int64_t>((static_cast<__int128>(value) + half) >> amount);
}

// Refuses a bit width outside 1..32.
void check_bits(char const* kernel, int bits, int max_bits = 32);

// A per-channel parameter: one value per channel, or a single value for every channel.
template <class T>
struct PerChannel {
    std::vector<T> values;
    T operator()(size_t channel) const { return values.size() == 1 ? values[0] : values[channel]; }
};
// Reads `tensor` as per-channel values for `channels` channels; another element count is
// std::invalid_argument "<kernel>: <count> <what> for <channels> channels".
template <class T>
PerChannel<T> per_channel(Tensor const& tensor, size_t channels, char const* kernel, char const* what) {
    if (tensor.size() != channels && tensor.size() != 1)
        throw std::invalid_argument(format("{}: {} {} for {} channels", kernel, tensor.size(), what, channels));
    return {read_all<T>(tensor)};
}

// The per-channel operand of add: b of one value per channel or a single value; another count is
// std::invalid_argument (add's own message).
PerChannel<int32_t> per_channel_addend(Tensor const& b, size_t channels);

// scale_out's arithmetic with its factors and shifts read and checked once (scale_out's messages):
// (value x scale[c]) / 2^shift[c] rounded as shift_out, then saturated. Each channel's step is
// precomputed so that an element costs a multiply, an add and a shift in 64 bits:
// - a right shift by r adds 2^(r - 1) first; with |value x scale| < 2^47 nothing overflows for
//   r <= 63, and a larger shift leaves 0 (a factor of 0);
// - a left shift by l multiplies by scale x 2^l, capped at 2^32: a larger factor takes any other
//   value than 0 past the output range, as the capped one does.
class ScaleOut {
public:
    ScaleOut(Tensor const& scales, Tensor const& shifts, size_t channels, int bits, int is_signed);
    int32_t operator()(int32_t value, size_t channel) const {
        Step const& s = steps_[channel];
        return static_cast<int32_t>(std::clamp((value * s.factor + s.half) >> s.right, lo_, hi_));
    }

    struct Step {
        int64_t factor;  // scale[c], times 2^l for a left shift l
        int64_t half;    // 2^(r - 1) for a right shift r, else 0
        int64_t right;   // r
    };
    std::vector<Step> const& steps() const { return steps_; }
    int64_t lo() const { return lo_; }  // the output range
    int64_t hi() const { return hi_; }

private:
    std::vector<Step> steps_;  // one per channel
    int64_t lo_ = 0;
    int64_t hi_ = 0;
};

// Channels of a tensor: its last dimension (1 without dimensions).
inline size_t channels_of(Tensor const& tensor) {
    Shape const& s = tensor.dimensions();
    return s.rank() == 0 ? 1 : s[s.rank() - 1];
}

// An image tensor: (x, y, channels) or (samples, x, y, channels).
struct ImageDims {
    size_t samples = 1;
    size_t x = 0;
    size_t y = 0;
    size_t channels = 0;
    bool batched = false;

    // The shape of an image of this batching with other sizes.
    Shape shape(size_t out_x, size_t out_y, size_t out_channels) const;
};
ImageDims image_dims(Tensor const& tensor, char const* kernel, char const* what = "inputs");

// ---- The sliding-window loops shared by the kernels and by the layers' software path ----

// A window moved over an image: kernel sizes, strides, the padding before the first pixel of each
// axis, and the output size.
struct Window {
    size_t kernel_x = 1, kernel_y = 1;
    int64_t stride_x = 1, stride_y = 1;
    int64_t pad_left = 0, pad_top = 0;
    size_t out_x = 0, out_y = 0;
};

// Weights of a convolution as a matrix of (kernel_x * kernel_y * channels) rows, row (i * ky + j)
// * C + c, and `filters` columns: element (row, f) at data[row * row_stride + f * filter_stride].
struct FilterMatrix {
    int8_t const* data = nullptr;
    size_t filters = 0;
    size_t row_stride = 0;
    size_t filter_stride = 0;
};

// What happens to output pixels once their values are final, while they are still in cache: the
// layers' bias and output stages, in place over `pixels` consecutive pixels of one value per
// filter (or channel) each. May be empty.
using PixelStage = std::function<void(int32_t* values, size_t pixels)>;

// The convolution of conv2d_v2 and input_conv2d: out[s, ox, oy, f] sums in[x, y, c] x w[(i * ky + j)
// * C + c, f] over the window's taps, x = ox x stride_x - pad_left + i (y likewise), a tap outside
// the image reading `outside`; exact in 64 bits, saturated to n bits. `in` holds d's elements in
// row-major order, `out` (samples, out_x, out_y, filters).
void convolve(int32_t const* in, ImageDims const& d, int32_t outside, FilterMatrix const& w, Window const& g, int n,
              int32_t* out, PixelStage const& stage);
// depthwise_conv2d: each channel with its own (kernel_x, kernel_y) weights w[(i * ky + j) * C + c];
// saturated to int32.
void convolve_depthwise(int32_t const* in, ImageDims const& d, int8_t const* w, Window const& g, int32_t* out,
                        PixelStage const& stage);
// conv2d_transpose (stride_x is the stride, pad_left and pad_top the padding, out_x and out_y the
// width and height) with weights (kernel_x, kernel_y, C, filters), or, `depthwise`, each channel
// with its own weights w[(i * ky + j) * C + c] (filters == C); saturated to int32.
void convolve_transpose(int32_t const* in, ImageDims const& d, int8_t const* w, size_t filters, bool depthwise,
                        Window const& g, int32_t* out, PixelStage const& stage);

// The (x, y, channels, filters) dimensions of convolution weights for inputs of `d`, refused in
// the kernel `name`'s words when they do not fit.
Shape const& conv_weights_dims(Tensor const& weights, ImageDims const& d, char const* name);
// The same for per-channel weights (x, y, channels) or (x, y, channels, 1).
Shape const& depthwise_weights_dims(Tensor const& weights, ImageDims const& d, char const* name);
// input_conv2d's refusals of its geometry and of its filters' (filters, kernel_x * kernel_y * C).
void check_input_conv2d(ImageDims const& d, Shape const& filters, int8_t stride_x, int8_t stride_y, int32_t pad_top,
                        int32_t pad_bottom, int32_t pad_left, int32_t pad_right, uint32_t out_x, uint32_t out_y,
                        uint32_t kernel_x, uint32_t kernel_y);

// Refuses a stride below 1.
void check_stride(char const* kernel, int stride_x, int stride_y);
// Refuses an output size of 0 and negative padding.
void check_output(char const* kernel, uint32_t out_x, uint32_t out_y);
void check_padding(char const* kernel, int32_t a, int32_t b, int32_t c, int32_t d);

}  // namespace nuvra::ops::detail
