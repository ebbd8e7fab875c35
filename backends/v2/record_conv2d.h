// Recording of a Conv2D layer mapped on second-generation CNPs, and the pieces that every CNP
// convolution recorder shares with it.
//
// Per NP of the layer, in the mapping's order, the record holds: the 64-word register image
// (dma::Target::NpRegisters), the weights in the CNP's 100-bit words (target 0 or 1), the input
// shifts (2), the per-filter variables (5), the look-up table of a LUT activation (12) and the
// shifts of an Add merged into the layer (10), all at address 0; then the layer's skip-DMA blocks.
//
// The recorders take record_layer's arguments (LayerRecordArgs): an NP listed in `skipped_nps`
// gets nothing (SkippedNp::left_out); with `registers_only` (the NPs a pass leaves unused) only the
// register images are recorded; an NP that also holds a component of `next_layer` describes that
// layer in its registers (partial reconfiguration). `sequence_first` is not read. The per-NP loops
// are those of mapping/np_recording.h.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <variant>
#include <vector>

#include "backends/v2/format_conv_weights.h"
#include "engine/dma.h"
#include "engine/layer.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "hw/device.h"
#include "hw/ident.h"
#include "hw/np_split.h"
#include "mapping/layer_mapping.h"
#include "mapping/np_recording.h"
#include "mapping/routing.h"
#include "program/backend.h"
#include "program/record.h"

