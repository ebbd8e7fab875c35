// Software inference and learning of a model, layer after layer in model order. Every layer's
// results are those of the engine's reference integer arithmetic (engine/ops.h), kind by kind as
// engine/inference_layers.cpp writes it out beside each kind's run; the forward computes them
// three ways:
//   - the kinds with blocked kernels (those whose run packs its weights; weights of 8 bits or
//     fewer) run on the blocked integer kernels of engine/ops_blocked.h: the values as bytes summed
//     in 32 bits, on the widest instruction set the CPU offers, the bias and the out stage on each
//     block of pixels;
//   - the reference kernels run instead where the blocked ones cannot be exact (values spread over
//     more than 256 levels, sums that may leave 32 bits, a padded image far larger than its input),
//     and for every other kind;
//   - a model without a kind with state shares a batch's samples among threads (software_forward).
//
// Values. The model's input is (samples, width, height, channels); fewer dimensions are accepted
// when, padded with 1s after the first, they give that shape ((N, C) for a (1, 1, C) input). An
// int8, uint8, int16, uint16 or int32 input is read as integers; a float32 input means what the
// same integers mean: the input layer rounds it to nearest (halves away from zero; infinities
// saturate) and saturates it to its bits and sign as it does integers, except that a Quantizer
// reading an InputData layer (the input layer that passes the samples on) reads the float values
// as they are, unclipped; after an input layer that computes, it reads that layer's output. A NaN
// in a float input is std::invalid_argument "Input sample <s> holds NaN at x <x>, y <y>, channel
// <c>: NaN has no integer value.", before anything runs (a mapped model's run refuses it the same
// way). A NaN that a layer would turn into an integer is std::invalid_argument "Layer '<name>'
// (<kind>): <what> holds NaN at channel <c>: NaN has no integer value." (<what>: "variable
// '<variable>'", or "its input" for float values of an earlier layer). Between layers values are
// int32 (float32 after a layer that dequantizes; uint8 where every output of a layer on
// the blocked kernels is a byte), four-dimensional, samples first. Each sample is one time step
// for the kinds with state (the state column of their row, engine/layer_kinds.h): their state
// starts at zero for each call and follows the samples in order, so `batch_size` (0: all samples
// at once; k: k samples per step) never changes a result.
//
// The stages the kinds' arithmetic shares. Bias: bias[f] x 2^bias_shift[f] added per filter.
// Pooling: Max with max_pooling (padding left out), global Max and global Average
// (global_average_pooling); Average over a window has no software meaning. Out stage, to
// output_bits: no activation: scale_out by output_scales and output_shift, signed; ReLU:
// relu_activation at max_value x 2^max_value_shift where that value is not 0, then scale_out
// unsigned; LUT: look_up of scale_out(activation_scales, activation_shift) on 11 bits in
// lut_values, saturated unsigned. Threshold stage (first generation): without activation the
// potential p itself; with it 0 when p <= threshold, else ceil((p - threshold) x 16 / t16) capped
// at 2^act_bits - 1, t16 = get_threshold_t16_from_act_steps(act_step) (t16 <= 0: the cap).
//
// The second-generation convolution kinds run the bias and the out stage inside the convolution's
// output loop, while each pixel's values are in cache; the results are those of the kernels run
// one after another.
//
// Variables. Before anything runs, each layer's variables must fit it (engine/layers.h, "Fit"; a
// value written in another shape that fits, such as weights without their trailing dimensions of
// 1, is kept in that shape and read in the layer's own through Layer::variable): otherwise
// std::invalid_argument "Layer '<name>' (<kind>): variable '<variable>' has shape (<dims>), but
// the layer needs shape (<dims>)" with the shape as written, and ", or any shape of <n> values"
// for the variables that only need their element count.
//
// Size limit. A bad model must not exhaust the machine (a transposed layer's output grows as the
// square of its stride, a kernel may be larger than its input): before a run allocates anything,
// every layer's tensors per sample are checked: its output, a convolution's output before
// pooling, the fifo of a kind that keeps one (fifo_size frames of the input) and a recurrent
// kind's state (pixels x stateful_channels). One above max_run_elements is
// std::invalid_argument "Layer '<name>' (<kind>): the <tensor> of <w> x <h> x <c> (<n> elements)
// exceeds the software limit of 67108864 elements per sample"; an empty convolution output is
// std::invalid_argument "Layer '<name>' (<kind>): the convolution output of <w> x <h> is empty:
// the kernel does not fit the input" (a pooling output: "the pooling output of <w> x <h> is
// empty: the pool does not fit the convolution output"). A group of samples holds batch_size
// times as much.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/tensor.h"

