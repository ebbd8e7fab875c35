// Sliding-window kernels: window geometry, convolutions, pooling and subsampling.
#include <cstdlib>
#include <limits>

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
int64_t max_abs(T const* values, size_t count) {
    int64_t m = 0;
    for (size_t i = 0; i < count; ++i) m = std::max<int64_t>(m, std::llabs(static_cast<int64_t>(values[i])));
    return m;
}

// The dot products run over rows padded with zeros to a multiple of this many taps, so that they
// vectorize without a remainder.
constexpr size_t kSumStep = 8;

// The loop of convolve: Val holds the pixels and weights (int16 when they fit, so that pairs of
// 16 x 16-bit products sum in one instruction), Acc the sums (int32 when no window can leave its
// range). Each output pixel gathers its window's taps into `patch` (`outside` beyond the image),
// then takes the dot product of the patch with each filter's row of `width` weights; the sums are
// saturated to n bits only when they may leave that range.
template <class Acc, class Val>
void convolve_loop(int32_t const* in, ImageDims const& d, Val outside, std::vector<Val> const& rows, size_t width,
                   size_t filters, Window const& g, int n, bool saturates, int32_t* out, PixelStage const& stage) {
    size_t const c = d.channels;
    std::vector<Val> patch(width, Val{0});
    Acc const lo = static_cast<Acc>(signed_min(n)), hi = static_cast<Acc>(signed_max(n));  // n <= 32
    for (size_t s = 0; s < d.samples; ++s) {
        int32_t const* image = in + s * d.x * d.y * c;
        for (size_t ox = 0; ox < g.out_x; ++ox) {
            int32_t* const line = out + (s * g.out_x + ox) * g.out_y * filters;
            for (size_t oy = 0; oy < g.out_y; ++oy) {
                Val* tap = patch.data();
                for (size_t i = 0; i < g.kernel_x; ++i) {
                    int64_t const x = static_cast<int64_t>(ox) * g.stride_x - g.pad_left + static_cast<int64_t>(i);
                    for (size_t j = 0; j < g.kernel_y; ++j, tap += c) {
                        int64_t const y = static_cast<int64_t>(oy) * g.stride_y - g.pad_top + static_cast<int64_t>(j);
                        if (x < 0 || y < 0 || x >= static_cast<int64_t>(d.x) || y >= static_cast<int64_t>(d.y)) {
                            std::fill(tap, tap + c, outside);
                            continue;
                        }
                        int32_t const* pixel = image + (static_cast<size_t>(x) * d.y + static_cast<size_t>(y)) * c;
                        for (size_t k = 0; k < c; ++k) tap[k] = static_cast<Val>(pixel[k]);
                    }
                }
                int32_t* const dst = line + oy * filters;
                auto const store = [&](size_t f, Acc sum) {
                    dst[f] = static_cast<int32_t>(saturates ? std::clamp(sum, lo, hi) : sum);
                };
                Val const* row = rows.data();
                size_t f = 0;
                for (; f + 4 <= filters; f += 4, row += 4 * width) {  // four filters share each patch read
                    Acc s0 = 0, s1 = 0, s2 = 0, s3 = 0;
                    for (size_t k = 0; k < width; ++k) {
                        Acc const v = patch[k];
                        s0 += v * static_cast<Acc>(row[k]);
                        s1 += v * static_cast<Acc>(row[width + k]);
                        s2 += v * static_cast<Acc>(row[2 * width + k]);
                        s3 += v * static_cast<Acc>(row[3 * width + k]);
                    }
                    store(f, s0);
                    store(f + 1, s1);
                    store(f + 2, s2);
                    store(f + 3, s3);
                }
                for (; f < filters; ++f, row += width) {
                    Acc sum = 0;
                    for (size_t k = 0; k < width; ++k) sum += static_cast<Acc>(patch[k]) * static_cast<Acc>(row[k]);
                    store(f, sum);
                }
            }
            if (stage) stage(line, g.out_y);
        }
    }
}

// The weights as one Val row per filter, padded with zeros to a multiple of kSumStep taps.
template <class Acc, class Val>
void convolve_as(int32_t const* in, ImageDims const& d, int32_t outside, FilterMatrix const& w, Window const& g, int n,
                 bool saturates, int32_t* out, PixelStage const& stage) {
    size_t const depth = g.kernel_x * g.kernel_y * d.channels;
    size_t const width = (depth + kSumStep - 1) / kSumStep * kSumStep;
    std::vector<Val> rows(w.filters * width, Val{0});
    for (size_t f = 0; f < w.filters; ++f)
        for (size_t k = 0; k < depth; ++k) rows[f * width + k] = w.data[k * w.row_stride + f * w.filter_stride];
    convolve_loop<Acc, Val>(in, d, static_cast<Val>(outside), rows, width, w.filters, g, n, saturates, out, stage);
}

