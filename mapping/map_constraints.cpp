#include "mapping/map_constraints.h"

#include <algorithm>
#include <stdexcept>

#include "hw/format.h"

namespace nuvra {

namespace {

// Process-wide state, listed in hw/process_state.h.
GenerationDefaultsSource& registered_source() {
    static GenerationDefaultsSource source = nullptr;
    return source;
}

void set_limit(uint32_t& limit, uint32_t default_value, uint32_t value,
               fmt::format_string<uint32_t, uint32_t> message) {
    if (value > default_value) throw std::invalid_argument(fmt::format(message, uint32_t{default_value}, uint32_t{value}));
    limit = value;
}

}  // namespace

void register_generation_defaults(GenerationDefaultsSource source) { registered_source() = source; }

MapConstraints::MapConstraints(std::shared_ptr<Device> const& device) : device_(device) {
    if (!device_) throw std::invalid_argument("Invalid device passed to MapConstraints.");
    GenerationDefaultsSource const source = registered_source();
    if (source == nullptr)
        throw std::logic_error("No generation table is registered: call register_mapping_backend() first.");
    std::optional<GenerationDefaults> const defaults = source(device_->version());
    if (!defaults) throw std::invalid_argument("Unsupported IP version in MapConstraints constructor.");
    ip_ = defaults->ip;
    hwpr_loopitself_supported_ = defaults->hwpr_loopitself;
    cnp_max_width_default_ = cnp_max_width_ = defaults->cnp_max_width;
    cnp_max_height_default_ = cnp_max_height_ = defaults->cnp_max_height;
    cnp_max_filters_default_ = cnp_max_filters_ = defaults->cnp_max_filters;
}

void MapConstraints::next_layer_handler(std::string const&) const {}

std::vector<hw::Ident> MapConstraints::select_nps(std::vector<hw::Ident> const& source,
                                                  size_t count, hw::Type) const {
    auto const n = static_cast<std::ptrdiff_t>(std::min(count, source.size()));
    return {source.begin(), source.begin() + n};
}

void MapConstraints::set_cnp_max_width(uint32_t value) {
    set_limit(cnp_max_width_, cnp_max_width_default_, value,
              "CNP max width should be <= {}. Receives {}.");
}

void MapConstraints::set_cnp_max_height(uint32_t value) {
    set_limit(cnp_max_height_, cnp_max_height_default_, value,
              "CNP max height should be <= {}. Receives {}.");
}

void MapConstraints::set_cnp_max_filters(uint32_t value) {
    set_limit(cnp_max_filters_, cnp_max_filters_default_, value,
              "CNP max filters should be <= {}. Receives {}.");
}

void MapConstraints::set_hwpr_loopitself(bool value) {
    if (value && !hwpr_loopitself_supported_)
        throw std::invalid_argument("HWPR NP loopitself feature is only supported for IP v2.");
    hwpr_loopitself_ = value;
}

}  // namespace nuvra
