// Shared pieces of the software kernels: row-major element copies checked once up front,
// saturation and shifting in wide integers, per-channel parameters and image geometry.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
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

// Signed range of `bits` bits, bits in 1..32 (checked by check_bits).
inline int64_t signed_max(int bits) { return (int64_t{1} << (bits - 1)) - 1; }
inline int64_t signed_min(int bits) { return -(int64_t{1} << (bits - 1)); }

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

// Refuses a stride below 1.
void check_stride(char const* kernel, int stride_x, int stride_y);
// Refuses an output size of 0 and negative padding.
void check_output(char const* kernel, uint32_t out_x, uint32_t out_y);
void check_padding(char const* kernel, int32_t a, int32_t b, int32_t c, int32_t d);

}  // namespace nuvra::ops::detail
