#include "mapping/hardware_backend.h"

#include <algorithm>
#include <cstddef>
#include <exception>
#include <stdexcept>
#include <utility>

#include "engine/layers.h"
#include "hw/device.h"
#include "hw/format.h"
#include "hw/mapping_status.h"
#include "hw/mesh.h"
#include "mapping/graph_utils.h"
#include "mapping/layer_mapping.h"
#include "mapping/mesh_mapper.h"
#include "mapping/rule_table.h"
#include "mapping/sequence_builder.h"

namespace nuvra {

namespace {

// Passes are numbered in 8 bits on the device: at most 254 of them.
constexpr size_t max_passes = 254;

constexpr char no_hrc_message[] =
    "Layer should be mapped on HRC but the device does not have this hardware component.";

// A failure thrown while the mapping handled `layer`, as a status: the status it carries, or the
// exception's text for `layer`.
MappingStatus thrown_status(Layer const& layer, std::exception const& error) {
    if (auto const* mapping_error = dynamic_cast<MappingStatusError const*>(&error)) return mapping_error->status();
    return MappingStatus(layer, error.what());
}

bool is_skip_dma(hw::Type type) {
    return type == hw::Type::SKIP_DMA_STORE || type == hw::Type::SKIP_DMA_LOAD;
}

// Fills the memory use of every component of the sequence's layers.
void record_memory_use(HardwareSequence const& sequence, MemorySizer const& sizer) {
    auto const& passes = sequence.passes();
    if (passes.empty() || passes.front()->layers.empty()) return;
    std::shared_ptr<Layer> const first = passes.front()->layers.front();
    // The depths of the model's layers, worked out once for every question of the sequence.
    LayerGraph graph;
    auto const layer_depth = [&graph](std::shared_ptr<Layer> const& layer) { return graph.get_layer_depth(layer); };
    ExternalMemoryArgs const plain{.several_passes = passes.size() > 1, .layer_depth = layer_depth};
    ExternalMemoryArgs const dual_output{
        .dual_output_store = true, .several_passes = passes.size() > 1, .layer_depth = layer_depth};
    for (auto const& pass : passes) {
        for (std::shared_ptr<Layer> const& layer : pass->layers) {
            std::shared_ptr<LayerMapping> const mapping = layer_mapping(layer);
            if (!mapping) continue;
            if (mapping->components)
                for (hw::Component& component : *mapping->components)
                    component.mem_info = sizer.get_memory_info(layer, component, first, plain);
            if (hw::Component* store = mapping->skipdma_store_dual_output())
                store->mem_info = sizer.get_memory_info(layer, *store, first, dual_output);
            if (hw::Component* store = mapping->skipdma_store())
                store->mem_info = sizer.get_memory_info(layer, *store, first, plain);
        }
    }
}

}  // namespace

std::vector<std::vector<std::shared_ptr<Layer>>> MappableLayers::build_mappable_layers() const {
    std::vector<std::vector<std::shared_ptr<Layer>>> result;
    for (auto const& pass : passes) {
        auto& layers = result.emplace_back();
        for (auto const& entry : pass) layers.push_back(entry.layer);
    }
    return result;
}

std::vector<std::vector<std::vector<hw::Component>>> MappableLayers::build_mappable_components() const {
    std::vector<std::vector<std::vector<hw::Component>>> result;
    for (auto const& pass : passes) {
        auto& lists = result.emplace_back();
        for (auto const& entry : pass) lists.push_back(entry.components);
    }
    return result;
}

std::vector<hw::Ident> collect_layer_np_idents(std::vector<hw::Ident> const& fnp2_idents,
                                               std::shared_ptr<Layer> const& layer,
                                               std::vector<std::vector<hw::Component>> const& last_pass,
                                               bool use_previous, bool loop_itself) {
    std::vector<hw::Ident> result;
    if (layer->is_target_component(ComponentKind::FNP))
        result.insert(result.end(), fnp2_idents.begin(), fnp2_idents.end());
    if (!use_previous || loop_itself) return result;
    auto const previous = std::find_if(last_pass.rbegin(), last_pass.rend(),
                                       [](std::vector<hw::Component> const& list) { return !list.empty(); });
    if (previous == last_pass.rend()) return result;
    for (hw::Component const& component : *previous)
        if (!is_skip_dma(component.type)) result.push_back(component.ident);
    return result;
}

void check_layer_sequences(MappingStatusGroup* result, std::vector<std::shared_ptr<Layer>>::const_iterator end,
                           GenerationBackend const& backend, HwVersion version,
                           std::vector<std::shared_ptr<Layer>> const& layers,
                           std::vector<std::shared_ptr<Layer>>* failing) {
    failing->clear();
    auto const begin = layers.cbegin();
    CompatibilityChecker const& checker = backend.checker();
    // Only the failures after the last run that passes count: when the longest run passes there
    // are none; otherwise the runs are walked back from the longest to the last one that passes.
    std::vector<MappingStatus> statuses;
    for (auto it = end; it != begin; --it) {
        MappingStatus status = checker.check_layer_sequence(begin, it, version);
        if (!status.failed) break;
        statuses.push_back(std::move(status));
        failing->push_back(*(it - 1));
    }
    std::reverse(failing->begin(), failing->end());
    MappingStatusGroup group;
    for (auto status = statuses.rbegin(); status != statuses.rend(); ++status) add_unique_status(group, *status);
    *result += group;
}

void check_layer_sequences(MappingStatusGroup* result, std::vector<std::shared_ptr<Layer>>::const_iterator end,
                           GenerationBackend const& backend, std::vector<std::shared_ptr<Layer>> const& layers,
                           std::vector<std::shared_ptr<Layer>>* failing) {
    check_layer_sequences(result, end, backend, backend.checker().device().version(), layers, failing);
}

void remove_listed_mappable_layers(std::vector<MappableLayers::MappableLayer>* pass,
                                   std::vector<std::shared_ptr<Layer>> const& listed) {
    std::erase_if(*pass, [&listed](MappableLayers::MappableLayer const& entry) {
        return std::find(listed.begin(), listed.end(), entry.layer) != listed.end();
    });
}

void remove_listed_mappable_layers(std::vector<MappableLayers::MappableLayer>& pass,
                                   std::vector<std::shared_ptr<Layer>> const& listed) {
    remove_listed_mappable_layers(&pass, listed);
}

namespace {

// Where the walk over the layers of one mapping ended, and the passes it formed.
struct PlacedLayers {
    MappableLayers mappable;
    LayerList::const_iterator stop;  // the first layer that could not be mapped, or the end
    MappingStatus stop_status;       // its failure
    MappingStatus fatal;             // a failure that ends the mapping without any sequence
};

// The walk's state while it places the layers in order.
struct LayerWalk {
    GenerationBackend const& backend;
    MapConstraints const& constraints;
    bool multi_pass_capable;
    MeshMapper mapper;
    std::vector<hw::Ident> fnp2_idents;  // every FNP2 given so far in this mapping
    unsigned pass_index = 0;             // the last layer index taken in the current pass
};

// The one component of a layer computed by the HRC; fails when the mesh has none.
MappingStatus hrc_components(Layer const& layer, Mesh const& mesh, std::vector<hw::Component>* components) {
    if (!mesh.hrc) return MappingStatus(layer, no_hrc_message);
    hw::Component hrc;
    hrc.type = hw::Type::HRC;
    hrc.ident = mesh.hrc->ident;
    components->push_back(hrc);
    return MappingStatus::success();
}

// The NPs of an NP layer from the mesh mapper, then the generation's check of them. The NPs of
// the layer before it in the pass (and every FNP2 so far, for an FNP layer) are kept out.
MappingStatus np_components(LayerWalk& walk, MappableLayers const& mappable, std::shared_ptr<Layer> const& layer,
                            std::vector<hw::Component>* components, bool* need_new_pass) {
    std::vector<hw::Ident> reserved;
    if (!mappable.passes.empty()) {
        // Only the last layer of the pass that has components matters.
        std::vector<std::vector<hw::Component>> last_with_components;
        auto const& pass = mappable.passes.back();
        auto const last = std::find_if(pass.rbegin(), pass.rend(), [](auto const& entry) {
            return !entry.components.empty();
        });
        if (last != pass.rend()) last_with_components.push_back(last->components);
        reserved = collect_layer_np_idents(walk.fnp2_idents, layer, last_with_components, walk.multi_pass_capable,
                                           walk.constraints.hwpr_loopitself());
    }
    bool const loop_itself = walk.multi_pass_capable && walk.constraints.hwpr_loopitself();
    bool const allow_new_pass = walk.multi_pass_capable && mappable.passes.size() <= max_passes;
    // Layer indexes are 8 bits per pass: a layer past the last one opens the next pass.
    unsigned const index = walk.pass_index + layer_index_steps(*layer);
    bool const pass_full = index > max_layer_index;
    if (pass_full && !allow_new_pass)
        return MappingStatus(*layer, format("A pass holds layer indexes up to {}: this layer would take {}.",
                                            max_layer_index, index));
    if (pass_full) walk.mapper.deallocate_nps();
    auto request = walk.mapper.np_request(layer, reserved, loop_itself, need_new_pass, allow_new_pass);
    if (pass_full) *need_new_pass = true;
    *components = std::move(request.first);
    MappingStatus status = request.second;
    if (!status.failed) status = walk.backend.checker().check_layer_mappings(*layer, *components, *need_new_pass);
    if (status.failed) return status;
    for (hw::Component const& component : *components)
        if (component.type == hw::Type::FNP2) walk.fnp2_idents.push_back(component.ident);
    return status;
}

// Appends the layer to the last pass, after opening a new one when the layer asks for it.
void append_to_passes(MappableLayers* mappable, std::shared_ptr<Layer> const& layer,
                      std::vector<hw::Component> components, bool need_new_pass) {
    if (!mappable->passes.empty() && need_new_pass) mappable->passes.emplace_back();
    if (mappable->passes.empty()) mappable->passes.emplace_back();
    mappable->passes.back().push_back({layer, std::move(components)});
}

// Checks and places the layers in order until one cannot be mapped.
PlacedLayers place_layers(GenerationBackend const& backend, MapConstraints const& constraints, LayerList const& layers,
                          bool multi_pass_capable) {
    std::shared_ptr<Device> const device = constraints.device();
    HwVersion const version = device->version();
    Mesh const& mesh = device->mesh();
    LayerWalk walk{backend, constraints, multi_pass_capable, MeshMapper(backend.checker(), constraints), {}};
    walk.mapper.reset();

    PlacedLayers placed;
    placed.stop = layers.cend();
    for (auto it = layers.cbegin(); it != layers.cend(); ++it) {
        std::shared_ptr<Layer> const& layer = *it;
        std::shared_ptr<Layer> previous;
        if (it != layers.cbegin()) {
            auto const inbounds = layer->inbound_layers();
            if (!inbounds.empty()) previous = inbounds.front();
        }
        bool need_new_pass = false;
        std::vector<hw::Component> components;
        MappingStatus status;
        // A model the checks cannot even read (a missing variable, a parameter out of range)
        // fails for the layer, like any refusal; what a caller's hook throws passes through.
        try {
            status = variables_status(*layer);
            if (!status.failed) status = backend.checker().check_layer_compatibility(*layer, previous.get(), version);
            if (!status.failed && layer->is_target_component(ComponentKind::HRC)) {
                placed.fatal = hrc_components(*layer, mesh, &components);
                if (placed.fatal.failed) return placed;
            } else if (!status.failed && !layer->is_target_component(ComponentKind::None) &&
                       !layer->is_target_component(ComponentKind::SKIP_DMA)) {
                status = np_components(walk, placed.mappable, layer, &components, &need_new_pass);
            }
        } catch (std::runtime_error const& error) {
            status = thrown_status(*layer, error);
        } catch (std::logic_error const& error) {
            status = thrown_status(*layer, error);
        }
        if (status.failed) {
            placed.stop = it;
            placed.stop_status = status;
            break;
        }
        walk.pass_index = (need_new_pass ? 0 : walk.pass_index) + layer_index_steps(*layer);
        append_to_passes(&placed.mappable, layer, std::move(components), need_new_pass);

        // A recurrent layer takes every layer after it along, without NPs of their own, each judged
        // on its own values: the chain's check has judged those on the chain's path, not one off
        // it (a second input of the post-processing layer).
        if (layer->is_target_component(ComponentKind::TNP_R)) {
            for (auto rest = it + 1; rest != layers.cend(); ++rest) {
                MappingStatus const rest_status = variables_status(**rest);
                if (rest_status.failed) {
                    placed.stop = rest;
                    placed.stop_status = rest_status;
                    break;
                }
                placed.mappable.passes.back().push_back({*rest, {}});
            }
            break;
        }
    }
    return placed;
}

// Builds the one sequence of the passes and appends it, or adds its failure to `result`. Nothing
// happens when the first pass holds no mappable layer. When later layers were `refused`, the passes
// end before the model does, and a refusal of what they would hand out is left unsaid.
void build_sequence_of(GenerationBackend const& backend, std::shared_ptr<Device> const& device,
                       MappableLayers const& mappable, std::vector<std::shared_ptr<Layer>>* layers,
                       std::vector<std::shared_ptr<Sequence>>* sequences, MappingStatusGroup* result, bool refused) {
    auto const pass_layers = mappable.build_mappable_layers();
    if (pass_layers.empty() || !first_mappable_layer(pass_layers.front())) return;

    HardwareSequenceBuilder builder(device, backend.constraints(), backend.io_recorder(), backend.layer_recorder(),
                                    backend.learning_reader());
    // A skip cut by a pass boundary is refused when the program reaches the layer that loads it,
    // after the layers before it have been recorded and refused for what they hold.
    builder.keep_cut_skips();
    auto const pass_components = mappable.build_mappable_components();
    try {
        // Skip-DMA channels count the layers of the passes before each pass.
        std::vector<std::shared_ptr<Layer>> earlier;
        for (size_t i = 0; i < pass_layers.size(); ++i) {
            builder.add_layers(pass_layers[i], earlier, pass_components[i]);
            earlier.insert(earlier.end(), builder.layers().begin() + std::ptrdiff_t(earlier.size()),
                           builder.layers().end());
        }
    } catch (MappingStatusError const& error) {
        // A pass that cannot be set up ends the mapping. The passes before it are recorded first: a
        // layer of theirs refused for what it holds is refused alone, as it would be on any device.
        // Otherwise the cut skips kept so far are refused with the pass's own refusal.
        std::vector<CutSkipRefusal> const cut_skips = builder.cut_skips();
        EarlierPassesRecord earlier;
        try {
            earlier = builder.record_passes_set_up();
        } catch (std::runtime_error const&) {
            // A failure naming no layer gives way to the refusal, as after a refused layer.
        }
        if (earlier.refusal.failed && !earlier.at_pass_boundary) {
            add_unique_status(*result, earlier.refusal);
            return;
        }
        for (CutSkipRefusal const& cut : cut_skips) add_unique_status(*result, cut.status);
        add_unique_status(*result, error.status());
        return;
    }
    SequenceBuildResult built;
    try {
        built = builder.build_sequence();
    } catch (ProgramOutputError const& error) {
        if (!refused) add_unique_status(*result, error.status());
        return;
    } catch (MappingStatusError const& error) {
        add_unique_status(*result, error.status());
        return;
    }
    auto& [status, sequence] = built;
    if (status.failed) {
        add_unique_status(*result, status);
        return;
    }
    if (first_mappable_layer(pass_layers.front())->is_target_component(ComponentKind::TNP_R)) layers->clear();
    record_memory_use(*sequence, backend.memory_sizer());
    sequences->push_back(std::move(sequence));
}

}  // namespace

MappingStatusGroup build_hardware_sequences(GenerationBackend& backend,
                                            std::shared_ptr<MapConstraints> const& constraints,
                                            std::vector<std::shared_ptr<Layer>>* layers,
                                            std::vector<std::shared_ptr<Sequence>>* sequences,
                                            bool multi_pass_capable) {
    MappingStatusGroup result;
    PlacedLayers placed = place_layers(backend, *constraints, *layers, multi_pass_capable);
    if (placed.fatal.failed) {
        add_unique_status(result, placed.fatal);
        return result;
    }

    // A layer whose output goes nowhere leaves its NPs nothing to send to: the model is refused
    // as a whole, since any part of it mapped would be cut off the same way.
    MappingStatus const shared = check_shared_sequence_rules(layers->cbegin(), layers->cend());
    if (shared.failed) {
        add_unique_status(result, shared);
        if (placed.stop_status.failed) add_unique_status(result, placed.stop_status);
        return result;
    }

    std::vector<std::shared_ptr<Layer>> failing;
    check_layer_sequences(&result, placed.stop, backend, constraints->device()->version(), *layers, &failing);
    for (auto& pass : placed.mappable.passes) remove_listed_mappable_layers(&pass, failing);
    std::erase_if(placed.mappable.passes, [](auto const& pass) { return pass.empty(); });

    // A layer refused on the way, or by the sequence rules, ends the mapping with its refusal. The
    // program of the layers before the refused ones is still built for the failures it reports in
    // their names, but not for what it would hand out, which only the refused layers read. Only
    // when a layer was refused does another std::runtime_error thrown while building it give way
    // to the refusal; without a refusal it ends the mapping, and other exceptions always pass.
    bool const refused = placed.stop_status.failed || !failing.empty();
    try {
        build_sequence_of(backend, constraints->device(), placed.mappable, layers, sequences, &result, refused);
    } catch (std::runtime_error const&) {
        if (!refused) throw;
    }
    if (placed.stop_status.failed) add_unique_status(result, placed.stop_status);
    return result;
}

void build_hardware_sequences(MappingStatusGroup& result, GenerationBackend& backend,
                              std::shared_ptr<MapConstraints> const& constraints,
                              std::vector<std::shared_ptr<Layer>>* layers,
                              std::vector<std::shared_ptr<Sequence>>* sequences, bool multi_pass_capable) {
    result = build_hardware_sequences(backend, constraints, layers, sequences, multi_pass_capable);
}

HardwareBackend::HardwareBackend(GenerationSelector select) : select_(std::move(select)) {}

MappingStatusGroup HardwareBackend::map(std::vector<std::shared_ptr<Layer>>* layers,
                                        std::vector<std::shared_ptr<Sequence>>* sequences,
                                        std::shared_ptr<MapConstraints> constraints) {
    if (!constraints) throw std::runtime_error("Map constraints must be specified.");
    std::shared_ptr<Device> const device = constraints->device();
    std::unique_ptr<GenerationBackend> const backend = select_(*device);
    return build_hardware_sequences(*backend, constraints, layers, sequences, backend->multi_pass_capable());
}

}  // namespace nuvra
