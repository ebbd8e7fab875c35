#include "backends/v1/recorders.h"

#include <algorithm>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>

#include "backends/v1/learning.h"
#include "backends/v1/record_conv.h"
#include "backends/v1/record_dense.h"
#include "backends/v1/record_hrc.h"
#include "backends/v1/record_sep_conv.h"
#include "backends/v1/registers.h"
#include "backends/v1/sizes.h"
#include "engine/dma.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "hw/np_split.h"
#include "hw/register.h"
#include "mapping/layer_mapping.h"
#include "mapping/rule_table.h"
#include "mapping/split.h"
#include "program/format_support.h"
#include "program/io_registers.h"

namespace nuvra::v1 {

namespace {

// ---- layer recorder dispatch ----

// Records the program of one layer kind: record_layer's arguments with the recorder's device.
using KindRecorder = std::unique_ptr<program::Record> (*)(Device const& device, LayerRecordArgs const& args);

// Layers without hardware work of their own: an empty record.
std::unique_ptr<program::Record> record_nothing(Device const& device, LayerRecordArgs const&) {
    return program::new_record(device.version());
}

struct KindEntry {
    LayerType type;
    KindRecorder record;
};

// The recorder of every layer kind this generation programs; a kind missing here is refused.
constexpr KindEntry kind_recorders[] = {
    {LayerType::InputData, record_nothing},
    {LayerType::Dequantizer, record_nothing},
    {LayerType::Quantizer, record_nothing},
    {LayerType::InputConvolutional,
     [](Device const& device, LayerRecordArgs const& a) { return record_program_hrc_layer(device, a.layer); }},
    {LayerType::FullyConnected, record_program_dense_layer},
    {LayerType::Convolutional, record_program_conv_layer},
    {LayerType::SeparableConvolutional, record_program_sep_conv_layer},
};

// ---- SCC and EPG ----

// Input channels the SCC's 18-bit field holds; a wider input is typed by its layer kind.
constexpr uint32_t max_scc_input_channels = 0x3FFFF;
// Outputs of at least this many channels are not carried by the SCC.
constexpr uint32_t min_unsized_output_channels = 2048;
// The SCC of the first boards carries no input size; that of every later product does.
bool scc_sizes_input(HwVersion const& version) { return version.product_id != hw::first_boards_product_id; }
// The SCC sizes the outputs from the first-generation chips on (product ids above 0xA0).
bool scc_sizes_output(HwVersion const& version) { return version.product_id >= hw::v1_chip_product_id; }

// `field` of `image` set to a value worked out in 64 bits; one that no 32-bit word holds is
// reported as it is.
void set_wide(std::span<uint32_t> image, Field const& field, uint64_t value) {
    if (value > std::numeric_limits<uint32_t>::max()) field_overflow(std::to_string(value).c_str(), field.bits.width);
    set(image, field, value);
}

// Dimension i of a shape; 1 past its rank.
uint32_t dim(Shape const& shape, size_t i) { return i < shape.rank() ? shape[i] : 1; }

[[noreturn]] void unsupported_type() { throw std::runtime_error("Unsupported layer type."); }

// ---- memory sizer ----

[[noreturn]] void invalid_type() { throw std::invalid_argument("Invalid v1 layer type."); }

// Bytes of the 50-bit SRAM words held as pairs in `words` 32-bit words.
uint64_t cnp_weight_bytes(Layer const& layer, uint64_t words) {
    if (words >= unsupported_size)
        throw std::runtime_error(format("Layer '{}' has weights without a CNP format.", layer.get_name()));
    return words_for_bits((words >> 1) * 50, 8);
}

// Input buffer words of one CNP share of a Convolutional or SeparableConvolutional layer.
uint64_t cnp_share_input_words(Layer const& layer, hw::Component const& np) {
    auto const& conv = dynamic_cast<HasConvParams const&>(layer);
    auto const& pool = dynamic_cast<HasPoolParams const&>(layer);
    ConvCalculatedParams const* conv_block = conv.conv_params();
    PoolingCalculatedParams const* pool_block = pool.pool_params();
    if (conv_block == nullptr || pool_block == nullptr)
        throw std::runtime_error("The layer " + layer.get_name() + " is not built.");
    LayerParams const& params = layer.required_params();
    uint32_t const pool_size = params.has("pool_size") ? uint32_t(std::max(params.get("pool_size"), 0)) : 0;

    Shape const input = layer.first_input();
    NpSplit const split(input, np.spatial_partition(), np.halo_partition(), params.get("kernel_width"),
                        params.get("stride_x"), conv_block->padding, pool_size, uint8_t(pool_block->stride_x),
                        pool_block->padding);
    uint64_t const container = cnp_container_bytes(dim(input, 0), layer.input_bits());
    return cnp_input_words(container, split.part_channels, split.window_height);
}

}  // namespace

bool has_1x1_fnp_input(Layer const& layer) {
    if (!layer.is_target_component(ComponentKind::FNP)) return false;
    auto const inbounds = layer.inbound_layers();
    if (!inbounds.empty() && inbounds.front() && inbounds.front()->is_target_component(ComponentKind::CNP))
        return false;
    InputDims const input = first_input_dims(layer);
    return input.width == 1 && input.height == 1;
}

// ---- LayerRecorderImpl ----

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(LayerRecordArgs const& args) const {
    KindEntry const* entry = find_kind(kind_recorders, args.layer.type());
    if (entry == nullptr) refuse_unrecorded_kind(args.layer.type());
    return entry->record(device_, args);
}

program::LearnRecordsPtr LayerRecorderImpl::record_learning_layer(Layer const& layer, bool set_spikes) const {
    return record_program_learning_dense_layer(device_, layer, set_spikes);
}

void LayerRecorderImpl::sync_learning_vars(std::shared_ptr<Layer> layer) const {
    hw::Component const& np = dense_np(recorded_layer_mapping(*layer));
    fnp_update_learn_vars(device_.hardware(), *layer, np.type == hw::Type::FNP3);
}

// ---- IoRecorderImpl ----

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(SccFlags const& flags, Shape input, Shape output) const {
    bool const input_type_is_zero = flags.input_type_is_zero;
    bool const output_type_is_zero = flags.output_type_is_zero;
    std::vector<uint32_t> scc(SCC_REGISTER_WORDS, 0u);
    set_flag(scc, SCC_INPUT_FROM_DMA, !flags.first_on_hrc);
    set_flag(scc, SCC_OUTPUT_SIZED, output_type_is_zero);
    set_flag(scc, SCC_INPUT_SIZED, input_type_is_zero);
    set_flag(scc, SCC_LAST_ON_HRC, flags.last_on_hrc);

    // Every word is made, and checked, before the record takes any.
    if (input_type_is_zero) set(scc, SCC_INPUT_CHANNELS, dim(input, 2));
    if (output_type_is_zero && !(dim(output, 0) == 1 && dim(output, 1) == 1)) {
        set(scc, SCC_OUTPUT_CHANNELS, dim(output, 2));
        set_wide(scc, SCC_OUTPUT_SIZE, uint64_t{dim(output, 2)} * dim(output, 1));
    }

    return scc_record(device_.version(), scc);
}

std::vector<std::pair<uint32_t, uint32_t>> IoRecorderImpl::record_epg(EpgArgs const& args) const {
    return epg_register_writes(args, {.fnp_input = has_1x1_fnp_input(args.first),
                                      .input_sized = args.input_type_is_zero,
                                      .mode = args.several_passes ? EPG_MODE_MULTI_PASS : EPG_MODE_SINGLE_PASS});
}

int8_t IoRecorderImpl::get_input_type(Layer const& layer) const {
    if (scc_sizes_input(device_.version()) && first_input_dims(layer).channels <= max_scc_input_channels) return 0;
    switch (layer.type()) {
    case LayerType::InputConvolutional: return 0;
    case LayerType::FullyConnected: return has_1x1_fnp_input(layer) ? 1 : 2;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: return 2;
    default: unsupported_type();
    }
}

int8_t IoRecorderImpl::get_output_type(Layer const& layer, int8_t input_type) const {
    LayerType const type = layer.type();
    if (type == LayerType::InputConvolutional) return 3;
    if (type != LayerType::FullyConnected && type != LayerType::Convolutional &&
        type != LayerType::SeparableConvolutional)
        unsupported_type();
    bool const sized = scc_sizes_output(device_.version()) && input_type == 0 &&
                       dim(layer.output_dimensions(), 2) < min_unsized_output_channels;
    if (type == LayerType::FullyConnected) return sized ? 0 : 1;
    return sized && layer.has_activation() ? 0 : 2;
}

// ---- MemorySizerImpl ----

uint32_t MemorySizerImpl::get_input_memory_size(std::shared_ptr<Layer> const& layer, hw::Component const& component,
                                                std::shared_ptr<Layer> const& first_layer) const {
    Layer const& l = *layer;
    uint64_t words = 0;
    switch (l.type()) {
    case LayerType::InputData:
    case LayerType::InputConvolutional:
    case LayerType::Add:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return 0;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional: words = cnp_share_input_words(l, component); break;
    case LayerType::FullyConnected: words = fnp_input_words(l); break;
    default: invalid_type();
    }
    return narrow_layer_bytes(l, mul_sat(words, 4));
}

uint32_t MemorySizerImpl::get_weight_memory_size(std::shared_ptr<Layer> const& layer,
                                                 hw::Component const& component) const {
    Layer const& l = *layer;
    uint64_t bytes = 0;
    switch (l.type()) {
    case LayerType::Add:
    case LayerType::Dequantizer:
    case LayerType::Quantizer: return 0;
    case LayerType::InputConvolutional: bytes = mul_sat(get_hrc_sram_size(l), 4); break;
    case LayerType::FullyConnected:
        if (component.type != hw::Type::FNP3) return 0;
        bytes = mul_sat(fnp_sram_words(l), 4);
        break;
    case LayerType::Convolutional:
    case LayerType::SeparableConvolutional:
        bytes = cnp_weight_bytes(l, weights_words(l, component.filters()));
        break;
    default: invalid_type();
    }
    return narrow_layer_bytes(l, bytes);
}

uint32_t MemorySizerImpl::get_external_memory_size(std::shared_ptr<Layer> const& layer,
                                                   hw::Component const& component,
                                                   ExternalMemoryArgs const& args) const {
    if (component.type != hw::Type::FNP2) return 0;
    return narrow_layer_bytes(*layer, mul_sat(fnp_sram_words(*layer), 4));
}

}  // namespace nuvra::v1
