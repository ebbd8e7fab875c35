// The one place that chooses an IP generation: from a device's product id it fills the hardware
// limits and builds the generation's checker, memory sizer and recorders.
#pragma once

#include <memory>
#include <span>

#include "hw/device.h"
#include "hw/mesh.h"
#include "program/backend.h"

namespace nuvra {

// The generation of a chip: product id 0x00 or 0xA1 is v1, 0xA2 v2, 0xB1 wisp. Any other id
// throws std::runtime_error "Unsupported IP version in IpVersionSpecificHardwareBackend.".
IpVersion select_generation(HwVersion const& version);

// The limits of a generation on a mesh: v1 and v2 from the mesh's input and weight SRAM bytes,
// wisp from its four SRAM word counts, every other field 0. Sizes are computed in 64 bits and
// clamped to 32. `none` throws like select_generation.
HardwareConstraints make_hardware_constraints(IpVersion ip, Mesh const& mesh);

// How to build the four implementations of one generation.
struct GenerationFactory {
    using CheckerMaker = std::unique_ptr<CompatibilityChecker> (*)(Device const&,
                                                                   HardwareConstraints const&);
    using MemorySizerMaker = std::unique_ptr<MemorySizer> (*)();
    using IoRecorderMaker = std::unique_ptr<IoRecorder> (*)(Device const&);
    using LayerRecorderMaker = std::unique_ptr<LayerRecorder> (*)(Device const&,
                                                                  HardwareConstraints const&);

    IpVersion ip = IpVersion::none;
    CheckerMaker make_checker = nullptr;
    MemorySizerMaker make_memory_sizer = nullptr;
    IoRecorderMaker make_io_recorder = nullptr;
    LayerRecorderMaker make_layer_recorder = nullptr;
};

// The factory of a generation whose implementations are the four given classes.
template <class Checker, class Sizer, class Io, class Recorder>
constexpr GenerationFactory generation_factory(IpVersion ip) {
    return {
        ip,
        [](Device const& device, HardwareConstraints const& constraints)
            -> std::unique_ptr<CompatibilityChecker> {
            return std::make_unique<Checker>(device, constraints);
        },
        []() -> std::unique_ptr<MemorySizer> { return std::make_unique<Sizer>(); },
        [](Device const& device) -> std::unique_ptr<IoRecorder> {
            return std::make_unique<Io>(device);
        },
        [](Device const& device, HardwareConstraints const& constraints)
            -> std::unique_ptr<LayerRecorder> {
            return std::make_unique<Recorder>(device, constraints);
        },
    };
}

// The generations whose back ends are part of this build.
std::span<GenerationFactory const> built_generations();

// The back end of one mapping call. The checker and the recorders refer to the device and to
// this object's constraints, so it is neither copied nor moved, and the device must outlive it.
class IpVersionSpecificHardwareBackend {
public:
    // Throws std::runtime_error for an unsupported product id, or when the generation's back end
    // is not part of this build ("The v2 back end is not available in this build.").
    explicit IpVersionSpecificHardwareBackend(Device const& device);
    // The same, choosing among `generations` instead of the build's own.
    IpVersionSpecificHardwareBackend(Device const& device,
                                     std::span<GenerationFactory const> generations);

    IpVersionSpecificHardwareBackend(IpVersionSpecificHardwareBackend const&) = delete;
    IpVersionSpecificHardwareBackend& operator=(IpVersionSpecificHardwareBackend const&) = delete;

    IpVersion ip_version() const { return ip_; }
    HardwareConstraints const& constraints() const { return constraints_; }
    CompatibilityChecker const& checker() const { return *checker_; }
    MemorySizer const& memory_sizer() const { return *memory_sizer_; }
    IoRecorder const& io_recorder() const { return *io_recorder_; }
    LayerRecorder const& layer_recorder() const { return *layer_recorder_; }

private:
    IpVersion ip_ = IpVersion::none;
    HardwareConstraints constraints_;
    // Released in reverse order: layer recorder, io recorder, memory sizer, checker.
    std::unique_ptr<CompatibilityChecker> checker_;
    std::unique_ptr<MemorySizer> memory_sizer_;
    std::unique_ptr<IoRecorder> io_recorder_;
    std::unique_ptr<LayerRecorder> layer_recorder_;
};

}  // namespace nuvra
