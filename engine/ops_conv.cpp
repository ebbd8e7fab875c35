// Sliding-window kernels: window geometry, convolutions, pooling and subsampling.
#include <cstdlib>

#include "engine/ops.h"
#include "engine/ops_support.h"

namespace nuvra {

using namespace ops::detail;

namespace {

// Output size and padding of one axis.
struct AxisGeometry {
    uint32_t out = 0;
    int32_t pad_begin = 0;
    int32_t pad_end = 0;
};

AxisGeometry axis_geometry(uint64_t in, int64_t kernel, int64_t stride, Padding padding, char const* axis) {
    AxisGeometry g;
    uint64_t out = 0;
    int64_t total = 0;
    switch (padding) {
        case Padding::Valid:
            if (static_cast<uint64_t>(kernel) > in)
                throw std::invalid_argument(
                    format("ImagePatches: kernel {} ({}) is larger than the input ({}) with Valid padding", axis,
                           kernel, in));
            out = (in - static_cast<uint64_t>(kernel)) / static_cast<uint64_t>(stride) + 1;
            break;
        case Padding::Same:
        case Padding::SameUpper:
            out = (in + static_cast<uint64_t>(stride) - 1) / static_cast<uint64_t>(stride);
            total = std::max<int64_t>(0, static_cast<int64_t>(out - 1) * stride + kernel - static_cast<int64_t>(in));
            break;
        default:
            throw std::invalid_argument(format("ImagePatches: unknown padding {}", static_cast<int32_t>(padding)));
    }
    if (total > 0x7FFFFFFF) throw std::invalid_argument(format("ImagePatches: padding {} is too large", total));
    // Same puts the odd pixel at the end (bottom right), SameUpper at the beginning (top left).
    int64_t const small = total / 2;
    g.pad_begin = static_cast<int32_t>(padding == Padding::SameUpper ? total - small : small);
    g.pad_end = static_cast<int32_t>(total - g.pad_begin);
    g.out = static_cast<uint32_t>(out);  // out <= in, which is a 32-bit dimension
    return g;
}

// Range [first, last) of kernel taps i whose input position o x stride - pad + i lies in [0, in).
struct TapRange {
    int64_t first;
    int64_t last;
    int64_t origin;  // input position of tap 0
};
inline TapRange taps(int64_t o, int64_t stride, int64_t pad, int64_t kernel, int64_t in) {
    int64_t const origin = o * stride - pad;
    return {std::max<int64_t>(0, -origin), std::min<int64_t>(kernel, in - origin), origin};
}

// Largest absolute value of the elements.
template <class T>
int64_t max_abs(std::vector<T> const& values) {
    int64_t m = 0;
    for (T v : values) m = std::max<int64_t>(m, std::llabs(static_cast<int64_t>(v)));
    return m;
}

// The convolution loop of conv2d_v2, accumulating in Acc: out[s, ox, oy, f] over the taps inside
// the image (the zero padding adds nothing).
template <class Acc>
void convolve(std::vector<int32_t> const& in, ImageDims const& d, std::vector<int8_t> const& w, size_t kx, size_t ky,
              size_t filters, int64_t sx, int64_t sy, int64_t pad_left, int64_t pad_top, size_t out_x, size_t out_y,
              int n, std::vector<int32_t>& out) {
    std::vector<Acc> acc(filters);
    std::vector<Acc> wide(w.begin(), w.end());
    for (size_t s = 0; s < d.samples; ++s) {
        int32_t const* image = in.data() + s * d.x * d.y * d.channels;
        for (size_t ox = 0; ox < out_x; ++ox) {
            TapRange const tx = taps(static_cast<int64_t>(ox), sx, pad_left, static_cast<int64_t>(kx),
                                     static_cast<int64_t>(d.x));
            for (size_t oy = 0; oy < out_y; ++oy) {
                TapRange const ty = taps(static_cast<int64_t>(oy), sy, pad_top, static_cast<int64_t>(ky),
                                         static_cast<int64_t>(d.y));
                std::fill(acc.begin(), acc.end(), Acc{0});
                for (int64_t i = tx.first; i < tx.last; ++i) {
                    for (int64_t j = ty.first; j < ty.last; ++j) {
                        int32_t const* pixel =
                            image + (static_cast<size_t>(tx.origin + i) * d.y + static_cast<size_t>(ty.origin + j)) *
                                        d.channels;
                        Acc const* tap = wide.data() + (static_cast<size_t>(i) * ky + static_cast<size_t>(j)) *
                                                           d.channels * filters;
                        for (size_t c = 0; c < d.channels; ++c) {
                            Acc const v = pixel[c];
                            Acc const* row = tap + c * filters;
                            for (size_t f = 0; f < filters; ++f) acc[f] += v * row[f];
                        }
                    }
                }
                int32_t* dst = out.data() + ((s * out_x + ox) * out_y + oy) * filters;
                for (size_t f = 0; f < filters; ++f) dst[f] = saturate(static_cast<int64_t>(acc[f]), n);
            }
        }
    }
}

// Refuses windows that run past the image padded on its four sides.
void check_windows(char const* kernel, uint64_t out, int64_t stride, int64_t window, int64_t pad_begin,
                   int64_t pad_end, uint64_t in, char const* axis) {
    int64_t const reach = static_cast<int64_t>(out - 1) * stride + window;
    if (reach > pad_begin + static_cast<int64_t>(in) + pad_end)
        throw std::invalid_argument(format("{}: {} windows reach {} but the padded input holds {}", kernel, axis, reach,
                                           pad_begin + static_cast<int64_t>(in) + pad_end));
}

}  // namespace

ImagePatches::ImagePatches(int32_t kernel_x, int32_t kernel_y, int32_t sx, int32_t sy, Padding padding,
                           Shape const& input) {
    if (kernel_x < 1 || kernel_y < 1)
        throw std::invalid_argument(
            format("ImagePatches: kernel sizes must be positive (got {} and {})", kernel_x, kernel_y));
    if (sx < 1 || sx > 127 || sy < 1 || sy > 127)
        throw std::invalid_argument(format("ImagePatches: strides must be between 1 and 127 (got {} and {})", sx, sy));
    if (input.rank() != 3 && input.rank() != 4)
        throw std::invalid_argument(
            format("ImagePatches: the input shape must have 3 or 4 dimensions, not {}", input.rank()));
    size_t const first = input.rank() - 3;
    AxisGeometry const gx = axis_geometry(input[first], kernel_x, sx, padding, "x");
    AxisGeometry const gy = axis_geometry(input[first + 1], kernel_y, sy, padding, "y");
    pad_left = gx.pad_begin;
    pad_right = gx.pad_end;
    pad_top = gy.pad_begin;
    pad_bottom = gy.pad_end;
    out_x = gx.out;
    out_y = gy.out;
    stride_x = static_cast<int8_t>(sx);
    stride_y = static_cast<int8_t>(sy);
}

namespace {

// The (x, y, channels, filters) dimensions of convolution weights for inputs of `d`.
Shape const& conv_weights_dims(Tensor const& weights, ImageDims const& d, char const* name) {
    Shape const& ws = weights.dimensions();
    if (ws.rank() != 4)
        throw std::invalid_argument(
            format("{}: weights must have 4 dimensions (x, y, channels, filters), not {}", name, ws.rank()));
    if (ws[2] != d.channels)
        throw std::invalid_argument(
            format("{}: weights for {} channels given an input of {} channels", name, ws[2], d.channels));
    return ws;
}

}  // namespace

namespace ops {

std::shared_ptr<Tensor> conv2d_v2(Tensor const& inputs, int8_t stride_x, int8_t stride_y, int32_t pad_left,
                                  int32_t pad_top, uint32_t out_x, uint32_t out_y, Tensor const& weights, int n) {
    char const* const name = "conv2d_v2";
    check_bits(name, n);
    check_stride(name, stride_x, stride_y);
    check_output(name, out_x, out_y);
    check_padding(name, pad_left, pad_top, 0, 0);
    ImageDims const d = image_dims(inputs, name);
    Shape const& ws = conv_weights_dims(weights, d, name);
    size_t const kx = ws[0], ky = ws[1], filters = ws[3];
    Shape const out_shape = d.shape(out_x, out_y, filters);
    std::vector<int32_t> const in = read_all<int32_t>(inputs);
    std::vector<int8_t> const w = read_all<int8_t>(weights);
    std::vector<int32_t> out(out_shape.checked_size());
    // 32-bit sums are exact when no window can exceed the int32 range; otherwise sum in 64 bits.
    unsigned __int128 const bound = static_cast<unsigned __int128>(max_abs(in)) * static_cast<uint64_t>(max_abs(w)) *
                                    kx * ky * d.channels;
    if (bound <= 0x7FFFFFFFu)
        convolve<int32_t>(in, d, w, kx, ky, filters, stride_x, stride_y, pad_left, pad_top, out_x, out_y, n, out);
    else
        convolve<int64_t>(in, d, w, kx, ky, filters, stride_x, stride_y, pad_left, pad_top, out_x, out_y, n, out);
    return make_dense(TensorType::int32, out_shape, out);
}

std::shared_ptr<Tensor> linearize_filters(Tensor const& weights) {
    Shape const& ws = weights.dimensions();
    if (ws.rank() != 4)
        throw std::invalid_argument(
            format("linearize_filters: weights must have 4 dimensions (x, y, channels, filters), not {}", ws.rank()));
    std::vector<int8_t> const w = read_all<int8_t>(weights);
    size_t const filters = ws[3];
    size_t const row = w.size() / filters;  // x * y * channels, in that row-major order already
    std::vector<int8_t> out(w.size());
    for (size_t k = 0; k < row; ++k)
        for (size_t f = 0; f < filters; ++f) out[f * row + k] = w[k * filters + f];
    return make_dense(TensorType::int8, Shape{ws[3], static_cast<uint32_t>(row)}, out);
}

std::shared_ptr<Tensor> input_conv2d(Tensor const& inputs, uint8_t pad_value, int8_t stride_x, int8_t stride_y,
                                     int32_t pad_top, int32_t pad_bottom, int32_t pad_left, int32_t pad_right,
                                     uint32_t out_x, uint32_t out_y, uint32_t kernel_x, uint32_t kernel_y,
                                     Tensor const& filters) {
    char const* const name = "input_conv2d";
    check_stride(name, stride_x, stride_y);
    check_output(name, out_x, out_y);
    check_padding(name, pad_top, pad_bottom, pad_left, pad_right);
    if (kernel_x == 0 || kernel_y == 0)
        throw std::invalid_argument(format("{}: kernel sizes must be positive (got {} and {})", name, kernel_x, kernel_y));
    ImageDims const d = image_dims(inputs, name);
    Shape const& fs = filters.dimensions();
    uint64_t const row = uint64_t{kernel_x} * kernel_y * d.channels;
    if (fs.rank() != 2 || fs[1] != row)
        throw std::invalid_argument(format("{}: filters must be (filters, {}) for a {}x{} kernel over {} channels", name,
                                           row, kernel_x, kernel_y, d.channels));
    check_windows(name, out_x, stride_x, kernel_x, pad_left, pad_right, d.x, "x");
    check_windows(name, out_y, stride_y, kernel_y, pad_top, pad_bottom, d.y, "y");
    size_t const count = fs[0];
    Shape const out_shape = d.shape(out_x, out_y, count);
    std::vector<uint8_t> const in = read_all<uint8_t>(inputs);
    std::vector<int8_t> const w = read_all<int8_t>(filters);
    std::vector<int32_t> out(out_shape.checked_size());
    std::vector<int64_t> acc(count);
    for (size_t s = 0; s < d.samples; ++s) {
        uint8_t const* image = in.data() + s * d.x * d.y * d.channels;
        for (size_t ox = 0; ox < out_x; ++ox) {
            for (size_t oy = 0; oy < out_y; ++oy) {
                std::fill(acc.begin(), acc.end(), 0);
                int64_t const x0 = static_cast<int64_t>(ox) * stride_x - pad_left;
                int64_t const y0 = static_cast<int64_t>(oy) * stride_y - pad_top;
                for (size_t i = 0; i < kernel_x; ++i) {
                    int64_t const x = x0 + static_cast<int64_t>(i);
                    for (size_t j = 0; j < kernel_y; ++j) {
                        int64_t const y = y0 + static_cast<int64_t>(j);
                        bool const inside = x >= 0 && y >= 0 && x < static_cast<int64_t>(d.x) &&
                                            y < static_cast<int64_t>(d.y);
                        size_t const tap = (i * kernel_y + j) * d.channels;
                        for (size_t c = 0; c < d.channels; ++c) {
                            int64_t const v = inside ? image[(static_cast<size_t>(x) * d.y + y) * d.channels + c]
                                                     : pad_value;
                            for (size_t f = 0; f < count; ++f) acc[f] += v * w[f * row + tap + c];
                        }
                    }
                }
                int32_t* dst = out.data() + ((s * out_x + ox) * out_y + oy) * count;
                for (size_t f = 0; f < count; ++f) dst[f] = saturate(acc[f], 32);
            }
        }
    }
    return make_dense(TensorType::int32, out_shape, out);
}

std::shared_ptr<Tensor> conv2d_transpose(Tensor const& inputs, Tensor const& weights, uint8_t stride, int32_t pad_x,
                                         int32_t pad_y, uint32_t width, uint32_t height) {
    char const* const name = "conv2d_transpose";
    check_stride(name, stride, stride);
    check_output(name, width, height);
    check_padding(name, pad_x, pad_y, 0, 0);
    ImageDims const d = image_dims(inputs, name);
    Shape const& ws = conv_weights_dims(weights, d, name);
    size_t const kx = ws[0], ky = ws[1], filters = ws[3];
    Shape const out_shape = d.shape(width, height, filters);
    std::vector<int32_t> const in = read_all<int32_t>(inputs);
    std::vector<int8_t> const w = read_all<int8_t>(weights);
    std::vector<int64_t> acc(static_cast<size_t>(out_shape.checked_size()), 0);
    size_t const plane = size_t{width} * height * filters;
    for (size_t s = 0; s < d.samples; ++s) {
        int32_t const* image = in.data() + s * d.x * d.y * d.channels;
        int64_t* target = acc.data() + s * plane;
        for (size_t ix = 0; ix < d.x; ++ix) {
            for (size_t i = 0; i < kx; ++i) {
                int64_t const ox = static_cast<int64_t>(ix) * stride + static_cast<int64_t>(i) - pad_x;
                if (ox < 0 || ox >= static_cast<int64_t>(width)) continue;
                for (size_t iy = 0; iy < d.y; ++iy) {
                    int32_t const* pixel = image + (ix * d.y + iy) * d.channels;
                    for (size_t j = 0; j < ky; ++j) {
                        int64_t const oy = static_cast<int64_t>(iy) * stride + static_cast<int64_t>(j) - pad_y;
                        if (oy < 0 || oy >= static_cast<int64_t>(height)) continue;
                        int64_t* dst = target + (static_cast<size_t>(ox) * height + static_cast<size_t>(oy)) * filters;
                        int8_t const* tap = w.data() + (i * ky + j) * d.channels * filters;
                        for (size_t c = 0; c < d.channels; ++c) {
                            int64_t const v = pixel[c];
                            for (size_t f = 0; f < filters; ++f) dst[f] += v * tap[c * filters + f];
                        }
                    }
                }
            }
        }
    }
    std::vector<int32_t> out(acc.size());
    for (size_t k = 0; k < acc.size(); ++k) out[k] = saturate(acc[k], 32);
    return make_dense(TensorType::int32, out_shape, out);
}

std::shared_ptr<Tensor> depthwise_conv2d(Tensor const& inputs, int8_t stride_x, int8_t stride_y, int32_t pad_left,
                                         int32_t pad_top, uint32_t out_x, uint32_t out_y, Tensor const& weights) {
    char const* const name = "depthwise_conv2d";
    check_stride(name, stride_x, stride_y);
    check_output(name, out_x, out_y);
    check_padding(name, pad_left, pad_top, 0, 0);
    ImageDims const d = image_dims(inputs, name);
    Shape const& ws = weights.dimensions();
    if (!(ws.rank() == 3 || (ws.rank() == 4 && ws[3] == 1)))
        throw std::invalid_argument(format("{}: weights must be (x, y, channels) or (x, y, channels, 1)", name));
    if (ws[2] != d.channels)
        throw std::invalid_argument(
            format("{}: weights for {} channels given an input of {} channels", name, ws[2], d.channels));
    size_t const kx = ws[0], ky = ws[1], channels = d.channels;
    Shape const out_shape = d.shape(out_x, out_y, channels);
    std::vector<int32_t> const in = read_all<int32_t>(inputs);
    std::vector<int8_t> const w = read_all<int8_t>(weights);
    std::vector<int32_t> out(out_shape.checked_size());
    std::vector<int64_t> acc(channels);
    for (size_t s = 0; s < d.samples; ++s) {
        int32_t const* image = in.data() + s * d.x * d.y * channels;
        for (size_t ox = 0; ox < out_x; ++ox) {
            TapRange const tx = taps(static_cast<int64_t>(ox), stride_x, pad_left, static_cast<int64_t>(kx),
                                     static_cast<int64_t>(d.x));
            for (size_t oy = 0; oy < out_y; ++oy) {
                TapRange const ty = taps(static_cast<int64_t>(oy), stride_y, pad_top, static_cast<int64_t>(ky),
                                         static_cast<int64_t>(d.y));
                std::fill(acc.begin(), acc.end(), 0);
                for (int64_t i = tx.first; i < tx.last; ++i) {
                    for (int64_t j = ty.first; j < ty.last; ++j) {
                        int32_t const* pixel =
                            image + (static_cast<size_t>(tx.origin + i) * d.y + static_cast<size_t>(ty.origin + j)) *
                                        channels;
                        int8_t const* tap = w.data() + (static_cast<size_t>(i) * ky + static_cast<size_t>(j)) * channels;
                        for (size_t c = 0; c < channels; ++c) acc[c] += int64_t{pixel[c]} * tap[c];
                    }
                }
                int32_t* dst = out.data() + ((s * out_x + ox) * out_y + oy) * channels;
                for (size_t c = 0; c < channels; ++c) dst[c] = saturate(acc[c], 32);
            }
        }
    }
    return make_dense(TensorType::int32, out_shape, out);
}

std::shared_ptr<Tensor> global_average_pooling(Tensor const& a, int n) {
    char const* const name = "global_average_pooling";
    check_bits(name, n);
    ImageDims const d = image_dims(a, name);
    std::vector<int32_t> const in = read_all<int32_t>(a);
    int64_t const count = static_cast<int64_t>(d.x * d.y);
    std::vector<int32_t> out(d.samples * d.channels);
    for (size_t s = 0; s < d.samples; ++s) {
        for (size_t c = 0; c < d.channels; ++c) {
            int64_t sum = 0;  // at most 2^32 values of 2^31: fits 64 bits
            for (size_t p = 0; p < d.x * d.y; ++p) sum += in[(s * d.x * d.y + p) * d.channels + c];
            // round(sum / count), halves up: floor((2 sum + count) / (2 count))
            __int128 const num = static_cast<__int128>(sum) * 2 + count;
            __int128 const den = static_cast<__int128>(count) * 2;
            __int128 q = num / den;
            if ((num % den != 0) && (num < 0)) --q;
            out[s * d.channels + c] = saturate(clamp128(q), n);
        }
    }
    return make_dense(TensorType::int32, d.shape(1, 1, d.channels), out);
}

std::shared_ptr<Tensor> max_pooling(Tensor const& inputs, int8_t pool_x, int8_t pool_y, bool pad_is_zero,
                                    uint32_t out_x, uint32_t out_y, int8_t stride_x, int8_t stride_y,
                                    int32_t pad_top, int32_t pad_bottom, int32_t pad_left, int32_t pad_right,
                                    int n) {
    char const* const name = "max_pooling";
    check_bits(name, n);
    if (pool_x < 1 || pool_y < 1)
        throw std::invalid_argument(format("{}: pool sizes must be positive (got {} and {})", name, pool_x, pool_y));
    check_stride(name, stride_x, stride_y);
    check_output(name, out_x, out_y);
    check_padding(name, pad_top, pad_bottom, pad_left, pad_right);
    ImageDims const d = image_dims(inputs, name);
    check_windows(name, out_x, stride_x, pool_x, pad_left, pad_right, d.x, "x");
    check_windows(name, out_y, stride_y, pool_y, pad_top, pad_bottom, d.y, "y");
    Shape const out_shape = d.shape(out_x, out_y, d.channels);
    std::vector<int32_t> const in = read_all<int32_t>(inputs);
    std::vector<int32_t> out(out_shape.checked_size());
    std::vector<int64_t> best(d.channels);
    for (size_t s = 0; s < d.samples; ++s) {
        int32_t const* image = in.data() + s * d.x * d.y * d.channels;
        for (size_t ox = 0; ox < out_x; ++ox) {
            TapRange const tx = taps(static_cast<int64_t>(ox), stride_x, pad_left, pool_x, static_cast<int64_t>(d.x));
            for (size_t oy = 0; oy < out_y; ++oy) {
                TapRange const ty =
                    taps(static_cast<int64_t>(oy), stride_y, pad_top, pool_y, static_cast<int64_t>(d.y));
                bool const empty = tx.first >= tx.last || ty.first >= ty.last;
                bool const padded = tx.first > 0 || ty.first > 0 || tx.last < pool_x || ty.last < pool_y;
                int64_t const start = empty || (pad_is_zero && padded) ? 0 : std::numeric_limits<int64_t>::min();
                std::fill(best.begin(), best.end(), start);
                for (int64_t i = tx.first; i < tx.last; ++i) {
                    for (int64_t j = ty.first; j < ty.last; ++j) {
                        int32_t const* pixel =
                            image + (static_cast<size_t>(tx.origin + i) * d.y + static_cast<size_t>(ty.origin + j)) *
                                        d.channels;
                        for (size_t c = 0; c < d.channels; ++c) best[c] = std::max<int64_t>(best[c], pixel[c]);
                    }
                }
                int32_t* dst = out.data() + ((s * out_x + ox) * out_y + oy) * d.channels;
                for (size_t c = 0; c < d.channels; ++c) dst[c] = saturate(best[c], n);
            }
        }
    }
    return make_dense(TensorType::int32, out_shape, out);
}

std::shared_ptr<Tensor> subsampling(Tensor const& a, uint8_t factor) {
    if (factor == 0) throw std::invalid_argument("subsampling: factor must be positive (got 0)");
    ImageDims const d = image_dims(a, "subsampling");
    size_t const out_x = (d.x + factor - 1) / factor;
    size_t const out_y = (d.y + factor - 1) / factor;
    std::vector<int32_t> const in = read_all<int32_t>(a);
    std::vector<int32_t> out(d.samples * out_x * out_y * d.channels);
    for (size_t s = 0; s < d.samples; ++s)
        for (size_t ox = 0; ox < out_x; ++ox)
            for (size_t oy = 0; oy < out_y; ++oy)
                std::memcpy(out.data() + ((s * out_x + ox) * out_y + oy) * d.channels,
                            in.data() + ((s * d.x + ox * factor) * d.y + oy * factor) * d.channels,
                            d.channels * sizeof(int32_t));
    return make_dense(TensorType::int32, d.shape(out_x, out_y, d.channels), out);
}

}  // namespace ops
}  // namespace nuvra
