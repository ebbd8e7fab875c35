// What the caller of a mapping may choose: the target device, the largest part of a
// convolution one CNP computes, the HWPR loop-itself flag, and two hooks the mesh mapper
// calls while it hands out NPs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hw/device.h"
#include "hw/ident.h"
#include "hw/types.h"

namespace nuvra {

// What MapConstraints takes from the generation of a device: the largest CNP part it supports
// and whether it can keep an NP across layers in partial reconfiguration (HWPR loop itself).
struct GenerationDefaults {
    IpVersion ip = IpVersion::none;
    uint32_t cnp_max_width = 0;
    uint32_t cnp_max_height = 0;
    uint32_t cnp_max_filters = 0;
    bool hwpr_loopitself = false;
};

// The defaults of the generation of a hardware version; empty for a product id of no known
// generation. The generation table (above the mapping engine) registers its source once at
// start-up, in register_mapping_backend().
using GenerationDefaultsSource = std::optional<GenerationDefaults> (*)(HwVersion const& version);
void register_generation_defaults(GenerationDefaultsSource source);

class MapConstraints {
public:
    // Limits start at the defaults of the device's generation. Throws std::invalid_argument
    // for a null device or a product id of no known generation, std::logic_error when no
    // generation table is registered.
    explicit MapConstraints(std::shared_ptr<Device> const& device);
    virtual ~MapConstraints() = default;

    // Told the name of each layer before its NPs are requested. Does nothing by default.
    virtual void next_layer_handler(std::string const& layer_name) const;
    // Picks the NPs to allocate among the free ones of one type (least versatile first). By
    // default the first min(count, source size) of `source`, in order.
    virtual std::vector<hw::Ident> select_nps(std::vector<hw::Ident> const& source, size_t count,
                                              hw::Type type) const;

    std::shared_ptr<Device> device() const { return device_; }
    // The device's generation.
    IpVersion ip_version() const { return ip_; }

    // Current limits on one CNP part: width, height and filters.
    uint32_t cnp_max_width() const { return cnp_max_width_; }
    uint32_t cnp_max_height() const { return cnp_max_height_; }
    uint32_t cnp_max_filters() const { return cnp_max_filters_; }
    // The generation's limits; the current ones can only go below them.
    uint32_t cnp_max_width_default() const { return cnp_max_width_default_; }
    uint32_t cnp_max_height_default() const { return cnp_max_height_default_; }
    uint32_t cnp_max_filters_default() const { return cnp_max_filters_default_; }

    // Each throws std::invalid_argument when the value is above its default.
    void set_cnp_max_width(uint32_t value);
    void set_cnp_max_height(uint32_t value);
    void set_cnp_max_filters(uint32_t value);

    // Whether an NP may take the next layer as well in hardware partial reconfiguration.
    bool hwpr_loopitself() const { return hwpr_loopitself_; }
    // Throws std::invalid_argument for true on a generation without the feature (all but v2).
    void set_hwpr_loopitself(bool value);

private:
    std::shared_ptr<Device> device_;
    uint32_t cnp_max_width_default_ = 0;
    uint32_t cnp_max_height_default_ = 0;
    uint32_t cnp_max_filters_default_ = 0;
    uint32_t cnp_max_width_ = 0;
    uint32_t cnp_max_height_ = 0;
    uint32_t cnp_max_filters_ = 0;
    bool hwpr_loopitself_ = false;
    IpVersion ip_ = IpVersion::none;
    bool hwpr_loopitself_supported_ = false;
};

}  // namespace nuvra
