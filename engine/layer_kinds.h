// The engine's layer kinds, one row each: the one list that the kind enumeration, the layer
// classes, the parameter checks, the shape rules, the software arithmetic, the mapping's placement
// and the Python enumeration are made from. Adding a kind is a row here, its rules in
// engine/layers_kinds.cpp and its arithmetic in engine/inference_layers.cpp (the compiler names
// each that is missing); what a generation programs stays in that generation's own tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "hw/types.h"

namespace nuvra {

// The kind of hardware component a layer can run on; coarser than hw::Type.
enum class ComponentKind : uint8_t {
    None = 0,
    HRC = 1,
    CNP = 2,
    FNP = 3,
    SKIP_DMA = 4,
    TNP_B = 5,
    TNP_R = 6,
    DMA = 7,
};

// How the mapping spreads a layer of the kind over the mesh's NPs.
enum class KindPlacement : uint8_t {
    none,              // no NPs of its own: the host, the HRC, skip DMAs or the chain it closes run it
    whole_fnp,         // whole on one FNP, a neuron per unit
    split,             // cut over NPs of its component by rows, columns and filters
    split_transposed,  // the same for a transposed convolution, whose input height is never cut
    whole_tnp_r,       // whole on one TNP-R
};

// How the kind's filters read the input channels.
enum class KindFiltering : uint8_t {
    full,       // every filter reads every channel (and the kinds without filters)
    depthwise,  // each filter reads its own channel: as many filters as channels
    separable,  // each filter its own channel, then 1 x 1 pointwise weights mix them
};

// The inbound layers the kind takes.
enum class KindInbound : uint8_t {
    own,         // none: an input layer, whose input its parameters describe
    one,         // exactly one
    one_or_own,  // exactly one, or none when its parameters give an input shape: an input layer then
    one_or_two,  // one or two, the first giving the shape
    sum_of_two,  // two of one shape, added channel by channel
    join,        // two or more of one width and height, their channels joined
};

// What the kind keeps from one sample to the next: the samples of a run are then time steps.
enum class KindState : uint8_t {
    none,
    fifo,       // the last fifo_size frames of its input
    recurrent,  // a complex state per pixel and state channel
};

// X(kind, value, generation, component, placement, filtering, inbound, state,
//   class, keys, outputs, arithmetic), one row per kind, in the order of the Python enumeration:
// - kind and value: the LayerType's name and number (model files and Python carry the number);
// - generation: the IpVersion whose memory formats the kind uses (format_code() is its number;
//   none for the kinds without hardware);
// - component: the one ComponentKind a layer of the kind answers is_target_component for;
// - placement, filtering, inbound, state: as above; splittable() is a split placement,
//   is_depthwise() depthwise filtering, is_separable() depthwise or separable filtering,
//   is_input_layer() an own input, passes_samples_on() an own input and no component (a layer
//   of a one_or_own kind is an input layer when its parameters give its input shape);
// - class: the engine class Layer::create makes (the back ends cast to some of them);
// - keys and outputs: the kind's parameters and what it computes when it is built
//   (engine/layers_kinds.cpp);
// - arithmetic: its software run (engine/inference_layers.cpp).
#define NUVRA_LAYER_KINDS(X)                                                                                        \
    X(Unknown,                  0,  none, None,     none,             full,      one,        none,                  \
      LayerImpl,                no_keys,                  pass_through_outputs,        no_software_run)             \
    X(InputData,                1,  none, None,     none,             full,      own,        none,                  \
      LayerImpl,                input_data_keys,          pass_through_outputs,        input_data_run)              \
    X(InputConvolutional,       2,  v1,   HRC,      none,             full,      own,        none,                  \
      ConvPoolLayer,            input_conv_keys,          input_conv_outputs,          input_convolutional_run)     \
    X(FullyConnected,           3,  v1,   FNP,      whole_fnp,        full,      one,        none,                  \
      FullyConnected,           fully_connected_keys,     fully_connected_outputs,     fully_connected_run)         \
    X(Convolutional,            4,  v1,   CNP,      split,            full,      one,        none,                  \
      ConvPoolLayer,            v1_conv_keys,             convolutional_outputs,       convolutional_run)           \
    X(SeparableConvolutional,   5,  v1,   CNP,      split,            separable, one,        none,                  \
      SeparableConvolutional,   v1_conv_keys,             separable_outputs,           separable_convolutional_run) \
    X(Add,                      6,  v2,   SKIP_DMA, none,             full,      sum_of_two, none,                  \
      LayerImpl,                add_keys,                 add_outputs,                 add_run)                     \
    X(Concatenate,              12, v2,   SKIP_DMA, none,             full,      join,       none,                  \
      LayerImpl,                no_keys,                  concatenate_outputs,         concatenate_run)             \
    X(Conv2D,                   14, v2,   CNP,      split,            full,      one,        none,                  \
      Conv2D,                   conv2d_keys,              conv2d_outputs,              conv2d_run)                  \
    X(InputConv2D,              15, v2,   HRC,      none,             full,      one,        none,                  \
      ConvPoolLayer,            input_conv2d_keys,        input_conv2d_outputs,        input_conv2d_run)            \
    X(DepthwiseConv2D,          16, v2,   CNP,      split,            depthwise, one,        none,                  \
      DepthwiseConv2D,          dw_conv2d_keys,           dw_conv2d_outputs,           dw_conv2d_run)               \
    X(Conv2DTranspose,          17, v2,   CNP,      split_transposed, full,      one,        none,                  \
      Conv2DTranspose,          conv2d_transpose_keys,    conv2d_transpose_outputs,    conv2d_transpose_run)        \
    X(Dequantizer,              19, none, None,     none,             full,      one,        none,                  \
      LayerImpl,                no_keys,                  dequantizer_outputs,         dequantizer_run)             \
    X(DepthwiseConv2DTranspose, 20, v2,   CNP,      split_transposed, depthwise, one,        none,                  \
      DepthwiseConv2DTranspose, dw_conv2d_transpose_keys, dw_conv2d_transpose_outputs, conv2d_transpose_run)        \
    X(BufferTempConv,           21, v2,   TNP_B,    split,            full,      one,        fifo,                  \
      LayerImpl,                buffer_temp_conv_keys,    buffer_temp_conv_outputs,    buffer_temp_conv_run)        \
    X(DepthwiseBufferTempConv,  22, v2,   TNP_B,    split,            depthwise, one,        fifo,                  \
      LayerImpl,                dw_buffer_temp_conv_keys, dw_buffer_temp_conv_outputs, dw_buffer_temp_conv_run)     \
    X(StatefulRecurrent,        26, wisp, TNP_R,    whole_tnp_r,      full,      one,        recurrent,             \
      LayerImpl,                stateful_recurrent_keys,  stateful_recurrent_outputs,  stateful_recurrent_run)      \
    X(Dense1D,                  25, v2,   FNP,      whole_fnp,        full,      one,        none,                  \
      LayerImpl,                dense1d_keys,             dense1d_outputs,             dense1d_run)                 \
    X(Quantizer,                27, none, None,     none,             full,      one_or_own, none,                  \
      LayerImpl,                quantizer_keys,           quantizer_outputs,           quantizer_run)               \
    X(WispPostProcessing,       28, wisp, TNP_R,    none,             full,      one_or_two, none,                  \
      LayerImpl,                no_keys,                  post_processing_outputs,     no_software_run)

#define NUVRA_KIND_ENUMERATOR(kind, value, ...) kind = value,

// Kind of a layer. The numbers travel through model files and the Python API; the gaps are
// numbers no kind uses.
enum class LayerType : int32_t { NUVRA_LAYER_KINDS(NUVRA_KIND_ENUMERATOR) };

#undef NUVRA_KIND_ENUMERATOR

// The one kind that learns on the chip: a model's learning parameters go to its last layer, which
// must be of this kind.
inline constexpr LayerType learning_kind = LayerType::FullyConnected;
// Classes are added to a model's last layer only when it is of that kind; else this refusal.
inline constexpr char not_learning_kind_message[] = "The last layer must be a FullyConnected layer.";

// What the engine knows of a kind, from its row.
struct LayerKind {
    LayerType type;
    char const* name;  // "Conv2D", "InputData", ...
    IpVersion generation;
    ComponentKind component;
    KindPlacement placement;
    KindFiltering filtering;
    KindInbound inbound;
    KindState state;

    constexpr bool splittable() const {
        return placement == KindPlacement::split || placement == KindPlacement::split_transposed;
    }
    constexpr bool is_depthwise() const { return filtering == KindFiltering::depthwise; }
    constexpr bool is_separable() const { return filtering != KindFiltering::full; }
    constexpr bool is_input_layer() const { return inbound == KindInbound::own; }
    // An input layer that computes nothing (InputData): it passes the samples on, read at its bits
    // and sign. An input layer of a component (the HRC's convolution) computes its own output.
    constexpr bool passes_samples_on() const { return is_input_layer() && component == ComponentKind::None; }
};

// Every kind, in the order of the rows.
std::span<LayerKind const> layer_kinds();

// Whether `value` names a LayerType.
bool is_layer_type(int32_t value);

// The place of `type`'s row among the rows, and its row; a value that names no kind is
// std::invalid_argument "Unknown layer type <value>".
size_t kind_index(LayerType type);
LayerKind const& layer_kind(LayerType type);

}  // namespace nuvra
