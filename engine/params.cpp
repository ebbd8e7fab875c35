#include "engine/params.h"

#include <stdexcept>

#include "hw/format.h"
#include "hw/text.h"

namespace nuvra {

namespace {

// An ordered map of names to values and the kind they describe, behind either interface.
template <class Interface, class Kind, class Value>
class NamedValues : public Interface {
public:
    NamedValues(Kind kind, std::map<std::string, Value> entries) : kind_(kind), entries_(std::move(entries)) {}

    std::vector<std::string> keys() const override {
        std::vector<std::string> names;
        names.reserve(entries_.size());
        for (auto const& entry : entries_) names.push_back(entry.first);
        return names;
    }

protected:
    Value value_of(std::string const& key) const {
        auto it = entries_.find(key);
        if (it == entries_.end()) throw std::invalid_argument(format("Key {} not found", escaped_utf8(key)));
        return it->second;
    }

    Kind kind_;
    std::map<std::string, Value> entries_;
};

class LayerParamsImpl final : public NamedValues<LayerParams, LayerType, int> {
public:
    using NamedValues::NamedValues;

    int32_t get(std::string const& key) const override { return value_of(key); }
    bool has(std::string const& key) const override { return entries_.count(key) != 0; }
    LayerType layer_type() const override { return kind_; }

};

class LearningParamsImpl final : public NamedValues<LearningParams, LearningType, double> {
public:
    using NamedValues::NamedValues;

    double get(std::string const& key) const override { return value_of(key); }
    LearningType learning_type() const override { return kind_; }
};

}  // namespace

std::unique_ptr<LayerParams> LayerParams::create(LayerType type, std::map<std::string, int> const& entries) {
    kind_index(type);  // a value that names no kind is refused
    return std::make_unique<LayerParamsImpl>(type, entries);
}

std::unique_ptr<LayerParams> LayerParams::clone(LayerParams const* params) {
    if (params == nullptr) throw std::invalid_argument("Cannot clone missing layer parameters.");
    // Any implementation is copied through the interface, so the copy never shares state.
    std::map<std::string, int> entries;
    for (auto const& key : params->keys()) entries.emplace(key, params->get(key));
    return create(params->layer_type(), entries);
}

std::shared_ptr<LearningParams> LearningParams::create(LearningType type,
                                                       std::map<std::string, double> const& entries) {
    if (type != LearningType::NuvraUnsupervised)
        throw std::invalid_argument(format("Unknown learning type {}", static_cast<int32_t>(type)));
    return std::make_shared<LearningParamsImpl>(type, entries);
}

std::shared_ptr<LearningParams> LearningParams::clone(LearningParams const* params) {
    if (params == nullptr) throw std::invalid_argument("Cannot clone missing learning parameters.");
    std::map<std::string, double> entries;
    for (auto const& key : params->keys()) entries.emplace(key, params->get(key));
    return create(params->learning_type(), entries);
}

}  // namespace nuvra