namespace nuvra::v2 {

// A CNP recorder given a layer of another kind.
inline constexpr char invalid_cnp_layer_type_message[] = "Invalid layer type for CNP recording.";

// Records a Conv2D layer (LayerType 14; any other type is std::runtime_error "Invalid layer type
// for CNP recording."). Needs the variables "weights" and "input_shift" unless `registers_only`
// is set (std::invalid_argument "Variable <name> not found" otherwise). Failures of the formatters
// and of the record pass through; the partly built record is dropped.
std::unique_ptr<program::Record> record_program_conv2d_layer(Device const& device, LayerRecordArgs const& args);

// The register images of a Conv2D layer's NPs. A layer without its computed convolution and
// pooling blocks is std::runtime_error "The layer <name> is not built."; without input dimensions,
// std::runtime_error "Cannot get input size before it is set.".
NpRegisterMap format_conv2d_np_registers(LayerRecordArgs const& args);

// The same with record_layer's arguments one by one, as LayerRecordArgs names them; the layer is
// its own sequence_first (not read here).
std::unique_ptr<program::Record> record_program_conv2d_layer(Device const& device, Layer const& layer,
                                                             std::shared_ptr<Layer> next_layer, bool set_spikes,
                                                             bool mesh_flag,
                                                             std::vector<hw::Ident> const& skipped_nps,
                                                             bool registers_only, bool fnp_padding);
NpRegisterMap format_conv2d_np_registers(Layer const& layer, std::shared_ptr<Layer> next_layer, bool set_spikes,
                                         bool mesh_flag, std::vector<hw::Ident> const& skipped_nps,
                                         bool registers_only, bool fnp_padding);

// ---- shared by the CNP convolution recorders ----

// What a CNP convolution kind sets up differently in its NPs' register images; the rest of the
// images is the same for every kind.
struct CnpConvSetup {
    int kernel_size = 0;
    int kernel_stride = 1;
    uint8_t weights_bits = 8;
    bool transposed = false;  // the common configuration's transposed-convolution flag
    uint8_t pool_size = 1;    // pool value and factor, global pooling and padding of the pooling words
    uint8_t pool_factor = 1;
    bool global_pool = false;
    PaddingParams pool_padding;
    // The split geometry of one NP of the layer.
    std::function<std::variant<NpSplit, TransposedCnpSplit>(hw::NpPart const& part)> split;
    // The kind's words of the NP's input packets and weights, written after the common
    // configuration; unset, the Conv2D words (format_cnp_input_and_filter_words).
    std::function<void(std::vector<uint32_t>* regs, hw::NpPart const& part)> np_words;
};

// The setup of a convolution followed by its own pooling (Conv2D, DepthwiseConv2D): the layer's
// kernel, stride and "weights_bits", its split, and the pool value of its pooling block (1
// without pooling and for a global average pooling). A layer without its computed convolution
// and pooling blocks is std::runtime_error "The layer <name> is not built."; without input
// dimensions, std::runtime_error "Cannot get input size before it is set.".
CnpConvSetup pooled_cnp_conv_setup(Layer const& layer);

// The register images of the NPs of a CNP convolution layer, built with the kind's `setup`.
NpRegisterMap format_cnp_conv_np_registers(LayerRecordArgs const& args, CnpConvSetup const& setup);

// 32-bit words of the NP's input packet memory: `channels` rows of `width` elements of `bits`
// bits, each row rounded up to whole words, times `height` (chunk_input_32b_size of a CNP,
// saturated at UINT64_MAX).
uint64_t cnp_input_packet_words(uint32_t channels, uint32_t width, uint32_t height, uint8_t bits);

// The words of a CNP image that describe the NP's input packets and its filters: the input
// packet memory (word 4), the weight words per input channel `ch_cont` (word 11), the filter count
// (word 21), the bytes of one input row and the words of one row over all channels (word 28) and
// the started groups of eight filters (word 29). `channels` is the NP's input channel count,
// `cut_width` and `cut_height` its input cut, `input_bits` the layer's input width. Worked out in
// 64 bits; a value too wide for its field fails through panic with the overflow message.
void format_cnp_input_and_filter_words(std::vector<uint32_t>* regs, uint32_t channels, uint32_t cut_width,
                                       uint32_t cut_height, uint8_t input_bits, uint32_t ch_cont,
                                       uint32_t filters);


// The NP part of a component of the layer; a component without one is std::invalid_argument "An
// NP of layer <name> has no NP part.".
hw::NpPart const& recorded_np_part(Layer const& layer, hw::Component const& component);

// The first output channel of an NP: its first filter plus the mapping's output offset (a layer
// feeding a Concatenate), saturated at 4294967295 so that the field check refuses a sum that does
// not fit instead of wrapping.
uint32_t first_output_channel(hw::NpPart const& part, LayerMapping const& mapping);

// The store that carries the layer's second output, as a list of zero or one component.
std::vector<hw::Component> dual_output_stores(LayerMapping const& mapping);

// The steps of this generation's NP images (format_np_images): `layer_words`, the routing of
// `routes` (format_mesh_registers_set_output_to_NPs) and update_partial_reconfig_regs for a linked
// layer, both with `mesh_flag`.
NpImageSteps np_image_steps(LayerRoutes const& routes, bool mesh_flag,
                            std::function<std::vector<uint32_t>(hw::Component const& np)> layer_words);

// A variable the layer must hold (std::invalid_argument "Variable <name> not found" otherwise).
std::shared_ptr<Dense const> required_variable(Layer const& layer, const char* name);
// A variable the layer may lack: null then.
std::shared_ptr<Dense const> optional_variable(Layer const& layer, const char* name);

// The per-neuron variables of a CNP or TNP-B layer, each null when the layer does not hold it.
// A ReLU layer's look-up pair (activation_shift, activation_scales) and a LUT layer's ceiling pair
// (max_value, max_value_shift) are left out: the activation does not read them, and they would
// overwrite the bits of the pair it reads.
struct NeuronVariables {
    std::shared_ptr<Dense const> max_value, max_value_shift, activation_shift, activation_scales, output_shift,
        bias_shift, bias, output_scales;

    explicit NeuronVariables(Layer const& layer);
    // format_cnp_tnp_variables of neurons first .. first + count - 1.
    std::vector<uint32_t> format(uint32_t first, uint32_t count) const;
};

// What a CNP convolution kind records differently per NP: how its weights are formatted (with
// the layer's "weights_bits") and where they go (from the weights' kernel size), and whether the
// input and merge shifts are those of the NP's own channels instead of the whole layer's.
struct CnpConvBlocks {
    std::vector<uint32_t> (*format_weights)(Dense const& weights, uint32_t first, uint32_t count,
                                            uint8_t bits) = format_conv2d_cnp_weights;
    dma::Target (*weight_target)(uint32_t kernel_size, uint8_t bits) = conv2d_dma_target;
    bool channel_shifts = false;
};

// Records the blocks of a CNP convolution layer from the register images of its NPs: per NP of
// the mapping (in order) whose ident has an image, the image, then, unless `registers_only`, its
// weights, input shifts, variables, look-up table and merge shifts; then, unless
// `registers_only`, the skip-DMA blocks.
std::unique_ptr<program::Record> record_cnp_conv_program(Device const& device, Layer const& layer,
                                                         NpRegisterMap const& registers, bool registers_only,
                                                         CnpConvBlocks const& blocks = {});

}  // namespace nuvra::v2
