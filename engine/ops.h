// The engine's reference integer kernels: the arithmetic that every layer runs in software and
// that hardware results are compared with.
//
// Conventions shared by all kernels:
// - An image is a tensor of (x, y, channels) or, batched, (samples, x, y, channels); a kernel
//   returns the same batching it was given. Convolution weights are (kernel x, kernel y,
//   input channels, filters).
// - "Saturated to n bits" clamps to the signed range [-2^(n-1), 2^(n-1) - 1], n in 1..32;
//   arithmetic runs in 64-bit (or wider) integers before that clamp, so nothing wraps.
// - A per-channel argument holds one value per channel (the last dimension of the data) or a
//   single value for every channel.
// - Inputs are read, never written, except the fifo of fifo_op and the two states of
//   update_internal_state. Results are new c-ordered Dense tensors.
// - Bad arguments (stride, factor or size of 0, mismatched shapes, an unknown bit width) are
//   std::invalid_argument; a tensor of the wrong element type fails through the typed accessor
//   ("Wrong requested type ...").
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/params.h"
#include "engine/tensor.h"

namespace nuvra {

// Geometry of a sliding window over an image, as Keras computes it. Built from the kernel sizes,
// the strides, the padding and the input shape ((x, y, channels) or (samples, x, y, channels)).
// Valid: no padding, out = (in - kernel) / stride + 1 (the kernel must fit in the input).
// Same and SameUpper: out = ceil(in / stride), padded by max(0, (out - 1) x stride + kernel - in)
// in all; Same puts the odd pixel at the bottom right, SameUpper at the top left.
// The eight values, in the order the callers read them: g0 pad_left, g1 pad_right, g2 pad_top,
// g3 pad_bottom (int32), g4 out_x, g5 out_y (uint32), g6 stride_x, g7 stride_y (int8).
// Kernel sizes below 1 and strides outside 1..127 are std::invalid_argument.
struct ImagePatches {
    ImagePatches(int32_t kernel_x, int32_t kernel_y, int32_t stride_x, int32_t stride_y, Padding padding,
                 Shape const& input);

