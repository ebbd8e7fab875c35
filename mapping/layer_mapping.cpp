#include "mapping/layer_mapping.h"

#include "engine/layers.h"
#include "hw/format.h"
#include "hw/mapping_status.h"
#include "mapping/skip_dma.h"

namespace nuvra {

namespace {

using LayerPtr = std::shared_ptr<Layer>;

bool answers(LayerPtr const& layer, ComponentKind kind) {
    return layer && layer->is_target_component(kind);
}

// A pass index narrowed to its 8 bits, or a failure naming the layer.
uint8_t index_byte(Layer const& layer, unsigned value) {
    if (value > 255)
        MappingStatus(layer, format("Layer index {} does not fit in 8 bits.", value)).throw_exception();
    return static_cast<uint8_t>(value);
}

std::shared_ptr<LayerMapping::ComponentList> single_component(hw::Type type, hw::Ident ident) {
    hw::Component component;
    component.type = type;
    component.ident = ident;
    return std::make_shared<LayerMapping::ComponentList>(1, component);
}

// The set-up of one layer, with the questions about its pass answered by `pass`.
void update_layer_mapping(PassQueries& pass, LayerPtr const& layer) {
    auto mapping = layer_mapping(layer);
    if (!mapping) return;
    LayerGraph& graph = pass.graph();
    shift_output_into_sram(graph, layer);
    if (graph.is_merge(layer)) set_merge_layer_info(pass, layer);
    if (mapping->skipdma_store()) set_skipdma_store_channel_info(pass, layer);
    // Counted over this pass's layers, as the load that reads it back is.
    if (mapping->skipdma_store_dual_output()) set_skipdma_store_channel_dual_output_info(pass, layer);
    if (mapping->skipdma_load()) set_skipdma_load_channel_info(pass, layer);
    if (graph.is_alt_layer(layer)) set_alt_layers(pass, layer, &mapping->outputs);

    LayerList ins = layer->inbound_layers();
    if (ins.empty() || pass.position(ins.front()) < 0) return;
    LayerPtr previous = graph.previous_mappable_layer(layer);
    auto previous_mapping = layer_mapping(previous);
    if (!previous_mapping) return;
    mapping->inputs.push_back(previous_mapping->components);
    // A split's outputs are its two alternates, which set_alt_layers gave it.
    if (!graph.is_alt_layer(previous)) {
        previous_mapping->outputs.push_back(mapping->components);
        previous_mapping->link_index = mapping->index;
    }
}

}  // namespace

LayerMapping::LayerMapping(uint8_t pass_index) : index(pass_index) {
    components = std::make_shared<ComponentList>();
}

LayerMapping::~LayerMapping() = default;

hw::Component const* LayerMapping::skipdma_load() const {
    return skipdma_loads.empty() ? nullptr : &skipdma_loads.front();
}

LayerMapping::ComponentList const& LayerMapping::mapped_components() const {
    static ComponentList const none;
    return components ? *components : none;
}

hw::Component* LayerMapping::skipdma_load() {
    return skipdma_loads.empty() ? nullptr : &skipdma_loads.front();
}

int32_t LayerMapping::get_skipdma_store_index() const {
    if (skipdma_stores.size() == 1) return merge_info && merge_info->dual_output ? -1 : 0;
    if (skipdma_stores.size() == 2) return 0;
    return -1;
}

hw::Component const* LayerMapping::skipdma_store() const {
    int32_t i = get_skipdma_store_index();
    return i < 0 ? nullptr : &skipdma_stores[static_cast<size_t>(i)];
}

hw::Component* LayerMapping::skipdma_store() {
    int32_t i = get_skipdma_store_index();
    return i < 0 ? nullptr : &skipdma_stores[static_cast<size_t>(i)];
}

int32_t LayerMapping::get_skipdma_store_dual_output_index() const {
    if (!merge_info || !merge_info->dual_output || skipdma_stores.empty()) return -1;
    return static_cast<int32_t>(skipdma_stores.size() - 1);
}

hw::Component const* LayerMapping::skipdma_store_dual_output() const {
    int32_t i = get_skipdma_store_dual_output_index();
    return i < 0 ? nullptr : &skipdma_stores[static_cast<size_t>(i)];
}

hw::Component* LayerMapping::skipdma_store_dual_output() {
    int32_t i = get_skipdma_store_dual_output_index();
    return i < 0 ? nullptr : &skipdma_stores[static_cast<size_t>(i)];
}

std::shared_ptr<LayerMapping> layer_mapping(std::shared_ptr<Layer> const& layer) {
    return layer ? std::dynamic_pointer_cast<LayerMapping>(layer->mapping()) : nullptr;
}

std::shared_ptr<LayerMapping const> layer_mapping(Layer const& layer) {
    return std::dynamic_pointer_cast<LayerMapping const>(layer.mapping());
}

LayerMapping const& recorded_layer_mapping(Layer const& layer) {
    auto mapping = layer_mapping(layer);
    if (!mapping) throw std::runtime_error(format("The layer {} has no hardware mapping.", layer.get_name()));
    // The mapping is owned by the layer, which outlives the recording call.
    return *mapping;
}

unsigned layer_index_steps(Layer const& layer) {
    if (layer.is_target_component(ComponentKind::HRC) || layer.is_target_component(ComponentKind::SKIP_DMA))
        return 0;
    return (layer.is_target_component(ComponentKind::None) ? 0u : 1u) +
           (layer.is_target_component(ComponentKind::TNP_B) ? 1u : 0u);
}

void LayerMappingBuilder::build_layer_mapping(
    LayerList const& layers, LayerList const& previous_layers,
    std::vector<std::vector<hw::Component>> const& components, hw::Ident pass_dma, DepthMemo* depths) {
    build_layer_mapping(layers, previous_layers, components, pass_dma, depths, nullptr);
}

void LayerMappingBuilder::build_layer_mapping(LayerList const& layers, LayerList const& previous_layers,
                                              std::vector<std::vector<hw::Component>> const& components,
                                              hw::Ident pass_dma, DepthMemo* depths,
                                              std::vector<CutSkipRefusal>* cut_skips) {
    DepthMemo own;
    if (depths == nullptr) depths = &own;
    map_standalone(layers, components, pass_dma, depths);
    link_layers_mapping(layers, previous_layers, depths, cut_skips);
}

void LayerMappingBuilder::build_layer_mapping(LayerList const& layers, LayerList const& previous_layers,
                                              std::vector<std::vector<hw::Component>> const& components,
                                              hw::Ident pass_dma) {
    build_layer_mapping(layers, previous_layers, components, pass_dma, nullptr);
}

void LayerMappingBuilder::map_standalone(LayerList const& layers,
                                         std::vector<std::vector<hw::Component>> const& components,
                                         hw::Ident pass_dma) {
    map_standalone(layers, components, pass_dma, nullptr);
}

void LayerMappingBuilder::map_standalone(LayerList const& layers,
                                         std::vector<std::vector<hw::Component>> const& components,
                                         hw::Ident pass_dma, DepthMemo* depths) {
    LayerGraph graph(depths);
    LayerPtr first = graph.first_mappable_layer(layers);
    LayerPtr last = graph.last_mappable_layer(layers);
    // Layers with NPs count up from 1 (layer_index_steps).
    unsigned counter = 0;
    for (size_t i = 0; i < layers.size(); ++i) {
        LayerPtr const& layer = layers[i];
        bool hrc = layer->is_target_component(ComponentKind::HRC);
        unsigned index = 0;
        if (!hrc) {
            if (layer->is_target_component(ComponentKind::SKIP_DMA)) {
                index = 255;
            } else {
                counter += layer_index_steps(*layer);
                index = counter;
            }
        }
        std::optional<hw::Ident> input_dma;
        std::optional<hw::Ident> output_dma;
        if (layer == first && !hrc) input_dma = pass_dma;
        if (layer == last) output_dma = pass_dma;
        map_standalone(layer, components.at(i), index_byte(*layer, index), input_dma, output_dma);
    }
}

void LayerMappingBuilder::map_standalone(std::shared_ptr<Layer> const& layer,
                                         std::vector<hw::Component> const& components,
                                         uint8_t index, std::optional<hw::Ident> input_dma,
                                         std::optional<hw::Ident> output_dma) {
    auto mapping = std::make_shared<LayerMapping>(index);
    if (layer->is_target_component(ComponentKind::HRC))
        mapping->inputs.push_back(single_component(hw::Type::HRC, hw::Ident{}));
    else if (input_dma)
        mapping->inputs.push_back(single_component(hw::Type::DMA, *input_dma));
    for (auto const& component : components) {
        if (component.type == hw::Type::SKIP_DMA_STORE)
            mapping->skipdma_stores.push_back(component);
        else if (component.type == hw::Type::SKIP_DMA_LOAD)
            mapping->skipdma_loads.push_back(component);
        else
            mapping->components->push_back(component);
    }
    if (!mapping->skipdma_stores.empty() || !mapping->skipdma_loads.empty())
        mapping->uses_skipdma_layer_flag = layer->is_target_component(ComponentKind::TNP_B);
    if (output_dma) mapping->outputs.push_back(single_component(hw::Type::DMA, *output_dma));
    set_layer_mapping(*layer, mapping);
}

void LayerMappingBuilder::link_layers_mapping(LayerList const& layers,
                                              LayerList const& previous_layers,
                                              DepthMemo* depths) {
    link_layers_mapping(layers, previous_layers, depths, nullptr);
}

void LayerMappingBuilder::link_layers_mapping(LayerList const& layers, LayerList const& previous_layers,
                                              DepthMemo* depths, std::vector<CutSkipRefusal>* cut_skips) {
    LayerGraph graph(depths);
    // One index of the pass serves every layer: the set-up stays linear in the pass's layers.
    PassIndex pass(graph, layers, previous_layers);
    pass.keep_cut_skips(cut_skips);
    for (auto const& layer : layers) {
        if (answers(layer, ComponentKind::None) || answers(layer, ComponentKind::SKIP_DMA)) continue;
        nuvra::update_layer_mapping(pass, layer);
    }
}

void LayerMappingBuilder::update_layer_mapping(std::shared_ptr<Layer> const& layer,
                                               LayerList const& layers,
                                               LayerList const& previous_layers,
                                               DepthMemo* depths) {
    LayerGraph graph(depths);
    PassScan pass(graph, layers, previous_layers);
    nuvra::update_layer_mapping(pass, layer);
}

void LayerMappingBuilder::update_layer_mapping(PassQueries& pass, std::shared_ptr<Layer> const& layer) {
    nuvra::update_layer_mapping(pass, layer);
}

void LayerMappingBuilder::link_to_previous_pass(std::shared_ptr<Layer> layer,
                                                std::shared_ptr<Layer> previous_pass_layer) {
    auto next = layer_mapping(layer);
    auto previous = layer_mapping(previous_pass_layer);
    if (!next || !previous) return;
    // The previous pass's last layer now sends to this pass's first layer instead of the DMA.
    uint8_t link = index_byte(*previous_pass_layer, previous->index + 1u);
    previous->outputs.clear();
    previous->outputs.push_back(next->components);
    previous->p2p_in = false;
    previous->p2p_out = false;
    previous->link_index = link;
    next->input_link_index = link;
    next->inputs.push_back(previous->components);
}

}  // namespace nuvra
