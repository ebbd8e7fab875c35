#include "mapping/map_constraints.h"

#include <algorithm>
#include <stdexcept>

#include "hw/format.h"
#include "hw/presets.h"

namespace nuvra {

namespace {

struct CnpLimits {
    uint32_t width;
    uint32_t height;
    uint32_t filters;
};

// Largest CNP part each generation supports; the Vexa_v2 board takes fewer filters per CNP.
CnpLimits default_cnp_limits(IpVersion ip, HwVersion const& version) {
    switch (ip) {
    case IpVersion::v1: return {32, 256, version == hw::Vexa_v2 ? 504u : 512u};
    case IpVersion::v2: return {64, 256, 512};
    case IpVersion::wisp: return {0, 0, 0};
    default: throw std::invalid_argument("Unsupported IP version in MapConstraints constructor.");
    }
}

void set_limit(uint32_t& limit, uint32_t default_value, uint32_t value,
               fmt::format_string<uint32_t, uint32_t> message) {
    if (value > default_value) throw std::invalid_argument(fmt::format(message, uint32_t{default_value}, uint32_t{value}));
    limit = value;
}

}  // namespace

MapConstraints::MapConstraints(std::shared_ptr<Device> const& device) : device_(device) {
    if (!device_) throw std::invalid_argument("Invalid device passed to MapConstraints.");
    HwVersion const version = device_->version();
    ip_ = ip_version_of_product(version.product_id);
    CnpLimits const limits = default_cnp_limits(ip_, version);
    cnp_max_width_default_ = cnp_max_width_ = limits.width;
    cnp_max_height_default_ = cnp_max_height_ = limits.height;
    cnp_max_filters_default_ = cnp_max_filters_ = limits.filters;
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
    if (value && ip_ != IpVersion::v2)
        throw std::invalid_argument("HWPR NP loopitself feature is only supported for IP v2.");
    hwpr_loopitself_ = value;
}

}  // namespace nuvra
