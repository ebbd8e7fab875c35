// What Python reads of a run: the named metrics of a model or a hardware device, and the floor
// of the power meter.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "hw/format.h"
#include "hw/power_meter.h"

namespace nuvra::python {

// Metric name to value: clock counts, frame counts, time stamps. A name exists once a run or a
// programming wrote it.
class PyMetrics {
public:
    void set(std::string const& name, int64_t value) { values_[name] = value; }

    // std::invalid_argument "<name> : no such metrics" for a name never written.
    int64_t get(std::string const& name) const {
        auto const found = values_.find(name);
        if (found == values_.end()) throw std::invalid_argument(format("{} : no such metrics", name));
        return found->second;
    }

    // The names present, in the map's own order.
    std::vector<std::string> names() const {
        std::vector<std::string> names;
        names.reserve(values_.size());
        for (auto const& entry : values_) names.push_back(entry.first);
        return names;
    }

private:
    std::unordered_map<std::string, int64_t> values_;
};

// The lowest power logged since the meter's last reset, in milliwatts; nothing while the meter
// holds no event.
inline std::optional<float> floor_power(PowerMeter const& meter) {
    if (!meter.has_events()) return std::nullopt;
    return meter.floor();
}

}  // namespace nuvra::python
