// The engine's layer kinds: one class per LayerType behind the Layer interface.
//
// A layer is made by Layer::create(params, name) and becomes "built" when a Model adds it with
// known inputs: then its input shapes, bit widths, output shape, variables and (for convolution
// kinds) its computed convolution and pooling blocks exist. Before that, input_dimensions() and
// output_dimensions() fail with their "before it is set" messages and the blocks are null.
//
// Parameters. Layer::create keeps every key it is given and adds the kind's defaults for the keys
// it was not given (table below, "=" values); a key the kind does not have is std::invalid_argument
// "Layer '<name>': <kind> layers have no parameter '<key>'." (a model file's load refuses it the
// same way), a required key ("R") that is missing, or a value out of its range, is
// std::invalid_argument naming the layer, the key and the value. Keys whose absence means
// something ("filters" of the depthwise kinds: as many as input channels) get no default. Shapes
// are (width, height, channels).
//
//   kind                      keys
//   InputData                 input_width R, input_height R, input_channels R, input_bits =8,
//                             input_signed =0
//   InputConvolutional        input_width R, input_height R, input_channels R, kernel_width R,
//                             kernel_height R, filters R, stride_x =1, stride_y =1, padding =0,
//                             padding_value =0, weights_bits =4, activation =0, act_bits =4,
//                             pool_type =0, pooling_width =1, pooling_height =1,
//                             pooling_stride_x =-1, pooling_stride_y =-1
//   FullyConnected            units R, weights_bits =4, activation =0, act_bits =4
//   Convolutional,            kernel_width R, kernel_height R, filters R, stride_x =1,
//   SeparableConvolutional    stride_y =1, padding =0, weights_bits =4, activation =0,
//                             act_bits =4, pool_type =0, pooling_width =1, pooling_height =1,
//                             pooling_stride_x =-1, pooling_stride_y =-1
//   Add                       output_bits =8
//   Concatenate               -
//   Conv2D, InputConv2D       kernel_size R, filters R, kernel_stride =1, padding =0,
//                             weights_bits =8, activation =0, output_bits =8, pool_type =0,
//                             pool_size =1, pool_stride =pool_size (1 when pool_size is -1)
//   DepthwiseConv2D           as Conv2D, but filters optional (absent: the input channels)
//   Conv2DTranspose           kernel_size R, filters R, kernel_stride =2, weights_bits =8,
//                             activation =0, output_bits =8
//   DepthwiseConv2DTranspose  kernel_size R, kernel_stride =2, weights_bits =8, activation =0,
//                             output_bits =8 (filters optional, as DepthwiseConv2D)
//   Dequantizer               -
//   BufferTempConv            fifo_size R, filters R, weights_bits =8, activation =0,
//                             output_bits =8
//   DepthwiseBufferTempConv   fifo_size R, weights_bits =8, activation =0, output_bits =8
//                             (filters optional)
//   Dense1D                   units R, weights_bits =8, activation =0, output_bits =8
//   StatefulRecurrent         stateful_channels R, output_channels R, subsample =1,
//                             activation =0, output_bits =8
//   Quantizer                 output_bits =8, output_signed =1, channels_first =0
//   WispPostProcessing, Unknown  -
//
// Ranges checked by Layer::create: padding 0..2, pool_type 0..2, activation 0..2; kernel sizes,
// kernel strides and fifo_size at least 1 (fifo_size at most 14); filters, units and channel
// counts at least 0; bit widths that become input_bits() or output_bits() 1..32; a pool size is
// at least 1 or -1 (global pooling); a pooling stride is 1..127 (first generation: -1 or any
// negative value stands for the pool size of its axis). Flags (input_signed, output_signed,
// channels_first) are 0 or 1.
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
// - Transposed kinds: out = n * kernel_stride. Fully connected kinds: (1, 1, units) over
//   I = width * height * channels inputs. Add: the common shape of its two inputs. Concatenate:
//   the common width and height, channels summed. StatefulRecurrent: (width, height,
//   output_channels): "subsample" is the rate at which the TNP-R emits outputs, not a change of
//   the frame shape. WispPostProcessing: (width, 1, 1). Dequantizer, Quantizer, Unknown: their
//   input shape.
//
// The computed blocks (ConvCalculatedParams, PoolingCalculatedParams of engine/layer.h):
// - convolution block: stride_x and stride_y of the convolution (so the program header's
//   input_param_a is the x stride and input_param_b the y stride), the convolution output width
//   and rows before pooling, and the convolution padding;
// - pooling block: the pooling strides along x and y (1 without pooling and for global pooling),
//   the output width and rows after pooling, the pooling padding, and a flag set for global
//   pooling (the CNP pooling word's global-pooling bit);
// - the mapping engine's split shortens the first chunk of an axis by that axis's pooling stride
//   (stride_x for the width, stride_y for the height).
// Kinds with both blocks: InputConvolutional, Convolutional, SeparableConvolutional, Conv2D,
// InputConv2D, DepthwiseConv2D. The transposed kinds have none.
//
// Bits. input_bits(): the first inbound layer's output_bits() (InputData: "input_bits";
// InputConvolutional: 8, the HRC reads bytes). output_bits(): first generation "act_bits" with an
// activation, else 32 (potentials); second and third generation and Add "output_bits";
// Quantizer "output_bits"; Concatenate the first inbound's; Dequantizer 32 (float values);
// WispPostProcessing 8. output_signed(): InputData "input_signed"; Quantizer "output_signed";
// Concatenate when any inbound is signed; WispPostProcessing false; Add and Dequantizer true;
// the other kinds false with an activation and true without.
//
// Answers per kind:
//   is_target_component: exactly one kind per layer kind: InputConvolutional, InputConv2D 1 (HRC);
//     Convolutional, SeparableConvolutional, Conv2D, DepthwiseConv2D, Conv2DTranspose,
//     DepthwiseConv2DTranspose 2 (CNP); FullyConnected, Dense1D 3 (FNP); Add, Concatenate 4 (skip
//     DMA); BufferTempConv, DepthwiseBufferTempConv 5 (TNP-B); StatefulRecurrent,
//     WispPostProcessing 6 (TNP-R); InputData, Quantizer, Dequantizer, Unknown 0 (none). No layer
//     answers 7.
//   format_code: the number of the generation whose memory formats the layer uses (one table,
//     kind_generation in engine/layers.cpp, gives it and Model::ip_version): 1 for the
//     first-generation kinds (InputConvolutional, FullyConnected, Convolutional,
//     SeparableConvolutional; their outputs are scaled by "act_step" and shifted by
//     "threshold"), 2 for the second-generation kinds (Add, Concatenate, Conv2D, InputConv2D,
//     DepthwiseConv2D, Conv2DTranspose, DepthwiseConv2DTranspose, BufferTempConv,
//     DepthwiseBufferTempConv, Dense1D), 3 for StatefulRecurrent and WispPostProcessing, 0 for
//     the others.
//   value_mode: how the layer's input values are encoded: 1 unsigned (the HRC kinds, and
//     InputData with input_signed 0), 0 signed (every other layer).
//   splittable: Convolutional, SeparableConvolutional, Conv2D, DepthwiseConv2D, Conv2DTranspose,
//     DepthwiseConv2DTranspose, BufferTempConv, DepthwiseBufferTempConv.
//   is_depthwise: DepthwiseConv2D, DepthwiseConv2DTranspose, DepthwiseBufferTempConv.
//   is_separable: those three and SeparableConvolutional.
//   is_input_layer: InputData, InputConvolutional (InputConv2D reads an InputData layer).
//   has_activation: "activation" is not 0 (kinds without that key: false);
//     has_activation_type(t): the "activation" value equals t (0 for kinds without the key);
//     has_pooling_type(t): the "pool_type" value equals t (0 for kinds without the key).
//   macs (64-bit): convolutions out_w * out_h (before pooling) * k_x * k_y * C * F (depthwise:
//     * C instead of * C * F; separable: depthwise plus out_w * out_h * C * F); transposed:
//     in_w * in_h * k * k * C * F (depthwise: * C); fully connected: I * units; BufferTempConv
//     w * h * F * fifo_size * C; DepthwiseBufferTempConv w * h * C * fifo_size; StatefulRecurrent
//     w * h * (S * C + O * S); every other kind 0.
//
// Variables created when the layer is built (zero-filled, layout 0; a name the layer already
// holds is kept as it is). F filters (or units), C input channels, S state channels, O output
// channels, I flattened inputs, k kernel size:
//   InputConvolutional  weights int8 (kx, ky, C, F); act_step float32 (F); threshold int32 (F)
//   FullyConnected      weights int8 (F, I, 1, 1); threshold int32, act_step float32,
//                       threshold_learning int32, thswap int32, each (F)
//   Convolutional       weights int8 (F, C, ky, kx); act_step float32 (F); threshold int32 (F)
//   SeparableConv.      weights int8 (1, C, ky, kx); weights_pw int8 (F, C, 1, 1); act_step,
//                       threshold as Convolutional
//   Add                 a_shift uint8, b_shift uint8, output_shift int8, each (C)
//   Conv2D, Conv2DTranspose
//                       weights int8 (k, k, C, F); input_shift uint8 (C); bias int8,
//                       output_shift int8, activation_shift int8, bias_shift uint8,
//                       output_scales uint8, max_value uint8, max_value_shift uint8,
//                       activation_scales uint8, each (F); with a LUT activation lut_values
//                       int32 (2048)
//   DepthwiseConv2D(Transpose)  as Conv2D with weights int8 (k, k, 1, C) and F = C
//   InputConv2D         weights int8 (k, k, C, F); padding_value uint8 (C); output_shift int8,
//                       output_scales uint8, bias_shift uint8, bias uint8, each (F); with a LUT
//                       activation activation_shift int8 (F), activation_scales uint8 (F),
//                       lut_values int32 (2048)
//   Dequantizer         scales float32 (C)
//   BufferTempConv      weights int8 (1, 1, fifo_size * C, F); input_shift uint8 (C); the
//                       per-filter variables of Conv2D
//   DepthwiseBufferTempConv  weights int8 (1, 1, fifo_size, C); the rest as BufferTempConv, F = C
//   Dense1D             weights int8 (I, F); input_shift uint8 (I); bias int8, bias_shift uint8,
//                       output_scales uint8, output_shift int8, each (F); with a LUT activation
//                       activation_shift int8 (F), activation_scales uint8 (F), lut_values int32
//                       (2048)
//   StatefulRecurrent   in_proj int8 (S, C); out_proj int8 (O, S); A_real int16, A_imag int16,
//                       internal_state_outputs_shift int8, new_state_scale uint8,
//                       new_state_shift int8, each (S); output_scales uint8, output_shift int8,
//                       bias int8, bias_shift uint8, each (O); input_shift uint8 (C)
//   Quantizer           scales float32 (C); zero_points uint8 (C)
//   WispPostProcessing  input_scales uint8 (1); input_shift int8 (1); threshold uint16 (1)
// Optional variables (max_value and max_value_shift of InputConv2D, Dense1D, StatefulRecurrent,
// one per filter or output channel) are not created; set them when they apply.
//
// Fit. A variable may be replaced by a tensor of another shape at any time; before a software run
// and before mapping, every variable the kind knows (optional ones when present) must fit the
// built layer: weights, weights_pw, in_proj and out_proj their very dimensions (trailing
// dimensions of 1 aside), every other variable its element count in any shape (per-filter and
// per-channel values are read in order). A variable whose shape would have a zero dimension, or
// that the kind does not know, is not checked. A value that fits is stored in the layer's own
// shape, sharing its elements (Dense::reshaped), when it is set on a built layer and when the
// layer is built, so that every reader (software run, checks, recorders, Variables::get) sees
// that shape: the run and the program are those of the exact shape. A value that does not fit is
// stored as it is given, and refused before a run or a mapping.
//
// Graph: a layer holds its inbound layers (shared, in input order) and its outbound layers
// (weakly, as the model holds them). Inputs per kind: input layers none; Add exactly 2 of one
// shape; Concatenate at least 2 of one width and height; WispPostProcessing 1 or 2 (the first
// gives the shape); every other kind exactly 1.
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

