// The engine's layers: LayerImpl implements the Layer interface for every kind, reading the
// kind's row (engine/layer_kinds.h); a kind's parameters, output shape, bits, multiply-accumulates
// and variables are its rules in engine/layers_kinds.cpp. A few kinds have a class of their own
// (the row's class column): ConvPoolLayer for the kinds that compute convolution and pooling
// blocks, FullyConnected for the kind that learns, and the classes the back ends reach by a cast.
//
// A layer is made by Layer::create(params, name) and becomes "built" when a Model adds it with
// known inputs: then its input shapes, bit widths, output shape, variables and (for convolution
// kinds) its computed convolution and pooling blocks exist. Before that, input_dimensions() and
// output_dimensions() fail with their "before it is set" messages and the blocks are null.
//
// Parameters. Layer::create keeps every key it is given and adds the kind's defaults for the keys
// it was not given (the kind's key list); a key the kind does not have is std::invalid_argument
// "Layer '<name>': <kind> layers have no parameter '<key>'." (a model file's load refuses it the
// same way), a required key that is missing, or a value out of its range, is
// std::invalid_argument naming the layer, the key and the value. Keys whose absence means
// something get no default: "filters" of the depthwise kinds (as many as input channels), and the
// keys only the mapping reads, each when it is given: "fifo_size" of the first-generation
// convolutions, Conv2D and DepthwiseConv2D (the FIFO size of the split search's input-fit tests,
// 0 when left out), "pool_size" of the first-generation convolutions (the pool size of each NP
// share's split when the memory sizer sizes its input, 0 when left out), and "pool_type" and
// "pool_size" of the TNP-B kinds (the pooling their split aligns its chunks on; they do not pool).
// A Quantizer's "input_width", "input_height" and "input_channels" are given all three or none
// (one missing is std::invalid_argument naming it): given them, the Quantizer is an input layer
// that quantizes the model's samples, with the shape, bits and sign of an InputData of its shape,
// output bits and output sign. Shapes are (width, height, channels).
//
// Ranges checked by Layer::create: padding 0..2, pool_type 0..2, activation 0..2; kernel sizes,
// kernel strides and fifo_size at least 1 (fifo_size at most 14; 0..14 on the kinds without a
// FIFO of their own); filters, units and channel counts at least 0; bit widths that become
// input_bits() or output_bits() 1..32; a pool size is at least 1 or -1 (global pooling); a
// pooling stride is 1..127 (first generation: -1 or any negative value stands for the pool size
// of its axis); pool sizes and pooling strides only when "pool_type" is not 0. Flags
// (input_signed, output_signed, channels_first) are 0 or 1.
//
// Shape arithmetic (one definition for every kind; all in 64-bit):
// - Convolution of an input of size n with kernel k and stride s:
//     Valid:          out = (n - k) / s + 1 when n >= k, else 0; no padding.
//     Same/SameUpper: out = ceil(n / s); total padding t = max((out - 1) * s + k - n, 0).
//                     Same puts floor(t / 2) before (top, left) and the rest after (bottom,
//                     right); SameUpper puts floor(t / 2) after and the rest before.
// - Pooling of the convolution output c with pool size p and stride q, same padding mode as the
//   convolution: the formula above with k = p, s = q. A pool size of -1 is global pooling: the
//   output is 1 x 1 whatever c is. Without pooling the output is c.
// - A zero output dimension is kept (output_dimensions() then reports "Cannot get output size
//   before it is set."); variables whose shape would have a zero dimension are not created.
// What else each kind computes (transposed and fully connected shapes, bits, multiply-accumulates,
// variables) is written out with its rules in engine/layers_kinds.cpp.
//
// The computed blocks (ConvCalculatedParams, PoolingCalculatedParams of engine/layer.h), of the
// kinds whose class is a ConvPoolLayer:
// - convolution block: stride_x and stride_y of the convolution (so the program header's
//   input_param_a is the x stride and input_param_b the y stride), the convolution output width
//   and rows before pooling, and the convolution padding;
// - pooling block: the pooling strides along x and y (1 without pooling and for global pooling),
//   the output width and rows after pooling, the pooling padding, and a flag set for global
//   pooling (the CNP pooling word's global-pooling bit);
// - the mapping engine's split shortens the first chunk of an axis by that axis's pooling stride
//   (stride_x for the width, stride_y for the height).
//
// Answers of every kind, from its row: is_target_component answers true for the row's component
// kind alone (no layer answers 7); format_code is the number of the row's generation (one column
// gives it and Model::ip_version); splittable, is_depthwise, is_separable and is_input_layer come
// from its placement, filtering and inbound columns (is_input_layer also from a one_or_own kind's
// input shape). value_mode, how the layer's input values are encoded: 1 unsigned (the HRC kinds,
// and an input layer whose own input is unsigned), 0 signed (every other layer). has_activation:
// "activation" is not 0 (kinds without that key: false); has_activation_type(t): the "activation"
// value equals t (0 for kinds without the key); has_pooling_type(t): the "pool_type" value equals
// t for the kinds that compute a pooling block (0 for the others, the TNP-B kinds given a
// "pool_type" included).
//
// Optional variables. A kind may declare variables it does not create (max_value and
// max_value_shift of the kinds whose ReLU ceiling is optional). A user's value of one
// (Variables::assign, Python's `variables[name] = value`) adds it with its declared element type
// once its element count fits the built layer; a misfit is refused then with the words a run
// gives for it (see "Fit" below), and nothing is stored. Variables::set stores any name as it is
// given. The two make one ceiling: each may be written alone, but a layer holding one without
// the other is refused before a run or a mapping, as a misfit is.
//
// Fit. A variable may be replaced by a tensor of another shape at any time; before a software run
// and before mapping, every variable the kind knows (optional ones when present) must fit the
// built layer: weights, weights_pw, in_proj and out_proj their very dimensions (trailing
// dimensions of 1 aside), every other variable its element count in any shape (per-filter and
// per-channel values are read in order). A variable whose shape would have a zero dimension, or
// that the kind does not know, is not checked. The store keeps every value as it was written:
// Variables::get gives it back in that shape, a saved model keeps it, and learned values are
// written back in it. The layer reads a value that fits in its own shape, over the same elements
// (Dense::reshaped: no copy where the layout keeps their order), through Layer::variable; that
// view is made when the value is set, and again when the layer is built or leaves its model.
// Every reader that computes with a value (software run, checks, recorders) goes through
// Layer::variable, so that the run and the program are those of the exact shape. A value that
// does not fit is read as it was written, and refused before a run or a mapping.
//
// Graph: a layer holds its inbound layers (shared, in input order) and its outbound layers
// (weakly, as the model holds them); how many it takes is its row's inbound column (input layers
// none, the merges two or at least two, a Quantizer one, or none given an input shape).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/layer.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "engine/variables.h"

