// What the mapping engine asks of the generation a device belongs to. The generations and the
// choice among them live above the mapping engine (backends/): they hand it, per mapping call, a
// GenerationBackend, and register the defaults MapConstraints starts from.
#pragma once

#include <functional>
#include <memory>

#include "hw/device.h"
#include "hw/types.h"
#include "mapping/hardware_sequence.h"
#include "program/backend.h"

namespace nuvra {

// The back end of one mapping call: the four implementations of the device's generation and the
// limits they share. The implementations refer to the device and to these limits, so the object
// lives as long as the call and is neither copied nor moved.
class GenerationBackend {
public:
    virtual ~GenerationBackend() = default;

    virtual IpVersion ip_version() const = 0;
    virtual HardwareConstraints const& constraints() const = 0;
    virtual CompatibilityChecker const& checker() const = 0;
    virtual MemorySizer const& memory_sizer() const = 0;
    virtual IoRecorder const& io_recorder() const = 0;
    virtual LayerRecorder const& layer_recorder() const = 0;
    // Whether the device can cut the layers into several passes (partial reconfiguration).
    virtual bool multi_pass_capable() const = 0;
    // How the sequences this back end builds read learned variables back after the call.
    virtual LearningReader learning_reader() const = 0;

protected:
    GenerationBackend() = default;
    GenerationBackend(GenerationBackend const&) = delete;
    GenerationBackend& operator=(GenerationBackend const&) = delete;
};

// Builds the back end of one mapping call for a device; throws std::runtime_error for a device
// without one.
using GenerationSelector = std::function<std::unique_ptr<GenerationBackend>(Device const& device)>;

}  // namespace nuvra
