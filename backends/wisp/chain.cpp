#include "backends/wisp/chain.h"

#include <bit>
#include <vector>

#include "hw/arith.h"
#include "hw/format.h"

namespace nuvra::wisp {

bool is_stateful_recurrent(Layer const& layer) { return layer.type() == LayerType::StatefulRecurrent; }

bool is_post_processing(Layer const& layer) { return layer.type() == LayerType::WispPostProcessing; }

std::shared_ptr<Layer> first_outbound_layer(Layer const& layer) {
    std::vector<std::shared_ptr<Layer>> const outbounds = layer.outbound_layers();
    return outbounds.empty() ? nullptr : outbounds.front();
}

bool is_chain_head(Layer const& layer) {
    std::vector<std::shared_ptr<Layer>> const inbounds = layer.inbound_layers();
    return inbounds.empty() || !inbounds.front() || inbounds.front()->is_target_component(ComponentKind::None);
}

uint32_t count_param(Layer const& layer, char const* key) {
    int32_t const value = layer.required_params().get(key);
    if (value < 0)
        throw InvalidChain(
            format("Parameter {} of layer '{}' cannot be negative (got {}).", key, layer.get_name(), value));
    return static_cast<uint32_t>(value);
}

uint32_t values_per_word(uint32_t bits) {
    if (bits == 0 || bits > 32) throw InvalidChain(format("A 32-bit TNP-R word cannot hold {}-bit values.", bits));
    return 32 / bits;
}

uint64_t input_row_words(uint64_t bits, uint64_t channels) {
    // bits < 2^8 and channels < 2^32: the product stays far below 2^64.
    uint64_t const words = words_for_bits(bits * channels, 32);
    return words <= 1 ? 1 : std::bit_ceil(words);
}

}  // namespace nuvra::wisp
