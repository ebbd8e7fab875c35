// A layer's trainable state: named tensors (weights, thresholds, shifts, ...).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/tensor.h"

namespace nuvra {

class Variables {
public:
    virtual ~Variables() = default;

    // The names held, in the order they were first set.
    virtual std::vector<std::string> names() const = 0;
    // The tensor of `name`; never null. A name not held is std::invalid_argument
    // "Variable <name> not found".
    virtual std::shared_ptr<Tensor> get(std::string const& name) const = 0;
    virtual bool has(std::string const& name) const = 0;
    // Stores `tensor` (the pointer itself, any shape) under `name`, replacing the tensor a held
    // name had; the name keeps its place. A null tensor is std::invalid_argument. A layer's store
    // keeps a value that fits the layer in the layer's own shape instead, sharing its elements
    // (engine/layers.h, "Fit").
    virtual void set(std::string const& name, std::shared_ptr<Dense> tensor) = 0;
};

// The engine's variable store. A new value replaces the stored pointer and never writes into the
// old tensor, which other models may share.
class VariablesImpl final : public Variables {
public:
    // What the store keeps of a value set under a name: the value itself, or a tensor of the same
    // elements in the shape its owner reads (a layer's store, engine/layers.h).
    using Fit = std::function<std::shared_ptr<Dense>(std::string const& name, std::shared_ptr<Dense> value)>;

    VariablesImpl() = default;
    explicit VariablesImpl(Fit fit) : fit_(std::move(fit)) {}

    std::vector<std::string> names() const override;
    std::shared_ptr<Tensor> get(std::string const& name) const override;
    bool has(std::string const& name) const override;
    // Stores the fitted value (see Fit).
    void set(std::string const& name, std::shared_ptr<Dense> tensor) override;
    // Fits every stored value again, after what the owner reads has changed.
    void refit();

private:
    std::vector<std::pair<std::string, std::shared_ptr<Dense>>> entries_;
    Fit fit_;
};

}  // namespace nuvra
