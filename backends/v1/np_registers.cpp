#include "backends/v1/np_registers.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "backends/v1/registers.h"
#include "backends/v1/sizes.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "mapping/layer_mapping.h"
#include "mapping/routing.h"
#include "mapping/split.h"

namespace nuvra::v1 {

namespace {

using namespace np_word;

constexpr auto set = set_register_field;

// The words the NP needs at reset; the others start at zero.
struct Preset {
    size_t word;
    uint32_t value;
};
constexpr Preset presets[] = {
    {PRESET_6, 0x04040000},
    {PRESET_12, 0x52000000},
    {PRESET_13, 0x10},
    {PLASTICITY_MIN, 0xFF000000},
};

// The peer fields of a routing word: with point-to-point routing the one component of `list`
// (row, column, one-hot id), otherwise the column span of the list.
struct PeerFields {
    RegDetail low;
    RegDetail high;
    RegDetail select;
};

void set_peer(std::vector<uint32_t>* regs, size_t word, PeerFields const& fields, std::vector<hw::Component> const& list,
              bool p2p) {
    if (p2p) {
        if (list.size() != 1) throw std::runtime_error("Cannot use P2P mode for multiple NPs.");
        hw::Ident const& peer = list.front().ident;
        set(regs, word, fields.low, peer.row);
        set(regs, word, fields.high, peer.col);
        set(regs, word, fields.select, np_select(peer.id));
    } else {
        ColumnSpan const span = column_span(list);
        set(regs, word, fields.low, span.low);
        set(regs, word, fields.high, span.high);
    }
}

// An NP that runs a CNP layer (word 1 bit 4 clear) keeps at least this input buffer for a linked
// layer on its FNP.
constexpr uint64_t fnp_min_input_buffer_words = 9473;

uint64_t dim(Shape const& shape, size_t i) { return i < shape.rank() ? shape[i] : 0; }

}  // namespace

uint32_t learning_field_value(double value, uint32_t width) {
    double const most = static_cast<double>((uint64_t{1} << width) - 1);
    if (!(value >= 0 && value <= most)) field_overflow(format("{}", value).c_str(), width);
    return static_cast<uint32_t>(value);
}

uint32_t* register_word(std::vector<uint32_t>* regs, size_t index) {
    if (regs == nullptr || regs->size() != NP_REGISTER_WORDS)
        throw std::invalid_argument("An NP register image must hold 50 words.");
    return &regs->at(index);
}

void set_register_field(std::vector<uint32_t>* regs, size_t index, RegDetail const& field, uint64_t value) {
    set_field(register_word(regs, index), field, clamp_to<uint32_t>(value));
}

std::vector<uint32_t> default_np_regs() {
    std::vector<uint32_t> regs(NP_REGISTER_WORDS, 0u);
    for (auto const& preset : presets) regs[preset.word] = preset.value;
    return regs;
}

void set_ib_spikes(std::vector<uint32_t>* regs) { set(regs, INPUT_BUFFER, INPUT_BUFFER_SPIKES, 1); }

void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, hw::Ident const& dma) {
    // The select is written first: when it does not fit, the word stays as it was.
    set(regs, CFG_DMA, CFG_DMA_SELECT, np_select(dma.id));
    set(regs, CFG_DMA, CFG_DMA_ROW, dma.row);
    set(regs, CFG_DMA, CFG_DMA_COL, dma.col);
}

LayerRoutes::LayerRoutes(LayerMapping const& layer_mapping)
    : mapping(layer_mapping), sources(routing_sources(layer_mapping)), destinations(routing_destinations(layer_mapping)) {}

MeshRouting LayerRoutes::routing(bool ends_pass) const {
    static std::vector<hw::Component> const none;
    return {.sources = sources,
            .layer_nps = mapping.components ? *mapping.components : none,
            .destinations = destinations,
            .input_link_index = mapping.input_link_index,
            .p2p_in = mapping.p2p_in,
            .p2p_out = mapping.p2p_out,
            .ends_pass = ends_pass};
}

void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs, MeshRouting const& routing) {
    register_word(regs, ROUTING);  // refuses an image that is not 50 words before anything else
    // Every word below reads a column or an identifier from these lists.
    require_routing_list(routing.sources, "sources");
    require_routing_list(routing.layer_nps, "layer components");
    require_routing_list(routing.destinations, "destinations");
    uint8_t const link = routing.input_link_index;

    set(regs, ROUTING, ROUTING_P2P_OUT, routing.p2p_out);
    set(regs, ROUTING, ROUTING_BIT_1, 0);
    set(regs, ROUTING, ROUTING_FLAG_2, routing.ends_pass);
    set(regs, ROUTING, ROUTING_BITS_16_23, ROUTING_BITS_16_23_VALUE);
    set(regs, ROUTING, ROUTING_LINK_MODE, link == 0xFF ? ROUTING_NO_LINK : ROUTING_LINKED);

    set_peer(regs, DESTINATIONS, {DESTINATION_LOW, DESTINATION_HIGH, DESTINATION_SELECT}, routing.destinations,
             routing.p2p_out);
    set(regs, DESTINATIONS, DESTINATION_LINK_INDEX, link);
    set_peer(regs, SOURCES, {SOURCE_LOW, SOURCE_HIGH, SOURCE_SELECT}, routing.sources, routing.p2p_in);
    set(regs, SOURCES, SOURCE_BITS_30_31, 0);

    ColumnSpan const layer = column_span(routing.layer_nps);
    ColumnSpan const out = column_span(routing.destinations);
    set(regs, COLUMN_SPAN, SPAN_LOW, std::min(layer.low, out.low));
    set(regs, COLUMN_SPAN, SPAN_HIGH, std::max(layer.high, out.high));
    set(regs, COLUMN_SPAN, SPAN_BITS_16_31, 0);
}