    int32_t pad_left = 0;    // g0: columns of padding before x = 0
    int32_t pad_right = 0;   // g1: columns of padding after the last x
    int32_t pad_top = 0;     // g2: rows of padding before y = 0
    int32_t pad_bottom = 0;  // g3: rows of padding after the last y
    uint32_t out_x = 0;      // g4: output width
    uint32_t out_y = 0;      // g5: output height
    int8_t stride_x = 1;     // g6
    int8_t stride_y = 1;     // g7
};

// The activation steps (float32, one per filter or neuron) as the hardware's 32-bit thresholds
// with four fractional bits: round(step x 16), halves away from zero, saturated to int32; a NaN
// or infinite step is std::invalid_argument. The result is one-dimensional, one int32 per step.
std::shared_ptr<Dense> get_threshold_t16_from_act_steps(Tensor const& act_steps);

namespace ops {

// a x 2^b[c] (b uint8 per channel), saturated to n bits.
std::shared_ptr<Tensor> lshift(Tensor const& a, Tensor const& b, int n);
// a x 2^b[c] for b >= 0, floor(a / 2^-b[c]) for b < 0 (b int8 per channel), saturated to n bits.
std::shared_ptr<Tensor> shift(Tensor const& a, Tensor const& b, int n);
// a / 2^b[c] rounded to nearest (halves up) for b >= 0, a x 2^-b[c] for b < 0 (b int8 per
// channel), saturated to n bits: the output stage's right shift.
std::shared_ptr<Tensor> shift_out(Tensor const& a, Tensor const& b, int n);
// a (..., K) x b (K, N), or x transpose(b) with b (N, K) when `transpose_b`; int32 saturated to n bits.
std::shared_ptr<Tensor> matmul(Tensor const& a, Tensor const& b, int n, bool transpose_b);
// a + b saturated to n bits; b has a's shape, or is per-channel.
std::shared_ptr<Tensor> add(Tensor const& a, Tensor const& b, int n);
// The Add layer's sum: (a x 2^sa[c] + b x 2^sb[c]) x 2^so[c] (sa, sb uint8, so int8, all
// per-channel; b of a's shape), exact, rounded as shift_out where the total exponent is negative,
// saturated to n bits. A channel of so 0 saturates each shifted input to 32 bits before the sum.
std::shared_ptr<Tensor> add_shifted(Tensor const& a, Tensor const& b, Tensor const& a_shifts, Tensor const& b_shifts,
                                    Tensor const& out_shifts, int n);
// The tensors joined along their last dimension (same type, same other dimensions), in order.
std::shared_ptr<Tensor> concatenate_last_dim(std::vector<std::shared_ptr<Tensor const>> const& tensors);
// (a x scales[c]) / 2^shifts[c] rounded as shift_out (scales uint16 or uint8, shifts int8, both
// per channel), saturated to `bits` bits: signed when `is_signed` != 0, else to [0, 2^bits - 1]
// (bits 1..31).
std::shared_ptr<Tensor> scale_out(Tensor const& a, Tensor const& scales, Tensor const& shifts, int bits,
                                  int is_signed);
// Convolution of an int32 image with int8 weights (x, y, C, F) and zero padding: output pixel
// (ox, oy) reads input x = ox x stride_x - pad_left + i, y = oy x stride_y - pad_top + j;
// int32 (out_x, out_y, F), saturated to n bits.
std::shared_ptr<Tensor> conv2d_v2(Tensor const& inputs, int8_t stride_x, int8_t stride_y, int32_t pad_left,
                                  int32_t pad_top, uint32_t out_x, uint32_t out_y, Tensor const& weights, int n);
// Weights (x, y, C, F) as one row per filter: int8 (F, x * y * C), row element (i * y + j) * C + c.
std::shared_ptr<Tensor> linearize_filters(Tensor const& weights);
// Convolution of a uint8 image with linearized filters (F, kernel_x * kernel_y * C) over the
// image padded with `pad_value` on its four sides; int32 (out_x, out_y, F). Every window must lie
// inside the padded image.
std::shared_ptr<Tensor> input_conv2d(Tensor const& inputs, uint8_t pad_value, int8_t stride_x, int8_t stride_y,
                                     int32_t pad_top, int32_t pad_bottom, int32_t pad_left, int32_t pad_right,
                                     uint32_t out_x, uint32_t out_y, uint32_t kernel_x, uint32_t kernel_y,
                                     Tensor const& filters);
// Transposed convolution: input pixel (ix, iy) adds in x w[i, j] to output (ix x s + i - pad_x,
// iy x s + j - pad_y), contributions outside (width, height) dropped; weights (x, y, C, F);
// int32 (width, height, F), saturated to int32.
std::shared_ptr<Tensor> conv2d_transpose(Tensor const& inputs, Tensor const& weights, uint8_t stride, int32_t pad_x,
                                         int32_t pad_y, uint32_t width, uint32_t height);
// a / scales[c] as float32 (scales float32 per channel); a zero scale gives 0.
std::shared_ptr<Tensor> dequantize(Tensor const& a, Tensor const& scales);
// Per-channel convolution (weights (x, y, C) or (x, y, C, 1)) with the geometry of conv2d_v2;
// int32 (out_x, out_y, C), saturated to int32.
std::shared_ptr<Tensor> depthwise_conv2d(Tensor const& inputs, int8_t stride_x, int8_t stride_y, int32_t pad_left,
                                         int32_t pad_top, uint32_t out_x, uint32_t out_y, Tensor const& weights);
// min(max(a, 0), max(b[c], 0)): ReLU clipped at the per-channel maximum b (int32).
std::shared_ptr<Tensor> relu_activation(Tensor const& a, Tensor const& max_values);
// table[clamp(a, 0, table size - 1)]: a look-up in the int32 table (its elements in row-major order).
std::shared_ptr<Tensor> look_up(Tensor const& a, Tensor const& table);
// Mean of each channel over x and y, rounded to nearest (halves up), saturated to n bits;
// (1, 1, C) per sample.
std::shared_ptr<Tensor> global_average_pooling(Tensor const& a, int n);
// Maximum over each pool_x x pool_y window (geometry as conv2d_v2, with explicit padding on all
// four sides); padding counts as 0 when `pad_is_zero`, else is left out, and a window holding
// no element gives 0; saturated to n bits. Every window must lie inside the padded image.
std::shared_ptr<Tensor> max_pooling(Tensor const& inputs, int8_t pool_x, int8_t pool_y, bool pad_is_zero,
                                    uint32_t out_x, uint32_t out_y, int8_t stride_x, int8_t stride_y,
                                    int32_t pad_top, int32_t pad_bottom, int32_t pad_left, int32_t pad_right,
                                    int n);
// Pushes `input` into `fifo` (T, ...) in place: entries move one place towards index 0 (the
// oldest, at 0, is dropped) and `input` (one entry's elements) becomes entry T - 1. Both are int8
// (signed bytes), or both int32 (a layer's fifo of wider or unsigned values). Returns a copy of
// the updated fifo.
std::shared_ptr<Tensor> fifo_op(Tensor& fifo, Tensor const& input);
// Temporal depthwise convolution: sum over t of a[t, ..., c] x b[t, c], a int32 (T, ..., C), b int8
// (T, C); int32 (..., C), saturated to n bits.
std::shared_ptr<Tensor> depthwise_like_conv(Tensor const& a, Tensor const& b, int n);
// One step of a per-channel complex linear recurrence over the state (re, im), with u = a
// shifted as `shift` does by b[c] (int8) and the coefficient e[c] + i f[c] (int16) carrying k
// fractional bits (k 0..30):
//   re' = round((e re - f im) / 2^k) + u,  im' = round((f re + e im) / 2^k),
// both rounded as shift_out and saturated to m bits. a, re and im (int32) share one shape.
// `re` and `im` are updated in place; the result is a copy of (re', im').
std::pair<std::shared_ptr<Tensor>, std::shared_ptr<Tensor>> update_internal_state(
    Tensor const& a, Tensor const& b, Tensor& re, Tensor& im, Tensor const& e, Tensor const& f, int m, int k);
// Keeps every factor-th pixel in x and y from pixel (0, 0): (ceil(x / factor), ceil(y / factor), C).
std::shared_ptr<Tensor> subsampling(Tensor const& a, uint8_t factor);
// ((a + b[c]) x c[c]) / 256 rounded as shift_out (a, b int16, scales uint16 with 8 fractional
// bits), negative results set to 0 when `relu`, saturated to n bits (1..16); int16.
std::shared_ptr<Tensor> wisp_post_processing(Tensor const& a, Tensor const& b, Tensor const& scales, int n,
                                             bool relu);

}  // namespace ops
}  // namespace nuvra
