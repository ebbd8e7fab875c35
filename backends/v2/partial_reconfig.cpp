#include "backends/v2/partial_reconfig.h"

#include <limits>
#include <span>
#include <stdexcept>

#include "backends/v2/np_registers.h"
#include "backends/v2/registers.h"
#include "backends/v2/routing.h"
#include "backends/v2/sizes.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "mapping/layer_mapping.h"

namespace nuvra::v2 {

namespace {

hw::NpPart const& np_part_of(hw::Component const& component) {
    if (!component.np_part) throw std::invalid_argument("The linked component has no NP part.");
    return *component.np_part;
}

// How the linked layer's input sits in the NP's packet memory.
struct InputLayout {
    uint64_t words = 0;  // 32-bit words of the input row over the NP's channels
    uint64_t row = 0;    // bytes of one row (separable: bytes of the whole window)
};

}  // namespace

void update_partial_reconfig_regs(std::vector<uint32_t>* regs, Layer const& layer,
                                  hw::Component const& component, bool mesh_flag) {
    std::span<uint32_t> const image = np_image(regs);  // refuses an image that is not 64 words first
    auto const mapping = layer_mapping(layer);
    if (!mapping)
        throw std::runtime_error(format("The linked layer {} has no hardware mapping.", layer.get_name()));

    set(image, PR_SET_0, true);
    set(image, PR_SET_2, true);
    set(image, ROUTING_PR_ENDS_PASS, mesh_flag);

    // 1 bit -> 0, 2 -> 1, 4 -> 2, 8 -> 3; wider inputs do not fit the code.
    uint64_t const bits = layer.input_bits();
    set(image, PR_INPUT_BITS, (bits >> 1) - (bits >> 3));
    set(image, PR_LINK_INDEX, mapping->input_link_index);

    bool const max_pool = inbound_max_pool(layer);
    auto const bytes = [bits](uint64_t values) { return words_for_bits(mul_sat(bits, values), 8); };

    InputLayout layout;
    if (layer.is_target_component(ComponentKind::FNP)) {
        set(image, PR_FNP_MODE, true);
        Shape const d = layer.first_input();
        set(image, PR_CUT_I_ORIG, 0);
        set(image, PR_CUT_J_ORIG, 0);
        set(image, PR_CUT_I_SIZE, d[1]);
        set(image, PR_CUT_J_SIZE, d[0]);
        set(image, PR_CH_SIZE, uint64_t{d[1]} * d[0]);

        InputPadding const padding = get_fnp_supported_padding(layer, false);
        if (padding == InputPadding::Undefined) throw std::runtime_error("Unsupported padding.");
        layout.row = padding == InputPadding::RowBytePadded ? bytes(d[0]) : round_up(bytes(d[0]), 4);
        uint64_t const channels = np_part_of(component).spatial_partition.shape[2];
        layout.words = ceil_div(mul_sat(layout.row, channels), 4);
    } else if (layer.is_target_component(ComponentKind::CNP) ||
               layer.is_target_component(ComponentKind::TNP_B)) {
        set(image, PR_FNP_MODE, false);
        hw::NpPart const& part = np_part_of(component);
        NpSpace const& kept = part.halo_partition;
        uint64_t const width = kept.shape[0];
        uint64_t const height = kept.shape[1];
        set(image, PR_CUT_I_ORIG, kept.y);
        set(image, PR_CUT_J_ORIG, kept.x);
        set(image, PR_CUT_I_SIZE, height);
        set(image, PR_CUT_J_SIZE, width);

        if (max_pool) {
            set(image, PR_SP_MAXPOOLING, true);
            uint64_t const bits_of_rows = mul_sat(mul_sat(round_up(bytes(width), 4), kept.shape[2]), 8);
            set(image, PR_PKSRAM_SIZE, mul_sat(words_for_bits(bits_of_rows, 32), height));
        }

        if (!layer.is_separable()) {
            layout.row = round_up(bytes(width), 4);
            layout.words = mul_sat(layout.row, part.spatial_partition.shape[2]) / 4;
        } else {
            layout.words = words_for_bits(bits * width, 32);
            layout.row = mul_sat(mul_sat(layout.words, height), 4);
            Shape const d = layer.first_input();
            set(image, PR_SEPARABLE, true);
            // The NP holds only a group of the layer's channels.
            if (part.filters < d[2]) {
                set(image, PR_IB_CH_GRP_EN, true);
                set(image, PR_CUT_CH_ORIG, part.start_neuron);
                set(image, PR_CUT_CH_SIZE, part.filters);
            }
        }
    }

    set(image, PR_SOURCE_CLEAR_31, false);
    set(image, PR_NP_COUNT, mapping->components ? mapping->components->size() : 0);
    auto const sources = routing_sources(*mapping);
    require_routing_list(sources, "sources");
    ColumnSpan const span = column_span(sources);
    set(image, PR_SOURCE_LOW, span.low);
    set(image, PR_SOURCE_HIGH, span.high);

    set(image, PR_INPUT_ROW_WORDS, layout.words);
    set(image, PR_INPUT_ROW_CONTAINER, layout.row);

    MergeLayerInfo const* merge = mapping->merge_info.get();
    set(image, PR_MERGE, merge != nullptr);
    set(image, PR_NOT_ADD, merge != nullptr && !merge->add);
}

}  // namespace nuvra::v2
