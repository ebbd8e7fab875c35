// Layer checks as tables of small named rules: each rule is one function whose message is the
// text the user sees; a layer kind keeps an ordered table of the rules that apply to it. Per-kind
// checks gather every failure; sequence and component rules stop at the first.
#pragma once

#include <span>

#include "engine/layer.h"
#include "hw/mapping_status.h"
#include "mapping/backend.h"

namespace nuvra {

// What one per-layer rule sees. Kinds that need no limits get an all-zero block.
struct LayerCheck {
    HardwareConstraints const& constraints;
    Layer const& layer;
    Layer const* previous = nullptr;
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

// Walks a per-kind table: every failure is gathered with MappingStatus::operator+=.
MappingStatus gather_failures(LayerCheck const& check, std::span<RuleEntry const> rules);

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