// Refuses windows that run past the image padded on its four sides.
void check_windows(char const* kernel, uint64_t out, int64_t stride, int64_t window, int64_t pad_begin,
                   int64_t pad_end, uint64_t in, char const* axis) {
    int64_t const reach = static_cast<int64_t>(out - 1) * stride + window;
    if (reach > pad_begin + static_cast<int64_t>(in) + pad_end)
        throw std::invalid_argument(format("{}: {} windows reach {} but the padded input holds {}", kernel, axis, reach,
                                           pad_begin + static_cast<int64_t>(in) + pad_end));
}

// floor(num / den) for den > 0.
template <class T>
T floor_quotient(T num, T den) {
    T const q = num / den;
    return num % den != 0 && num < 0 ? q - 1 : q;
}

}  // namespace

namespace ops::detail {

void convolve(int32_t const* in, ImageDims const& d, int32_t outside, FilterMatrix const& w, Window const& g, int n,
              int32_t* out, PixelStage const& stage) {
    size_t const depth = g.kernel_x * g.kernel_y * d.channels;
    int64_t const pixel = std::max<int64_t>(max_abs(in, d.samples * d.x * d.y * d.channels), std::llabs(outside));
    int64_t weight = 0;
    for (size_t k = 0; k < depth; ++k)
        for (size_t f = 0; f < w.filters; ++f)
            weight = std::max<int64_t>(weight, std::llabs(int64_t{w.data[k * w.row_stride + f * w.filter_stride]}));
    // The largest sum a window can reach: 32-bit sums are exact below 2^31, and need no
    // saturation below 2^(n - 1).
    unsigned __int128 const bound = static_cast<unsigned __int128>(pixel) * static_cast<uint64_t>(weight) * depth;
    bool const narrow_sums = bound <= 0x7FFFFFFFu;
    bool const saturates = bound > static_cast<uint64_t>(signed_max(n));
    bool const narrow_values = pixel <= std::numeric_limits<int16_t>::max();
    if (narrow_sums && narrow_values)
        convolve_as<int32_t, int16_t>(in, d, outside, w, g, n, saturates, out, stage);
    else if (narrow_sums)
        convolve_as<int32_t, int32_t>(in, d, outside, w, g, n, saturates, out, stage);
    else if (narrow_values)
        convolve_as<int64_t, int16_t>(in, d, outside, w, g, n, saturates, out, stage);
    else
        convolve_as<int64_t, int32_t>(in, d, outside, w, g, n, saturates, out, stage);
}

void convolve_depthwise(int32_t const* in, ImageDims const& d, int8_t const* w, Window const& g, int32_t* out,
                        PixelStage const& stage) {
    size_t const channels = d.channels;
    std::vector<int64_t> acc(channels);
    for (size_t s = 0; s < d.samples; ++s) {
        int32_t const* image = in + s * d.x * d.y * channels;
        for (size_t ox = 0; ox < g.out_x; ++ox) {
            TapRange const tx = taps(static_cast<int64_t>(ox), g.stride_x, g.pad_left,
                                     static_cast<int64_t>(g.kernel_x), static_cast<int64_t>(d.x));
            for (size_t oy = 0; oy < g.out_y; ++oy) {
                TapRange const ty = taps(static_cast<int64_t>(oy), g.stride_y, g.pad_top,
                                         static_cast<int64_t>(g.kernel_y), static_cast<int64_t>(d.y));
                std::fill(acc.begin(), acc.end(), 0);
                for (int64_t i = tx.first; i < tx.last; ++i) {
                    for (int64_t j = ty.first; j < ty.last; ++j) {
                        int32_t const* pixel =
                            image + (static_cast<size_t>(tx.origin + i) * d.y + static_cast<size_t>(ty.origin + j)) *
                                        channels;
                        int8_t const* tap =
                            w + (static_cast<size_t>(i) * g.kernel_y + static_cast<size_t>(j)) * channels;
                        for (size_t c = 0; c < channels; ++c) acc[c] += int64_t{pixel[c]} * tap[c];
                    }
                }
                int32_t* dst = out + ((s * g.out_x + ox) * g.out_y + oy) * channels;
                for (size_t c = 0; c < channels; ++c) dst[c] = saturate(acc[c], 32);
            }
            if (stage) stage(out + (s * g.out_x + ox) * g.out_y * channels, g.out_y);
        }
    }
}

void convolve_transpose(int32_t const* in, ImageDims const& d, int8_t const* w, size_t filters, bool depthwise,
                        Window const& g, int32_t* out, PixelStage const& stage) {
    size_t const kx = g.kernel_x, ky = g.kernel_y, width = g.out_x, height = g.out_y;
    int64_t const stride = g.stride_x;
    size_t const plane = width * height * filters;
    std::vector<int64_t> acc(plane);
    for (size_t s = 0; s < d.samples; ++s) {
        int32_t const* image = in + s * d.x * d.y * d.channels;
        std::fill(acc.begin(), acc.end(), 0);
        for (size_t ix = 0; ix < d.x; ++ix) {
            for (size_t i = 0; i < kx; ++i) {
                int64_t const ox = static_cast<int64_t>(ix) * stride + static_cast<int64_t>(i) - g.pad_left;
                if (ox < 0 || ox >= static_cast<int64_t>(width)) continue;
                for (size_t iy = 0; iy < d.y; ++iy) {
                    int32_t const* pixel = image + (ix * d.y + iy) * d.channels;
                    for (size_t j = 0; j < ky; ++j) {
                        int64_t const oy = static_cast<int64_t>(iy) * stride + static_cast<int64_t>(j) - g.pad_top;
                        if (oy < 0 || oy >= static_cast<int64_t>(height)) continue;
                        int64_t* dst =
                            acc.data() + (static_cast<size_t>(ox) * height + static_cast<size_t>(oy)) * filters;
                        if (depthwise) {
                            int8_t const* tap = w + (i * ky + j) * d.channels;
                            for (size_t c = 0; c < d.channels; ++c) dst[c] += int64_t{pixel[c]} * tap[c];
                            continue;
                        }
                        int8_t const* tap = w + (i * ky + j) * d.channels * filters;
                        for (size_t c = 0; c < d.channels; ++c) {
                            int64_t const v = pixel[c];
                            for (size_t f = 0; f < filters; ++f) dst[f] += v * tap[c * filters + f];
                        }
                    }
                }
            }
        }
        int32_t* target = out + s * plane;
        for (size_t ox = 0; ox < width; ++ox) {
            int32_t* row = target + ox * height * filters;
            for (size_t k = 0; k < height * filters; ++k) row[k] = saturate(acc[ox * height * filters + k], 32);
            if (stage) stage(row, height);
        }
    }
}

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

Shape const& depthwise_weights_dims(Tensor const& weights, ImageDims const& d, char const* name) {
    Shape const& ws = weights.dimensions();
    if (!(ws.rank() == 3 || (ws.rank() == 4 && ws[3] == 1)))
        throw std::invalid_argument(format("{}: weights must be (x, y, channels) or (x, y, channels, 1)", name));
    if (ws[2] != d.channels)
        throw std::invalid_argument(
            format("{}: weights for {} channels given an input of {} channels", name, ws[2], d.channels));
    return ws;
}

void check_input_conv2d(ImageDims const& d, Shape const& filters, int8_t stride_x, int8_t stride_y, int32_t pad_top,
                        int32_t pad_bottom, int32_t pad_left, int32_t pad_right, uint32_t out_x, uint32_t out_y,
                        uint32_t kernel_x, uint32_t kernel_y) {
    char const* const name = "input_conv2d";
    check_stride(name, stride_x, stride_y);
    check_output(name, out_x, out_y);
    check_padding(name, pad_top, pad_bottom, pad_left, pad_right);
    if (kernel_x == 0 || kernel_y == 0)
        throw std::invalid_argument(format("{}: kernel sizes must be positive (got {} and {})", name, kernel_x, kernel_y));
    uint64_t const row = uint64_t{kernel_x} * kernel_y * d.channels;
    if (filters.rank() != 2 || filters[1] != row)
        throw std::invalid_argument(format("{}: filters must be (filters, {}) for a {}x{} kernel over {} channels", name,
                                           row, kernel_x, kernel_y, d.channels));
    check_windows(name, out_x, stride_x, kernel_x, pad_left, pad_right, d.x, "x");
    check_windows(name, out_y, stride_y, kernel_y, pad_top, pad_bottom, d.y, "y");
}

}  // namespace ops::detail

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
    size_t const filters = ws[3];
    auto result = new_int32(d.shape(out_x, out_y, filters));
    std::vector<int32_t> const in = read_all<int32_t>(inputs);
    std::vector<int8_t> const w = read_all<int8_t>(weights);
    Window const g{ws[0], ws[1], stride_x, stride_y, pad_left, pad_top, out_x, out_y};
    convolve(in.data(), d, 0, FilterMatrix{w.data(), filters, filters, 1}, g, n, int32_elements(*result), {});
    return result;
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
    ImageDims const d = image_dims(inputs, "input_conv2d");
    Shape const& fs = filters.dimensions();
    check_input_conv2d(d, fs, stride_x, stride_y, pad_top, pad_bottom, pad_left, pad_right, out_x, out_y, kernel_x,
                       kernel_y);
    size_t const count = fs[0], row = fs[1];
    auto result = new_int32(d.shape(out_x, out_y, count));
    std::vector<uint8_t> const bytes = read_all<uint8_t>(inputs);
    std::vector<int32_t> const in(bytes.begin(), bytes.end());
    std::vector<int8_t> const w = read_all<int8_t>(filters);
    Window const g{kernel_x, kernel_y, stride_x, stride_y, pad_left, pad_top, out_x, out_y};
    convolve(in.data(), d, pad_value, FilterMatrix{w.data(), count, 1, row}, g, 32, int32_elements(*result), {});
    return result;
}

