#include "mapping/rule_table.h"

namespace nuvra {

MappingStatus gather_failures(LayerCheck const& check, std::span<RuleEntry const> rules) {
    MappingStatus result = MappingStatus::success();
    for (RuleEntry const& entry : rules) {
        switch (entry.gate) {
        case RuleGate::always:
            result += entry.rule(check);
            break;
        case RuleGate::skip_if_failed:
            if (!result.failed) result += entry.rule(check);
            break;
        case RuleGate::stop_if_failed:
            if (result.failed) return result;
            result += entry.rule(check);
            break;
        case RuleGate::exclusive: {
            MappingStatus status = entry.rule(check);
            if (status.failed) return status;
            break;
        }
        }
    }
    return result;
}

}  // namespace nuvra
