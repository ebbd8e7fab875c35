// Layer checks as tables of small named rules: each rule is one function whose message is the
// text the user sees; a layer kind keeps an ordered table of the rules that apply to it. Per-kind
// checks gather every failure; sequence and component rules stop at the first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "engine/layer.h"
#include "hw/mapping_status.h"
#include "mapping/graph_utils.h"
#include "program/backend.h"

namespace nuvra {

// What one per-layer rule sees. Kinds that need no limits get an all-zero block.
struct LayerCheck {
    HardwareConstraints const& constraints;
    Layer const& layer;
    Layer const* previous = nullptr;
    HwVersion version{};  // the chip mapped to: some rules hold on one board only
    DepthMemo* depths = nullptr;  // the layers' depths, kept over the checks of one mapping
};

using LayerRule = MappingStatus (*)(LayerCheck const&);

// When a rule of a table runs, against what the rules before it found.
enum class RuleGate {
    always,          // runs whatever was found before
    skip_if_failed,  // runs only when nothing failed before it
    stop_if_failed,  // ends the check when something failed before it, otherwise runs
    exclusive,       // runs; its failure replaces everything found and ends the check
};

struct RuleEntry {
    LayerRule rule;
    RuleGate gate = RuleGate::always;
};

// The row of `type` in a generation's per-kind table (rows with a `type` member: the checks or the
// recorder of each kind it runs); null for a kind the table does not list.
template <class Row, size_t N>
constexpr Row const* find_kind(Row const (&table)[N], LayerType type) {
    for (Row const& row : table)
        if (row.type == type) return &row;
    return nullptr;
}

// The refusal of a layer recorder for a kind its table does not list: std::runtime_error
// "Unsupported layer type: <number>.".
[[noreturn]] void refuse_unrecorded_kind(LayerType type);

// The refusal of a layer whose variables do not fit it (a shape, half of a ReLU ceiling) or whose
// scales hold a NaN, in the words of the software run's refusal; success otherwise. Every layer
// is judged by it before any check reads its values.
MappingStatus variables_status(Layer const& layer);

// Failures that several generations report, each built in one place.
// "The maximum input width is <max> (got <got>)." and its three twins.
MappingStatus max_input_width_failure(Layer const& layer, uint64_t max, uint64_t got);
MappingStatus max_input_height_failure(Layer const& layer, uint64_t max, uint64_t got);
MappingStatus max_input_channels_failure(Layer const& layer, uint64_t max, uint64_t got);
MappingStatus max_filters_failure(Layer const& layer, int64_t max, int64_t got);
// "Input dimensions are too large to fit in a FNP. The maximum value is <max>."
MappingStatus fnp_input_too_large_failure(Layer const& layer, uint64_t max);
// "Input size exceeds memory. Maximum size is <bytes> bytes. (got <bytes> bytes).", from sizes in
// 32-bit words.
MappingStatus fnp_input_memory_failure(Layer const& layer, uint64_t capacity_words, uint64_t words);
// "The input length <width> exceeds the maximum value for NP input width: <max>."
MappingStatus np_input_width_failure(Layer const& layer, uint64_t width, uint64_t max);

// The sequence rules every generation shares, over the layers of one mapping in order (the last
// one gives the model's output): the first broken one is the status. A layer other than the last
// whose output no layer takes fails with dead_end_output_message, since nothing could receive
// what its NPs send.
inline constexpr char dead_end_output_message[] =
    "The layer's output reaches no later layer and is not the model's output.";
MappingStatus check_shared_sequence_rules(LayerList::const_iterator first, LayerList::const_iterator last);

// A Quantizer or a Dequantizer between two layers the device computes, in one run: the NPs hand
// their outputs to one another as they are, so nothing of it reaches the program while the
// software run applies it. Such a Quantizer fails with quantizer_not_first_message, such a
// Dequantizer with dequantizer_not_at_end_message; each status names the first one of the run,
// and is success when there is none. A Quantizer before the first computed layer (first in the
// model, or right after its input data) and a Dequantizer after the last one pass.
inline constexpr char quantizer_not_first_message[] = "A Quantizer is only supported as the first layer of the model.";
inline constexpr char dequantizer_not_at_end_message[] = "Only 1 Dequantizer at the end of the model is supported.";
MappingStatus quantizer_between_computed_layers(LayerList::const_iterator first, LayerList::const_iterator last);
MappingStatus dequantizer_between_computed_layers(LayerList::const_iterator first, LayerList::const_iterator last);
// A Quantizer after a layer the device computes, whether layers follow it or not: one that closes
// the run leaves the program nothing of it but its output width, while the software run applies
// its sign, scales and zero points. The status names the first such Quantizer of the run, with
// quantizer_not_first_message, and is success when there is none.
MappingStatus quantizer_after_computed_layer(LayerList::const_iterator first, LayerList::const_iterator last);

// Walks a per-kind table: every failure is gathered with MappingStatus::operator+=.
MappingStatus gather_failures(LayerCheck const& check, std::span<RuleEntry const> rules);

// A rule row that walks a block of rules shared by several tables, gathering every failure as
// gather_failures does: {sub_table<block>} in a table stands for the block's rows in its place.
template <auto const& rules>
MappingStatus sub_table(LayerCheck const& check) {
    return gather_failures(check, rules);
}

// Walks a table of rules that stop at the first failure.
template <class Context, class Rule>
MappingStatus first_failure(Context const& context, std::span<Rule const> rules) {
    for (Rule const& rule : rules) {
        MappingStatus status = rule(context);
        if (status.failed) return status;
    }
    return MappingStatus::success();
}

}  // namespace nuvra
