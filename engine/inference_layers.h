// The per-kind software arithmetic behind engine/inference.h; used only by the inference files.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/tensor.h"

namespace nuvra::inference {

// A value between layers: a c-ordered Dense of (samples, x, y, channels), int32 or float32, or
// uint8 where a layer's outputs are all bytes (the blocked kernels read them as they are; the
// other kinds read them as int32).
using Value = std::shared_ptr<Dense>;

struct Prepared;

// What a layer keeps from one sample to the next within a run: the state of a kind with state,
// and a blocked kind's packed weights and output stage.
struct LayerState {
    std::shared_ptr<Dense> fifo;  // (fifo_size, x, y, channels) int32, oldest frame first
    std::shared_ptr<Dense> re;    // (x * y, states) int32
    std::shared_ptr<Dense> im;
    std::shared_ptr<Prepared const> prepared;
};

// The states of one run, per layer.
using RunState = std::map<Layer const*, LayerState>;

// std::runtime_error "Layer '<name>' (<kind>): <reason>".
[[noreturn]] void refuse_layer(Layer const& layer, std::string const& reason);

// The model input as a Value of (samples, width, height, channels) for `input_shape`; a float
// input holding a NaN is std::invalid_argument "Input sample <s> holds NaN at x <x>, y <y>,
// channel <c>: NaN has no integer value." (the first NaN in row-major order).
// (samples, width, height, channels) of inputs given as that or as fewer dimensions that give it
// when padded with 1s after the first; inputs that do not fit the model are std::invalid_argument
// "Inputs of shape (<dims>) do not fit the model's input (<w>, <h>, <c>).", and with fewer than four
// dimensions "Inputs of shape (<dims>) do not fit the model's input (<w>, <h>, <c>): inputs must be
// 4-D with the samples first, (samples, <w>, <h>, <c>)."
Shape model_input_shape(Shape const& given, Shape const& input_shape);
Value model_input(Tensor const& inputs, Shape const& input_shape);

// Refuses a float32 model input of `shape` (model_input_shape) that holds a NaN, with model_input's
// message; other element types pass.
void refuse_nan_input(Tensor const& inputs, Shape const& shape);

// The samples [first, first + count) of a uint8 model input as a uint8 Value of `shape`
// (model_input_shape) with `count` samples.
Value model_bytes(Tensor const& inputs, Shape const& shape, uint32_t first, uint32_t count);

// The value's samples [first, first + count) as a new Value.
Value samples(Value const& value, size_t first, size_t count);
// The values joined along the samples.
Value join_samples(std::vector<Value> const& parts);

// int32 values of an integer tensor of any integer type (float32: rounded, saturated).
std::shared_ptr<Dense> int32_of(Tensor const& tensor);

// Refuses a layer with a variable that does not fit it (engine/layers.h, "Fit"):
// std::invalid_argument "Layer '<name>' (<kind>): variable '<variable>' has shape (<dims>), but the
// layer needs shape (<dims>)[, or any shape of <n> values]".
void check_variables(Layer const& layer);

// Refuses a layer whose tensors in a software run would exceed max_run_elements per sample, whose
// convolution output is empty, or whose "filters", "units", "stateful_channels" or
// "output_channels" is 0 ("Layer '<name>' (<kind>): parameter '<key>' is 0: the layer has nothing
// to compute"): std::invalid_argument, see engine/inference.h. Allocates nothing.
void check_run_sizes(Layer const& layer);

// The kernels of the kinds that have blocked ones (engine/inference_layers.cpp): the blocked integer
// kernels (engine/ops_blocked.h), or only the reference kernels (engine/ops.h), which give the same
// values.
enum class Kernels { blocked, reference };

// Packs a blocked kind's weights and output stage into `state` ahead of its runs, so that the
// threads of a run share them; other kinds, and variables the layer would refuse, are left to the
// run.
void prepare_layer(Layer const& layer, LayerState& state);

// One layer over a group of samples. An input layer gets the model input as its only input.
Value run_layer(Layer const& layer, std::vector<Value> const& inputs, LayerState& state,
                Kernels kernels = Kernels::blocked);

// The threshold stage of the first-generation kinds over potentials p (int32, channels last).
Value threshold_stage(Layer const& layer, Value const& potentials);

}  // namespace nuvra::inference
