#include "hw/mapping_status.h"

#include <algorithm>
#include <utility>

#include "hw/format.h"

namespace nuvra {

MappingStatus& MappingStatus::operator+=(MappingStatus const& other) {
    if (!other.failed) return *this;
    if (failed) {
        message += " " + other.message;
    } else {
        failed = true;
        message = other.message;
        layer_name = other.layer_name;
    }
    return *this;
}

std::string MappingStatus::to_string() const {
    if (layer_name.empty()) return message;
    return format("Cannot map layer '{}'. {}", layer_name, message);
}

void MappingStatus::throw_exception() const { throw MappingStatusError(*this); }

MappingStatusGroup& MappingStatusGroup::operator+=(MappingStatusGroup const& other) {
    if (!other.failed) return *this;
    if (!failed) {
        failed = other.failed;
        message = other.message;
    }
    if (&other == this) {
        // Appending a vector to itself through its own iterators would read moved storage.
        auto const copy = other.statuses;
        statuses.insert(statuses.end(), copy.begin(), copy.end());
    } else {
        statuses.insert(statuses.end(), other.statuses.begin(), other.statuses.end());
    }
    return *this;
}

std::string MappingStatusGroup::to_string() const {
    if (statuses.empty()) return message;
    if (statuses.size() == 1) return statuses.front().to_string();
    std::string text = format("Cannot map layer '{}':", statuses.front().layer_name);
    for (auto const& status : statuses) {
        if (status.layer_name.empty())
            text += format("\n  * {}", status.message);
        else
            text += format("\n  * Layer '{}': {}", status.layer_name, status.message);
    }
    return text;
}

void add_unique_status(MappingStatusGroup& group, MappingStatus const& status) {
    auto const& held = group.statuses;
    if (std::find(held.begin(), held.end(), status) != held.end()) return;
    group.statuses.push_back(status);
    group.failed = true;
}

}  // namespace nuvra
