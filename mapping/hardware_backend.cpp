#include "mapping/hardware_backend.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "hw/device.h"
#include "hw/mesh.h"
#include "mapping/graph_utils.h"
#include "mapping/layer_mapping.h"
#include "mapping/mesh_mapper.h"
#include "mapping/sequence_builder.h"

namespace nuvra {

namespace {

// Passes are numbered in 8 bits on the device: at most 254 of them.
constexpr size_t max_passes = 254;

constexpr char no_hrc_message[] =
    "Layer should be mapped on HRC but the device does not have this hardware component.";

bool is_skip_dma(hw::Type type) {
    return type == hw::Type::SKIP_DMA_STORE || type == hw::Type::SKIP_DMA_LOAD;
}

// Fills the memory use of every component of the sequence's layers.
void record_memory_use(HardwareSequence const& sequence, MemorySizer const& sizer) {
    auto const& passes = sequence.passes();
    if (passes.empty() || passes.front()->layers.empty()) return;
    std::shared_ptr<Layer> const first = passes.front()->layers.front();
    ExternalMemoryArgs const plain{.several_passes = passes.size() > 1};
    ExternalMemoryArgs const dual_output{.dual_output_store = true, .several_passes = passes.size() > 1};
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
                           IpVersionSpecificHardwareBackend const& backend, HwVersion version,
                           std::vector<std::shared_ptr<Layer>> const& layers,
                           std::vector<std::shared_ptr<Layer>>* failing) {
    MappingStatusGroup group;
    failing->clear();
    for (auto it = layers.cbegin(); it != end; ++it) {
        MappingStatus const status = backend.checker().check_layer_sequence(layers.cbegin(), it + 1, version);
        if (!status.failed) {
            group = MappingStatusGroup();
            failing->clear();
        } else {
            add_unique_status(group, status);
            failing->push_back(*it);
        }
    }
    *result += group;
}

void remove_listed_mappable_layers(std::vector<MappableLayers::MappableLayer>* pass,
                                   std::vector<std::shared_ptr<Layer>> const& listed) {
    std::erase_if(*pass, [&listed](MappableLayers::MappableLayer const& entry) {
        return std::find(listed.begin(), listed.end(), entry.layer) != listed.end();
    });
}

MappingStatusGroup build_hardware_sequences(IpVersionSpecificHardwareBackend& backend,
                                            std::shared_ptr<MapConstraints> const& constraints,
                                            std::vector<std::shared_ptr<Layer>>* layers,
                                            std::vector<std::shared_ptr<Sequence>>* sequences,
                                            bool multi_pass_capable) {
    MappingStatusGroup result;
    std::shared_ptr<Device> const device = constraints->device();
    HwVersion const version = device->version();
    Mesh const& mesh = device->mesh();

    HardwareSequenceBuilder builder(device, backend.constraints(), backend.io_recorder(), backend.layer_recorder());
    MeshMapper mapper(backend.checker(), *constraints);
    mapper.reset();

    MappableLayers mappable;
    std::vector<hw::Ident> fnp2_idents;
    bool const loop_itself = multi_pass_capable && constraints->hwpr_loopitself();

    // The walk over the layers; it stops at the first layer that cannot be mapped.
    auto stop = layers->cend();
    MappingStatus stop_status;
    for (auto it = layers->cbegin(); it != layers->cend(); ++it) {
        std::shared_ptr<Layer> const& layer = *it;
        bool need_new_pass = false;

        std::shared_ptr<Layer> previous;
        if (it != layers->cbegin()) {
            auto const inbounds = layer->inbound_layers();
            if (!inbounds.empty()) previous = inbounds.front();
        }
        MappingStatus status = backend.checker().check_layer_compatibility(*layer, previous.get(), version);
        if (status.failed) {
            stop = it;
            stop_status = status;
            break;
        }

        std::vector<hw::Component> components;
        if (layer->is_target_component(ComponentKind::HRC)) {
            if (!mesh.hrc) {
                add_unique_status(result, MappingStatus(*layer, no_hrc_message));
                return result;
            }
            hw::Component hrc;
            hrc.type = hw::Type::HRC;
            hrc.ident = mesh.hrc->ident;
            components.push_back(hrc);
        } else if (!layer->is_target_component(ComponentKind::None) &&
                   !layer->is_target_component(ComponentKind::SKIP_DMA)) {
            bool const placed_any = !mappable.passes.empty();
            std::vector<hw::Ident> reserved;
            if (placed_any)
                reserved = collect_layer_np_idents(fnp2_idents, layer,
                                                   mappable.build_mappable_components().back(),
                                                   multi_pass_capable, constraints->hwpr_loopitself());
            bool const allow_new_pass = multi_pass_capable && mappable.passes.size() <= max_passes;
            auto request = mapper.np_request(layer, reserved, loop_itself, &need_new_pass, allow_new_pass);
            components = std::move(request.first);
            status = request.second;
            if (!status.failed) status = backend.checker().check_layer_mappings(*layer, components, need_new_pass);
            if (status.failed) {
                stop = it;
                stop_status = status;
                break;
            }
            for (hw::Component const& component : components)
                if (component.type == hw::Type::FNP2) fnp2_idents.push_back(component.ident);
        }

        if (!mappable.passes.empty() && need_new_pass) mappable.passes.emplace_back();
        if (mappable.passes.empty()) mappable.passes.emplace_back();
        mappable.passes.back().push_back({layer, std::move(components)});

        // A recurrent layer takes every layer after it along, without NPs of their own.
        if (layer->is_target_component(ComponentKind::TNP_R)) {
            for (auto rest = it + 1; rest != layers->cend(); ++rest) mappable.passes.back().push_back({*rest, {}});
            break;
        }
    }

    std::vector<std::shared_ptr<Layer>> failing;
    check_layer_sequences(&result, stop, backend, version, *layers, &failing);
    for (auto& pass : mappable.passes) remove_listed_mappable_layers(&pass, failing);
    std::erase_if(mappable.passes, [](auto const& pass) { return pass.empty(); });

    auto const pass_layers = mappable.build_mappable_layers();
    if (!pass_layers.empty() && first_mappable_layer(pass_layers.front())) {
        auto const pass_components = mappable.build_mappable_components();
        for (size_t i = 0; i < pass_layers.size(); ++i) builder.add_layers(pass_layers[i], *layers, pass_components[i]);

        auto [status, sequence] = builder.build_sequence();
        if (status.failed) {
            add_unique_status(result, status);
        } else {
            if (first_mappable_layer(pass_layers.front())->is_target_component(ComponentKind::TNP_R)) layers->clear();
            record_memory_use(*sequence, backend.memory_sizer());
            sequences->push_back(std::move(sequence));
        }
    }

    if (stop_status.failed) add_unique_status(result, stop_status);
    return result;
}

HardwareBackend::HardwareBackend() : HardwareBackend(built_generations()) {}

HardwareBackend::HardwareBackend(std::span<GenerationFactory const> generations) : generations_(generations) {}

MappingStatusGroup HardwareBackend::map(std::vector<std::shared_ptr<Layer>>* layers,
                                        std::vector<std::shared_ptr<Sequence>>* sequences,
                                        std::shared_ptr<MapConstraints> constraints) {
    if (!constraints) throw std::runtime_error("Map constraints must be specified.");
    std::shared_ptr<Device> const device = constraints->device();
    // The first-generation presets (product id 0x00) cannot reconfigure part of the mesh.
    bool const multi_pass_capable = device->version().product_id >= 0xA1;
    IpVersionSpecificHardwareBackend backend(*device, generations_);
    return build_hardware_sequences(backend, constraints, layers, sequences, multi_pass_capable);
}

void register_mapping_backend() {
    HardwareBackendHooks hooks;
    hooks.make_backend = []() -> std::unique_ptr<Backend> { return std::make_unique<HardwareBackend>(); };
    hooks.make_default_constraints = [](std::shared_ptr<Device> const& device) {
        return std::make_shared<MapConstraints>(device);
    };
    register_hardware_backend(hooks);
}

}  // namespace nuvra
