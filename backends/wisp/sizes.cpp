#include "backends/wisp/sizes.h"

#include <bit>
#include <memory>

#include "backends/wisp/chain.h"
#include "backends/wisp/format_sram.h"
#include "hw/arith.h"
#include "mapping/split.h"

namespace nuvra::wisp {

namespace {

// Calls `visit` on `first` and on each following first outbound layer while `keep_going` holds.
template <class Keep, class Visit>
void walk(Layer const& first, Keep keep_going, Visit visit) {
    visit(first);
    for (std::shared_ptr<Layer> next = first_outbound_layer(first); next && keep_going(*next);
         next = first_outbound_layer(*next))
        visit(*next);
}

bool on_tnp_r(Layer const& layer) { return layer.is_target_component(ComponentKind::TNP_R); }

uint64_t matrix_64b_size(Layer const& layer, char const* name) {
    Shape const dims = layer.variable(name)->dimensions();
    return fsram_matrix_64b_size(dims[0], dims[1]);
}

// Words that `count` values of `bits` bits take, packed whole into 32-bit words.
uint64_t packed_words(uint64_t count, uint32_t bits) { return ceil_div(count, values_per_word(bits)); }

}  // namespace

uint64_t get_tnpr_fsram_64b_size(Layer const& first) {
    uint64_t words = 0;
    walk(first, is_stateful_recurrent, [&](Layer const& layer) {
        words = add_sat(words, add_sat(matrix_64b_size(layer, "in_proj"), matrix_64b_size(layer, "out_proj")));
    });
    return words;
}

uint64_t get_tnpr_tsram_51b_size(Layer const& first) {
    uint64_t words = 0;
    walk(first, on_tnp_r, [&](Layer const& layer) {
        if (!is_stateful_recurrent(layer)) {
            words = add_sat(words, 2);
            return;
        }
        uint64_t const own = uint64_t{count_param(layer, "stateful_channels")} +
                             count_param(layer, "output_channels") +
                             tsram_input_shift_64b_size(first_input_dims(layer).channels, layer.input_bits());
        words = add_sat(words, own);
    });
    return words;
}

uint64_t get_tnpr_evsram_32b_size(Layer const& first) {
    uint64_t words = input_row_words(first.input_bits(), first_input_dims(first).channels);
    Layer const* last_recurrent = &first;
    walk(first, on_tnp_r, [&](Layer const& layer) {
        if (is_stateful_recurrent(layer)) {
            last_recurrent = &layer;
            words = add_sat(words, packed_words(first_input_dims(layer).channels, layer.input_bits()));
        } else {
            uint32_t const outputs = last_recurrent->output_dimensions()[2];
            words = add_sat(words, packed_words(outputs, last_recurrent->output_bits()));
        }
    });
    return words;
}

uint64_t get_tnpr_stsram_32b_size(Layer const& first) {
    uint64_t layers = 0;
    walk(first, is_stateful_recurrent, [&](Layer const&) { ++layers; });
    uint64_t words = mul_sat(layers, count_param(first, "stateful_channels"));

    // The post-processing keeps, per spike counter, the bits of ceil(T / (32 / b)) packed words.
    for (std::shared_ptr<Layer> next = first_outbound_layer(first); next; next = first_outbound_layer(*next)) {
        if (!is_post_processing(*next)) continue;
        uint64_t const frames = packed_words(first_input_dims(first).height, first.input_bits());
        // ceil(log2(frames)) for frames >= 1.
        words = add_sat(words, 2 * uint64_t(std::bit_width(frames - 1)));
        break;
    }
    return words;
}

}  // namespace nuvra::wisp
