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

// The peer fields of a routing word: with point-to-point routing the one component of `list`
// (row, column, one-hot id), otherwise the column span of the list.
struct PeerFields {
    Field low;
    Field high;
    Field select;
};
constexpr PeerFields destination_fields{DESTINATION_LOW, DESTINATION_HIGH, DESTINATION_SELECT};
constexpr PeerFields source_fields{SOURCE_LOW, SOURCE_HIGH, SOURCE_SELECT};

void set_peer(std::vector<uint32_t>* regs, PeerFields const& fields, std::vector<hw::Component> const& list, bool p2p) {
    if (p2p) {
        if (list.size() != 1) throw std::runtime_error("Cannot use P2P mode for multiple NPs.");
        hw::Ident const& peer = list.front().ident;
        set_np_field(regs, fields.low, peer.row);
        set_np_field(regs, fields.high, peer.col);
        set_np_field(regs, fields.select, np_select(peer.id));
    } else {
        ColumnSpan const span = column_span(list);
        set_np_field(regs, fields.low, span.low);
        set_np_field(regs, fields.high, span.high);
    }
}

// An NP that runs a CNP layer (word 1 bit 4 clear) keeps at least this input buffer for a linked
// layer on its FNP.
constexpr uint64_t fnp_min_input_buffer_words = 9473;

uint64_t dim(Shape const& shape, size_t i) { return i < shape.rank() ? shape[i] : 0; }

// A learning value for `field` (learning_field_value with the field's width).
uint32_t learning_value(double value, Field const& field) { return learning_field_value(value, field.bits.width); }

}  // namespace

uint32_t learning_field_value(double value, uint32_t width) {
    double const most = static_cast<double>((uint64_t{1} << width) - 1);
    if (!(value >= 0 && value <= most)) field_overflow(format("{}", value).c_str(), width);
    return static_cast<uint32_t>(value);
}

std::span<uint32_t> np_image(std::vector<uint32_t>* regs) {
    if (regs == nullptr || regs->size() != NP_REGISTER_WORDS)
        throw std::invalid_argument("An NP register image must hold 50 words.");
    return *regs;
}

void set_np_field(std::vector<uint32_t>* regs, Field const& field, uint64_t value) {
    set(np_image(regs), field, value);
}

std::vector<uint32_t> default_np_regs() {
    return preset_image(NP_REGISTER_WORDS, np_presets);
}

void set_ib_spikes(std::vector<uint32_t>* regs) { set_np_field(regs, INPUT_BUFFER_SPIKES, 1); }

void format_mesh_cfg_dma_reg(std::vector<uint32_t>* regs, hw::Ident const& dma) {
    // The select is written first: when it does not fit, the word stays as it was.
    set_np_field(regs, CFG_DMA_SELECT, np_select(dma.id));
    set_np_field(regs, CFG_DMA_ROW, dma.row);
    set_np_field(regs, CFG_DMA_COL, dma.col);
}