namespace nuvra {

class Model;

// The engine's implementation of Layer, shared by every kind: what differs between kinds is read
// from the kind's row.
class LayerImpl : public Layer {
public:
    // A layer of the kind params->layer_type() with `params` as they are: Layer::create gives them
    // checked and completed. Missing parameters, or a kind that names no row, are
    // std::invalid_argument.
    LayerImpl(std::unique_ptr<LayerParams> params, std::string name);
    ~LayerImpl() override;

    std::string get_name() const final;
    std::vector<Shape> input_dimensions() const final;
    Shape output_dimensions() const final;
    uint8_t input_bits() const final;
    uint8_t output_bits() const final;
    bool output_signed() const final;
    int format_code() const final;
    int value_mode() const final;
    bool is_target_component(ComponentKind kind) const final;
    bool splittable() const final;
    bool is_depthwise() const final;
    bool is_separable() const final;
    bool is_input_layer() const final;
    LayerParams const* params() const final;
    std::shared_ptr<LearningParams> learning() const override;
    bool can_learn() const override;
    // Gives the layer a model's learning parameters (null takes them away): only a layer of the
    // learning kind takes them, any other is std::logic_error.
    virtual void set_learning(std::shared_ptr<LearningParams> const& learning);
    Variables& variables() final;
    Variables const& variables() const final;
    bool has_activation() const final;
    bool has_activation_type(ActivationType type) const final;
    bool has_pooling_type(PoolType type) const final;
    std::vector<std::shared_ptr<Layer>> inbound_layers() const final;
    std::vector<std::shared_ptr<Layer>> inbound_layers() final;
    std::vector<std::shared_ptr<Layer>> outbound_layers() const final;
    std::vector<std::shared_ptr<Layer>> outbound_layers() final;
    std::span<std::shared_ptr<Layer> const> inbound_view() const final { return inbounds_; }
    size_t outbound_count() const final;
    std::shared_ptr<Mapping> mapping() const final;
    std::shared_ptr<Mapping> mapping() final;
    uint64_t macs() const final;