NpImageArgs np_image_args(LayerRecordArgs const& args) {
    return {.next_layer = args.next_layer,
            .set_spikes = args.set_spikes,
            .ends_pass = args.mesh_flag,
            .skipped_nps = args.skipped_nps};
}

bool is_skipped(NpImageArgs const& args, hw::Ident const& ident) {
    return std::find(args.skipped_nps.begin(), args.skipped_nps.end(), ident) != args.skipped_nps.end();
}

void apply_next_layer(std::vector<uint32_t>* regs, std::shared_ptr<Layer> const& next_layer, hw::Ident const& ident) {
    if (!next_layer) return;
    auto const mapping = next_layer->mapping();
    if (!mapping || !mapping->components) return;
    auto const& components = *mapping->components;
    auto const found = std::find_if(components.begin(), components.end(),
                                    [&](hw::Component const& c) { return c.ident == ident; });
    if (found != components.end()) update_partial_reconfig_regs(regs, *next_layer, *found);
}

void update_partial_reconfig_regs(std::vector<uint32_t>* regs, Layer const& layer, hw::Component const& np) {
    register_word(regs, PR_CONFIG);
    LayerMapping const& mapping = recorded_layer_mapping(layer);
    bool const fnp = np.type == hw::Type::FNP2 || np.type == hw::Type::FNP3;
    InputDims const input = first_input_dims(layer);
    uint64_t const x = input.width, y = input.height, c = input.channels;
    uint8_t const bits = layer.input_bits();
    NpSpace const cut = np.halo_partition();
    uint64_t const channels = dim(np.spatial_partition().shape, 2);

    set(regs, PR_CONFIG, PR_FNP_MODE, fnp);
    set(regs, PR_CONFIG, PR_ON_0, 1);
    set(regs, PR_CONFIG, PR_ON_2, 1);
    set(regs, PR_CONFIG, PR_INPUT_BITS, bits >> 1);
    set(regs, PR_CONFIG, PR_LINK_INDEX, mapping.link_index);

    uint64_t const container = cnp_container_bytes(channels, bits);
    uint64_t needed = ceil_div(mul_sat(mul_sat(x, y), c), 32);
    if (fnp) {
        set(regs, PR_CUT_ORIGIN, PR_I_ORIG_CUT, 0);
        set(regs, PR_CUT_ORIGIN, PR_J_ORIG_CUT, 0);
        set(regs, PR_CUT_SIZE, PR_I_SIZE_CUT, y);
        set(regs, PR_CUT_SIZE, PR_J_SIZE_CUT, x);
        set(regs, PR_INPUT_LAYOUT, PR_FNP_PIXELS, mul_sat(x, y));
    } else {
        set(regs, PR_CUT_ORIGIN, PR_I_ORIG_CUT, cut.y);
        set(regs, PR_CUT_ORIGIN, PR_J_ORIG_CUT, cut.x);
        set(regs, PR_CUT_SIZE, PR_I_SIZE_CUT, dim(cut.shape, 1));
        set(regs, PR_CUT_SIZE, PR_J_SIZE_CUT, dim(cut.shape, 0));
        set(regs, PR_INPUT_LAYOUT, PR_ROW_WORDS, ceil_div(mul_sat(channels, container), 4));
        set(regs, PR_INPUT_LAYOUT, PR_CONTAINER, container);
        needed = std::max(needed, cnp_input_words(container, channels, dim(cut.shape, 1)));
    }

    // One input buffer serves both layers: the larger need wins.
    needed = std::max<uint64_t>(needed, get_field(*register_word(regs, INPUT_MEMORY), INPUT_MEMORY_WORDS));
    needed = std::max<uint64_t>(needed, get_field(*register_word(regs, FNP_INPUT), FNP1_FPKT_WSIZE));
    if (fnp && get_field(*register_word(regs, CONTROL), CONTROL_BIT_4) == 0)
        needed = std::max(needed, fnp_min_input_buffer_words);
    set(regs, INPUT_MEMORY, INPUT_MEMORY_WORDS, needed);
    set(regs, FNP_INPUT, FNP1_FPKT_WSIZE, needed);
}

void format_learning_common_regs(std::vector<uint32_t>* regs, LearningParams const* params) {
    register_word(regs, LEARNING);
    if (params == nullptr) {
        set(regs, LEARNING, LEARNING_ENABLE, 0);
        return;
    }
    double const n = params->get("num_weights");
    double const p0 = params->get("initial_plasticity");
    double const lc = params->get("learning_competition");
    double const pmin = params->get("min_plasticity");
    double const pd = params->get("plasticity_decay");

    set(regs, LEARNING, LEARNING_ENABLE, 1);
    set(regs, LEARNING, LEARNING_COMPETITION,
        learning_field_value(std::round((1 - lc) * n), LEARNING_COMPETITION.width));
    set(regs, PLASTICITY_MIN, PLASTICITY_MIN_VALUE, learning_field_value(std::ceil(pmin * n), PLASTICITY_MIN_VALUE.width));
    // The plasticity is taken as a whole number of weights before the decay applies.
    double const plasticity = learning_field_value(std::round(n * p0), 32);
    set(regs, PLASTICITY, PLASTICITY_DECAY, learning_field_value(std::ceil(plasticity * pd), PLASTICITY_DECAY.width));
}

void format_learning_cnp_regs(std::vector<uint32_t>* regs, uint32_t value_a, uint32_t value_b) {
    set(regs, CNP_LEARNING_A, CNP_LEARNING_A_VALUE, value_a);
    set(regs, CNP_LEARNING_B, CNP_LEARNING_B_VALUE, value_b);
}

}  // namespace nuvra::v1
