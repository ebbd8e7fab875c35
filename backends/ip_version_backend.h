// The one place that chooses a generation's back end. A device's product id gives its IP
// generation (hw::products); each generation is one row of the generation table
// (ip_version_backend.cpp): its limits and defaults, and the makers of its checker, memory sizer
// and recorders. A generation whose back end is not part of the build has a row without makers.
// Adding a generation's back end is one row here and one directory (backends/<gen>/).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "hw/device.h"
#include "hw/mesh.h"
#include "mapping/generation_backend.h"
#include "mapping/hardware_backend.h"
#include "mapping/map_constraints.h"
#include "program/backend.h"

namespace nuvra {

// How to build the four implementations of one generation; all four or none.
struct GenerationMakers {
    using CheckerMaker = std::unique_ptr<CompatibilityChecker> (*)(Device const&, HardwareConstraints const&);
    using MemorySizerMaker = std::unique_ptr<MemorySizer> (*)();
    using IoRecorderMaker = std::unique_ptr<IoRecorder> (*)(Device const&);
    using LayerRecorderMaker = std::unique_ptr<LayerRecorder> (*)(Device const&, HardwareConstraints const&);

    CheckerMaker make_checker = nullptr;
    MemorySizerMaker make_memory_sizer = nullptr;
    IoRecorderMaker make_io_recorder = nullptr;
    LayerRecorderMaker make_layer_recorder = nullptr;

    bool complete() const { return make_checker && make_memory_sizer && make_io_recorder && make_layer_recorder; }
};

// The makers of a generation whose implementations are the four given classes.
template <class Checker, class Sizer, class Io, class Recorder>
constexpr GenerationMakers makers_of() {
    return {
        [](Device const& device, HardwareConstraints const& constraints) -> std::unique_ptr<CompatibilityChecker> {
            return std::make_unique<Checker>(device, constraints);
        },
        []() -> std::unique_ptr<MemorySizer> { return std::make_unique<Sizer>(); },
        [](Device const& device) -> std::unique_ptr<IoRecorder> { return std::make_unique<Io>(device); },
        [](Device const& device, HardwareConstraints const& constraints) -> std::unique_ptr<LayerRecorder> {
            return std::make_unique<Recorder>(device, constraints);
        },
    };
}

// One row of the generation table.
struct Generation {
    IpVersion ip = IpVersion::none;  // named by ip_version_name; its products are in hw::products
    // MapConstraints' defaults for a version of this generation (product, major and minor
    // revision may matter).
    GenerationDefaults (*map_defaults)(HwVersion const& version) = nullptr;
    // The limits of the generation on a mesh.
    HardwareConstraints (*hardware_constraints)(Mesh const& mesh) = nullptr;
    // The generation whose layer recorder reads learned variables back from this one's chips.
    IpVersion learning_recorder = IpVersion::none;
    GenerationMakers makers = {};  // none: the back end is not part of this build
};

// The build's generation table, one row per generation the system knows.
std::span<Generation const> built_generations();

// The build's row of `ip`; std::runtime_error "Unsupported IP version in
// IpVersionSpecificHardwareBackend." for none.
Generation const& generation_row(IpVersion ip);

// A copy of `row` built with the four given classes (tests and benchmarks put doubles in a table).
template <class Checker, class Sizer, class Io, class Recorder>
Generation with_makers(Generation row) {
    row.makers = makers_of<Checker, Sizer, Io, Recorder>();
    return row;
}

// The limits of a generation on a mesh: v1 and v2 from the mesh's input and weight SRAM bytes,
// wisp from its four SRAM word counts, every other field 0. Sizes are computed in 64 bits and
// clamped to 32. `none` throws like generation_row.
HardwareConstraints make_hardware_constraints(IpVersion ip, Mesh const& mesh);

// How sequences mapped for `version` read learned variables back: through the layer recorder of
// the row's `learning_recorder` generation in `generations`. When there is none the reader throws
// std::runtime_error: "Unsupported IP version in sync_learning_vars." for an unknown product id,
// "The <name> back end is not available in this build." for a generation without makers.
LearningReader learning_reader(HwVersion const& version,
                               std::span<Generation const> generations = built_generations());

// The back end of one mapping call. The checker and the recorders refer to the device and to
// this object's constraints, so it is neither copied nor moved, and the device must outlive it.
class IpVersionSpecificHardwareBackend final : public GenerationBackend {
public:
    // Throws std::runtime_error for an unsupported product id, or when the generation's back end
    // is not part of this build ("The v2 back end is not available in this build.").
    explicit IpVersionSpecificHardwareBackend(Device const& device);
    // The same, choosing among the rows of `generations` (which must outlive the back end); a
    // known product whose generation has no row there reads as a back end not in the build.
    IpVersionSpecificHardwareBackend(Device const& device, std::span<Generation const> generations);

    IpVersion ip_version() const override { return ip_; }
    HardwareConstraints const& constraints() const override { return constraints_; }
    CompatibilityChecker const& checker() const override { return *checker_; }
    MemorySizer const& memory_sizer() const override { return *memory_sizer_; }
    IoRecorder const& io_recorder() const override { return *io_recorder_; }
    LayerRecorder const& layer_recorder() const override { return *layer_recorder_; }
    bool multi_pass_capable() const override { return multi_pass_; }
    LearningReader learning_reader() const override { return learning_; }

private:
    IpVersion ip_ = IpVersion::none;
    bool multi_pass_ = false;
    LearningReader learning_;
    HardwareConstraints constraints_;
    // Released in reverse order: layer recorder, io recorder, memory sizer, checker.
    std::unique_ptr<CompatibilityChecker> checker_;
    std::unique_ptr<MemorySizer> memory_sizer_;
    std::unique_ptr<IoRecorder> io_recorder_;
    std::unique_ptr<LayerRecorder> layer_recorder_;
};

// The body of the engine's map call (mapping/hardware_backend.h) over a back end chosen here, its
// statuses written into `result` (which is replaced).
inline void build_hardware_sequences(MappingStatusGroup& result, IpVersionSpecificHardwareBackend& backend,
                                     std::shared_ptr<MapConstraints> const& constraints,
                                     std::vector<std::shared_ptr<Layer>>* layers,
                                     std::vector<std::shared_ptr<Sequence>>* sequences, bool multi_pass_capable) {
    build_hardware_sequences(result, static_cast<GenerationBackend&>(backend), constraints, layers, sequences,
                             multi_pass_capable);
}

// Chooses the back end of each mapping call among `generations` (which must outlive it).
GenerationSelector generation_selector(std::span<Generation const> generations = built_generations());

// Makes the engine's Model::map use HardwareBackend over the build's generation table, and
// MapConstraints take its defaults from that table. The Python module, the C++ programs and the
// test program call it once at start-up, before any MapConstraints is made.
void register_mapping_backend();

}  // namespace nuvra
