#include "engine/variables.h"

#include <algorithm>
#include <stdexcept>

#include "hw/format.h"

namespace nuvra {

std::vector<std::string> VariablesImpl::names() const {
    std::vector<std::string> names;
    names.reserve(entries_.size());
    for (auto const& entry : entries_) names.push_back(entry.first);
    return names;
}

std::shared_ptr<Tensor> VariablesImpl::get(std::string const& name) const {
    for (auto const& entry : entries_)
        if (entry.first == name) return entry.second;
    throw std::invalid_argument(format("Variable {} not found", name));
}

bool VariablesImpl::has(std::string const& name) const {
    return std::any_of(entries_.begin(), entries_.end(), [&](auto const& entry) { return entry.first == name; });
}

void VariablesImpl::set(std::string const& name, std::shared_ptr<Dense> tensor) {
    if (!tensor) throw std::invalid_argument(format("Cannot set variable {} to a missing tensor.", name));
    if (fit_) tensor = fit_(name, std::move(tensor));
    for (auto& entry : entries_) {
        if (entry.first == name) {
            entry.second = std::move(tensor);
            return;
        }
    }
    entries_.emplace_back(name, std::move(tensor));
}

void VariablesImpl::refit() {
    if (!fit_) return;
    for (auto& [name, tensor] : entries_) tensor = fit_(name, tensor);
}

}  // namespace nuvra
