// The engine's layer, reached only through this interface, and the computed parameter blocks of
// convolution and pooling layers.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "engine/params.h"
#include "engine/tensor.h"
#include "engine/variables.h"
#include "hw/ident.h"

namespace nuvra {

// The kind a hardware type belongs to: CNP1 and CNP2 are CNP, FNP2 and FNP3 FNP, both skip-DMA
// engines SKIP_DMA; None and any value outside hw::Type give None.
ComponentKind component_kind(hw::Type type);

// What a built convolution layer computed from its parameters and input shape. The first two
// values go to the program header as input params a and b.
struct ConvCalculatedParams {
    uint32_t stride_x = 0;       // input param a
    uint32_t stride_y = 0;       // input param b
    uint32_t output_width = 0;   // width of the convolution's output, before pooling
    uint32_t output_height = 0;  // rows of the convolution's output, before pooling
    PaddingParams padding;       // the convolution's input padding

    friend bool operator==(ConvCalculatedParams const&, ConvCalculatedParams const&) = default;
};

// What a built layer with pooling computed. Without pooling: factors 1, the convolution's output
// sizes, no padding, flag clear.
struct PoolingCalculatedParams {
    int8_t stride_x = 1;         // pooling factor along the width
    int8_t stride_y = 1;         // pooling factor along the height
    uint32_t output_width = 0;   // width after pooling
    uint32_t output_height = 0;  // rows after pooling
    PaddingParams padding;       // the pooling's input padding
    bool flag = false;           // the pooling flag bit of the CNP pooling word

    friend bool operator==(PoolingCalculatedParams const&, PoolingCalculatedParams const&) = default;
};

// A layer graph node. Implemented by the engine's layer kinds; keeps no data here.
class Layer {
public:
    // The hardware mapping of a layer; the mapping engine derives its own type from it.
    struct Mapping {
        virtual ~Mapping();
        // The NP and HRC components that compute the layer, in the order they were allocated.
        std::shared_ptr<std::vector<hw::Component>> components;
    };

    virtual ~Layer();

    // A new layer of the kind params->layer_type(), holding a copy of `params`; never null. A name
    // that is not UTF-8 is std::invalid_argument "A layer name must be valid UTF-8.".
    // Defined with the layer kinds.
    static std::shared_ptr<Layer> create(LayerParams const* params, std::string name);

    // A copy of the layer's name.
    virtual std::string get_name() const = 0;
    // One shape per input, in input order; before the inputs are known, std::runtime_error
    // "Cannot get input size before it is set.".
    virtual std::vector<Shape> input_dimensions() const = 0;
    // The first of those shapes; before the inputs are known, or for a layer without any, the
    // same std::runtime_error.
    Shape first_input() const;
    // The output shape. Panics "Tensor shape size %lu exceeds maximum shape size (%zu)" above
    // 4294967295 elements; a product of 0 (no output yet) is std::runtime_error "Cannot get
    // output size before it is set.".
    virtual Shape output_dimensions() const = 0;
    virtual uint8_t input_bits() const = 0;
    virtual uint8_t output_bits() const = 0;
    virtual bool output_signed() const = 0;
    // The generation whose memory formats the layer uses, as the number of its IpVersion (0 for
    // a kind of none).
    virtual int format_code() const = 0;
    // How the layer's values are encoded; 1 marks values that are never signed.
    virtual int value_mode() const = 0;
    // Whether the layer can run on components of `kind`; several kinds may hold at once.
    virtual bool is_target_component(ComponentKind kind) const = 0;
    // The layer may be split over several NPs.
    virtual bool splittable() const = 0;
    // The layer works channel by channel: each part of a split has as many channels as filters.
    virtual bool is_depthwise() const = 0;
    virtual bool is_separable() const = 0;
    virtual bool is_input_layer() const = 0;
    // The layer's own parameters (no copy).
    virtual LayerParams const* params() const = 0;
    // The same, which a layer kind always has; a layer without any is std::invalid_argument
    // "Layer '<name>' has no parameters.".
    LayerParams const& required_params() const;
    // The layer's kind: required_params().layer_type(), with its failure.
    LayerType type() const;
    // The learning parameters, or null.
    virtual std::shared_ptr<LearningParams> learning() const = 0;
    virtual bool can_learn() const = 0;
    // The variable store held inside the layer: each value as it was written.
    virtual Variables& variables() = 0;
    virtual Variables const& variables() const = 0;
    // The layer's variable `name` in the shape the layer reads it, for everything that computes
    // with it (runs, checks, programs): a value written in another shape that fits the layer
    // (engine/layers.h, "Fit") is seen in the layer's shape over the same elements; any other
    // value as it was written. Never null; a name not held is the failure of Variables::get.
    // Defined with the layer kinds.
    std::shared_ptr<Tensor> variable(std::string const& name) const;
    virtual bool has_activation() const = 0;
    virtual bool has_activation_type(ActivationType type) const = 0;
    virtual bool has_pooling_type(PoolType type) const = 0;
    // The inbound layers, the very objects the model holds, in input order.
    virtual std::vector<std::shared_ptr<Layer>> inbound_layers() const = 0;
    virtual std::vector<std::shared_ptr<Layer>> inbound_layers() = 0;
    virtual std::vector<std::shared_ptr<Layer>> outbound_layers() const = 0;
    virtual std::vector<std::shared_ptr<Layer>> outbound_layers() = 0;
    // The inbound layers as the layer holds them, for reading without a copy: valid until the
    // layer's links change.
    virtual std::span<std::shared_ptr<Layer> const> inbound_view() const = 0;
    // The number of outbound layers, without building their list.
    virtual size_t outbound_count() const = 0;
    // A copy of the pointer to the layer's mapping; null before mapping.
    virtual std::shared_ptr<Mapping> mapping() const = 0;
    virtual std::shared_ptr<Mapping> mapping() = 0;
    // Multiply-accumulate operations of one inference.
    virtual uint64_t macs() const = 0;

protected:
    Layer() = default;
    Layer(Layer const&) = default;
    Layer& operator=(Layer const&) = default;
};

// A layer that computes convolution parameters when it is built.
class HasConvParams {
public:
    virtual ~HasConvParams();
    // The computed block, or null while the layer is not built.
    virtual ConvCalculatedParams const* conv_params() const = 0;
};

// A layer that computes pooling parameters when it is built.
class HasPoolParams {
public:
    virtual ~HasPoolParams();
    // The computed block, or null while the layer is not built.
    virtual PoolingCalculatedParams const* pool_params() const = 0;
};

}  // namespace nuvra
