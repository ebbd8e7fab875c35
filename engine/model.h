// The engine's model: an ordered graph of layers, its learning parameters, its mapped sequences,
// and its serialization.
//
// Graph rules (Model::add):
// - the layer must come from Layer::create and belong to no model (std::invalid_argument);
// - its name must differ from those of the model's layers (std::invalid_argument "The model
//   already has a layer named '<name>'."): layers are found by name;
// - an input layer (Layer::is_input_layer) takes no inbound layers;
// - any other layer with an empty inbound list is linked to the last layer added; on an empty
//   model that is refused;
// - inbound layers must already belong to this model; the same layer may be listed twice;
// - on success the layer is built: its input shapes, bits, output shape, blocks and fresh
//   variables exist (engine/layers.h). A layer the kind refuses leaves the model unchanged.
//
// Learning: compile(params) stores the parameters in the model and lets the last layer, which must
// be of the learning kind (learning_kind), see them through a weak reference. Popping that layer drops them.
// Learning updates replace a variable's tensor (set_learned, engine/variables.h) and never write
// into it: models built from the layers of another model share their tensors.
//
// Serialization (to_buffer / from_buffer): a size-prefixed FlatBuffers buffer (engine/model.fbs,
// file identifier "NVMD", format version 1; the prefix must equal the bytes that follow it, so a
// truncated or extended buffer is refused) holding, per layer in order, its name, type, parameters,
// inbound links (indexes of earlier layers) and variables (name, element type, layout,
// dimensions, bytes), then the learning parameters and the index of the layer that learns. Names
// and keys read back must be well-formed UTF-8 (they reach Python as str).
// to_buffer is deterministic and to_buffer(from_buffer(b)) == b for every b it wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "hw/types.h"

namespace nuvra {

class Device;
class MapConstraints;
class Sequence;

// What every edit of a model (adding, popping, compiling, fitting, writing a layer's variable,
// mapping again) raises, as std::runtime_error, while that model is being mapped: a hook of the
// mapping constraints may read the model, but the mapping is made of what it held when it began.
inline constexpr char const being_mapped_message[] = "The model is being mapped.";

class Model {
public:
    virtual ~Model();

    // An empty model.
    static std::unique_ptr<Model> create();
    // The model `data` holds (as written by to_buffer). Malformed bytes are std::invalid_argument
    // "Invalid model buffer: <reason>"; nothing outside [data, data + size) is read.
    static std::unique_ptr<Model> from_buffer(const void* data, size_t size);

    // Adds `layer` after the others, linked to `inbounds` (see the graph rules above).
    virtual void add(std::shared_ptr<Layer> layer, std::vector<std::shared_ptr<Layer>> const& inbounds = {});
    // Removes the last layer (std::invalid_argument on an empty model). The layer leaves the
    // graph and is no longer built; it keeps its parameters and variables.
    virtual void pop_layer();
    virtual std::vector<uint8_t> to_buffer() const;
    // Learning on the last layer (see above). Null parameters, an empty model, a last layer that
    // is not of the learning kind, or a "num_classes" that is not a whole number from 1 to the layer's
    // units are std::invalid_argument.
    virtual void compile(std::shared_ptr<LearningParams> params);