LayerRoutes::LayerRoutes(LayerMapping const& layer_mapping)
    : mapping(layer_mapping),
      sources(routing_sources(layer_mapping)),
      destinations(routing_destinations(layer_mapping)) {}

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
    np_image(regs);  // refuses an image that is not 50 words before anything else
    // Every word below reads a column or an identifier from these lists.
    require_routing_list(routing.sources, "sources");
    require_routing_list(routing.layer_nps, "layer components");
    require_routing_list(routing.destinations, "destinations");
    uint8_t const link = routing.input_link_index;

    set_np_field(regs, ROUTING_P2P_OUT, routing.p2p_out);
    set_np_field(regs, ROUTING_CLEAR_1, 0);
    set_np_field(regs, ROUTING_ENDS_PASS, routing.ends_pass);
    set_np_field(regs, ROUTING_FIXED_16_23, ROUTING_FIXED_16_23_VALUE);
    set_np_field(regs, ROUTING_LINK_MODE, link == 0xFF ? ROUTING_NO_LINK : ROUTING_LINKED);

    set_peer(regs, destination_fields, routing.destinations, routing.p2p_out);
    set_np_field(regs, DESTINATION_LINK_INDEX, link);
    set_peer(regs, source_fields, routing.sources, routing.p2p_in);
    set_np_field(regs, SOURCE_CLEAR_30_31, 0);

    ColumnSpan const layer = column_span(routing.layer_nps);
    ColumnSpan const out = column_span(routing.destinations);
    set_np_field(regs, SPAN_LOW, std::min(layer.low, out.low));
    set_np_field(regs, SPAN_HIGH, std::max(layer.high, out.high));
    set_np_field(regs, SPAN_CLEAR_16_31, 0);
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
    np_image(regs);
    LayerMapping const& mapping = recorded_layer_mapping(layer);
    bool const fnp = np.type == hw::Type::FNP2 || np.type == hw::Type::FNP3;
    InputDims const input = first_input_dims(layer);
    uint64_t const x = input.width, y = input.height, c = input.channels;
    uint8_t const bits = layer.input_bits();
    NpSpace const cut = np.halo_partition();
    uint64_t const channels = dim(np.spatial_partition().shape, 2);

    set_np_field(regs, PR_FNP_MODE, fnp);
    set_np_field(regs, PR_SET_0, 1);
    set_np_field(regs, PR_SET_2, 1);
    set_np_field(regs, PR_INPUT_BITS, bits >> 1);
    set_np_field(regs, PR_LINK_INDEX, mapping.link_index);

    uint64_t const container = cnp_container_bytes(channels, bits);
    uint64_t needed = ceil_div(mul_sat(mul_sat(x, y), c), 32);
    if (fnp) {
        set_np_field(regs, PR_CUT_I_ORIG, 0);
        set_np_field(regs, PR_CUT_J_ORIG, 0);
        set_np_field(regs, PR_CUT_I_SIZE, y);
        set_np_field(regs, PR_CUT_J_SIZE, x);
        set_np_field(regs, PR_CH_SIZE, mul_sat(x, y));
    } else {
        set_np_field(regs, PR_CUT_I_ORIG, cut.y);
        set_np_field(regs, PR_CUT_J_ORIG, cut.x);
        set_np_field(regs, PR_CUT_I_SIZE, dim(cut.shape, 1));
        set_np_field(regs, PR_CUT_J_SIZE, dim(cut.shape, 0));
        set_np_field(regs, PR_INPUT_ROW_WORDS, ceil_div(mul_sat(channels, container), 4));
        set_np_field(regs, PR_INPUT_ROW_CONTAINER, container);
        needed = std::max(needed, cnp_input_words(container, channels, dim(cut.shape, 1)));
    }

    // One input buffer serves both layers: the larger need wins.
    needed = std::max<uint64_t>(needed, get(np_image(regs), INPUT_MEMORY_WORDS));
    needed = std::max<uint64_t>(needed, get(np_image(regs), FNP_FPKT_WSIZE));
    if (fnp && get(np_image(regs), CONTROL_FNP) == 0)
        needed = std::max(needed, fnp_min_input_buffer_words);
    set_np_field(regs, INPUT_MEMORY_WORDS, needed);
    set_np_field(regs, FNP_FPKT_WSIZE, needed);
}

void format_learning_common_regs(std::vector<uint32_t>* regs, LearningParams const* params) {
    np_image(regs);
    if (params == nullptr) {
        set_np_field(regs, LEARNING_ENABLE, 0);
        return;
    }
    double const n = params->get("num_weights");
    double const p0 = params->get("initial_plasticity");
    double const lc = params->get("learning_competition");
    double const pmin = params->get("min_plasticity");
    double const pd = params->get("plasticity_decay");

    set_np_field(regs, LEARNING_ENABLE, 1);
    set_np_field(regs, LEARNING_COMPETITION, learning_value(std::round((1 - lc) * n), LEARNING_COMPETITION));
    set_np_field(regs, LEARNING_MIN_PLASTICITY, learning_value(std::ceil(pmin * n), LEARNING_MIN_PLASTICITY));
    // The plasticity is taken as a whole number of weights before the decay applies.
    double const plasticity = learning_field_value(std::round(n * p0), 32);
    set_np_field(regs, LEARNING_PLASTICITY_DECAY,
                 learning_value(std::ceil(plasticity * pd), LEARNING_PLASTICITY_DECAY));
}

void format_learning_cnp_regs(std::vector<uint32_t>* regs, uint32_t value_a, uint32_t value_b) {
    set_np_field(regs, LEARNING_CNP_A, value_a);
    set_np_field(regs, LEARNING_CNP_B, value_b);
}

}  // namespace nuvra::v1
