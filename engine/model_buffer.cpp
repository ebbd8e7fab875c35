// The model's own serialization (engine/model.fbs): writing, and reading back with every field
// checked before it is used.
#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "engine/layers.h"
#include "engine/layers_internal.h"
#include "engine/model.h"
#include "engine/model_generated.h"
#include "hw/format.h"
#include "hw/text.h"

namespace nuvra {

namespace {

namespace fbm = fb::model;

constexpr uint32_t kFormatVersion = 1;

// The one failure of from_buffer.
[[noreturn]] void malformed(std::string const& reason) {
    throw std::invalid_argument("Invalid model buffer: " + reason);
}

// A name or key of the buffer, refused unless it is UTF-8.
std::string text_of(flatbuffers::String const* stored, std::string const& what) {
    std::string text = stored->str();
    if (!is_utf8(text)) malformed(format("{} is not valid UTF-8.", what));
    return text;
}

bool is_tensor_type(int32_t value) { return value >= 0 && value <= static_cast<int32_t>(TensorType::uint16); }

bool is_layout(int32_t value) {
    return value == static_cast<int32_t>(Layout::c_order) || value == static_cast<int32_t>(Layout::reversed);
}

// Keys must be UTF-8 and strictly ascending: the order to_buffer writes, so nothing is
// duplicated.
template <class Entries>
void check_ascending_keys(Entries const* entries, std::string const& where) {
    for (flatbuffers::uoffset_t i = 0; i < entries->size(); ++i)
        text_of(entries->Get(i)->key(), format("{}: parameter key {}", where, i));
    for (flatbuffers::uoffset_t i = 1; i < entries->size(); ++i)
        if (!(entries->Get(i - 1)->key()->str() < entries->Get(i)->key()->str()))
            malformed(format("{}: parameter keys are not in strictly ascending order (\"{}\" after \"{}\").", where,
                             entries->Get(i)->key()->str(), entries->Get(i - 1)->key()->str()));
}

// A variable's tensor, after checking that its type, layout, dimensions and bytes agree.
std::shared_ptr<Dense> read_variable(fbm::Variable const& variable, std::string const& where) {
    std::string const name = variable.name()->str();  // checked by the caller
    std::string const here = format("{}, variable '{}'", where, name);
    if (!is_tensor_type(variable.type())) malformed(format("{}: unknown tensor type {}.", here, variable.type()));
    if (!is_layout(variable.layout())) malformed(format("{}: unknown layout {}.", here, variable.layout()));
    auto const* dims = variable.dims();
    if (dims->size() > Shape::max_rank)
        malformed(format("{}: {} dimensions (at most {}).", here, dims->size(), Shape::max_rank));
    std::vector<uint32_t> shape;
    uint64_t elements = 1;
    for (flatbuffers::uoffset_t i = 0; i < dims->size(); ++i) {
        uint32_t const d = dims->Get(i);
        if (d == 0) malformed(format("{}: dimension {} is 0.", here, i));
        elements = std::min<uint64_t>(elements * d, max_shape_size + 1);
        shape.push_back(d);
    }
    if (elements > max_shape_size) malformed(format("{}: more than {} elements.", here, max_shape_size));
    auto const type = static_cast<TensorType>(variable.type());
    uint64_t const bytes = elements * Tensor::item_size(type);
    if (bytes != variable.data()->size())
        malformed(format("{}: {} bytes for {} elements of type {} (expected {}).", here, variable.data()->size(),
                         elements, Tensor::type_name(type), bytes));
    return Dense::copy(variable.data()->data(), variable.data()->size(), type, Shape(shape),
                       static_cast<Layout>(variable.layout()));
}

}  // namespace

std::vector<uint8_t> Model::to_buffer() const {
    flatbuffers::FlatBufferBuilder fbb(1024);
    std::unordered_map<Layer const*, uint32_t> index_of;
    std::vector<flatbuffers::Offset<fbm::Layer>> layers;
    layers.reserve(layers_.size());

    for (size_t i = 0; i < layers_.size(); ++i) {
        Layer const& layer = *layers_[i];
        LayerParams const& params = *layer.params();

        auto keys = params.keys();
        std::sort(keys.begin(), keys.end());
        std::vector<flatbuffers::Offset<fbm::LayerParam>> entries;
        entries.reserve(keys.size());
        for (auto const& key : keys)
            entries.push_back(fbm::CreateLayerParam(fbb, fbb.CreateString(key), params.get(key)));

        std::vector<uint32_t> inbounds;
        for (auto const& inbound : layer.inbound_layers()) {
            auto found = index_of.find(inbound.get());
            if (found == index_of.end())
                throw std::runtime_error(format("Layer '{}' has an inbound layer '{}' that is not an earlier layer "
                                                "of the model.",
                                                layer.get_name(), inbound->get_name()));
            inbounds.push_back(found->second);
        }

        std::vector<flatbuffers::Offset<fbm::Variable>> variables;
        Variables const& vars = layer.variables();
        for (auto const& name : vars.names()) {
            std::shared_ptr<Tensor const> const tensor = vars.get(name);
            std::shared_ptr<Dense const> const dense = tensor->ensure_dense();
            Buffer const buffer = dense->buffer();
            if (buffer.bytes != dense->size() * Tensor::item_size(dense->type()))
                throw std::runtime_error(
                    format("Layer '{}': variable '{}' has {} bytes for {} elements.", layer.get_name(), name,
                           buffer.bytes, dense->size()));
            auto const dims = dense->dimensions().to_vector();
            auto const name_offset = fbb.CreateString(name);
            auto const dims_offset = fbb.CreateVector(dims);
            auto const data_offset = fbb.CreateVector(static_cast<uint8_t const*>(buffer.data), buffer.bytes);
            variables.push_back(fbm::CreateVariable(fbb, name_offset, static_cast<int32_t>(dense->type()),
                                                    static_cast<int32_t>(dense->layout()), dims_offset, data_offset));
        }

        auto const name_offset = fbb.CreateString(layer.get_name());
        auto const params_offset = fbb.CreateVector(entries);
        auto const inbounds_offset = fbb.CreateVector(inbounds);
        auto const variables_offset = fbb.CreateVector(variables);
        layers.push_back(fbm::CreateLayer(fbb, name_offset, static_cast<int32_t>(params.layer_type()), params_offset,
                                          inbounds_offset, variables_offset));
        index_of.emplace(&layer, static_cast<uint32_t>(i));
    }
    auto const layers_offset = fbb.CreateVector(layers);

    flatbuffers::Offset<fbm::Learning> learning;
    if (learning_) {
        auto keys = learning_->keys();
        std::sort(keys.begin(), keys.end());
        std::vector<flatbuffers::Offset<fbm::LearningParam>> entries;
        for (auto const& key : keys)
            entries.push_back(fbm::CreateLearningParam(fbb, fbb.CreateString(key), learning_->get(key)));
        auto const entries_offset = fbb.CreateVector(entries);
        auto const found = index_of.find(static_cast<Layer const*>(learning_layer_));
        uint32_t const layer_index = found == index_of.end() ? 0 : found->second;
        learning = fbm::CreateLearning(fbb, static_cast<int32_t>(learning_->learning_type()), layer_index,
                                       entries_offset);
    }

    fbm::FinishSizePrefixedModelBuffer(fbb, fbm::CreateModel(fbb, kFormatVersion, layers_offset, learning));
    return std::vector<uint8_t>(fbb.GetBufferPointer(), fbb.GetBufferPointer() + fbb.GetSize());
}

std::unique_ptr<Model> Model::from_buffer(const void* data, size_t size) {
    if (data == nullptr && size != 0) malformed("no data.");
    if (size >= FLATBUFFERS_MAX_BUFFER_SIZE) malformed(format("{} bytes is more than a model buffer can hold.", size));
    // A private, aligned copy: the verifier and the readers then never depend on the caller's
    // alignment, and nothing is read past `size`.
    std::vector<uint8_t> bytes(size);
    if (size != 0) std::memcpy(bytes.data(), data, size);

    flatbuffers::Verifier verifier(bytes.data(), bytes.size());
    if (!fbm::VerifySizePrefixedModelBuffer(verifier))
        malformed(format("{} bytes are not a model serialization (length, identifier, offsets or sizes are wrong).", size));
    fbm::Model const* stored = fbm::GetSizePrefixedModel(bytes.data());
    if (stored->format_version() != kFormatVersion)
        malformed(format("format version {} (this engine reads version {}).", stored->format_version(),
                         kFormatVersion));

    std::unique_ptr<Model> model = Model::create();
    auto const* layers = stored->layers();
    for (flatbuffers::uoffset_t i = 0; i < layers->size(); ++i) {
        fbm::Layer const& fl = *layers->Get(i);
        std::string const name = text_of(fl.name(), format("layer {}: the name", i));
        std::string const where = format("layer {} ('{}')", i, name);
        if (!is_layer_type(fl.type())) malformed(format("{}: unknown layer type {}.", where, fl.type()));

        check_ascending_keys(fl.params(), where);
        std::map<std::string, int> entries;
        for (auto const* entry : *fl.params()) entries.emplace(entry->key()->str(), entry->value());

        std::vector<std::shared_ptr<Layer>> inbounds;
        for (uint32_t index : *fl.inbounds()) {
            if (index >= i) malformed(format("{}: inbound index {} does not name an earlier layer.", where, index));
            inbounds.push_back(model->layers_[index]);
        }
        // An input layer's empty list and another layer's explicit list both come back as they were;
        // whether a layer is an input layer may depend on its parameters (a Quantizer's input shape).
        std::shared_ptr<Layer> layer;
        try {
            auto const params = LayerParams::create(static_cast<LayerType>(fl.type()), entries);
            layer = Layer::create(params.get(), name);
        } catch (std::exception const& e) {
            malformed(format("{}: {}", where, e.what()));
        }
        if (inbounds.empty() && !layer->is_input_layer())
            malformed(format("{}: the layer has no inbound layer.", where));
        try {
            model->add_layer(layer, std::move(inbounds), false);
        } catch (std::exception const& e) {
            malformed(format("{}: {}", where, e.what()));
        }
        if (layer->params()->keys().size() != entries.size())
            malformed(format("{}: parameters of the layer's kind are missing.", where));

        std::unordered_set<std::string> seen;
        for (auto const* variable : *fl.variables()) {
            std::string const variable_name = text_of(variable->name(), format("{}: a variable name", where));
            if (!seen.insert(variable_name).second)
                malformed(format("{}: variable '{}' appears twice.", where, variable_name));
            layer->variables().set(variable_name, read_variable(*variable, where));
        }
    }

    if (auto const* learning = stored->learning()) {
        if (learning->type() != static_cast<int32_t>(LearningType::NuvraUnsupervised))
            malformed(format("unknown learning type {}.", learning->type()));
        check_ascending_keys(learning->params(), "learning");
        if (learning->layer() >= model->layers_.size())
            malformed(format("learning layer index {} is out of range ({} layers).", learning->layer(),
                             model->layers_.size()));
        Layer* const learner = model->layers_[learning->layer()].get();
        if (!is_learning_layer(*learner))
            malformed(format("learning layer {} is not a {} layer.", learning->layer(), layer_type_name(learning_kind)));
        std::map<std::string, double> entries;
        for (auto const* entry : *learning->params()) entries.emplace(entry->key()->str(), entry->value());
        auto const classes = entries.find("num_classes");
        if (classes != entries.end() && !valid_class_count(classes->second, learner->params()->get("units")))
            malformed(format("learning: num_classes {} does not suit {} units.", classes->second,
                             learner->params()->get("units")));
        model->learning_ = LearningParams::create(LearningType::NuvraUnsupervised, entries);
        model->learning_layer_ = learner;
        set_learning(*learner, model->learning_);
    }
    return model;
}

}  // namespace nuvra
