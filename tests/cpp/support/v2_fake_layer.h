// A layer double for the second-generation checks: the settable layer of fake_layer.h, plus an
// activation, a pooling kind, the convolution and pooling blocks, and variables that may hold
// tensors the engine cannot build (a tensor without elements).
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "engine/variables.h"
#include "support/fake_layer.h"

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

// A variable store that also holds tensors of any Tensor class.
class AnyVariables final : public Variables {
public:
    std::vector<std::string> names() const override {
        std::vector<std::string> result;
        for (auto const& entry : entries_) result.push_back(entry.first);
        return result;
    }
    std::shared_ptr<Tensor> get(std::string const& name) const override {
        auto const it = entries_.find(name);
        if (it == entries_.end()) throw std::invalid_argument("Variable " + name + " not found");
        return it->second;
    }
    bool has(std::string const& name) const override { return entries_.count(name) > 0; }
    void set(std::string const& name, std::shared_ptr<Dense> tensor) override { entries_[name] = std::move(tensor); }
    void set_any(std::string const& name, std::shared_ptr<Tensor> tensor) { entries_[name] = std::move(tensor); }

private:
    std::map<std::string, std::shared_ptr<Tensor>> entries_;
};

class V2FakeLayer : public FakeLayer, public HasConvParams, public HasPoolParams {
public:
    using FakeLayer::FakeLayer;

    static std::shared_ptr<V2FakeLayer> make(std::string name, std::set<ComponentKind> kinds = {}) {
        return std::make_shared<V2FakeLayer>(std::move(name), std::move(kinds));
    }

    // No activation when unset; otherwise has_activation() and has_activation_type(type).
    V2FakeLayer& set_activation(std::optional<ActivationType> type) { activation_ = type; return *this; }
    V2FakeLayer& set_pooling(PoolType type) { pooling_ = type; return *this; }
    V2FakeLayer& set_conv_block(ConvCalculatedParams block) { conv_ = block; return *this; }
    V2FakeLayer& set_pool_block(PoolingCalculatedParams block) { pool_ = block; return *this; }
    AnyVariables& vars() { return variables_; }

    bool has_activation() const override { return activation_.has_value(); }
    bool has_activation_type(ActivationType type) const override { return activation_ == type; }
    bool has_pooling_type(PoolType type) const override { return pooling_ == type; }
    Variables& variables() override { return variables_; }
    Variables const& variables() const override { return variables_; }
    ConvCalculatedParams const* conv_params() const override { return conv_ ? &*conv_ : nullptr; }
    PoolingCalculatedParams const* pool_params() const override { return pool_ ? &*pool_ : nullptr; }

private:
    std::optional<ActivationType> activation_;
    PoolType pooling_ = PoolType::NoPooling;
    std::optional<ConvCalculatedParams> conv_;
    std::optional<PoolingCalculatedParams> pool_;
    AnyVariables variables_;
};

// Makes `to` an outbound layer of `from` and `from` the next inbound layer of `to`.
inline void connect(std::shared_ptr<V2FakeLayer> const& from, std::shared_ptr<V2FakeLayer> const& to) {
    from->add_outbound(to);
    to->add_inbound(from);
}

}  // namespace nuvra::testing
