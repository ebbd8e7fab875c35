#include "backends/v2/format_dwconv_weights.h"

#include <stdexcept>

#include "backends/v2/sizes.h"
#include "hw/arith.h"
#include "program/format_support.h"

namespace nuvra::v2 {

namespace {

constexpr uint32_t half_bits = 50;  // bits of one pair of words: half of a 100-bit word

// The kernel size after checking that the tensor holds channels first .. first + count - 1 of a
// square kernel.
uint32_t checked_kernel(Dense const& weights, uint32_t first, uint32_t count) {
    require_rank(weights, 4, "weights");
    uint32_t const kernel = weights.dimensions()[0];
    require_dimension(weights, 1, kernel, "weights");
    require_dimension(weights, 3, uint64_t{first} + count, "weights");
    return kernel;
}

}  // namespace

std::vector<uint32_t> format_depthwise_conv_cnp_weights(Dense const& weights, uint32_t first, uint32_t count,
                                                        uint8_t bits) {
    if (bits != 8) return format_depthwise_conv_cnp_4bit_weights(weights, first, count);
    require_rank(weights, 4, "weights");
    // The block size checks the kernel first, with its own message.
    std::vector<uint32_t> words(dwc_cnp_formatted_weight_32b_size(weights.dimensions()[0], count, 8), 0u);
    uint32_t const k = checked_kernel(weights, first, count);
    DwcCnpWeightFormat const f = dwc_cnp_weight_format(k);

    // The byte of each kernel position (x, y) inside a channel.
    std::vector<uint64_t> position(uint64_t{k} * k);
    uint64_t q = 0;
    for (uint32_t y = 0; y < k; ++y) {
        for (uint32_t x = 0; x < k; ++x) {
            position[y * k + x] = q++;
            if (x + 1 == f.split_values) q += f.split_skip;
        }
        q += f.row_skip;
    }
    ByteElements<int8_t> const w(weights);
    ByteWriter out(words);
    if (count > 0 && uint64_t{count - 1} * f.channel_bytes + position.back() >= out.bytes())
        throw std::logic_error("A depthwise weight layout runs past its block.");

    // Channels are the tensor's last dimension: one kernel position of every channel at a time.
    uint64_t const channel_stride = w.stride(3);
    for (uint32_t y = 0; y < k; ++y) {
        for (uint32_t x = 0; x < k; ++x) {
            int8_t const* source = w.address(x, y, 0, first);
            uint64_t const p = position[y * k + x];
            for (uint32_t i = 0; i < count; ++i)
                out.put(uint64_t{i} * f.channel_bytes + p, uint8_t(source[i * channel_stride]));
        }
    }
    return words;
}

std::vector<uint32_t> format_depthwise_conv_cnp_4bit_weights(Dense const& weights, uint32_t first,
                                                             uint32_t count) {
    require_rank(weights, 4, "weights");
    uint32_t const k = weights.dimensions()[0];
    uint64_t pairs_per_channel = 0;
    switch (k) {
    case 3: pairs_per_channel = 1; break;
    case 5: pairs_per_channel = 3; break;
    case 7: pairs_per_channel = 7; break;
    default: throw std::runtime_error("Invalid kernel size.");
    }
    std::vector<uint32_t> words(narrow_words(2 * pairs_per_channel * count, "format_depthwise_conv_cnp_4bit_weights"),
                                0u);
    checked_kernel(weights, first, count);
    ByteElements<int8_t> const w(weights);

    uint64_t pair = 0;
    uint32_t h = 0;  // bit of the pair's 50-bit half
    auto next_pair_unless_fits = [&](uint32_t bits) {
        if (bits + h > half_bits) {
            ++pair;
            h = 0;
        }
    };
    for (uint32_t i = 0; i < count; ++i) {
        for (uint32_t y = 0; y < k; ++y) {
            next_pair_unless_fits(4 * k);
            for (uint32_t x = 0; x < k; ++x) {
                uint32_t const nibble = to_signed_field(w.at(x, y, 0, first + i), 4);
                words.at(2 * pair + h / 32) |= nibble << (h % 32);
                h += 4;
            }
        }
        next_pair_unless_fits(4 * k * k);
    }
    return words;
}

}  // namespace nuvra::v2
