#include "backends/v2/recorders.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "backends/v2/check_sizes.h"
#include "backends/v2/record_buffer_temp_conv.h"
#include "backends/v2/record_conv2d.h"
#include "backends/v2/record_conv2d_transpose.h"
#include "backends/v2/record_dense1d.h"
#include "backends/v2/record_dwconv2d.h"
#include "backends/v2/record_input_conv2d.h"
#include "backends/v2/registers.h"
#include "backends/v2/sizes.h"
#include "engine/dma.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "hw/register.h"
#include "mapping/graph_utils.h"
#include "mapping/rule_table.h"
#include "program/format_support.h"
#include "program/io_registers.h"

namespace nuvra::v2 {

namespace {

// ---- layer recorder dispatch ----

// Layers carried by their neighbours' programs: an empty record.
std::unique_ptr<program::Record> record_pass_through(Device const& device, HardwareConstraints const&,
                                                     LayerRecordArgs const&) {
    return program::new_record(device.version());
}

// A kind recorder that needs no hardware limits (its named-argument form).
template <std::unique_ptr<program::Record> (*record)(Device const&, LayerRecordArgs const&)>
std::unique_ptr<program::Record> without_constraints(Device const& device, HardwareConstraints const&,
                                                     LayerRecordArgs const& args) {
    return record(device, args);
}

struct KindEntry {
    LayerType type;
    KindRecorder record;
};

// The recorder of every layer kind this generation programs; a kind missing here is refused as
// unsupported.
constexpr KindEntry kind_recorders[] = {
    {LayerType::InputData, record_pass_through},
    {LayerType::Add, record_pass_through},
    {LayerType::Concatenate, record_pass_through},
    {LayerType::Dequantizer, record_pass_through},
    {LayerType::Quantizer, record_pass_through},
    {LayerType::Conv2D, without_constraints<record_program_conv2d_layer>},
    {LayerType::Conv2DTranspose, without_constraints<record_program_transposed_conv2d_layer>},
    {LayerType::InputConv2D,
     [](Device const& device, HardwareConstraints const&, LayerRecordArgs const& args) {
         return record_program_input_conv2d_layer(device, args.layer);
     }},
    {LayerType::DepthwiseConv2D, without_constraints<record_program_dwconv2d_layer>},
    {LayerType::DepthwiseConv2DTranspose, without_constraints<record_program_transposed_dwconv2d_layer>},
    {LayerType::BufferTempConv, without_constraints<record_program_buffer_temp_conv_layer>},
    {LayerType::DepthwiseBufferTempConv, without_constraints<record_program_depthwise_buffer_temp_conv_layer>},
    {LayerType::Dense1D, record_program_dense1d_layer},
};

// ---- SCC ----

// The SCC writes the output channel count only while it fits its field.
constexpr uint32_t scc_output_channels_limit = 2048;

// ---- memory sizer ----

[[noreturn]] void invalid_type() { throw std::invalid_argument("Invalid v2 layer type."); }

constexpr auto narrow_bytes = narrow_layer_bytes;

// Bytes of n 100-bit words.
uint64_t bytes_of_100b(uint64_t words) { return words_for_bits(mul_sat(words, 100), 8); }

bool is_cnp(hw::Type type) { return type == hw::Type::CNP1 || type == hw::Type::CNP2; }

uint32_t unsigned_param(Layer const& layer, char const* key) {
    int32_t const value = layer.required_params().get(key);
    if (value < 0)
        throw std::runtime_error(format("Layer '{}' has a negative \"{}\": {}.", layer.get_name(), key, value));
    return uint32_t(value);
}

// "fifo_size", or 0 for parameters without one.
uint32_t fifo_size_or_zero(Layer const& layer) {
    return layer.required_params().has("fifo_size") ? unsigned_param(layer, "fifo_size") : 0;
}

}  // namespace

KindRecorder kind_recorder(LayerType type) {
    KindEntry const* entry = find_kind(kind_recorders, type);
    return entry ? entry->record : nullptr;
}

std::unique_ptr<program::Record> LayerRecorderImpl::record_layer(LayerRecordArgs const& args) const {
    LayerType const type = args.layer.type();
    KindRecorder const record = kind_recorder(type);
    if (record == nullptr) refuse_unrecorded_kind(type);
    return record(device_, constraints_, args);
}

bool LayerRecorderImpl::records_fnp_padding(Layer const& layer) const {
    return layer.format_code() == static_cast<int>(IpVersion::v2);
}

bool LayerRecorderImpl::fnp_input_rows_padded(Layer const& layer) const {
    return get_fnp_supported_padding(layer, false) == InputPadding::RowBytePadded;
}

std::unique_ptr<program::Record> IoRecorderImpl::record_scc(SccFlags const& flags, Shape input, Shape output) const {
    std::vector<uint32_t> scc(SCC_REGISTER_WORDS, 0u);
    set_flag(scc, SCC_INPUT_FROM_DMA, !flags.first_on_hrc);
    // The input and output types of this generation are always 0.
    set_flag(scc, SCC_OUTPUT_SIZED, true);
    set_flag(scc, SCC_INPUT_SIZED, true);
    set_flag(scc, SCC_NARROW_OUTPUT, flags.narrow_output);

    // Every word is made, and checked, before the record takes any.
    set(scc, SCC_INPUT_CHANNELS, input[2]);
    if (!(output[0] == 1 && output[1] == 1)) {
        set(scc, SCC_OUTPUT_SIZE, uint64_t{output[1]} * output[2]);
        if (output[2] < scc_output_channels_limit) set(scc, SCC_OUTPUT_CHANNELS, output[2]);
    }

    return scc_record(device_.version(), scc);
}

std::vector<std::pair<uint32_t, uint32_t>> IoRecorderImpl::record_epg(EpgArgs const& args) const {
    // The input type of this generation is always 0, and its EPG runs every pass alike.
    return epg_register_writes(args, {.fnp_input = args.first.is_target_component(ComponentKind::FNP),
                                      .input_sized = true,
                                      .last_on_hrc = args.last_on_hrc,
                                      .mode = EPG_MODE_SINGLE_PASS});
}

uint32_t MemorySizerImpl::get_weight_memory_size(std::shared_ptr<Layer> const& layer,
                                                 hw::Component const& component) const {
    Layer const& l = *layer;
    uint64_t bytes = 0;
    switch (l.type()) {
    case LayerType::Add:
    case LayerType::Concatenate:
    case LayerType::Dequantizer:
    case LayerType::StatefulRecurrent:
    case LayerType::Quantizer: return 0;
    case LayerType::Conv2D:
    case LayerType::Conv2DTranspose:
        if (!is_cnp(component.type)) return 0;
        bytes = bytes_of_100b(conv2d_cnp_formatted_weight_100b_size(
            unsigned_param(l, "kernel_size"), component.filters(), l.first_input()[2],
            l.required_params().get_as<uint8_t>("weights_bits")));
        break;
    case LayerType::InputConv2D: bytes = mul_sat(get_hrc_sram_size(l), 4); break;
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose:
        if (!is_cnp(component.type)) return 0;
        bytes = bytes_of_100b(dwc_ch_cont_100b_size(unsigned_param(l, "kernel_size"), component.filters(),
                                                    l.required_params().get_as<uint8_t>("weights_bits")));
        break;
    case LayerType::BufferTempConv:
        if (component.type != hw::Type::TNP_B) return 0;
        bytes = bytes_of_100b(buffer_temp_conv_tnp_formatted_weight_100b_size(
            unsigned_param(l, "fifo_size"), component.filters(), l.first_input()[2]));
        break;
    case LayerType::DepthwiseBufferTempConv:
        if (component.type != hw::Type::TNP_B) return 0;
        bytes = bytes_of_100b(depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(
            unsigned_param(l, "fifo_size"), component.filters()));
        break;
    case LayerType::Dense1D:
        if (component.type != hw::Type::FNP3) return 0;
        bytes = mul_sat(get_fnp_sram_size(l), 4);
        break;
    default: invalid_type();
    }
    return narrow_bytes(l, bytes);
}

uint32_t MemorySizerImpl::get_input_memory_size(std::shared_ptr<Layer> const& layer, hw::Component const& component,
                                                std::shared_ptr<Layer> const& first_layer) const {
    Layer const& l = *layer;
    uint64_t words = 0;
    switch (l.type()) {
    case LayerType::Add:
    case LayerType::Concatenate:
    case LayerType::InputConv2D:
    case LayerType::Dequantizer:
    case LayerType::StatefulRecurrent:
    case LayerType::Quantizer: return 0;
    case LayerType::Conv2D:
    case LayerType::DepthwiseConv2D:
    case LayerType::Conv2DTranspose:
    case LayerType::DepthwiseConv2DTranspose: {
        if (!is_cnp(component.type)) return 0;
        Shape const cut = component.halo_partition().shape;
        words = add_sat(chunk_input_32b_size(component.type, cut[1], cut[0], component.spatial_partition().shape[2], 0,
                                             l.input_bits()),
                        get_add_pksram_shift(l));
        break;
    }
    case LayerType::BufferTempConv:
    case LayerType::DepthwiseBufferTempConv: {
        if (component.type != hw::Type::TNP_B) return 0;
        Shape const cut = component.halo_partition().shape;
        words = chunk_input_32b_size(component.type, cut[1], cut[0], component.spatial_partition().shape[2],
                                     fifo_size_or_zero(l), l.input_bits());
        break;
    }
    case LayerType::Dense1D: words = get_fnp_input_size(l, first_layer.get() == layer.get()); break;
    default: invalid_type();
    }
    return narrow_bytes(l, mul_sat(words, 4));
}

uint32_t MemorySizerImpl::get_external_memory_size(std::shared_ptr<Layer> const& layer,
                                                   hw::Component const& component,
                                                   ExternalMemoryArgs const& args) const {
    bool const use_input_shape = args.dual_output_store;
    bool const two_buffers = args.several_passes;
    Layer const& l = *layer;
    if (component.type == hw::Type::FNP2) return narrow_bytes(l, mul_sat(get_fnp_sram_size(l), 4));
    if (component.type != hw::Type::SKIP_DMA_STORE) return 0;

    LayerType const type = l.type();
    if (type == LayerType::BufferTempConv || type == LayerType::DepthwiseBufferTempConv) {
        // The frame buffer of a temporal layer: fifo_size + 1 input frames.
        if (!l.required_params().has("fifo_size")) return 0;
        Shape const input = l.first_input();
        uint64_t const frame = mul_sat({words_for_bits(uint64_t{l.input_bits()} * input[2], 32), uint64_t{input[0]},
                                        uint64_t{input[1]}});
        return narrow_bytes(l, mul_sat({4, frame, uint64_t{unsigned_param(l, "fifo_size")} + 1}));
    }

    Shape const shape = use_input_shape ? l.first_input() : l.output_dimensions();
    uint64_t const bits = use_input_shape ? l.input_bits() : l.output_bits();
    uint64_t const words = mul_sat({words_for_bits(bits * shape[0], 32), uint64_t{shape[1]}, uint64_t{shape[2]}});
    if (two_buffers) return narrow_bytes(l, mul_sat(words, 8));

    // The data waits in external memory until its deepest consumer reads it. The depths are the
    // mapping's when it gives them; a store asked alone walks the graph above it.
    DepthMemo own;
    auto const depth_of = [&](std::shared_ptr<Layer> const& of) -> int64_t {
        return args.layer_depth ? args.layer_depth(of) : get_layer_depth(of, &own);
    };
    int64_t const depth = depth_of(layer);
    int64_t gap = 0;
    for (std::shared_ptr<Layer> const& out : layer->outbound_layers()) gap = std::max(gap, depth_of(out) - depth);
    return narrow_bytes(l, mul_sat({4, words, uint64_t(3 + gap)}));
}

}  // namespace nuvra::v2
