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

// The first generation's routing words: nothing set on every NP, a point-to-point source written
// row, column, then select (a select that does not fit leaves them written), bits 30-31 of word
// 46 and 16-31 of word 47 cleared, a link index of 0xFF marked as no link, one refusal for both
// directions.
constexpr RoutingFormat routing_format{
    .source_cleared = SOURCE_CLEAR_30_31,
    .source_select_last = true,
    .span_cleared = &SPAN_CLEAR_16_31,
    .no_link_at_0xff = true,
    .p2p_out_refusal = "Cannot use P2P mode for multiple NPs.",
    .p2p_in_refusal = "Cannot use P2P mode for multiple NPs.",
};

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
    format_cfg_dma_word(np_image(regs), dma);
}

void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs, NpRouting const& routing) {
    format_routing_words(np_image(regs), routing, routing_format);
}

void format_mesh_registers_set_output_to_NPs(std::vector<uint32_t>* regs, std::vector<hw::Component> const& sources,
                                             std::vector<hw::Component> const& layer_nps,
                                             std::vector<hw::Component> const& destinations, uint8_t link_index,
                                             bool p2p_in, bool p2p_out, bool ends_pass) {
    format_mesh_registers_set_output_to_NPs(regs, {.sources = sources,
                                                   .layer_nps = layer_nps,
                                                   .destinations = destinations,
                                                   .link_index = link_index,
                                                   .p2p_in = p2p_in,
                                                   .p2p_out = p2p_out,
                                                   .ends_pass = ends_pass});
}

NpImageSteps np_image_steps(LayerRoutes const& routes, bool ends_pass,
                            std::function<std::vector<uint32_t>(hw::Component const& np)> layer_words) {
    return {.layer_words = std::move(layer_words),
            .routing =
                [&routes, ends_pass](std::vector<uint32_t>* regs) {
                    format_mesh_registers_set_output_to_NPs(regs,
                                                            routes.routing(routes.mapping.input_link_index, ends_pass));
                },
            .linked_layer = [](std::vector<uint32_t>* regs, Layer const& linked,
                               hw::Component const& component) { update_partial_reconfig_regs(regs, linked, component); }};
}

void update_partial_reconfig_regs(std::vector<uint32_t>* regs, Layer const& layer, hw::Component const& np) {
    std::span<uint32_t> const image = np_image(regs);  // a 50-word image before anything is read
    LayerMapping const& mapping = recorded_layer_mapping(layer);
    bool const fnp = np.type == hw::Type::FNP2 || np.type == hw::Type::FNP3;
    InputDims const input = first_input_dims(layer);
    uint64_t const x = input.width, y = input.height, c = input.channels;
    uint8_t const bits = layer.input_bits();
    NpSpace const cut = np.halo_partition();
    uint64_t const channels = dim(np.spatial_partition().shape, 2);

    set(image, PR_FNP_MODE, fnp);
    set(image, PR_SET_0, 1);
    set(image, PR_SET_2, 1);
    set(image, PR_INPUT_BITS, bits >> 1);
    set(image, PR_LINK_INDEX, mapping.link_index);

    uint64_t const container = cnp_container_bytes(channels, bits);
    uint64_t needed = ceil_div(mul_sat(mul_sat(x, y), c), 32);
    if (fnp) {
        set(image, PR_CUT_I_ORIG, 0);
        set(image, PR_CUT_J_ORIG, 0);
        set(image, PR_CUT_I_SIZE, y);
        set(image, PR_CUT_J_SIZE, x);
        set(image, PR_CH_SIZE, mul_sat(x, y));
    } else {
        set(image, PR_CUT_I_ORIG, cut.y);
        set(image, PR_CUT_J_ORIG, cut.x);
        set(image, PR_CUT_I_SIZE, dim(cut.shape, 1));
        set(image, PR_CUT_J_SIZE, dim(cut.shape, 0));
        set(image, PR_INPUT_ROW_WORDS, ceil_div(mul_sat(channels, container), 4));
        set(image, PR_INPUT_ROW_CONTAINER, container);
        needed = std::max(needed, cnp_input_words(container, channels, dim(cut.shape, 1)));
    }

    // One input buffer serves both layers: the larger need wins.
    needed = std::max<uint64_t>(needed, get(image, INPUT_MEMORY_WORDS));
    needed = std::max<uint64_t>(needed, get(image, FNP_FPKT_WSIZE));
    if (fnp && get(image, CONTROL_FNP) == 0)
        needed = std::max(needed, fnp_min_input_buffer_words);
    set(image, INPUT_MEMORY_WORDS, needed);
    set(image, FNP_FPKT_WSIZE, needed);
}

void format_learning_common_regs(std::vector<uint32_t>* regs, LearningParams const* params) {
    std::span<uint32_t> const image = np_image(regs);  // a 50-word image before anything is read
    if (params == nullptr) {
        set(image, LEARNING_ENABLE, 0);
        return;
    }
    double const n = params->get("num_weights");
    double const p0 = params->get("initial_plasticity");
    double const lc = params->get("learning_competition");
    double const pmin = params->get("min_plasticity");
    double const pd = params->get("plasticity_decay");

    set(image, LEARNING_ENABLE, 1);
    set(image, LEARNING_COMPETITION, learning_value(std::round((1 - lc) * n), LEARNING_COMPETITION));
    set(image, LEARNING_MIN_PLASTICITY, learning_value(std::ceil(pmin * n), LEARNING_MIN_PLASTICITY));
    // The plasticity is taken as a whole number of weights before the decay applies.
    double const plasticity = learning_field_value(std::round(n * p0), 32);
    set(image, LEARNING_PLASTICITY_DECAY,
                 learning_value(std::ceil(plasticity * pd), LEARNING_PLASTICITY_DECAY));
}

void format_learning_cnp_regs(std::vector<uint32_t>* regs, uint32_t value_a, uint32_t value_b) {
    set_np_field(regs, LEARNING_CNP_A, value_a);
    set_np_field(regs, LEARNING_CNP_B, value_b);
}

}  // namespace nuvra::v1