// The engine's implementation of Layer, shared by every kind.
class LayerImpl : public Layer {
public:
    ~LayerImpl() override;

    std::string get_name() const final;
    std::vector<Shape> input_dimensions() const final;
    Shape output_dimensions() const final;
    uint8_t input_bits() const final;
    uint8_t output_bits() const final;
    bool output_signed() const final;
    int format_code() const final;
    int value_mode() const override;
    bool is_target_component(ComponentKind kind) const final;
    bool splittable() const override;
    bool is_depthwise() const override;
    bool is_separable() const override;
    bool is_input_layer() const override;
    LayerParams const* params() const final;
    std::shared_ptr<LearningParams> learning() const override;
    bool can_learn() const override;
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

    LayerType layer_type() const { return params_->layer_type(); }
    // Added to a model with known inputs.
    bool is_built() const { return built_; }
    // The mapping slot: the mapping engine attaches a layer's mapping here and resets it (null)
    // when the pass that owns the mapping goes away.
    void set_mapping(std::shared_ptr<Mapping> mapping) { mapping_ = std::move(mapping); }

    // The first variable of the layer that does not fit it (see "Fit" above), as "variable
    // '<name>' has shape (<dims>), but the layer needs shape (<dims>)" (element counts: "..., or
    // any shape of <n> values"); empty when every variable fits or the layer is not built.
    std::string variable_misfit() const;

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

protected:
    LayerImpl(std::unique_ptr<LayerParams> params, std::string name);

