#include "backends/v2/check_sizes.h"

#include <limits>
#include <stdexcept>

#include "backends/v2/check_rules.h"
#include "backends/v2/sizes.h"
#include "hw/arith.h"
#include "hw/format.h"

namespace nuvra::v2 {

uint64_t chunk_input_32b_size(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                              uint32_t fifo_size, uint8_t bits) {
    switch (type) {
    case hw::Type::CNP1:
    case hw::Type::CNP2: {
        // One row: width values of `bits` bits in whole bytes, padded to a 32-bit word, per channel.
        uint64_t const row_bytes = align_up(words_for_bits(uint64_t{bits} * width, 8), 4);
        uint64_t const row_bits = mul_sat(mul_sat(row_bytes, channels), 8);
        return mul_sat(ceil_div(row_bits, 32), height);
    }
    case hw::Type::TNP_B: {
        // One frame, channels padded to 4, in 64-word blocks; the FIFO holds fifo_size + 1 frames.
        uint64_t const frame_bits =
            mul_sat(mul_sat(mul_sat(align_up(channels, 4), height), width), bits);
        return mul_sat(align_up(ceil_div(frame_bits, 32), 64), uint64_t{fifo_size} + 1);
    }
    default:
        throw std::runtime_error("Type of NP not supported.");
    }
}

std::optional<uint32_t> checked_fifo_size(LayerParams const& params) {
    int32_t const fifo = params.get("fifo_size");
    if (fifo < 0 || fifo > max_fifo_size) return std::nullopt;
    return static_cast<uint32_t>(fifo);
}

std::string fifo_size_out_of_range_message(int32_t fifo_size) {
    return format("The FIFO size must be between 0 and {} (got {}).", max_fifo_size, fifo_size);
}

uint64_t weights_100b_size_64(Layer const& layer, uint32_t filters) {
    LayerParams const& params = layer.required_params();
    LayerType const type = params.layer_type();
    switch (type) {
    case LayerType::Conv2D:
    case LayerType::Conv2DTranspose: {
        auto const kernel = static_cast<uint32_t>(params.get("kernel_size"));
        auto const bits = params.get_as<uint8_t>("weights_bits");
        uint64_t const per_channel = conv2d_cnp_formatted_weight_100b_size(kernel, filters, 1, bits);
        return mul_sat(per_channel, first_input_dims(layer).channels);
    }
    case LayerType::DepthwiseConv2D:
    case LayerType::DepthwiseConv2DTranspose: {
        auto const kernel = static_cast<uint32_t>(params.get("kernel_size"));
        auto const bits = params.get_as<uint8_t>("weights_bits");
        return dwc_ch_cont_100b_size(kernel, filters, bits);
    }
    case LayerType::BufferTempConv: {
        // One row of filters for each (FIFO slot, input channel) pair.
        std::optional<uint32_t> const fifo = checked_fifo_size(params);
        if (!fifo) return saturated_u64;
        uint64_t const rows = mul_sat(uint64_t{*fifo} + 1, first_input_dims(layer).channels);
        return mul_sat(buffer_temp_conv_ch_cont_100b_size(filters), rows);
    }
    case LayerType::DepthwiseBufferTempConv: {
        // One word for each (FIFO tap, channel) pair.
        std::optional<uint32_t> const fifo = checked_fifo_size(params);
        if (!fifo) return saturated_u64;
        return mul_sat(uint64_t{*fifo} + 1, filters);
    }
    default:
        throw std::invalid_argument("Unexpected layer type for CNP or TNP-B.");
    }
}

}  // namespace nuvra::v2
