// Running and mapping a model. Mapping goes through the hardware back end that the mapping engine
// registers (engine/backend.h). A mapped model runs its samples through the mapped sequences; any
// other model runs the software reference (engine/inference.h).
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "engine/backend.h"
#include "engine/inference.h"
#include "engine/inference_layers.h"
#include "engine/layers.h"
#include "engine/model.h"
#include "engine/ops_support.h"
#include "engine/sequence.h"
#include "hw/device.h"
#include "hw/format.h"

namespace nuvra {

namespace {

using ops::detail::read_all;
using ops::detail::row_major_bytes;

using Samples = std::vector<std::shared_ptr<const Tensor>>;

// The input batch cut into one c-ordered tensor of the model's input shape (width, height,
// channels) per sample, in the input's element type. The input is (samples, width, height,
// channels), or fewer dimensions that give that shape when padded with 1s after the first.
Samples split_samples(Tensor const& inputs, Shape const& input_shape) {
    Shape const s = inference::model_input_shape(inputs.dimensions(), input_shape);

    // Every element once, in row-major order; the extent is checked against the buffer first.
    std::vector<uint8_t> const bytes = row_major_bytes(inputs);
    uint64_t const sample_bytes = input_shape.product() * Tensor::item_size(inputs.type());
    uint32_t const count = s[0];
    Samples samples;
    samples.reserve(count);
    for (uint64_t i = 0; i < count; ++i)
        samples.push_back(Dense::copy(bytes.data() + i * sample_bytes, size_t(sample_bytes), inputs.type(),
                                      input_shape, Layout::c_order));
    return samples;
}

// The mapped sequences, each able to run samples; checked before anything runs.
std::vector<ForwardableSequence*> forwardable(std::vector<std::shared_ptr<Sequence>> const& sequences) {
    std::vector<ForwardableSequence*> result;
    for (auto const& sequence : sequences) {
        auto* runner = dynamic_cast<ForwardableSequence*>(sequence.get());
        if (runner == nullptr)
            throw std::runtime_error(format("Sequence '{}' cannot run samples: it is not a forwardable sequence.",
                                            sequence ? sequence->name() : std::string("(null)")));
        result.push_back(runner);
    }
    return result;
}

// Runs `samples` through `sequence`, `batch_size` samples per call (0: all in one call). Labels
// (null: no learning) follow their samples when there is one per sample; an empty list or a
// single label goes to every call unchanged.
Samples run_sequence(ForwardableSequence& sequence, Samples const& samples, uint32_t batch_size,
                     std::vector<int> const* labels) {
    size_t const count = samples.size();
    size_t const step = batch_size == 0 ? count : batch_size;
    bool const per_sample = labels != nullptr && labels->size() == count;
    Samples outputs;
    outputs.reserve(count);
    for (size_t first = 0; first < count; first += step) {
        size_t const last = first + std::min(step, count - first);
        Samples const group(samples.begin() + std::ptrdiff_t(first), samples.begin() + std::ptrdiff_t(last));
        std::vector<int> group_labels;
        if (per_sample)
            group_labels.assign(labels->begin() + std::ptrdiff_t(first), labels->begin() + std::ptrdiff_t(last));
        else if (labels != nullptr)
            group_labels = *labels;
        std::vector<std::shared_ptr<Tensor>> const results =
            sequence.forward_samples(group, labels != nullptr ? &group_labels : nullptr);
        if (results.size() != group.size())
            throw std::runtime_error(format("Sequence '{}' returned {} outputs for {} samples.", sequence.name(),
                                            results.size(), group.size()));
        for (auto const& result : results) {
            if (!result) throw std::runtime_error(format("Sequence '{}' returned a null output.", sequence.name()));
            outputs.push_back(result);
        }
    }
    return outputs;
}

// The dimensions of one sample's output as (x, y, channels): fewer dimensions are padded with 1s
// in front, a leading sample dimension of 1 is dropped.
std::vector<uint32_t> sample_dims(Tensor const& output) {
    Shape const& s = output.dimensions();
    std::vector<uint32_t> dims = s.to_vector();
    if (dims.size() == 4 && dims.front() == 1) dims.erase(dims.begin());
    if (dims.size() > 3)
        throw std::runtime_error(format("A sample output of {} dimensions cannot be stacked.", s.rank()));
    dims.insert(dims.begin(), 3 - dims.size(), 1);
    return dims;
}

// One (samples, x, y, channels) tensor of the outputs' element type, the samples in order.
std::shared_ptr<Tensor> stack_samples(Samples const& outputs) {
    if (outputs.empty()) throw std::runtime_error("No outputs to stack.");
    TensorType const type = outputs.front()->type();
    std::vector<uint32_t> const dims = sample_dims(*outputs.front());
    uint64_t const per = Shape(dims).product();
    if (per > max_shape_size / outputs.size())
        throw std::runtime_error(format("{} outputs of {} elements each hold more than {} elements.", outputs.size(),
                                        per, max_shape_size));
    size_t const item = Tensor::item_size(type);

    std::shared_ptr<Dense> const stacked =
        Dense::create(type, Shape{uint32_t(outputs.size()), dims[0], dims[1], dims[2]}, Layout::c_order);
    auto* dst = static_cast<uint8_t*>(stacked->mutable_buffer().data);
    for (size_t i = 0; i < outputs.size(); ++i) {
        Tensor const& output = *outputs[i];
        if (output.type() != type || sample_dims(output) != dims)
            throw std::runtime_error(format("The output of sample {} differs in shape or type from the first.", i));
        std::vector<uint8_t> const bytes = row_major_bytes(output);
        if (!bytes.empty()) std::memcpy(dst + i * per * item, bytes.data(), bytes.size());
    }
    return stacked;
}

// A run needs inputs and layers (a model may lose its layers after it was mapped).
void check_run(Model const& model, std::shared_ptr<const Tensor> const& inputs) {
    if (!inputs) throw std::invalid_argument("Cannot run a model without inputs.");
    if (model.layer_count() == 0) throw std::invalid_argument("Cannot run a model with no layers.");
}

// Whether the model runs through its sequences: the last mapping produced some.
bool runs_on_hardware(Model const& model) { return !model.sequences().empty(); }

// Runs the inputs through the mapped sequences in order, each feeding the next, and stacks the
// last one's outputs. With labels (not null) the last sequence, which holds the learning layer,
// learns; the earlier ones only run.
std::shared_ptr<Tensor> run_sequences(Model const& model, Tensor const& inputs, uint32_t batch_size,
                                      std::vector<int32_t> const* labels) {
    std::vector<std::shared_ptr<Sequence>> const sequences = model.sequences();
    std::vector<ForwardableSequence*> const runners = forwardable(sequences);
    inference::refuse_nan_input(inputs, inference::model_input_shape(inputs.dimensions(), model.input_shape()));
    Samples samples = split_samples(inputs, model.input_shape());
    if (labels != nullptr) check_fit(model, samples.size(), labels->size());
    std::vector<int> const learn_labels =
        labels != nullptr ? std::vector<int>(labels->begin(), labels->end()) : std::vector<int>{};
    for (size_t i = 0; i < runners.size(); ++i) {
        bool const learns = labels != nullptr && i + 1 == runners.size();
        samples = run_sequence(*runners[i], samples, batch_size, learns ? &learn_labels : nullptr);
    }
    return stack_samples(samples);
}

}  // namespace

std::shared_ptr<Tensor> Model::fit(std::shared_ptr<const Tensor> const& inputs, std::vector<int32_t> const& labels,
                                   uint32_t batch_size) {
    // Learning writes the learning layer's variables.
    refuse_edit_while_mapping();
    if (!runs_on_hardware(*this)) return software_fit(*this, inputs, labels, batch_size);
    check_run(*this, inputs);
    check_fit(*this, 0, 0);
    return run_sequences(*this, *inputs, batch_size, &labels);
}

std::shared_ptr<Tensor> Model::forward(std::shared_ptr<const Tensor> const& inputs, uint32_t batch_size) {
    if (!runs_on_hardware(*this)) return software_forward(*this, inputs, batch_size);
    check_run(*this, inputs);
    return run_sequences(*this, *inputs, batch_size, nullptr);
}

std::shared_ptr<Tensor> Model::predict(std::shared_ptr<const Tensor> const& inputs, uint32_t batch_size) {
    if (!runs_on_hardware(*this)) return software_predict(*this, inputs, batch_size);
    check_run(*this, inputs);
    return predicted_values(*layers_.back(), run_sequences(*this, *inputs, batch_size, nullptr));
}

void Model::map(std::shared_ptr<Device> device, bool hw_only, std::shared_ptr<MapConstraints> constraints) {
    refuse_edit_while_mapping();
    if (!device) throw std::invalid_argument("Cannot map a model without a device.");
    HardwareBackendHooks const hooks = hardware_backend_hooks();
    if (hooks.make_backend == nullptr || hooks.make_default_constraints == nullptr)
        throw std::runtime_error("No hardware back end is registered.");

    // The old sequences go before the new mapping is made. Until it is made, the constraints'
    // hooks may read the model but not change it.
    drop_mapping();
    mapping_ = true;
    struct MappingFlag {
        bool& flag;
        ~MappingFlag() { flag = false; }
    } const mapping_flag{mapping_};

    if (!constraints) constraints = hooks.make_default_constraints(device);
    std::unique_ptr<Backend> const backend = hooks.make_backend();
    // The back end may empty its list of layers; the model keeps its own.
    std::vector<std::shared_ptr<Layer>> layers = layers_;
    std::vector<std::shared_ptr<Sequence>> sequences;
    // A refused mapping leaves no layer mapped: the sequences made so far go, and so does any
    // mapping the back end attached to a layer before it stopped.
    auto const unmap = [&] {
        sequences.clear();
        for (auto const& layer : layers_)
            if (auto* impl = dynamic_cast<LayerImpl*>(layer.get())) impl->set_mapping(nullptr);
    };
    MappingStatusGroup status;
    try {
        status = backend->map(&layers, &sequences, constraints);
    } catch (...) {
        unmap();
        throw;
    }
    if (status.failed) {
        unmap();
        status.throw_exception();
    }

    sequences_ = std::move(sequences);
    device_ = std::move(device);
}

}  // namespace nuvra
