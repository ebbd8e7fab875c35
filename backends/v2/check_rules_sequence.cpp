// Rules over a run of layers mapped together: where a Dequantizer or a Quantizer may stand, what
// the first and last layers may be, which kinds may feed which, how many outbounds a layer may
// have and how skip connections must be shaped. The first broken rule ends the check.
#include <algorithm>
#include <array>
#include <span>

#include "backends/v2/check_rules.h"
#include "engine/tensor.h"
#include "hw/format.h"
#include "mapping/graph_utils.h"

namespace nuvra::v2 {

namespace {

constexpr size_t max_outbounds = 2;
constexpr size_t max_hrc_outbounds = 1;
constexpr int64_t max_open_branches = 1;
constexpr uint8_t max_unscaled_output_bits = 8;  // wider unactivated outputs are not rescaled

struct SequenceCheck {
    LayerList::const_iterator first;
    LayerList::const_iterator last;
    mutable DepthMemo depths;  // shared by the depth queries of one check

    Layer const& front() const { return **first; }
    Layer const& back() const { return **(last - 1); }
    bool contains(std::shared_ptr<Layer> const& layer) const {
        return std::any_of(first, last, [&](std::shared_ptr<Layer> const& l) { return l == layer; });
    }
};

using SequenceRule = MappingStatus (*)(SequenceCheck const&);
// A rule about one member X of the run.
using MemberRule = MappingStatus (*)(SequenceCheck const&, Layer const&);

bool is_kind(Layer const& layer, LayerType type) { return layer.type() == type; }

bool is_merge_kind(Layer const& layer) { return layer.is_target_component(ComponentKind::SKIP_DMA); }

// The first Dequantizer of the run, or `last`.
LayerList::const_iterator find_dequantizer(SequenceCheck const& check) {
    return std::find_if(check.first, check.last,
                        [](std::shared_ptr<Layer> const& l) { return is_kind(*l, LayerType::Dequantizer); });
}

// The last layer that computes: the one before a trailing Dequantizer, else the last one.
Layer const& last_computing_layer(SequenceCheck const& check) {
    LayerList::const_iterator const dequantizer = find_dequantizer(check);
    if (dequantizer != check.last && dequantizer != check.first && dequantizer + 1 == check.last)
        return **(dequantizer - 1);
    return check.back();
}

// The first non-null inbound of `layer` that satisfies `pred`, or null.
template <class Pred>
std::shared_ptr<Layer> first_inbound(Layer const& layer, Pred pred) {
    for (std::shared_ptr<Layer> const& in : layer.inbound_view())
        if (in && pred(*in)) return in;
    return nullptr;
}

// ---- Rules of the whole run ----

MappingStatus rule_first_not_merge(SequenceCheck const& check) {
    if (is_merge_kind(check.front())) return {check.front(), "Can't be the first layer of the sequence."};
    return {};
}

MappingStatus rule_dequantizer_at_end(SequenceCheck const& check) {
    LayerList::const_iterator const dequantizer = find_dequantizer(check);
    // Accepted when there is none, or when it closes a run that computes something before it.
    if (dequantizer == check.last || (dequantizer + 1 == check.last && dequantizer != check.first)) return {};
    if (dequantizer == check.first) return {**dequantizer, "Can't start a sequence with a Dequantizer."};
    return {**dequantizer, dequantizer_not_at_end_message};
}

// A Quantizer after a computed layer: the NPs before it hand their outputs on as they are, and
// when it closes the run the program keeps nothing of it but its output width.
MappingStatus rule_quantizer_not_after_computed_layer(SequenceCheck const& check) {
    return quantizer_after_computed_layer(check.first, check.last);
}

MappingStatus rule_last_without_max_pooling(SequenceCheck const& check) {
    Layer const& last = last_computing_layer(check);
    if (last.has_pooling_type(PoolType::Max))
        return {last, "A layer with max pooling cannot be the last layer of a sequence."};
    return {};
}

// A last layer without activation and with a wide output hands its potentials out as they are.
bool unscaled_output(Layer const& layer) {
    return !layer.has_activation() && layer.output_bits() > max_unscaled_output_bits;
}

template <class T>
bool all_elements_equal(Tensor const& tensor, T value) {
    size_t const count = tensor.size();
    for (size_t i = 0; i < count; ++i)
        if (tensor_read<T>(tensor, i) != value) return false;
    return true;
}

// Only a layer that scales its outputs holds the shifts and scales these rules judge; a merge, an
// input or a quantizer at the end has none to judge.
MappingStatus rule_last_output_shift_zero(SequenceCheck const& check) {
    Layer const& last = last_computing_layer(check);
    if (unscaled_output(last) && last.variables().has("output_shift") &&
        !all_elements_equal<int8_t>(*last.variable("output_shift"), 0))
        return {last, "Without activation output_shift should be 0."};
    return {};
}

MappingStatus rule_last_output_scales_one(SequenceCheck const& check) {
    Layer const& last = last_computing_layer(check);
    if (unscaled_output(last) && last.variables().has("output_scales") &&
        !all_elements_equal<uint8_t>(*last.variable("output_scales"), 1))
        return {last, "Without activation output_scales should be 1."};
    return {};
}

// ---- Rules of each member X, with its inbounds; inbounds outside the run never fail ----

MappingStatus rule_max_pooling_feeds_cnp_or_tnp_b(SequenceCheck const& check, Layer const& x) {
    if (x.is_target_component(ComponentKind::CNP) || x.is_target_component(ComponentKind::TNP_B)) return {};
    std::shared_ptr<Layer> const in = first_inbound(x, [](Layer const& l) {
        return l.is_target_component(ComponentKind::CNP) && l.has_pooling_type(PoolType::Max);
    });
    if (in && check.contains(in))
        return {x, format("Any layer with max pooling must be followed by a layer mapped on a CNP or a "
                          "TNP-B. Layer '{}' has max pooling.",
                          in->get_name())};
    return {};
}

MappingStatus rule_fnp_does_not_feed_cnp(SequenceCheck const& check, Layer const& x) {
    if (!x.is_target_component(ComponentKind::CNP)) return {};
    std::shared_ptr<Layer> const in =
        first_inbound(x, [](Layer const& l) { return l.is_target_component(ComponentKind::FNP); });
    if (in && check.contains(in))
        return {x, format("A layer mapped on FNP cannot be directly followed by a layer mapped on CNP due "
                          "to incompatible data processing requirements. Layer '{}' is mappable on FNP.",
                          in->get_name())};
    return {};
}

MappingStatus rule_merge_does_not_feed_fnp(SequenceCheck const& check, Layer const& x) {
    if (!x.is_target_component(ComponentKind::FNP)) return {};
    std::shared_ptr<Layer> const in = first_inbound(x, is_merge_kind);
    if (in && check.contains(in))
        return {x, format("Dense layer can't have Add/Concat as inbound. Layer '{}' is a Add/Concat.",
                          in->get_name())};
    return {};
}

MappingStatus rule_at_most_two_outbounds(SequenceCheck const&, Layer const& x) {
    size_t const count = x.outbound_count();
    if (count > max_outbounds)
        return {x, format("Layer has {} outbounds. A maximum of {} outbounds is supported.", count, max_outbounds)};
    return {};
}

constexpr MemberRule member_rules[] = {
    rule_max_pooling_feeds_cnp_or_tnp_b,
    rule_fnp_does_not_feed_cnp,
    rule_merge_does_not_feed_fnp,
    rule_at_most_two_outbounds,
};

MappingStatus rule_each_member(SequenceCheck const& check) {
    for (auto it = check.first; it != check.last; ++it)
        for (MemberRule rule : member_rules) {
            MappingStatus status = rule(check, **it);
            if (status.failed) return status;
        }
    return {};
}

// ---- Fan-out and skip connections ----

MappingStatus rule_hrc_single_outbound(SequenceCheck const& check) {
    Layer const& first = check.front();
    if (first.is_target_component(ComponentKind::HRC) && first.outbound_count() > max_hrc_outbounds)
        return {first, "A layer mapped on HRC supports 1 outbound only."};
    return {};
}

MappingStatus rule_single_open_branch(SequenceCheck const& check) {
    LayerList const run(check.first, check.last);
    if (get_out_branches_count(run) > max_open_branches)
        return unnamed_failure("Bad mapping on skip connection. Several branches.");
    return {};
}

MappingStatus rule_last_not_merge(SequenceCheck const& check) {
    if (is_merge_kind(check.back()))
        return {check.back(),
                "Bad mapping on skip connection. No valid merge layer. Add layer requires an outbound "
                "that is mappable on a CNP."};
    return {};
}

// A split layer may feed a Concatenate as its second input only when that input is not the
// deeper one.
MappingStatus rule_split_layer_not_deep_concat_input(SequenceCheck const& check) {
    for (auto it = check.first; it != check.last; ++it) {
        Layer const& x = **it;
        if (x.outbound_count() <= 1) continue;
        for (std::shared_ptr<Layer> const& concat : x.outbound_layers()) {
            if (!concat || !is_kind(*concat, LayerType::Concatenate)) continue;
            std::span<std::shared_ptr<Layer> const> const ins = concat->inbound_view();
            if (ins.size() < 2 || ins[1].get() != &x) continue;
            unsigned const second = get_layer_depth(ins[1], &check.depths);
            unsigned const first = get_layer_depth(ins[0], &check.depths);
            if (first < second) return {x, "Is the second input of a Concat, it can't have multiple outputs."};
        }
    }
    return {};
}

// The reader takes a Concatenate's shallower input (the one a skip DMA loads) as its first
// channels: the other input's output is moved past them, never the other way round.
MappingStatus rule_concat_deeper_inbound_second(SequenceCheck const& check) {
    for (auto it = check.first; it != check.last; ++it) {
        Layer const& concat = **it;
        if (!is_kind(concat, LayerType::Concatenate)) continue;
        std::span<std::shared_ptr<Layer> const> const ins = concat.inbound_view();
        if (ins.size() < 2 || !ins[0] || !ins[1]) continue;
        if (get_layer_depth(ins[0], &check.depths) > get_layer_depth(ins[1], &check.depths))
            return {concat, format("A Concatenate's deeper inbound must come second. Layer '{}' is deeper than "
                                   "layer '{}'.",
                                   ins[0]->get_name(), ins[1]->get_name())};
    }
    return {};
}

constexpr SequenceRule sequence_rules[] = {
    rule_first_not_merge,
    rule_dequantizer_at_end,
    rule_quantizer_not_after_computed_layer,
    rule_last_without_max_pooling,
    rule_last_output_shift_zero,
    rule_last_output_scales_one,
    rule_each_member,
    rule_hrc_single_outbound,
    rule_single_open_branch,
    rule_last_not_merge,
    rule_split_layer_not_deep_concat_input,
    rule_concat_deeper_inbound_second,
};

}  // namespace

MappingStatus check_sequence_rules(LayerList::const_iterator first, LayerList::const_iterator last) {
    if (first == last) return MappingStatus::success();
    SequenceCheck const check{first, last, {}};
    return first_failure(check, std::span<SequenceRule const>(sequence_rules));
}

}  // namespace nuvra::v2
