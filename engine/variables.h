// A layer's trainable state: named tensors (weights, thresholds, shifts, ...).
#pragma once

#include <functional>
#include <memory>
#include <optional>
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
    // The tensor of `name` as it was set, in the shape it was written in; never null. A name not
    // held is std::invalid_argument "Variable <name> not found".
    virtual std::shared_ptr<Tensor> get(std::string const& name) const = 0;
    virtual bool has(std::string const& name) const = 0;
    // Stores `tensor` (the pointer itself, any shape) under `name`, replacing the tensor a held
    // name had; the name keeps its place. A null tensor is std::invalid_argument. A layer's store
    // keeps the value as it is given too; the layer reads a value that fits it in another shape
    // in its own (Layer::variable, engine/layers.h "Fit").
    virtual void set(std::string const& name, std::shared_ptr<Dense> tensor) = 0;

    // A user's value of `name` (Python's `variables[name] = value`) takes this element type: the
    // held tensor's, or for a name the owner declares without holding it (a built layer's
    // optional variables) the declared one. Any other name is the failure of get.
    virtual TensorType written_type(std::string const& name) const { return get(name)->type(); }
    // Stores a user's value of `name`: a held name is replaced as set does; a name the owner
    // declares without holding it is added once the value fits what the owner declares
    // (std::invalid_argument otherwise, and nothing is stored). Any other name is the failure of
    // get.
    virtual void assign(std::string const& name, std::shared_ptr<Dense> tensor) {
        get(name);
        set(name, std::move(tensor));
    }
};

// A new `value` of variable `name`, computed in the shape the owner reads it in, in the shape the
// value held under `name` was written in: the same elements in row-major order (shared where the
// layout keeps that order), so that what the engine writes back keeps the user's shape. `value`
// itself when the name is not held or the two hold different counts of elements.
std::shared_ptr<Dense> in_written_shape(Variables const& variables, std::string const& name,
                                        std::shared_ptr<Dense> value);

// Stores `tensor` under `name` as Variables::set does, as a value the engine computed from the
// ones held (learned weights, thresholds): the engine's store does not tell its owner of it, so a
// model whose program made those values keeps its mapping.
void set_learned(Variables& variables, std::string const& name, std::shared_ptr<Dense> tensor);

// The engine's variable store. A new value replaces the stored pointer and never writes into the
// old tensor, which other models may share.
class VariablesImpl final : public Variables {
public:
    // The tensor its owner reads for a value set under a name: the value itself, or a tensor of
    // the same elements in the owner's shape (a layer's store, engine/layers.h).
    using Fit = std::function<std::shared_ptr<Dense>(std::string const& name, std::shared_ptr<Dense> const& value)>;
    // What the owner declares of a name the store does not hold (a built layer's optional
    // variables): the element type of its values, and the check that refuses
    // (std::invalid_argument) a value that would not fit it.
    struct Declared {
        TensorType type;
        std::function<void(Dense const& value)> check;
    };
    // The declaration of `name`, none for a name the owner does not declare.
    using Declare = std::function<std::optional<Declared>(std::string const& name)>;
    // Told once a value is stored by set or assign (a layer's store: its model's mapping no longer
    // holds the layer's values).
    using Written = std::function<void()>;
    // Asked before set or assign stores anything; throws to refuse the write (a layer's store
    // while its model is being mapped).
    using Writable = std::function<void()>;

    VariablesImpl() = default;
    VariablesImpl(Fit fit, Declare declare, Written written = nullptr, Writable writable = nullptr)
        : fit_(std::move(fit)), declare_(std::move(declare)), written_(std::move(written)),
          writable_(std::move(writable)) {}

    std::vector<std::string> names() const override;
    // The value as it was set.
    std::shared_ptr<Tensor> get(std::string const& name) const override;
    bool has(std::string const& name) const override;
    // Stores the value as it is given, and the tensor its owner reads of it (see Fit); then tells
    // the owner (see Written).
    void set(std::string const& name, std::shared_ptr<Dense> tensor) override;
    // Stores the value as set does, without telling the owner (see set_learned).
    void set_learned(std::string const& name, std::shared_ptr<Dense> tensor);
    TensorType written_type(std::string const& name) const override;
    void assign(std::string const& name, std::shared_ptr<Dense> tensor) override;
    // The tensor the owner reads of `name` (see Fit), kept since the value was set or last
    // refitted: a value of a layout that does not keep row-major order is read from a row-major
    // copy made then. A name not held is the failure of get.
    std::shared_ptr<Tensor> fitted(std::string const& name) const;
    // Fits every stored value again, after what the owner reads has changed.
    void refit();

private:
    struct Entry {
        std::string name;
        std::shared_ptr<Dense> value;   // as it was set
        std::shared_ptr<Dense> fitted;  // what the owner reads
    };
    Entry const& entry(std::string const& name) const;
    void store(std::string const& name, std::shared_ptr<Dense> tensor);
    std::shared_ptr<Dense> fit(std::string const& name, std::shared_ptr<Dense> const& value) const;
    // The owner's declaration of `name`, none when it declares nothing of that name (a built
    // layer declares only the optional variables it does not hold).
    std::optional<Declared> declared(std::string const& name) const;

    std::vector<Entry> entries_;
    Fit fit_;
    Declare declare_;
    Written written_;
    Writable writable_;
};

}  // namespace nuvra
