#include "engine/variables.h"

#include <algorithm>
#include <stdexcept>

#include "hw/format.h"

namespace nuvra {

namespace {

[[noreturn]] void not_found(std::string const& name) {
    throw std::invalid_argument(format("Variable {} not found", name));
}

}  // namespace

std::shared_ptr<Dense> in_written_shape(Variables const& variables, std::string const& name,
                                        std::shared_ptr<Dense> value) {
    if (!value || !variables.has(name)) return value;
    Shape const written = variables.get(name)->dimensions();
    if (written == value->dimensions() || written.product() != value->dimensions().product()) return value;
    return value->reshaped(written);
}

std::vector<std::string> VariablesImpl::names() const {
    std::vector<std::string> names;
    names.reserve(entries_.size());
    for (auto const& entry : entries_) names.push_back(entry.name);
    return names;
}

VariablesImpl::Entry const& VariablesImpl::entry(std::string const& name) const {
    for (auto const& entry : entries_)
        if (entry.name == name) return entry;
    not_found(name);
}

std::shared_ptr<Tensor> VariablesImpl::get(std::string const& name) const { return entry(name).value; }

std::shared_ptr<Tensor> VariablesImpl::fitted(std::string const& name) const { return entry(name).fitted; }

bool VariablesImpl::has(std::string const& name) const {
    return std::any_of(entries_.begin(), entries_.end(), [&](Entry const& entry) { return entry.name == name; });
}

std::shared_ptr<Dense> VariablesImpl::fit(std::string const& name, std::shared_ptr<Dense> const& value) const {
    return fit_ ? fit_(name, value) : value;
}

void set_learned(Variables& variables, std::string const& name, std::shared_ptr<Dense> tensor) {
    if (auto* store = dynamic_cast<VariablesImpl*>(&variables)) return store->set_learned(name, std::move(tensor));
    variables.set(name, std::move(tensor));
}

void VariablesImpl::set(std::string const& name, std::shared_ptr<Dense> tensor) {
    if (writable_) writable_();
    store(name, std::move(tensor));
    if (written_) written_();
}

void VariablesImpl::set_learned(std::string const& name, std::shared_ptr<Dense> tensor) {
    store(name, std::move(tensor));
}

void VariablesImpl::store(std::string const& name, std::shared_ptr<Dense> tensor) {
    if (!tensor) throw std::invalid_argument(format("Cannot set variable {} to a missing tensor.", name));
    std::shared_ptr<Dense> fitted = fit(name, tensor);
    for (auto& entry : entries_) {
        if (entry.name == name) {
            entry.value = std::move(tensor);
            entry.fitted = std::move(fitted);
            return;
        }
    }
    entries_.push_back({name, std::move(tensor), std::move(fitted)});
}

std::optional<VariablesImpl::Declared> VariablesImpl::declared(std::string const& name) const {
    return declare_ ? declare_(name) : std::nullopt;
}

TensorType VariablesImpl::written_type(std::string const& name) const {
    if (has(name)) return get(name)->type();
    if (std::optional<Declared> const declaration = declared(name)) return declaration->type;
    not_found(name);
}

void VariablesImpl::assign(std::string const& name, std::shared_ptr<Dense> tensor) {
    if (writable_) writable_();
    if (!has(name)) {
        std::optional<Declared> const declaration = declared(name);
        if (!declaration) not_found(name);
        if (tensor) declaration->check(*tensor);
    }
    set(name, std::move(tensor));
}

void VariablesImpl::refit() {
    for (auto& entry : entries_) entry.fitted = fit(entry.name, entry.value);
}

}  // namespace nuvra
