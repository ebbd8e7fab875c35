// The model graph: adding and removing layers, learning set-up and queries.
#include "engine/model.h"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "engine/layers.h"
#include "engine/layers_internal.h"
#include "engine/sequence.h"
#include "hw/format.h"

namespace nuvra {

namespace {

LayerImpl& impl_of(Layer& layer) { return static_cast<LayerImpl&>(layer); }

}  // namespace

bool valid_class_count(double classes, int32_t units) {
    return classes >= 1 && classes <= units && std::floor(classes) == classes;
}

Model::~Model() {
    // The layers may live on (other owners); they can then join another model.
    for (auto const& layer : layers_) impl_of(*layer).owner_ = nullptr;
}

std::unique_ptr<Model> Model::create() { return std::unique_ptr<Model>(new Model()); }

void Model::add(std::shared_ptr<Layer> layer, std::vector<std::shared_ptr<Layer>> const& inbounds) {
    add_layer(layer, inbounds, true);
}

void Model::add_layer(std::shared_ptr<Layer> const& layer, std::vector<std::shared_ptr<Layer>> inbounds,
                      bool create_variables) {
    refuse_edit_while_mapping();
    if (!layer) throw std::invalid_argument("Cannot add a missing layer to the model.");
    LayerImpl* const impl = &created_layer(*layer);
    if (impl->owner_ != nullptr)
        throw std::invalid_argument(format("Layer '{}' already belongs to a model.", impl->get_name()));
    // Layers are found by name (get_layer, models built from layers): a name is given once.
    if (names_.contains(impl->get_name()))
        throw std::invalid_argument(format("The model already has a layer named '{}'.", impl->get_name()));
    for (auto const& inbound : inbounds) {
        if (!inbound) throw std::invalid_argument(format("Layer '{}': an inbound layer is missing.", impl->get_name()));
        auto const* in = dynamic_cast<LayerImpl const*>(inbound.get());
        if (in == nullptr || in->owner_ != this)
            throw std::invalid_argument(format("Layer '{}': inbound layer '{}' does not belong to this model.",
                                               impl->get_name(), inbound->get_name()));
    }
    if (inbounds.empty() && !impl->is_input_layer()) {
        if (layers_.empty()) throw std::invalid_argument(first_layer_refusal(*impl));
        inbounds.push_back(layers_.back());
    }

    LayerImpl::Inputs const inputs = impl->gather_inputs(inbounds);
    impl->build(inputs, create_variables);
    drop_mapping();
    layers_.reserve(layers_.size() + 1);
    names_.reserve(layers_.size() + 1);
    impl->link(layer, std::move(inbounds));
    impl->owner_ = this;
    names_.insert(impl->get_name());
    layers_.push_back(layer);
}

void Model::pop_layer() {
    refuse_edit_while_mapping();
    if (layers_.empty()) throw std::invalid_argument("Cannot pop a layer from an empty model.");
    std::shared_ptr<Layer> const layer = layers_.back();
    LayerImpl& impl = impl_of(*layer);
    drop_mapping();
    if (layer.get() == learning_layer_) {
        set_learning(*learning_layer_, nullptr);
        learning_.reset();
        learning_layer_ = nullptr;
    }
    impl.unlink();
    impl.outbounds_.clear();
    impl.unbuild();
    impl.owner_ = nullptr;
    names_.erase(impl.get_name());
    layers_.pop_back();
}

void Model::compile(std::shared_ptr<LearningParams> params) {
    refuse_edit_while_mapping();
    if (!params) throw std::invalid_argument("Cannot compile a model without learning parameters.");
    if (layers_.empty()) throw std::invalid_argument("Cannot compile a model without layers.");
    Layer* const last = layers_.back().get();
    if (!is_learning_layer(*last))
        throw std::invalid_argument(format("Cannot compile: the last layer '{}' is not a {} layer.", last->get_name(),
                                           layer_type_name(learning_kind)));
    for (auto const& key : params->keys()) {
        if (key != "num_classes") continue;
        double const classes = params->get(key);
        int32_t const units = last->params()->get("units");
        if (!valid_class_count(classes, units))
            throw std::invalid_argument(
                format("Cannot compile: num_classes must be a whole number from 1 to the {} units of layer '{}' "
                       "(got {}).",
                       units, last->get_name(), classes));
    }
    drop_mapping();
    if (learning_layer_ != nullptr && learning_layer_ != last) set_learning(*learning_layer_, nullptr);
    learning_ = std::move(params);
    learning_layer_ = last;
    set_learning(*last, learning_);
}

void Model::drop_mapping() {
    // The layers lose the mappings of these sequences now, whoever else still holds a sequence.
    for (auto const& sequence : sequences_) {
        if (!sequence) continue;
        for (auto const& pass : sequence->passes()) {
            if (!pass) continue;
            for (auto const& layer : pass->layers) {
                auto* impl = dynamic_cast<LayerImpl*>(layer.get());
                if (impl != nullptr && impl->owner_ == this) impl->set_mapping(nullptr);
            }
        }
    }
    sequences_.clear();
    device_.reset();
}

void Model::refuse_edit_while_mapping() const {
    if (mapping_) throw std::runtime_error(being_mapped_message);
}

std::shared_ptr<Layer> Model::get_layer(size_t index) const {
    if (index >= layers_.size())
        throw std::invalid_argument(
            format("Layer index {} is out of range: the model has {} layers.", index, layers_.size()));
    return layers_[index];
}

std::shared_ptr<Layer> Model::get_layer(std::string const& name) const {
    for (auto const& layer : layers_)
        if (layer->get_name() == name) return layer;
    throw std::invalid_argument(format("No layer named '{}' in the model.", name));
}

std::vector<std::shared_ptr<Layer>> Model::layers() const { return layers_; }

std::shared_ptr<LearningParams> Model::learning() const { return learning_; }

Shape Model::input_shape() const {
    if (layers_.empty()) return Shape();
    return layers_.front()->input_dimensions().front();
}

Shape Model::output_shape() const {
    if (layers_.empty()) return Shape();
    return layers_.back()->output_dimensions();
}

size_t Model::layer_count() const { return layers_.size(); }

uint64_t Model::macs() const {
    uint64_t total = 0;
    for (auto const& layer : layers_) {
        uint64_t const macs = layer->macs();
        total = macs > std::numeric_limits<uint64_t>::max() - total ? std::numeric_limits<uint64_t>::max()
                                                                     : total + macs;
    }
    return total;
}

IpVersion Model::ip_version() const {
    IpVersion found = IpVersion::none;
    for (auto const& layer : layers_) {
        IpVersion const generation = kind_generation(layer->params()->layer_type());
        if (generation == IpVersion::none) continue;
        if (found != IpVersion::none && found != generation) return IpVersion::none;
        found = generation;
    }
    return found;
}

std::vector<std::shared_ptr<Sequence>> Model::sequences() const { return sequences_; }

std::shared_ptr<Device> Model::device() const { return device_; }

}  // namespace nuvra