    // The component kind the layer runs on (ComponentKind::None for kinds without hardware).
    virtual ComponentKind target_kind() const = 0;
    // Inbound layers the kind accepts: at least `min`, at most `max`.
    virtual std::pair<size_t, size_t> inbound_count() const { return {1, 1}; }
    // The input shape and bits of an input layer, from its parameters.
    virtual Inputs own_inputs() const;
    // Output shape, bits, variables and blocks from the parameters and the inputs; refuses
    // inputs the kind cannot take with std::invalid_argument.
    virtual Outputs compute(Inputs const& inputs) const = 0;
    // Stores or clears the kind's computed blocks.
    virtual void store_blocks(Outputs const& outputs) {}
    virtual void clear_blocks() {}

    // The value of a parameter that Layer::create guaranteed (given or defaulted).
    int32_t param(char const* key) const { return params_->get(key); }
    // std::invalid_argument "Layer '<name>': <message>".
    [[noreturn]] void refuse(std::string const& message) const;

private:
    friend class Model;

    // `value` in the shape the layer reads for variable `name` when it fits it (see "Fit"), sharing
    // its elements; otherwise `value` itself.
    std::shared_ptr<Dense> fitted(std::string const& name, std::shared_ptr<Dense> value) const;

    // Graph edits and building, done only by Model.
    void build(Inputs const& inputs, bool create_variables);
    void unbuild();
    Inputs gather_inputs(std::vector<std::shared_ptr<Layer>> const& inbounds) const;
    void link(std::shared_ptr<Layer> const& self, std::vector<std::shared_ptr<Layer>> inbounds);
    void unlink();

