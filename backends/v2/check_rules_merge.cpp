// Merging layers, Add and Concatenate: where they stand in the graph, and the shifts an Add
// applies to its two inputs and its output.
#include <algorithm>
#include <cstdlib>
#include <set>
#include <span>

#include "backends/v2/check_rules.h"
#include "engine/tensor.h"
#include "hw/format.h"
#include "mapping/graph_utils.h"

namespace nuvra::v2 {

namespace {

constexpr uint8_t add_output_bits = 8;
constexpr int32_t max_add_input_shift_gap = 15;  // |a_shift - b_shift|
constexpr int32_t min_add_output_shift = -4;     // max(a_shift, b_shift) + output_shift
constexpr int32_t max_add_output_shift = 3;
constexpr size_t min_merge_inbounds = 2;
constexpr size_t max_concatenate_inbounds = 2;  // the reader takes one stream in line, one from a skip DMA
constexpr size_t max_merge_outbounds = 2;       // more are refused by the outbound count rule of a run

HardwareConstraints const no_constraints{};

bool is_conv_or_merge(Layer const& layer) {
    return layer.is_target_component(ComponentKind::CNP) ||
           layer.is_target_component(ComponentKind::SKIP_DMA);
}

// The shift of channel i; a vector shorter than "a_shift" panics with the out-of-range message.
template <class T>
T shift_at(Tensor const& tensor, size_t i) {
    return tensor_read<T>(tensor, i);
}

// ---- Add ----

MappingStatus rule_add_output_8_bits(LayerCheck const& check) {
    if (check.layer.output_bits() != add_output_bits) return {check.layer, "Output must be 8-bit."};
    return {};
}

// Channel by channel: the gap between the input shifts, then the resulting output shift.
MappingStatus rule_add_shifts_in_range(LayerCheck const& check) {
    std::shared_ptr<Tensor> const a_shift = check.layer.variable("a_shift");
    std::shared_ptr<Tensor> const b_shift = check.layer.variable("b_shift");
    std::shared_ptr<Tensor> const output_shift = check.layer.variable("output_shift");
    Shape const& dims = a_shift->dimensions();
    uint32_t const channels = dims.rank() > 0 ? dims[0] : 1;

    MappingStatus result;
    for (uint32_t i = 0; i < channels; ++i) {
        int32_t const a = shift_at<uint8_t>(*a_shift, i);
        int32_t const b = shift_at<uint8_t>(*b_shift, i);
        int32_t const o = shift_at<int8_t>(*output_shift, i);
        if (std::abs(a - b) > max_add_input_shift_gap)
            result += {check.layer,
                       format("This model cannot be mapped in hardware, Add input shift is out of "
                              "range. The maximum is {}.",
                              max_add_input_shift_gap)};
        int32_t const shift = std::max(a, b) + o;
        if (shift < min_add_output_shift || shift > max_add_output_shift)
            result += {check.layer,
                       format("This model cannot be mapped in hardware, Add output shift is out of "
                              "range. Should be in [{}, {}].",
                              min_add_output_shift, max_add_output_shift)};
    }
    return result;
}

// ---- Graph rules of both kinds ----

MappingStatus rule_followed_by_merge_layer(LayerCheck const& check) {
    for (std::shared_ptr<Layer> const& out : check.layer.outbound_layers())
        if (out && out->is_target_component(ComponentKind::CNP)) return {};
    return {check.layer, "Must be followed by a merge layer."};
}

// The layer that reads a merge's output does the merging in its NPs, and can hand the merged data
// on only to a skip-DMA store, for a merge further down: a second layer at the same depth would
// need it straight from those NPs, which their dual-output words cannot name.
MappingStatus rule_output_read_at_one_depth_once(LayerCheck const& check) {
    LayerList const outs = check.layer.outbound_layers();
    if (outs.size() != max_merge_outbounds) return {};
    LayerGraph graph(check.depths);
    for (std::shared_ptr<Layer> const& out : outs) {
        if (!out || out->inbound_view().empty() || out->inbound_view().front().get() != &check.layer) continue;
        if (!graph.is_dual_output_layer(out) || graph.is_dual_output_to_store_dma(out)) continue;
        std::shared_ptr<Layer> const first = graph.get_mappable_layer(outs[0]);
        std::shared_ptr<Layer> const second = graph.get_mappable_layer(outs[1]);
        if (!first || !second) continue;
        return {check.layer, format("Layers '{}' and '{}' read its output at one depth, which is not supported: "
                                    "besides one layer, only an Add or a Concatenate may read it. Let one layer "
                                    "read it and branch after that layer.",
                                    first->get_name(), second->get_name())};
    }
    return {};
}

MappingStatus rule_inbounds_conv_or_merge(LayerCheck const& check) {
    for (std::shared_ptr<Layer> const& in : check.layer.inbound_layers())
        if (!in || !is_conv_or_merge(*in))
            return {check.layer, "Inbounds must be of types Conv, Add or Concat."};
    return {};
}

// A merge reads two inputs; with fewer there is nothing to merge.
template <char const* kind>
MappingStatus rule_two_inbounds(LayerCheck const& check) {
    size_t const count = check.layer.inbound_layers().size();
    if (count < min_merge_inbounds)
        return {check.layer, format("{} needs at least {} inbounds (got {}).", kind, min_merge_inbounds, count)};
    return {};
}

// The layer after a merge reads all of its input at one width, the merge's own: an inbound of
// another width would be read as if it had that one.
MappingStatus rule_add_inbounds_8_bits(LayerCheck const& check) {
    for (std::shared_ptr<Layer> const& in : check.layer.inbound_view())
        if (in && in->output_bits() != add_output_bits)
            return {check.layer, format("Add inbounds must be {}-bit. Layer '{}' is {}-bit.", add_output_bits,
                                        in->get_name(), in->output_bits())};
    return {};
}

// A Concatenate hands on its first inbound's width.
MappingStatus rule_concatenate_inbounds_same_bits(LayerCheck const& check) {
    std::span<std::shared_ptr<Layer> const> const ins = check.layer.inbound_view();
    if (ins.empty() || !ins.front()) return {};
    Layer const& first = *ins.front();
    for (std::shared_ptr<Layer> const& in : ins.subspan(1))
        if (in && in->output_bits() != first.output_bits())
            return {check.layer, format("Concatenate inbounds must have the same bit width. Layer '{}' is {}-bit, "
                                        "layer '{}' is {}-bit.",
                                        in->get_name(), in->output_bits(), first.get_name(), first.output_bits())};
    return {};
}

MappingStatus rule_concatenate_at_most_two_inbounds(LayerCheck const& check) {
    size_t const count = check.layer.inbound_view().size();
    if (count > max_concatenate_inbounds)
        return {check.layer, format("Concatenate has {} inbounds. A maximum of {} inbounds is supported.", count,
                                    max_concatenate_inbounds)};
    return {};
}

bool has_repeated_inbound(Layer const& layer) {
    std::set<Layer const*> seen;
    for (std::shared_ptr<Layer> const& in : layer.inbound_layers())
        if (!seen.insert(in.get()).second) return true;
    return false;
}

MappingStatus rule_add_distinct_inbounds(LayerCheck const& check) {
    if (has_repeated_inbound(check.layer))
        return {check.layer, "Add inbounds must come from different layers."};
    return {};
}

MappingStatus rule_concatenate_distinct_inbounds(LayerCheck const& check) {
    if (has_repeated_inbound(check.layer))
        return {check.layer, "Concatenate inbounds must come from different layers."};
    return {};
}

constexpr char add_name[] = "Add";
constexpr char concatenate_name[] = "Concatenate";

constexpr RuleEntry add_rules[] = {
    {rule_add_output_8_bits},
    {rule_add_shifts_in_range},
    {rule_followed_by_merge_layer},
    {rule_output_read_at_one_depth_once},
    {rule_inbounds_conv_or_merge},
    {rule_two_inbounds<add_name>},
    {rule_add_inbounds_8_bits},
    {rule_add_distinct_inbounds, RuleGate::exclusive},
};

constexpr RuleEntry concatenate_rules[] = {
    {rule_followed_by_merge_layer},
    {rule_output_read_at_one_depth_once},
    {rule_inbounds_conv_or_merge},
    {rule_two_inbounds<concatenate_name>},
    {rule_concatenate_inbounds_same_bits},
    {rule_concatenate_at_most_two_inbounds},
    {rule_concatenate_distinct_inbounds, RuleGate::exclusive},
};

}  // namespace

MappingStatus check_add_constraints(Layer const& layer) {
    return gather_failures({no_constraints, layer}, add_rules);
}

MappingStatus check_concatenate_constraints(Layer const& layer) {
    return gather_failures({no_constraints, layer}, concatenate_rules);
}

}  // namespace nuvra::v2
