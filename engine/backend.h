// Where a model's layers are mapped: the back-end interface the engine calls, and the hook
// through which the hardware back end (which lives outside the engine) makes itself known.
#pragma once

#include <memory>
#include <vector>

#include "engine/layer.h"
#include "hw/mapping_status.h"
#include "hw/types.h"

namespace nuvra {

class Device;
class MapConstraints;
class Sequence;

class Backend {
public:
    virtual ~Backend() = default;

    // Maps `layers` (in model order; the back end may empty the list) and appends the sequences
    // it builds to `sequences`. Whether each layer could be mapped comes back as the group.
    virtual MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>* layers,
                                   std::vector<std::shared_ptr<Sequence>>* sequences,
                                   std::shared_ptr<MapConstraints> constraints) = 0;
    virtual BackendType type() const = 0;

protected:
    Backend() = default;
    Backend(Backend const&) = default;
    Backend& operator=(Backend const&) = default;
};

// What the hardware back end registers: how to make one back end per mapping call, and the
// default constraints of a device (used when the caller gives none).
struct HardwareBackendHooks {
    std::unique_ptr<Backend> (*make_backend)() = nullptr;
    std::shared_ptr<MapConstraints> (*make_default_constraints)(std::shared_ptr<Device> const& device) = nullptr;
};

// Replaces the registered hooks; registering the same hooks again changes nothing.
void register_hardware_backend(HardwareBackendHooks hooks);
// The registered hooks; both null until the hardware back end registers.
HardwareBackendHooks hardware_backend_hooks();

}  // namespace nuvra
