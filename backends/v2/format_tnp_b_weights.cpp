#include "backends/v2/format_tnp_b_weights.h"

#include <stdexcept>

#include "backends/v2/sizes.h"
#include "hw/format.h"
#include "program/format_support.h"

namespace nuvra::v2 {

namespace {

constexpr uint32_t bytes_per_100b = 12;   // three DMA words
constexpr uint32_t max_depthwise_taps = 12;

}  // namespace

std::vector<uint32_t> format_tnp_b_buffer_temp_conv_weights(Dense const& weights, uint32_t fifo_size,
                                                            uint32_t first, uint32_t count) {
    if (fifo_size == 0) throw std::invalid_argument("The FIFO size of a BufferTempConv must be at least 1.");
    require_rank(weights, 4, "weights");
    require_dimension(weights, 3, uint64_t{first} + count, "weights");
    uint32_t const rows = weights.dimensions()[2];
    if (rows % fifo_size != 0)
        throw std::invalid_argument(
            format("BufferTempConv weights hold {} rows, not a multiple of the FIFO size {}.", rows, fifo_size));

    std::vector<uint32_t> words(tnp_b_buffer_temp_conv_formatted_weight_32b_size(count, rows), 0u);
    ByteElements<int8_t> const w(weights);
    ByteWriter out(words);
    uint64_t const row_bytes = uint64_t{bytes_per_100b} * buffer_temp_conv_ch_cont_100b_size(count);
    if (rows > 0 && uint64_t{rows - 1} * row_bytes + count > out.bytes())
        throw std::logic_error("BufferTempConv weight rows run past their block.");

    uint32_t const channels = rows / fifo_size;
    uint64_t const filter_stride = w.stride(3);
    for (uint32_t slot = 0; slot < fifo_size; ++slot) {
        for (uint32_t channel = 0; channel < channels; ++channel) {
            int8_t const* source = w.address(0, 0, uint64_t{slot} * channels + channel, first);
            uint64_t const base = (uint64_t{channel} * fifo_size + slot) * row_bytes;
            if (filter_stride == 1) {
                out.put_run(base, source, count);
            } else {
                for (uint32_t f = 0; f < count; ++f) out.put(base + f, uint8_t(source[f * filter_stride]));
            }
        }
    }
    return words;
}

std::vector<uint32_t> format_tnp_b_depthwise_buffer_temp_conv_weights(Dense const& weights, uint32_t first,
                                                                      uint32_t count) {
    require_rank(weights, 4, "weights");
    require_dimension(weights, 3, uint64_t{first} + count, "weights");
    uint32_t const taps = weights.dimensions()[2];
    if (taps > max_depthwise_taps)
        throw std::invalid_argument(
            format("A DepthwiseBufferTempConv channel holds at most {} taps, not {}.", max_depthwise_taps, taps));

    std::vector<uint32_t> words(depthwise_buffer_temp_conv_formatted_weight_32b_size(taps, count), 0u);
    ByteElements<int8_t> const w(weights);
    ByteWriter out(words);
    // Every channel's word lies inside the (taps + 1) x count words of the block.
    for (uint32_t i = 0; i < count; ++i)
        for (uint32_t t = 0; t < taps; ++t) out.put(uint64_t{bytes_per_100b} * i + t, uint8_t(w.at(0, 0, t, first + i)));
    return words;
}

}  // namespace nuvra::v2