namespace nuvra {

class Layer;
class Model;

// The largest tensor of one layer, in elements per sample, that a software run allocates: 2^26
// (256 MB of int32; the 64-bit sums of a transposed convolution take twice as much). Real models
// stay far below it: a 1024 x 1024 x 64 feature map fits.
inline constexpr uint64_t max_run_elements = uint64_t{1} << 26;

// The last layer's int32 outputs (float32 after a final layer that dequantizes), (samples, x, y,
// channels).
// A model without layers, a null input, or an input whose shape does not fit the model is
// std::invalid_argument; a layer kind (or setting) without software meaning std::runtime_error
// "Layer '<name>' (<kind>): <reason>".
// Threads: a model without a kind with state splits its samples into `threads` contiguous shares
// (never more than the samples; 0: one per CPU the process may run on, usable_cpus(), while each
// has at least state::min_thread_macs multiply-accumulates to do), each run on a thread of its own
// and joined before the call returns; the results are those of one thread. A model with state runs
// its samples in order on the calling thread.
std::shared_ptr<Tensor> software_forward(Model const& model, std::shared_ptr<const Tensor> const& inputs,
                                         uint32_t batch_size = 0, uint32_t threads = 0);

// The CPUs this process may run on now (its affinity, as taskset or a container's CPU set narrows
// it), never more than the machine has and at least 1.
uint32_t usable_cpus();

// software_forward as float32 values: first-generation layers give (p - threshold) x act_step
// without activation and q x act_step with it; float outputs (a dequantizing last layer's) stay as
// they are; other kinds give their integers as floats.
std::shared_ptr<Tensor> software_predict(Model const& model, std::shared_ptr<const Tensor> const& inputs,
                                         uint32_t batch_size = 0);

// The float32 values of a run's outputs, as software_predict gives them from software_forward.
std::shared_ptr<Tensor> predicted_values(Layer const& last, std::shared_ptr<Tensor> const& out);

// The refusal of a Quantizer whose float32 "scales" hold a NaN (which would quantize every value of
// its channel to some number), with the first NaN's channel: "Layer '<name>' (Quantizer): variable
// 'scales' holds NaN at channel <c>: NaN has no integer value."; empty for any other layer. A
// software run throws it as std::invalid_argument; mapping refuses the layer with it.
std::string nan_scales_refusal(Layer const& layer);

// Refuses a fit on a model that is not compiled ("Cannot fit a model that is not compiled.") and a
// label count other than none, one, or one per sample ("Number of labels should be the same as
// number of inputs.").
void check_fit(Model const& model, size_t samples, size_t labels);

// software_forward, learning on the model's last layer (the kind that learns, compiled) with the
// NuvraUnsupervised rule, sample after sample in order; each sample's output is computed with the
// weights as they stand before it teaches. Labels: none (every neuron competes), one for every
// sample, or one per sample (std::invalid_argument otherwise); a label outside 0..num_classes - 1
// skips its sample. For a taught sample, the winner is the first neuron of highest potential
// among the neurons of its class (units / num_classes neurons per class, in class order); its
// connections are the num_weights inputs of highest positive value (lower index first on a tie).
// Each of the winner's weights w moves to w + round(plasticity x (target - w)), target 2^(b-1) - 1
// on a connection and 0 elsewhere (b = weights_bits, rounded halves away from zero, kept within
// b bits); with learning_competition c > 0 the runner-up's connection weights move by
// -round(c x plasticity x w). The winner's plasticity (initial_plasticity at each call) then
// becomes max(min_plasticity, plasticity x (1 - plasticity_decay)). The new weights replace the
// layer's "weights" tensor once at the end, in the shape it was written in (same row-major
// order); the old tensor is never written.
// A model that is not compiled is std::runtime_error "Cannot fit a model that is not compiled.".
std::shared_ptr<Tensor> software_fit(Model& model, std::shared_ptr<const Tensor> const& inputs,
                                     std::vector<int32_t> const& labels, uint32_t batch_size = 0);

}  // namespace nuvra
