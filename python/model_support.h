// What the Python Model adds to the engine's model, in plain C++: building a model from the
// layers of other models, the mapping statistics, the inference runner, the class choice of
// `evaluate`, the label rules of `fit`, growing a learning layer by new classes, and which
// constraints a mapping takes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/model.h"
#include "engine/tensor.h"
#include "hw/device.h"
#include "hw/ident.h"
#include "hw/power_meter.h"
#include "mapping/map_constraints.h"

namespace nuvra::python {

// A new model holding copies of `layers` (same parameters, names, learning and variable tensors),
// linked by name as the originals are. When the first layer is not an input layer, an input
// layer named as its kind, of the first layer's input shape and bits, comes first, signed when the
// layers feeding the first one give signed values: the new model computes what the old one did.
// A null entry is std::runtime_error "Invalid layer received", before anything is built.
std::unique_ptr<Model> model_from_layers(std::vector<std::shared_ptr<Layer>> const& layers);

// Components per hardware type of the mapped layers: every NP, the skip-DMA load and the plain
// skip-DMA store (not the second store of a dual output). Empty for a model that is not mapped.
std::map<hw::Type, uint64_t> component_count(Model const& model);

// Bytes of memory outside the NPs that the mapped layers use, over every pass of every sequence.
uint64_t external_memory_size(Model const& model);

// One engine step of the runner: forward, predict or fit on the input tensor.
using InferenceStep = std::function<std::shared_ptr<Tensor>(std::shared_ptr<const Tensor> const&)>;
// Receives each metric the runner writes.
using MetricSink = std::function<void(std::string const&, int64_t)>;

// std::invalid_argument "Cannot perform an inference on a model with no layers" for an empty model.
void check_can_infer(Model const& model);

// Runs `step` on `inputs` and writes "inference_frames", "inference_start" and "inference_end";
// on a device with hardware also "inference_clk" and "program_clk", and the events of a SoC power
// meter go to `power_events`, which is emptied first.
std::shared_ptr<Tensor> run_inference(Model const& model, std::shared_ptr<const Tensor> const& inputs,
                                      InferenceStep const& step, std::vector<PowerMeter::PowerEvent>& power_events,
                                      MetricSink const& set_metric);

inline constexpr const char* fit_labels_message = "fit method expects integers as labels";

// `value` as a label: an integral, finite value in the signed 32-bit range; none otherwise.
std::optional<int32_t> integral_label(double value);

// The checks of `evaluate` on its labels, in this order: one dimension ("Labels must be 1-D."),
// as many as inputs ("Inputs and labels must have the same size."), int32 ("Labels must be
// int32."); each std::invalid_argument.
void check_evaluate_labels(size_t label_dims, uint64_t input_count, uint64_t label_count, bool labels_int32);

// The number of classes `evaluate` sorts the outputs into: `num_classes`, or the model's output
// channels when it is 0. Fewer than 2 is std::invalid_argument "Cannot classify with <n>class(es).",
// and output channels that are not a multiple of the count are the "The number of neurons [<n>] is
// not a multiple of  the number of classes [<c>]." of predicted_classes: both are known before
// anything runs.
uint32_t evaluation_classes(Model const& model, uint32_t num_classes);

// `evaluate` runs forward when the model's last layer has an activation, predict otherwise.
bool evaluate_runs_forward(Model const& model);

// The class of each sample of a (samples, x, y, neurons) output: class k owns the k-th of
// `num_classes` equal blocks of each sample's elements, the class of the largest element wins
// (the lower class on a tie), and a sample whose elements never pass the element type's lowest
// value has class -1.
std::vector<int32_t> predicted_classes(Tensor const& output, uint32_t num_classes);

// The share of labels matched by the class of the sample at the same index.
float accuracy(std::span<const int32_t> classes, std::span<const int32_t> labels);

// Replaces the model's last layer, a compiled layer of the kind that learns, by one with room for
// `num_add_classes` more classes of as many neurons each, keeping its name, settings and learned
// values and the layers it reads, and recompiles the learning parameters with the new class count.
// Everything is checked and built first: a failure leaves the model as it was (a refusal of the
// model itself puts the old layer back, and the model is then no longer mapped). A model being
// mapped refuses it first (Model::refuse_edit_while_mapping).
void add_classes(Model& model, int64_t num_add_classes);

// Maps `model` onto `device` with `constraints` (null: the device's own). Constraints made for a
// device that is not equal to `device` (equal_devices) would program the one and report the other:
// std::invalid_argument "The mapping constraints were made for another device.", before the engine
// drops the model's mapping, so a mapped model keeps it. The engine's refusals drop it. A model
// already being mapped (a constraints hook mapping it again) is refused before either.
void map_model(Model& model, std::shared_ptr<Device> const& device, bool hw_only,
               std::shared_ptr<MapConstraints> const& constraints);

}  // namespace nuvra::python
