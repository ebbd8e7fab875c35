// The test double of the engine's Layer, every answer settable: name, parameters, component kinds,
// graph links, dimensions, bits, activation, pooling kind, the convolution and pooling blocks,
// variables (which may hold tensors the engine cannot build) and a mapping slot. Graph links go
// through connect(), which records both directions (outbound links are weak, as in a model).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "engine/variables.h"

namespace nuvra::testing {

// A tensor of `type` with the given shape but no elements at all.
class EmptyTensor final : public Tensor {
public:
    explicit EmptyTensor(TensorType type) : type_(type) {}
    TensorType type() const override { return type_; }
    size_t size() const override { return 0; }
    Shape const& dimensions() const override { return shape_; }
    Layout layout() const override { return Layout::c_order; }
    Strides const& strides() const override { return strides_; }
    Buffer buffer() const override { return {}; }
    MutableBuffer mutable_buffer() override { return {}; }
    std::shared_ptr<Dense const> ensure_dense() const override {
        throw std::logic_error("an empty tensor has no dense form");
    }

private:
    TensorType type_;
    Shape shape_;
    Strides strides_;
};

// A variable store that also holds tensors of any Tensor class (set_any), in insertion order.
class AnyVariables final : public Variables {
public:
    std::vector<std::string> names() const override {
        std::vector<std::string> result;
        for (auto const& entry : entries_) result.push_back(entry.first);
        return result;
    }
    std::shared_ptr<Tensor> get(std::string const& name) const override {
        for (auto const& entry : entries_)
            if (entry.first == name) return entry.second;
        throw std::invalid_argument("Variable " + name + " not found");
    }
    bool has(std::string const& name) const override {
        for (auto const& entry : entries_)
            if (entry.first == name) return true;
        return false;
    }
    void set(std::string const& name, std::shared_ptr<Dense> tensor) override { set_any(name, std::move(tensor)); }
    void set_any(std::string const& name, std::shared_ptr<Tensor> tensor) {
        for (auto& entry : entries_)
            if (entry.first == name) {
                entry.second = std::move(tensor);
                return;
            }
        entries_.emplace_back(name, std::move(tensor));
    }

private:
    std::vector<std::pair<std::string, std::shared_ptr<Tensor>>> entries_;
};

class FakeLayer : public Layer, public HasConvParams, public HasPoolParams {
public:
    explicit FakeLayer(std::string name = "fake", std::set<ComponentKind> kinds = {})
        : name_(std::move(name)), kinds_(std::move(kinds)) {}

    static std::shared_ptr<FakeLayer> make(std::string name, std::set<ComponentKind> kinds = {}) {
        return std::make_shared<FakeLayer>(std::move(name), std::move(kinds));
    }

    // ---- set-up ----
    FakeLayer& set_name(std::string name) { name_ = std::move(name); return *this; }
    FakeLayer& set_kinds(std::set<ComponentKind> kinds) { kinds_ = std::move(kinds); return *this; }
    FakeLayer& set_params(LayerType type, std::map<std::string, int> const& entries = {}) {
        params_ = LayerParams::create(type, entries);
        return *this;
    }
    FakeLayer& set_input_dims(std::vector<Shape> dims) { input_dims_ = std::move(dims); return *this; }
    FakeLayer& set_output_dims(Shape dims) { output_dims_ = dims; return *this; }
    FakeLayer& set_bits(uint8_t input_bits, uint8_t output_bits) {
        input_bits_ = input_bits;
        output_bits_ = output_bits;
        return *this;
    }
    FakeLayer& set_output_signed(bool value) { output_signed_ = value; return *this; }
    FakeLayer& set_splittable(bool value) { splittable_ = value; return *this; }
    FakeLayer& set_depthwise(bool value) { depthwise_ = value; return *this; }
    FakeLayer& set_format_code(int code) { format_code_ = code; return *this; }
    // An activation of no particular type.
    FakeLayer& set_activation(bool value) {
        activation_ = value;
        activation_type_.reset();
        return *this;
    }
    // No activation when unset; otherwise has_activation() and has_activation_type(type).
    FakeLayer& set_activation(std::optional<ActivationType> type) {
        activation_ = type.has_value();
        activation_type_ = type;
        return *this;
    }
    FakeLayer& set_pooling(PoolType type) { pooling_ = type; return *this; }
    FakeLayer& set_conv_block(ConvCalculatedParams block) { conv_ = block; return *this; }
    FakeLayer& set_pool_block(PoolingCalculatedParams block) { pool_ = block; return *this; }
    AnyVariables& vars() { return variables_; }
    void set_mapping(std::shared_ptr<Mapping> mapping) { mapping_ = std::move(mapping); }
    void add_inbound(std::shared_ptr<Layer> const& layer) { inbounds_.push_back(layer); }
    void add_outbound(std::shared_ptr<Layer> const& layer) { outbounds_.push_back(layer); }
    // Replaces the inbound links only (a null entry stands for a missing layer).
    FakeLayer& set_inbounds(std::vector<std::shared_ptr<Layer>> layers) { inbounds_ = std::move(layers); return *this; }