    LayerType layer_type() const { return kind_->type; }
    // The row of the layer's kind.
    LayerKind const& kind() const { return *kind_; }
    // Added to a model with known inputs.
    bool is_built() const { return built_; }
    // The mapping slot: the mapping engine attaches a layer's mapping here and resets it (null)
    // when the pass that owns the mapping goes away.
    void set_mapping(std::shared_ptr<Mapping> mapping) { mapping_ = std::move(mapping); }

    // The first variable of the layer that does not fit it (see "Fit" above), as "variable
    // '<name>' has shape (<dims as written>), but the layer needs shape (<dims>)" (element counts:
    // "..., or any shape of <n> values"), or the half of an optional ReLU ceiling held alone
    // ("variable 'max_value' is held without 'max_value_shift': a ReLU ceiling needs both", or the
    // other way round); empty when every variable fits or the layer is not built.
    std::string variable_misfit() const;
    // What the kind declares of an optional variable of the built layer (see "Optional variables"
    // above; the store asks only for names it does not hold); none for any other name, and for
    // every name before the layer is built.
    std::optional<VariablesImpl::Declared> declared_variable(std::string const& name) const;

    // What the inbound layers provide when the layer is built.
    struct Inputs {
        std::vector<Shape> shapes;  // one per inbound layer, or the input layer's own shape
        uint8_t bits = 0;           // the first inbound layer's output bits
        bool any_signed = false;    // an inbound layer has signed outputs
    };
    // How a variable's tensor must fit the layer: its very dimensions (trailing dimensions of 1
    // aside), or only its element count.
    enum class Fit : uint8_t { count, shape };
    // A variable of a kind: created when the layer is built (unless optional) and checked before
    // it is used.
    struct VariableSpec {
        std::string name;
        TensorType type;
        std::vector<uint32_t> dims;
        Fit fit = Fit::count;
        bool optional = false;
    };
    // What a kind computes from its parameters and inputs.
    struct Outputs {
        std::vector<uint32_t> dims;  // a zero dimension is kept (no output yet)
        uint8_t bits = 0;
        bool is_signed = false;
        uint64_t macs = 0;
        std::vector<VariableSpec> variables;
        std::optional<ConvCalculatedParams> conv;
        std::optional<PoolingCalculatedParams> pool;
    };

    // std::invalid_argument "Layer '<name>': <message>".
    [[noreturn]] void refuse(std::string const& message) const;

protected:
    // Stores or clears the kind's computed blocks.
    virtual void store_blocks(Outputs const& outputs) {}
    virtual void clear_blocks() {}

private:
    friend class Model;
    friend class Layer;  // Layer::variable reads the store's views

    // `value` in the shape the layer reads for variable `name` when it fits it (see "Fit"), sharing
    // its elements; otherwise `value` itself.
    std::shared_ptr<Dense> fitted(std::string const& name, std::shared_ptr<Dense> const& value) const;
    // The built layer's spec of the optional variable `name`; null for any other name.
    VariableSpec const* optional_spec(std::string const& name) const;
    // A value written into the store (Variables::set, assign): the model's program no longer
    // holds the layer's values, and its mapping goes.
    void variable_written();
    // Refuses a write while the model holding the layer is being mapped (Model::map).
    void check_writable() const;

    // Graph edits and building, done only by Model.
    void build(Inputs const& inputs, bool create_variables);
    void unbuild();
    Inputs gather_inputs(std::vector<std::shared_ptr<Layer>> const& inbounds) const;
    void link(std::shared_ptr<Layer> const& self, std::vector<std::shared_ptr<Layer>> inbounds);
    void unlink();

    std::unique_ptr<LayerParams> params_;
    std::string name_;
    LayerKind const* kind_ = nullptr;  // the row of params_->layer_type()
    VariablesImpl variables_;
    std::shared_ptr<Mapping> mapping_;
    std::vector<std::shared_ptr<Layer>> inbounds_;
    std::vector<std::weak_ptr<Layer>> outbounds_;
    Model* owner_ = nullptr;  // the model holding the layer, if any