    // Inference and mapping; engine/model_run.cpp.
    // Inputs are 4-D (samples, width, height, channels), or fewer dimensions that give that shape
    // when padded with 1s after the first; outputs are 4-D, samples first.
    //
    // Where a run happens. A mapped model runs through its sequences (a hardware sequence refuses
    // a device without hardware: mapping on a virtual device is for inspecting the program): the
    // inputs are cut into one (width, height, channels) tensor per
    // sample in their own element type, each sequence's forward_samples gets `batch_size` samples
    // per call (0: all of them in one call) and its outputs feed the next sequence, and the last
    // sequence's per-sample outputs are stacked into one (samples, x, y, channels) tensor of their
    // element type (a per-sample output of fewer than three dimensions is padded with 1s in
    // front). `fit` gives the labels to the last sequence, which holds the learning layer; the
    // others run without. `predict` turns integer outputs into float32 as software_predict does.
    // Every sequence must be a ForwardableSequence (std::runtime_error otherwise, before anything
    // runs). An unmapped model, or a mapping that produced no sequence, runs the software
    // reference of engine/inference.h.
    //
    // Labels of `fit`: none (every neuron competes), one for every sample, or one per sample;
    // another count is std::invalid_argument (on hardware "Number of labels should be the same as
    // number of inputs."). A model that is not compiled cannot fit (std::runtime_error).
    virtual std::shared_ptr<Tensor> fit(std::shared_ptr<const Tensor> const& inputs, std::vector<int32_t> const& labels,
                                        uint32_t batch_size = 0);
    virtual std::shared_ptr<Tensor> forward(std::shared_ptr<const Tensor> const& inputs, uint32_t batch_size = 0);
    virtual std::shared_ptr<Tensor> predict(std::shared_ptr<const Tensor> const& inputs, uint32_t batch_size = 0);
    // Maps the layers onto `device` (null: std::invalid_argument); null constraints stand for the
    // default constraints of that device.
    virtual void map(std::shared_ptr<Device> device, bool hw_only = false,
                     std::shared_ptr<MapConstraints> constraints = nullptr);

    // The layer at `index`, or named `name`; std::invalid_argument when there is none.
    virtual std::shared_ptr<Layer> get_layer(size_t index) const;
    virtual std::shared_ptr<Layer> get_layer(std::string const& name) const;
    // The model's own layer objects, in order.
    virtual std::vector<std::shared_ptr<Layer>> layers() const;
    // Null before compile.
    virtual std::shared_ptr<LearningParams> learning() const;
    // The first layer's first input shape (width, height, channels); no dimensions when empty.
    virtual Shape input_shape() const;
    // The last layer's output shape; no dimensions when empty.
    virtual Shape output_shape() const;
    virtual size_t layer_count() const;
    // Sum of the layers' multiply-accumulate operations.
    virtual uint64_t macs() const;
    // The generation all the model's hardware layer kinds belong to: the one their format codes
    // name (engine/layers.h); the kinds without hardware (format code 0) do not count. `none` for
    // an empty model, a model without such kinds, or one that mixes generations.
    virtual IpVersion ip_version() const;
    // The sequences of the last mapping; empty before mapping. Adding or popping a layer,
    // compiling and writing a variable of a layer (Variables::set or assign, Python's
    // `variables[name] = value`) drop the mapping, so that a stale program never runs. Values a
    // mapped sequence reads back after learning on the device are the program's own and keep it
    // (set_learned, engine/variables.h).
    virtual std::vector<std::shared_ptr<Sequence>> sequences() const;
    // The device of the last mapping; null before mapping or once the mapping was dropped.
    virtual std::shared_ptr<Device> device() const;

    // Throws being_mapped_message while map runs on this model; nothing otherwise.
    void refuse_edit_while_mapping() const;

protected:
    Model() = default;
    Model(Model const&) = delete;
    Model& operator=(Model const&) = delete;

private:
    friend class LayerImpl;  // a layer's written variable drops the mapping

    // Adds a layer; `create_variables` is false while loading, where the buffer brings them.
    void add_layer(std::shared_ptr<Layer> const& layer, std::vector<std::shared_ptr<Layer>> inbounds,
                   bool create_variables);
    // Drops the sequences and the device, and the mappings those sequences attached to the layers.
    void drop_mapping();

    std::vector<std::shared_ptr<Layer>> layers_;
    std::unordered_set<std::string> names_;  // the names of layers_
    std::shared_ptr<LearningParams> learning_;
    Layer* learning_layer_ = nullptr;  // the layer that sees learning_
    std::vector<std::shared_ptr<Sequence>> sequences_;
    std::shared_ptr<Device> device_;
    bool mapping_ = false;  // map is running
};

}  // namespace nuvra
