// The nn submodule: the engine's reference kernels, one operation at a time, so that tests can
// compare a layer's hardware results with the reference arithmetic.
//
// Every function converts its arrays in argument order (copies: the caller's arrays are never
// written), calls one kernel and returns its result as a new array. Arguments have no names.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "engine/ops.h"
#include "python/nn_geometry.h"
#include "python/not_none.h"
#include "python/numpy_conversion.h"
#include "python/registration.h"

namespace py = pybind11;

namespace nuvra::python {

namespace {

template <class T>
auto dense(ArrayOf<T> const& array) {
    return dense_from_argument<T>(array);
}

// Elementwise kernels of the form kernel(a, b, n).
template <class A, class B, std::shared_ptr<Tensor> (*kernel)(Tensor const&, Tensor const&, int)>
py::array binary(ArrayOf<A> const& a, ArrayOf<B> const& b, int n) {
    auto const ta = dense(a);
    auto const tb = dense(b);
    return tensor_to_numpy(kernel(*ta, *tb, n));
}

template <class A, class B, std::shared_ptr<Tensor> (*kernel)(Tensor const&, Tensor const&)>
py::array pair_of(ArrayOf<A> const& a, ArrayOf<B> const& b) {
    auto const ta = dense(a);
    auto const tb = dense(b);
    return tensor_to_numpy(kernel(*ta, *tb));
}

py::array matmul(ArrayOf<int32_t> const& a, ArrayOf<int32_t> const& b, int n, bool transpose_b) {
    auto const ta = dense(a);
    auto const tb = dense(b);
    return tensor_to_numpy(ops::matmul(*ta, *tb, n, transpose_b));
}

py::array concatenate(ArrayOf<int32_t> const& a, ArrayOf<int32_t> const& b) {
    auto const ta = dense(a);
    auto const tb = dense(b);
    return tensor_to_numpy(ops::concatenate_last_dim({ta, tb}));
}

// The scales are matched as an array as they are, without a cast.
py::array scale_out(ArrayOf<int32_t> const& a, py::array const& scales, ArrayOf<int8_t> const& shifts, int bits,
                    int is_signed) {
    auto const ta = dense(a);
    auto const tscales = dense_from_scales(scales);
    auto const tshifts = dense(shifts);
    return tensor_to_numpy(ops::scale_out(*ta, *tscales, *tshifts, bits, is_signed));
}

py::array conv2d(ArrayOf<int32_t> const& inputs, ArrayOf<int8_t> const& weights, uint8_t stride,
                 NotNone<Padding> padding, int n) {
    auto const in = dense(inputs);
    auto const w = dense(weights);
    ImagePatches const g = conv_patches(in->dimensions(), w->dimensions(), stride, padding.value);
    return tensor_to_numpy(
        ops::conv2d_v2(*in, g.stride_x, g.stride_y, g.pad_left, g.pad_top, g.out_x, g.out_y, *w, n));
}

// The last argument is accepted and not used.
py::array input_conv2d(ArrayOf<uint8_t> const& inputs, ArrayOf<int8_t> const& weights, uint8_t stride,
                       NotNone<Padding> padding, uint8_t pad_value, uint32_t) {
    auto const in = dense(inputs);
    auto const w = dense(weights);
    auto const filters = ops::linearize_filters(*w);
    ImagePatches const g = conv_patches(in->dimensions(), w->dimensions(), stride, padding.value);
    return tensor_to_numpy(ops::input_conv2d(*in, pad_value, g.stride_x, g.stride_y, g.pad_top, g.pad_bottom,
                                             g.pad_left, g.pad_right, g.out_x, g.out_y, w->dimensions()[0],
                                             w->dimensions()[1], *filters));
}

py::array conv2d_transpose(ArrayOf<int32_t> const& inputs, ArrayOf<int8_t> const& weights, uint8_t stride) {
    auto const in = dense(inputs);
    auto const w = dense(weights);
    TransposeGeometry const g = transpose_geometry(in->dimensions(), w->dimensions(), stride);
    return tensor_to_numpy(ops::conv2d_transpose(*in, *w, stride, g.pad_x, g.pad_y, g.width, g.height));
}

py::array depthwise_conv2d(ArrayOf<int32_t> const& inputs, ArrayOf<int8_t> const& weights, uint8_t stride) {
    auto const in = dense(inputs);
    auto const w = dense(weights);
    ImagePatches const g = conv_patches(in->dimensions(), w->dimensions(), stride, Padding::Same);
    return tensor_to_numpy(
        ops::depthwise_conv2d(*in, g.stride_x, g.stride_y, g.pad_left, g.pad_top, g.out_x, g.out_y, *w));
}

py::array global_average_pooling(ArrayOf<int32_t> const& a, int n) {
    return tensor_to_numpy(ops::global_average_pooling(*dense(a), n));
}

// Pool x and stride y arrive as unsigned bytes, pool y and stride x as signed ones; the kernel
// takes both pool sizes as signed bytes.
py::array max_pooling(ArrayOf<int32_t> const& inputs, uint8_t pool_x, int8_t pool_y, int8_t stride_x,
                      uint8_t stride_y, NotNone<Padding> padding, int n) {
    auto const in = dense(inputs);
    ImagePatches const g(pool_x, pool_y, stride_x, stride_y, padding.value, in->dimensions());
    return tensor_to_numpy(ops::max_pooling(*in, static_cast<int8_t>(pool_x), pool_y, false, g.out_x, g.out_y,
                                            g.stride_x, g.stride_y, g.pad_top, g.pad_bottom, g.pad_left,
                                            g.pad_right, n));
}

// The kernel updates the fifo's copy, which is returned.
py::array fifo_op(ArrayOf<int8_t> const& fifo, ArrayOf<int8_t> const& input) {
    auto const tfifo = dense(fifo);
    auto const tinput = dense(input);
    ops::fifo_op(*tfifo, *tinput);
    return tensor_to_numpy(tfifo);
}

// The two states are updated in their copies; the kernel's two results become the pair.
std::pair<py::array, py::array> stateful_main_op(ArrayOf<int32_t> const& a, ArrayOf<int8_t> const& b,
                                                 ArrayOf<int32_t> const& re, ArrayOf<int32_t> const& im,
                                                 ArrayOf<int16_t> const& e, ArrayOf<int16_t> const& f, int m,
                                                 int k) {
    auto const ta = dense(a);
    auto const tb = dense(b);
    auto const tre = dense(re);
    auto const tim = dense(im);
    auto const te = dense(e);
    auto const tf = dense(f);
    auto const [re_next, im_next] = ops::update_internal_state(*ta, *tb, *tre, *tim, *te, *tf, m, k);
    return {tensor_to_numpy(re_next), tensor_to_numpy(im_next)};
}

py::array subsampling_op(ArrayOf<int32_t> const& a, uint8_t factor) {
    return tensor_to_numpy(ops::subsampling(*dense(a), factor));
}

py::array wisppostprocessing_op(ArrayOf<int16_t> const& a, ArrayOf<int16_t> const& b, ArrayOf<uint16_t> const& c,
                                int n, bool relu) {
    auto const ta = dense(a);
    auto const tb = dense(b);
    auto const tc = dense(c);
    return tensor_to_numpy(ops::wisp_post_processing(*ta, *tb, *tc, n, relu));
}

}  // namespace

void register_nn_module(py::module_& m) {
    py::module_ nn = m.def_submodule(
        "nn",
        "Nuvra Neural Network software internal functions. These are meant for testing, debugging and validation "
        "only.");
    nn.def("lshift", &binary<int32_t, uint8_t, ops::lshift>);
    nn.def("shift", &binary<int32_t, int8_t, ops::shift>);
    nn.def("shift_out", &binary<int32_t, int8_t, ops::shift_out>);
    nn.def("matmul", &matmul);
    nn.def("add", &binary<int32_t, int32_t, ops::add>);
    nn.def("concatenate", &concatenate);
    nn.def("scale_out", &scale_out);
    nn.def("conv2d", &conv2d);
    nn.def("input_conv2d", &input_conv2d);
    nn.def("conv2d_transpose", &conv2d_transpose);
    nn.def("dequantize", &pair_of<int32_t, float, ops::dequantize>);
    nn.def("depthwise_conv2d", &depthwise_conv2d);
    nn.def("relu_activation", &pair_of<int32_t, int32_t, ops::relu_activation>);
    nn.def("look_up", &pair_of<int32_t, int32_t, ops::look_up>);
    nn.def("global_average_pooling", &global_average_pooling);
    nn.def("max_pooling", &max_pooling);
    nn.def("fifo_op", &fifo_op);
    nn.def("depth_conv_like_op", &binary<int32_t, int8_t, ops::depthwise_like_conv>);
    nn.def("stateful_main_op", &stateful_main_op);
    nn.def("subsampling_op", &subsampling_op);
    nn.def("wisppostprocessing_op", &wisppostprocessing_op);
}

}  // namespace nuvra::python
