#include "python/model_support.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

#include <fmt/format.h>

#include "engine/layer_kinds.h"
#include "engine/layers.h"
#include "engine/params.h"
#include "engine/sequence.h"
#include "hw/format.h"
#include "mapping/layer_mapping.h"
#include "python/device_support.h"

namespace nuvra::python {

namespace {

std::shared_ptr<Layer> make_layer(LayerType type, std::map<std::string, int> const& entries, std::string name) {
    auto const params = LayerParams::create(type, entries);
    return Layer::create(params.get(), std::move(name));
}

// The InputData layer that feeds `first` in a model built from layers: it gives the values the
// layers feeding `first` gave, of their width and signedness (signed when any of them is, as the
// engine reads a layer's inputs).
std::shared_ptr<Layer> input_layer_for(Layer const& first) {
    Shape const dims = first.input_dimensions().front();
    int const bits = first.input_bits();
    std::span<std::shared_ptr<Layer> const> const feeders = first.inbound_view();
    bool const is_signed =
        std::any_of(feeders.begin(), feeders.end(), [](auto const& feeder) { return feeder->output_signed(); });
    return make_layer(LayerType::InputData,
                      {{"input_width", static_cast<int>(dims[0])},
                       {"input_height", static_cast<int>(dims[1])},
                       {"input_channels", static_cast<int>(dims[2])},
                       {"input_bits", bits},
                       {"input_signed", is_signed ? 1 : 0}},
                      "InputData");
}

// Calls `visit` with every component a mapped layer uses: its skip-DMA load, its plain skip-DMA
// store, then its NPs.
template <class Visit>
void for_each_mapped_component(Layer const& layer, Visit&& visit) {
    std::shared_ptr<LayerMapping const> const mapping = layer_mapping(layer);
    if (!mapping) return;
    if (hw::Component const* load = mapping->skipdma_load()) visit(*load);
    if (hw::Component const* store = mapping->skipdma_store()) visit(*store);
    if (mapping->components)
        for (hw::Component const& component : *mapping->components) visit(component);
}

std::string dims_text(Shape const& shape) { return fmt::format("({})", fmt::join(shape.to_vector(), ", ")); }

// The classes of `n` samples of `classes` blocks of `per` elements of type T, read from the flat
// buffer of `dense`.
template <class T>
std::vector<int32_t> best_blocks(Tensor const& dense, size_t n, size_t classes, size_t per, T lowest) {
    Buffer const buffer = dense.buffer();
    if (buffer.bytes < n * classes * per * sizeof(T)) throw std::logic_error("A tensor's buffer is shorter than its elements.");
    auto const* bytes = static_cast<const uint8_t*>(buffer.data);
    std::vector<int32_t> result(n, -1);
    size_t at = 0;
    for (size_t s = 0; s < n; ++s) {
        T best = lowest;
        for (size_t k = 0; k < classes; ++k) {
            for (size_t j = 0; j < per; ++j, ++at) {
                T value;
                std::memcpy(&value, bytes + at * sizeof(T), sizeof(T));
                if (value > best) {
                    best = value;
                    result[s] = static_cast<int32_t>(k);
                }
            }
        }
    }
    return result;
}

// A copy of `fresh` (the new layer's variable `name`) that starts with the old layer's values.
std::shared_ptr<Dense> carried_variable(std::string const& layer_name, std::string const& name, Tensor const& old,
                                        Tensor const& fresh) {
    Buffer const fresh_bytes = fresh.buffer();
    std::shared_ptr<Dense> const copy =
        Dense::copy(fresh_bytes.data, fresh_bytes.bytes, fresh.type(), fresh.dimensions(), fresh.layout());
    Shape const& od = old.dimensions();
    Shape const& nd = copy->dimensions();
    auto refuse = [&] {
        throw std::invalid_argument(format("Cannot add classes to layer '{}': its variable '{}' of shape {} does not "
                                           "fit the new shape {}.",
                                           layer_name, name, dims_text(od), dims_text(nd)));
    };
    Buffer const old_bytes = old.buffer();
    auto* target = static_cast<uint8_t*>(copy->mutable_buffer().data);
    if (name != "weights") {
        // Per-neuron values: the old neurons' bytes first, the new neurons keep their fresh values.
        if (old_bytes.bytes > fresh_bytes.bytes) refuse();
        if (old_bytes.bytes != 0) std::memcpy(target, old_bytes.data, old_bytes.bytes);
        return copy;
    }
    // Weights (neurons, inputs, 1, 1): each old neuron's row of weights, through each tensor's strides.
    check_element_type<int8_t>(old);
    check_element_type<int8_t>(*copy);
    if (od.rank() != 4 || nd.rank() != 4 || od[0] > nd[0] || od[1] != nd[1] || od[2] != nd[2] || od[3] != nd[3])
        refuse();
    Strides const& os = old.strides();
    Strides const& ns = copy->strides();
    auto const* source = static_cast<const uint8_t*>(old_bytes.data);
    for (uint64_t n = 0; n < od[0]; ++n)
        for (uint64_t i = 0; i < od[1]; ++i)
            for (uint64_t y = 0; y < od[2]; ++y)
                for (uint64_t x = 0; x < od[3]; ++x)
                    target[n * ns[0] + i * ns[1] + y * ns[2] + x * ns[3]] =
                        source[n * os[0] + i * os[1] + y * os[2] + x * os[3]];
    return copy;
}

// A class is chosen among two or more.
void check_class_count(uint32_t num_classes) {
    if (num_classes < 2) throw std::invalid_argument(format("Cannot classify with {}class(es).", num_classes));
}

// Each class owns an equal block of a sample's neurons.
void check_neurons_per_class(uint64_t neurons, uint32_t num_classes) {
    if (neurons % num_classes != 0)
        throw std::invalid_argument(format("The number of neurons [{}] is not a multiple of  the number of classes [{}].",
                                           neurons, num_classes));
}

}  // namespace

std::unique_ptr<Model> model_from_layers(std::vector<std::shared_ptr<Layer>> const& layers) {
    std::unique_ptr<Model> model = Model::create();
    if (layers.empty()) return model;
    for (auto const& layer : layers)
        if (!layer) throw std::runtime_error("Invalid layer received");

    Layer const& first = *layers.front();
    if (!first.is_input_layer()) {
        // A Quantizer of no model has no input shape to give an InputData: the keys that make it
        // an input layer are what it lacks.
        if (first.inbound_view().empty() && layer_kind(first.type()).inbound == KindInbound::one_or_own)
            throw std::invalid_argument(first_layer_refusal(first));
        model->add(input_layer_for(first), {});
    }
    for (size_t i = 0; i < layers.size(); ++i) {
        Layer& entry = *layers[i];
        std::shared_ptr<Layer> const copy = Layer::create(entry.params(), entry.get_name());
        std::vector<std::shared_ptr<Layer>> inbounds;
        if (i > 0)
            for (auto const& inbound : entry.inbound_layers()) inbounds.push_back(model->get_layer(inbound->get_name()));
        model->add(copy, inbounds);
        if (entry.can_learn()) model->compile(entry.learning());
        Variables const& from = entry.variables();
        for (auto const& name : from.names()) {
            std::shared_ptr<Tensor> const tensor = from.get(name);
            // The very tensor is shared: the engine never writes into a variable's tensor.
            auto dense = std::dynamic_pointer_cast<Dense>(tensor);
            copy->variables().set(name, dense ? dense : tensor->ensure_dense());
        }
    }
    return model;
}

std::map<hw::Type, uint64_t> component_count(Model const& model) {
    std::map<hw::Type, uint64_t> counts;
    for (auto const& layer : model.layers())
        for_each_mapped_component(*layer, [&](hw::Component const& c) { ++counts[c.type]; });
    return counts;
}

uint64_t external_memory_size(Model const& model) {
    uint64_t total = 0;
    for (auto const& sequence : model.sequences())
        for (auto const& pass : sequence->passes())
            for (auto const& layer : pass->layers)
                for_each_mapped_component(*layer, [&](hw::Component const& c) { total += c.mem_info.external_size; });
    return total;
}

void check_can_infer(Model const& model) {
    if (model.layer_count() == 0)
        throw std::invalid_argument("Cannot perform an inference on a model with no layers");
}

std::shared_ptr<Tensor> run_inference(Model const& model, std::shared_ptr<const Tensor> const& inputs,
                                      InferenceStep const& step, std::vector<PowerMeter::PowerEvent>& power_events,
                                      MetricSink const& set_metric) {
    check_can_infer(model);
    power_events.clear();
    int64_t const frames = inputs->dimensions().rank() == 0 ? 1 : inputs->dimensions()[0];
    std::shared_ptr<Device> const device = model.device();
    HardwareDevice* const hardware = device ? device->hardware() : nullptr;
    ClockedRun clock(hardware);
    std::shared_ptr<Tensor> output = step(inputs);
    clock.stop();
    if (hardware) {
        set_metric("inference_clk", clock.clocks());
        set_metric("program_clk", hardware->program_clock_count());
    }
    set_metric("inference_frames", frames);
    set_metric("inference_start", clock.start_ms());
    set_metric("inference_end", clock.end_ms());
    if (hardware)
        if (auto events = soc_power_events(*hardware)) power_events = std::move(*events);
    return output;
}

std::optional<int32_t> integral_label(double value) {
    if (!std::isfinite(value) || std::trunc(value) != value) return std::nullopt;
    if (value < double(std::numeric_limits<int32_t>::min()) || value > double(std::numeric_limits<int32_t>::max()))
        return std::nullopt;
    return static_cast<int32_t>(value);
}

void check_evaluate_labels(size_t label_dims, uint64_t input_count, uint64_t label_count, bool labels_int32) {
    if (label_dims != 1) throw std::invalid_argument("Labels must be 1-D.");
    if (input_count != label_count) throw std::invalid_argument("Inputs and labels must have the same size.");
    if (!labels_int32) throw std::invalid_argument("Labels must be int32.");
}

uint32_t evaluation_classes(Model const& model, uint32_t num_classes) {
    check_can_infer(model);
    uint32_t const neurons = model.output_shape()[2];
    uint32_t const classes = num_classes != 0 ? num_classes : neurons;
    check_class_count(classes);
    check_neurons_per_class(neurons, classes);
    return classes;
}

bool evaluate_runs_forward(Model const& model) {
    check_can_infer(model);
    return model.get_layer(model.layer_count() - 1)->has_activation();
}

std::vector<int32_t> predicted_classes(Tensor const& output, uint32_t num_classes) {
    TensorType const type = output.type();
    switch (type) {
        case TensorType::int32:
        case TensorType::float32:
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2:
        case TensorType::int8: break;
        // Bit tensors are stored as signed bytes, which the unsigned read refuses.
        case TensorType::bit: check_element_type<uint8_t>(output); break;
        default: throw std::runtime_error(std::string("cannot evaluate on a Tensor of type ") + Tensor::type_name(type));
    }
    check_class_count(num_classes);
    Shape const& dims = output.dimensions();
    if (dims.rank() != 4)
        throw std::runtime_error(
            format("Cannot classify an output of {} dimensions: (samples, x, y, neurons) is expected.", dims.rank()));
    uint32_t const n = dims[0];
    uint32_t const neurons = dims[3];
    check_neurons_per_class(neurons, num_classes);
    std::shared_ptr<Dense const> const dense = output.ensure_dense();
    size_t const per = dense->size() / (size_t{n} * num_classes);
    switch (type) {
        case TensorType::int32:
            return best_blocks<int32_t>(*dense, n, num_classes, per, std::numeric_limits<int32_t>::min());
        case TensorType::float32:
            return best_blocks<float>(*dense, n, num_classes, per, std::numeric_limits<float>::lowest());
        case TensorType::int8: return best_blocks<int8_t>(*dense, n, num_classes, per, int8_t{-128});
        default: return best_blocks<uint8_t>(*dense, n, num_classes, per, uint8_t{0});
    }
}

float accuracy(std::span<const int32_t> classes, std::span<const int32_t> labels) {
    size_t correct = 0;
    for (size_t i = 0; i < labels.size() && i < classes.size(); ++i)
        if (classes[i] == labels[i]) ++correct;
    return static_cast<float>(correct) / static_cast<float>(labels.size());
}

void add_classes(Model& model, int64_t num_add_classes) {
    model.refuse_edit_while_mapping();
    if (num_add_classes < 1) throw std::invalid_argument("The number of classes to add must be positive.");
    if (model.layer_count() == 0) throw std::runtime_error("The model must have at least one layer.");
    std::shared_ptr<Layer> const last = model.get_layer(model.layer_count() - 1);
    LayerParams const& params = *last->params();
    if (params.layer_type() != learning_kind) throw std::runtime_error(not_learning_kind_message);
    std::shared_ptr<LearningParams> const learning = model.learning();
    if (!learning) throw std::runtime_error("The last layer must be compiled.");

    std::map<std::string, double> entries;
    for (auto const& key : learning->keys()) entries[key] = learning->get(key);
    double const old_classes = learning->get("num_classes");
    int32_t const units = params.get("units");
    entries["num_classes"] = old_classes + static_cast<double>(num_add_classes);
    // Each new class gets as many neurons as an old one, rounded down.
    int64_t const per_class = static_cast<int64_t>(std::trunc(units / old_classes));
    int64_t const max_units = std::numeric_limits<int32_t>::max();
    if (per_class > 0 && num_add_classes > (max_units - units) / per_class)
        throw std::invalid_argument(format("Cannot add {} classes of {} neurons to layer '{}': it would have more "
                                           "than {} units.",
                                           num_add_classes, per_class, last->get_name(), max_units));
    int64_t const new_units = per_class * num_add_classes + units;
    std::shared_ptr<LearningParams> const new_learning = LearningParams::create(learning->learning_type(), entries);
    std::shared_ptr<Layer> const grown =
        make_layer(learning_kind,
                   {{"units", static_cast<int>(new_units)},
                    {"weights_bits", params.get("weights_bits")},
                    {"activation", params.get("activation")},
                    {"act_bits", params.get("act_bits")}},
                   last->get_name());

    // The new layer is built and compiled once in a model of its own, fed like the last layer is,
    // so that its fresh variables exist and every refusal comes before the model changes.
    {
        std::unique_ptr<Model> trial = Model::create();
        Shape const in = last->input_dimensions().front();
        std::shared_ptr<Layer> const feeder = last->inbound_layers().front();
        trial->add(make_layer(LayerType::InputData,
                              {{"input_width", static_cast<int>(in[0])},
                               {"input_height", static_cast<int>(in[1])},
                               {"input_channels", static_cast<int>(in[2])},
                               {"input_bits", last->input_bits()},
                               {"input_signed", feeder->output_signed() ? 1 : 0}},
                              "InputData"));
        trial->add(grown);
        trial->compile(new_learning);
        std::vector<std::pair<std::string, std::shared_ptr<Dense>>> carried;
        // The old values as the layer reads them: a value written in another shape is carried in
        // the layer's shape.
        for (auto const& name : last->variables().names())
            carried.emplace_back(name, carried_variable(last->get_name(), name, *last->variable(name),
                                                        *grown->variables().get(name)));
        for (auto& [name, tensor] : carried) grown->variables().set(name, std::move(tensor));
        trial->pop_layer();
    }

    // The grown layer reads what the old one read; adding keeps the variables it already holds.
    // Should the model still refuse it, the old layer goes back as it was: it kept its variables
    // when it was popped, and gets its inbounds and learning again.
    std::vector<std::shared_ptr<Layer>> const inbounds = last->inbound_layers();
    bool const last_learns = last->learning() == learning;
    model.pop_layer();
    bool added = false;
    try {
        model.add(grown, inbounds);
        added = true;
        model.compile(new_learning);
    } catch (...) {
        if (added) model.pop_layer();
        model.add(last, inbounds);
        if (last_learns) model.compile(learning);
        throw;
    }
}

void map_model(Model& model, std::shared_ptr<Device> const& device, bool hw_only,
               std::shared_ptr<MapConstraints> const& constraints) {
    model.refuse_edit_while_mapping();
    // A null device is the engine's to refuse.
    if (device && constraints && !equal_devices(*constraints->device(), *device))
        throw std::invalid_argument("The mapping constraints were made for another device.");
    model.map(device, hw_only, constraints);
}

}  // namespace nuvra::python