    bool built_ = false;
    std::vector<VariableSpec> variable_specs_;
    std::vector<Shape> input_shapes_;
    std::vector<uint32_t> output_dims_;
    uint8_t input_bits_ = 0;
    uint8_t output_bits_ = 0;
    bool output_signed_ = false;
    uint64_t macs_ = 0;
};

// The implementation behind a layer made by Layer::create; std::invalid_argument "Layer '<name>'
// was not made by Layer::create." for any other Layer implementation.
LayerImpl& created_layer(Layer& layer);

// LayerImpl::variable_misfit of a layer made by Layer::create; empty for any other Layer.
std::string variable_misfit(Layer const& layer);

// The refusal of `layer` as a model's first layer when it takes inbound layers: "Layer '<name>'
// needs an inbound layer, and the model has none: add an input layer first.", followed for a kind
// that a given input shape makes an input layer by "A Quantizer given 'input_width',
// 'input_height' and 'input_channels' is an input layer."
std::string first_layer_refusal(Layer const& layer);

// "Layer '<name>' (<kind>): <reason>", the words of every refusal of a layer's run or values.
std::string layer_text(Layer const& layer, std::string const& reason);

// Attaches `mapping` to a layer made by Layer::create (null resets the slot);
// std::invalid_argument for any other Layer implementation.
void set_layer_mapping(Layer& layer, std::shared_ptr<Layer::Mapping> mapping);

// A layer that computes convolution and pooling blocks when it is built.
class ConvPoolLayer : public LayerImpl, public HasConvParams, public HasPoolParams {
public:
    using LayerImpl::LayerImpl;

    ConvCalculatedParams const* conv_params() const final { return conv_ ? &*conv_ : nullptr; }
    PoolingCalculatedParams const* pool_params() const final { return pool_ ? &*pool_ : nullptr; }
    // The blocks by reference; std::runtime_error "The layer <name> is not built." before the
    // layer is built.
    ConvCalculatedParams const& conv_calculated_params() const;
    PoolingCalculatedParams const& pool_calculated_params() const;

protected:
    void store_blocks(Outputs const& outputs) override;
    void clear_blocks() override;

private:
    std::optional<ConvCalculatedParams> conv_;
    std::optional<PoolingCalculatedParams> pool_;
};

// `layer` as the engine's layer of kind `type`, which computes convolution and pooling blocks:
// std::bad_cast for a layer of any other kind, or of another Layer implementation, as a cast to a
// class of its own would be.
ConvPoolLayer const& conv_pool_layer(Layer const& layer, LayerType type);

// The kind that learns on the chip, with the model's learning parameters.
class FullyConnected final : public LayerImpl {
public:
    using LayerImpl::LayerImpl;

    // The learning parameters, through a weak reference to the model's; null when never set or
    // expired.
    std::shared_ptr<LearningParams> learning() const override { return learning_.lock(); }
    bool can_learn() const override { return learning() != nullptr; }
    void set_learning(std::shared_ptr<LearningParams> const& learning) override { learning_ = learning; }

private:
    std::weak_ptr<LearningParams> learning_;
};

// Whether `layer` is the engine's layer of the learning kind, the only one a model's learning
// parameters are given to.
bool is_learning_layer(Layer const& layer);
// Gives such a layer the model's learning parameters (null takes them away); std::logic_error for
// any other layer.
void set_learning(Layer& layer, std::shared_ptr<LearningParams> const& learning);

// The classes the back ends reach a layer of their kind by; each is its base, reading its row.
class SeparableConvolutional final : public ConvPoolLayer {
public:
    using ConvPoolLayer::ConvPoolLayer;
};

class Conv2D final : public ConvPoolLayer {
public:
    using ConvPoolLayer::ConvPoolLayer;
};

class DepthwiseConv2D final : public ConvPoolLayer {
public:
    using ConvPoolLayer::ConvPoolLayer;
};

class Conv2DTranspose final : public LayerImpl {
public:
    using LayerImpl::LayerImpl;
};

class DepthwiseConv2DTranspose final : public LayerImpl {
public:
    using LayerImpl::LayerImpl;
};

}  // namespace nuvra