    std::unique_ptr<LayerParams> params_;
    std::string name_;
    VariablesImpl variables_;
    std::shared_ptr<Mapping> mapping_;
    std::vector<std::shared_ptr<Layer>> inbounds_;
    std::vector<std::weak_ptr<Layer>> outbounds_;
    Model const* owner_ = nullptr;  // the model holding the layer, if any

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

// Attaches `mapping` to a layer made by Layer::create (null resets the slot);
// std::invalid_argument for any other Layer implementation.
void set_layer_mapping(Layer& layer, std::shared_ptr<Layer::Mapping> mapping);

// A layer that computes convolution and pooling blocks when it is built.
class ConvPoolLayer : public LayerImpl, public HasConvParams, public HasPoolParams {
public:
    ConvCalculatedParams const* conv_params() const final { return conv_ ? &*conv_ : nullptr; }
    PoolingCalculatedParams const* pool_params() const final { return pool_ ? &*pool_ : nullptr; }
    // The blocks by reference; std::runtime_error "The layer <name> is not built." before the
    // layer is built.
    ConvCalculatedParams const& conv_calculated_params() const;
    PoolingCalculatedParams const& pool_calculated_params() const;

protected:
    using LayerImpl::LayerImpl;
    void store_blocks(Outputs const& outputs) override;
    void clear_blocks() override;

private:
    std::optional<ConvCalculatedParams> conv_;
    std::optional<PoolingCalculatedParams> pool_;
};

// ---- First generation ------------------------------------------------------------------------

class InputConvolutional final : public ConvPoolLayer {
public:
    InputConvolutional(std::unique_ptr<LayerParams> params, std::string name);
    int value_mode() const override { return 1; }
    bool is_input_layer() const override { return true; }

protected:
    ComponentKind target_kind() const override { return ComponentKind::HRC; }
    std::pair<size_t, size_t> inbound_count() const override { return {0, 0}; }
    Inputs own_inputs() const override;
    Outputs compute(Inputs const& inputs) const override;
};

class FullyConnected final : public LayerImpl {
public:
    FullyConnected(std::unique_ptr<LayerParams> params, std::string name);
    // The learning parameters, through a weak reference to the model's; null when never set or
    // expired.
    std::shared_ptr<LearningParams> learning() const override { return learning_.lock(); }
    bool can_learn() const override { return learning() != nullptr; }
    void set_learning(std::shared_ptr<LearningParams> const& learning) { learning_ = learning; }

protected:
    ComponentKind target_kind() const override { return ComponentKind::FNP; }
    Outputs compute(Inputs const& inputs) const override;

private:
    std::weak_ptr<LearningParams> learning_;
};

class Convolutional final : public ConvPoolLayer {
public:
    Convolutional(std::unique_ptr<LayerParams> params, std::string name);
    bool splittable() const override { return true; }

protected:
    ComponentKind target_kind() const override { return ComponentKind::CNP; }
    Outputs compute(Inputs const& inputs) const override;
};

class SeparableConvolutional final : public ConvPoolLayer {
public:
    SeparableConvolutional(std::unique_ptr<LayerParams> params, std::string name);
    bool splittable() const override { return true; }
    bool is_separable() const override { return true; }

protected:
    ComponentKind target_kind() const override { return ComponentKind::CNP; }
    Outputs compute(Inputs const& inputs) const override;
};

// ---- Second generation -----------------------------------------------------------------------

class Add final : public LayerImpl {
public:
    Add(std::unique_ptr<LayerParams> params, std::string name);

protected:
    ComponentKind target_kind() const override { return ComponentKind::SKIP_DMA; }
    std::pair<size_t, size_t> inbound_count() const override { return {2, 2}; }
    Outputs compute(Inputs const& inputs) const override;
};

class Concatenate final : public LayerImpl {
public:
    Concatenate(std::unique_ptr<LayerParams> params, std::string name);

protected:
    ComponentKind target_kind() const override { return ComponentKind::SKIP_DMA; }
    std::pair<size_t, size_t> inbound_count() const override { return {2, SIZE_MAX}; }
    Outputs compute(Inputs const& inputs) const override;
};

class Conv2D final : public ConvPoolLayer {
public:
    Conv2D(std::unique_ptr<LayerParams> params, std::string name);
    bool splittable() const override { return true; }

protected:
    ComponentKind target_kind() const override { return ComponentKind::CNP; }
    Outputs compute(Inputs const& inputs) const override;
};

class InputConv2D final : public ConvPoolLayer {
public:
    InputConv2D(std::unique_ptr<LayerParams> params, std::string name);
    int value_mode() const override { return 1; }

protected:
    ComponentKind target_kind() const override { return ComponentKind::HRC; }
    Outputs compute(Inputs const& inputs) const override;
};

class DepthwiseConv2D final : public ConvPoolLayer {
public:
    DepthwiseConv2D(std::unique_ptr<LayerParams> params, std::string name);
    bool splittable() const override { return true; }
    bool is_depthwise() const override { return true; }
    bool is_separable() const override { return true; }

protected:
    ComponentKind target_kind() const override { return ComponentKind::CNP; }
    Outputs compute(Inputs const& inputs) const override;
};

class Conv2DTranspose final : public LayerImpl {
public:
    Conv2DTranspose(std::unique_ptr<LayerParams> params, std::string name);
    bool splittable() const override { return true; }

protected:
    ComponentKind target_kind() const override { return ComponentKind::CNP; }
    Outputs compute(Inputs const& inputs) const override;
};

class DepthwiseConv2DTranspose final : public LayerImpl {
public:
    DepthwiseConv2DTranspose(std::unique_ptr<LayerParams> params, std::string name);
    bool splittable() const override { return true; }
    bool is_depthwise() const override { return true; }
    bool is_separable() const override { return true; }

protected:
    ComponentKind target_kind() const override { return ComponentKind::CNP; }
    Outputs compute(Inputs const& inputs) const override;
};

class BufferTempConv final : public LayerImpl {
public:
    BufferTempConv(std::unique_ptr<LayerParams> params, std::string name);
    bool splittable() const override { return true; }

protected:
    ComponentKind target_kind() const override { return ComponentKind::TNP_B; }
    Outputs compute(Inputs const& inputs) const override;
};

class DepthwiseBufferTempConv final : public LayerImpl {
public:
    DepthwiseBufferTempConv(std::unique_ptr<LayerParams> params, std::string name);
    bool splittable() const override { return true; }
    bool is_depthwise() const override { return true; }
    bool is_separable() const override { return true; }

protected:
    ComponentKind target_kind() const override { return ComponentKind::TNP_B; }
    Outputs compute(Inputs const& inputs) const override;
};

class Dense1D final : public LayerImpl {
public:
    Dense1D(std::unique_ptr<LayerParams> params, std::string name);

protected:
    ComponentKind target_kind() const override { return ComponentKind::FNP; }
    Outputs compute(Inputs const& inputs) const override;
};

// ---- Third generation ------------------------------------------------------------------------

class StatefulRecurrent final : public LayerImpl {
public:
    StatefulRecurrent(std::unique_ptr<LayerParams> params, std::string name);

protected:
    ComponentKind target_kind() const override { return ComponentKind::TNP_R; }
    Outputs compute(Inputs const& inputs) const override;
};

class WispPostProcessing final : public LayerImpl {
public:
    WispPostProcessing(std::unique_ptr<LayerParams> params, std::string name);

protected:
    ComponentKind target_kind() const override { return ComponentKind::TNP_R; }
    std::pair<size_t, size_t> inbound_count() const override { return {1, 2}; }
    Outputs compute(Inputs const& inputs) const override;
};

// ---- Kinds without hardware ------------------------------------------------------------------

class InputData final : public LayerImpl {
public:
    InputData(std::unique_ptr<LayerParams> params, std::string name);
    int value_mode() const override;
    bool is_input_layer() const override { return true; }

protected:
    ComponentKind target_kind() const override { return ComponentKind::None; }
    std::pair<size_t, size_t> inbound_count() const override { return {0, 0}; }
    Inputs own_inputs() const override;
    Outputs compute(Inputs const& inputs) const override;
};

class Dequantizer final : public LayerImpl {
public:
    Dequantizer(std::unique_ptr<LayerParams> params, std::string name);

protected:
    ComponentKind target_kind() const override { return ComponentKind::None; }
    Outputs compute(Inputs const& inputs) const override;
};

class Quantizer final : public LayerImpl {
public:
    Quantizer(std::unique_ptr<LayerParams> params, std::string name);

protected:
    ComponentKind target_kind() const override { return ComponentKind::None; }
    Outputs compute(Inputs const& inputs) const override;
};

// LayerType::Unknown: a pass-through node that no back end maps.
class UnknownLayer final : public LayerImpl {
public:
    UnknownLayer(std::unique_ptr<LayerParams> params, std::string name);

protected:
    ComponentKind target_kind() const override { return ComponentKind::None; }
    Outputs compute(Inputs const& inputs) const override;
};

}  // namespace nuvra