std::shared_ptr<Tensor> conv2d_transpose(Tensor const& inputs, Tensor const& weights, uint8_t stride, int32_t pad_x,
                                         int32_t pad_y, uint32_t width, uint32_t height) {
    char const* const name = "conv2d_transpose";
    check_stride(name, stride, stride);
    check_output(name, width, height);
    check_padding(name, pad_x, pad_y, 0, 0);
    ImageDims const d = image_dims(inputs, name);
    Shape const& ws = conv_weights_dims(weights, d, name);
    size_t const filters = ws[3];
    auto result = new_int32(d.shape(width, height, filters));
    std::vector<int32_t> const in = read_all<int32_t>(inputs);
    std::vector<int8_t> const w = read_all<int8_t>(weights);
    Window const g{ws[0], ws[1], stride, stride, pad_x, pad_y, width, height};
    convolve_transpose(in.data(), d, w.data(), filters, false, g, int32_elements(*result), {});
    return result;
}

std::shared_ptr<Tensor> depthwise_conv2d(Tensor const& inputs, int8_t stride_x, int8_t stride_y, int32_t pad_left,
                                         int32_t pad_top, uint32_t out_x, uint32_t out_y, Tensor const& weights) {
    char const* const name = "depthwise_conv2d";
    check_stride(name, stride_x, stride_y);
    check_output(name, out_x, out_y);
    check_padding(name, pad_left, pad_top, 0, 0);
    ImageDims const d = image_dims(inputs, name);
    Shape const& ws = depthwise_weights_dims(weights, d, name);
    auto result = new_int32(d.shape(out_x, out_y, d.channels));
    std::vector<int32_t> const in = read_all<int32_t>(inputs);
    std::vector<int8_t> const w = read_all<int8_t>(weights);
    Window const g{ws[0], ws[1], stride_x, stride_y, pad_left, pad_top, out_x, out_y};
    convolve_depthwise(in.data(), d, w.data(), g, int32_elements(*result), {});
    return result;
}