    // ---- Layer ----
    std::string get_name() const override { return name_; }
    std::vector<Shape> input_dimensions() const override { return input_dims_; }
    Shape output_dimensions() const override { return output_dims_; }
    uint8_t input_bits() const override { return input_bits_; }
    uint8_t output_bits() const override { return output_bits_; }
    bool output_signed() const override { return output_signed_; }
    int format_code() const override { return format_code_; }
    int value_mode() const override { return 0; }
    bool is_target_component(ComponentKind kind) const override { return kinds_.count(kind) > 0; }
    bool splittable() const override { return splittable_; }
    bool is_depthwise() const override { return depthwise_; }
    bool is_separable() const override { return depthwise_; }
    bool is_input_layer() const override { return inbounds_.empty(); }
    LayerParams const* params() const override { return params_.get(); }
    std::shared_ptr<LearningParams> learning() const override { return nullptr; }
    bool can_learn() const override { return false; }
    Variables& variables() override { return variables_; }
    Variables const& variables() const override { return variables_; }
    bool has_activation() const override { return activation_; }
    bool has_activation_type(ActivationType type) const override { return activation_type_ == type; }
    bool has_pooling_type(PoolType type) const override { return pooling_ == type; }
    std::vector<std::shared_ptr<Layer>> inbound_layers() const override { return inbounds_; }
    std::vector<std::shared_ptr<Layer>> inbound_layers() override { return inbounds_; }
    std::vector<std::shared_ptr<Layer>> outbound_layers() const override { return locked(); }
    std::vector<std::shared_ptr<Layer>> outbound_layers() override { return locked(); }
    std::span<std::shared_ptr<Layer> const> inbound_view() const override { return inbounds_; }
    size_t outbound_count() const override { return locked().size(); }
    std::shared_ptr<Mapping> mapping() const override { return mapping_; }
    std::shared_ptr<Mapping> mapping() override { return mapping_; }
    uint64_t macs() const override { return 0; }
    ConvCalculatedParams const* conv_params() const override { return conv_ ? &*conv_ : nullptr; }
    PoolingCalculatedParams const* pool_params() const override { return pool_ ? &*pool_ : nullptr; }

private:
    std::vector<std::shared_ptr<Layer>> locked() const {
        std::vector<std::shared_ptr<Layer>> result;
        for (auto const& out : outbounds_)
            if (auto layer = out.lock()) result.push_back(std::move(layer));
        return result;
    }

    std::string name_;
    std::set<ComponentKind> kinds_;
    std::unique_ptr<LayerParams> params_;
    std::vector<Shape> input_dims_;
    Shape output_dims_;
    uint8_t input_bits_ = 8;
    uint8_t output_bits_ = 8;
    bool output_signed_ = false;
    bool splittable_ = false;
    bool depthwise_ = false;
    int format_code_ = 0;
    bool activation_ = false;
    std::optional<ActivationType> activation_type_;
    PoolType pooling_ = PoolType::NoPooling;
    std::optional<ConvCalculatedParams> conv_;
    std::optional<PoolingCalculatedParams> pool_;
    AnyVariables variables_;
    std::shared_ptr<Mapping> mapping_;
    std::vector<std::shared_ptr<Layer>> inbounds_;
    std::vector<std::weak_ptr<Layer>> outbounds_;
};

// Makes `to` an outbound layer of `from` and `from` the next inbound layer of `to`.
inline void connect(std::shared_ptr<FakeLayer> const& from, std::shared_ptr<FakeLayer> const& to) {
    from->add_outbound(to);
    to->add_inbound(from);
}

}  // namespace nuvra::testing
