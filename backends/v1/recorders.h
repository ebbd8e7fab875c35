// The first-generation recorders and memory sizer: the layer recorder (one program record per
// mapped layer, dispatched by layer kind, and the on-chip learning layer), the IO recorder (the
// program's input and output types, the SCC words of the first pass and the EPG register writes)
// and the memory sizer (a layer's input, weight and external bytes on one component).
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "engine/tensor.h"
#include "hw/device.h"
#include "hw/ident.h"
#include "program/backend.h"
#include "program/record.h"

namespace nuvra::v1 {

class LayerRecorderImpl final : public LayerRecorder {
public:
    // Keeps the device; the constraints play no part in this generation's programs.
    LayerRecorderImpl(Device const& device, HardwareConstraints const& constraints) : device_(device) {}

    // The record of the layer's kind: an empty one (stamped with the device's version) for
    // InputData, Dequantizer and Quantizer; the HRC, FNP or CNP program for InputConvolutional,
    // FullyConnected, Convolutional and SeparableConvolutional. Any other kind is
    // std::runtime_error "Unsupported layer type: <number>.". The sequence's first layer and the
    // FNP padding flag play no part.
    std::unique_ptr<program::Record> record_layer(LayerRecordArgs const& args) const override;
    using LayerRecorder::record_layer;  // the same with the arguments one by one
    // record_program_learning_dense_layer on the held device.
    program::LearnRecordsPtr record_learning_layer(Layer const& layer, bool set_spikes) const override;
    // Reads the learned weights, learning thresholds and swap values of the layer back from the
    // device's learning memory (fnp_update_learn_vars). A layer without a mapping is
    // std::runtime_error, one whose mapping has no component std::out_of_range, and a device
    // without hardware (a virtual device) std::runtime_error.
    void sync_learning_vars(std::shared_ptr<Layer> layer) const override;
    // records_fnp_padding, fnp_input_rows_padded and skip_dma_descriptors keep the interface's
    // answers: no image of this generation pads its output, its FNPs read unpadded rows, and it
    // has no skip-DMA engines.

private:
    Device const& device_;
};

class IoRecorderImpl final : public IoRecorder {
public:
    explicit IoRecorderImpl(Device const& device) : device_(device) {}

    // One-word blocks for the zero ident at the system-configuration bank, in this order: 0x4 (bit
    // 0 input not from the HRC, bit 3 output type 0, bit 4 input type 0, bit 8 last layer on the
    // HRC); with input type 0, 0x40 (the input channels, 18 bits); with output type 0, 0x44 (0 for
    // a 1 x 1 output, else the channels in 11 bits at bit 20 and rows x channels in 20 bits).
    // A value too wide for its field fails through panic with the overflow message before any
    // block is added. narrow_output is not used here.
    std::unique_ptr<program::Record> record_scc(SccFlags const& flags, Shape input, Shape output) const override;
    using IoRecorder::record_scc;  // the same with the flags one by one
    // The six EPG register writes (register, value), always in the same order; last_on_hrc is not
    // used here.
    std::vector<std::pair<uint32_t, uint32_t>> record_epg(EpgArgs const& args) const override;
    using IoRecorder::record_epg;  // the same with the arguments one by one
    // 0 when the device is not one of the first boards (product id 0) and the input has at most
    // 0x3FFFF channels (what the SCC holds); otherwise by kind: InputConvolutional 0,
    // FullyConnected 1 with a 1 x 1 input it reads from outside a CNP and 2 else, Convolutional
    // and SeparableConvolutional 2. Another kind is std::runtime_error "Unsupported layer type.".
    int8_t get_input_type(Layer const& layer) const override;
    // By kind: InputConvolutional 3; FullyConnected 0, and Convolutional or SeparableConvolutional
    // with an activation 0, when the device is a first-generation chip or later (product id above
    // 0xA0), the input type is 0 and the output has fewer than 2048 channels; else 1
    // (FullyConnected) or 2. Another kind is std::runtime_error "Unsupported layer type.".
    int8_t get_output_type(Layer const& layer, int8_t input_type) const override;

private:
    Device const& device_;
};

// Whether the FNP layer reads a 1 x 1 input that no CNP produces.
bool has_1x1_fnp_input(Layer const& layer);

// Bytes a layer needs on one component; the third-generation SRAMs keep the interface's 0. A kind
// the generation does not size is std::invalid_argument "Invalid v1 layer type.".
class MemorySizerImpl final : public MemorySizer {
public:
    // InputData, InputConvolutional, Add, Dequantizer and Quantizer 0; a CNP layer the input
    // buffer of the component's share (the layer's input width in containers, the share's
    // channels and the rows of its halo window); a FullyConnected layer one input packet.
    uint32_t get_input_memory_size(std::shared_ptr<Layer> const& layer, hw::Component const& component,
                                   std::shared_ptr<Layer> const& first_layer) const override;
    // The HRC memories of an InputConvolutional layer, the FNP memory image on an FNP3, and the
    // bytes of the 50-bit weight words of the component's filters on a CNP. Weights without a CNP
    // format are std::runtime_error.
    uint32_t get_weight_memory_size(std::shared_ptr<Layer> const& layer,
                                    hw::Component const& component) const override;
    // The FNP memory image on an FNP2, 0 elsewhere.
    uint32_t get_external_memory_size(std::shared_ptr<Layer> const& layer, hw::Component const& component,
                                      ExternalMemoryArgs const& args) const override;
    using MemorySizer::get_external_memory_size;  // the same with the two flags one by one
};

}  // namespace nuvra::v1
