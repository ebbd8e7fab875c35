// Rules over a run of layers mapped together: no Dequantizer or Quantizer between layers the
// device computes, and a CNP with max pooling hands its output to another CNP of the same run.
// The first broken rule ends the check.
#include <algorithm>

#include "backends/v1/check_rules.h"
#include "hw/format.h"

namespace nuvra::v1 {

namespace {

struct SequenceCheck {
    LayerList::const_iterator first;
    LayerList::const_iterator last;

    bool contains(std::shared_ptr<Layer> const& layer) const {
        return std::any_of(first, last, [&](std::shared_ptr<Layer> const& l) { return l == layer; });
    }
};

using SequenceRule = MappingStatus (*)(SequenceCheck const&);

bool is_cnp(Layer const& layer) { return layer.is_target_component(ComponentKind::CNP); }
bool is_max_pooling_cnp(Layer const& layer) { return is_cnp(layer) && layer.has_pooling_type(PoolType::Max); }

MappingStatus rule_last_without_max_pooling(SequenceCheck const& check) {
    Layer const& last = **(check.last - 1);
    if (is_max_pooling_cnp(last))
        return {last, "A convolutional or separable convolutional layer with max pooling cannot be the last layer of "
                      "a sequence."};
    return {};
}

// Only the first max-pooling CNP among a layer's inbounds is looked at.
MappingStatus rule_max_pooling_feeds_cnp(SequenceCheck const& check) {
    for (auto it = check.first; it != check.last; ++it) {
        Layer const& x = **it;
        if (is_cnp(x)) continue;
        std::vector<std::shared_ptr<Layer>> const inbounds = x.inbound_layers();
        auto const pooling = std::find_if(inbounds.begin(), inbounds.end(), [](std::shared_ptr<Layer> const& in) {
            return in && is_max_pooling_cnp(*in);
        });
        if (pooling != inbounds.end() && check.contains(*pooling))
            return {x, format("A convolutional or separable convolutional layer with max pooling must be followed by "
                              "another convolutional or separable convolutional layer. Layer '{}' has max pooling.",
                              (*pooling)->get_name())};
    }
    return {};
}

// A Dequantizer or a Quantizer between computed layers: the NPs before it hand their outputs on
// as they are, so the program would hold nothing of it.
MappingStatus rule_dequantizer_not_between_computed_layers(SequenceCheck const& check) {
    return dequantizer_between_computed_layers(check.first, check.last);
}

MappingStatus rule_quantizer_not_between_computed_layers(SequenceCheck const& check) {
    return quantizer_between_computed_layers(check.first, check.last);
}

constexpr SequenceRule sequence_rules[] = {
    rule_dequantizer_not_between_computed_layers,
    rule_quantizer_not_between_computed_layers,
    rule_last_without_max_pooling,
    rule_max_pooling_feeds_cnp,
};

}  // namespace

MappingStatus check_sequence_rules(LayerList::const_iterator first, LayerList::const_iterator last) {
    if (first == last) return MappingStatus::success();
    return first_failure(SequenceCheck{first, last}, std::span<SequenceRule const>(sequence_rules));
}

}  // namespace nuvra::v1