std::shared_ptr<Tensor> global_average_pooling(Tensor const& a, int n) {
    char const* const name = "global_average_pooling";
    check_bits(name, n);
    ImageDims const d = image_dims(a, name);
    std::vector<int32_t> const in = read_all<int32_t>(a);
    int64_t const count = static_cast<int64_t>(d.x * d.y);
    std::vector<int32_t> out(d.samples * d.channels);
    std::vector<int64_t> sums(d.channels);  // at most 2^32 values of 2^31 each: fit 64 bits
    for (size_t s = 0; s < d.samples; ++s) {
        std::fill(sums.begin(), sums.end(), 0);
        for (size_t p = 0; p < d.x * d.y; ++p) {  // pixel by pixel, as the values lie
            int32_t const* pixel = in.data() + (s * d.x * d.y + p) * d.channels;
            for (size_t c = 0; c < d.channels; ++c) sums[c] += pixel[c];
        }
        for (size_t c = 0; c < d.channels; ++c) {
            int64_t const sum = sums[c];
            // round(sum / count), halves up: floor((2 sum + count) / (2 count)); below 2^30 values
            // (|sum| < 2^61) in 64 bits.
            if (count < (int64_t{1} << 30)) {
                out[s * d.channels + c] = saturate(floor_quotient(sum * 2 + count, count * 2), n);
                continue;
            }
            __int128 const q = floor_quotient(static_cast<__int128>(sum) * 2 + count, static_cast<__int128>(count) * 2);
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
