// The entry by which the engine maps a model's layers onto a device: the generation's back end
// judges each layer, the mesh mapper places it (opening a new pass when the NPs run out), rules
// over runs of layers are checked, and the sequence builder turns the passes into one hardware
// sequence with its program.
#pragma once

#include <memory>
#include <vector>

#include "engine/backend.h"
#include "engine/layer.h"
#include "engine/sequence.h"
#include "hw/ident.h"
#include "hw/mapping_status.h"
#include "mapping/generation_backend.h"
#include "mapping/map_constraints.h"

namespace nuvra {

// The passes of one mapping, in order: each layer with the components it was given (none for a
// layer without an NP of its own).
struct MappableLayers {
    struct MappableLayer {
        std::shared_ptr<Layer> layer;
        std::vector<hw::Component> components;
    };

    std::vector<std::vector<MappableLayer>> passes;

    // Per pass, its layers in order.
    std::vector<std::vector<std::shared_ptr<Layer>>> build_mappable_layers() const;
    // Per pass, per layer, its components; parallel to build_mappable_layers.
    std::vector<std::vector<std::vector<hw::Component>>> build_mappable_components() const;
};

class HardwareBackend : public Backend {
public:
    // Each mapping call takes its generation's back end from `select` (backends/ gives the one
    // of the build's generation table).
    explicit HardwareBackend(GenerationSelector select);

    // Null constraints are std::runtime_error "Map constraints must be specified."; an
    // unsupported device throws as `select` does. Every other failure is a status of the group;
    // the layers before the first failing one are still mapped.
    MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>* layers,
                           std::vector<std::shared_ptr<Sequence>>* sequences,
                           std::shared_ptr<MapConstraints> constraints) override;
    BackendType type() const override { return BackendType::Hardware; }

private:
    GenerationSelector select_;
};

// The body of HardwareBackend::map: places the layers (the first that cannot be mapped stops the
// walk), applies the sequence rules, and builds one sequence of the passes. A layer with a
// variable that does not fit it (engine/layers.h) is refused before its checks read anything:
// "Variable '<name>' has shape (<dims>), but the layer needs shape (<dims>)." (", or any shape of
// <n> values" before the period where only the element count matters). A layer that breaks a
// shared sequence rule (check_shared_sequence_rules over all the layers) refuses the whole
// mapping: no sequence, its status, then the walk's own failure if any.
MappingStatusGroup build_hardware_sequences(GenerationBackend& backend,
                                            std::shared_ptr<MapConstraints> const& constraints,
                                            std::vector<std::shared_ptr<Layer>>* layers,
                                            std::vector<std::shared_ptr<Sequence>>* sequences,
                                            bool multi_pass_capable);
// The same, its statuses written into `result` (which is replaced).
void build_hardware_sequences(MappingStatusGroup& result, GenerationBackend& backend,
                              std::shared_ptr<MapConstraints> const& constraints,
                              std::vector<std::shared_ptr<Layer>>* layers,
                              std::vector<std::shared_ptr<Sequence>>* sequences, bool multi_pass_capable);

// The NPs a layer must not take: every FNP2 given so far for an FNP layer and, when the layer
// follows another one in the pass (`use_previous`) and NPs do not loop on themselves, the NPs
// (not skip-DMA channels) of the last layer of `last_pass` that has components.
std::vector<hw::Ident> collect_layer_np_idents(std::vector<hw::Ident> const& fnp2_idents,
                                               std::shared_ptr<Layer> const& layer,
                                               std::vector<std::vector<hw::Component>> const& last_pass,
                                               bool use_previous, bool loop_itself);

// Checks the rules over the runs of `layers` from the start up to each layer before `end`: only
// the failures after the last run that passed are kept, in `result` and, as layers, in `failing`.
void check_layer_sequences(MappingStatusGroup* result, std::vector<std::shared_ptr<Layer>>::const_iterator end,
                           GenerationBackend const& backend, HwVersion version,
                           std::vector<std::shared_ptr<Layer>> const& layers,
                           std::vector<std::shared_ptr<Layer>>* failing);
// The same for the hardware version of the device the back end's checker was made for.
void check_layer_sequences(MappingStatusGroup* result, std::vector<std::shared_ptr<Layer>>::const_iterator end,
                           GenerationBackend const& backend, std::vector<std::shared_ptr<Layer>> const& layers,
                           std::vector<std::shared_ptr<Layer>>* failing);

// Removes from the pass every entry whose layer is listed; the others keep their order.
void remove_listed_mappable_layers(std::vector<MappableLayers::MappableLayer>* pass,
                                   std::vector<std::shared_ptr<Layer>> const& listed);
void remove_listed_mappable_layers(std::vector<MappableLayers::MappableLayer>& pass,
                                   std::vector<std::shared_ptr<Layer>> const& listed);

}  // namespace nuvra
