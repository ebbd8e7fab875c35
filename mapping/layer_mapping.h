// The hardware mapping of one layer in a pass: the components that compute it, the skip-DMA
// engines that store its output or load its skip input, its place in the pass, its links to the
// mappings of its neighbours, and the merge, alternate-branch and skip-DMA records that the
// recorders read.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/layer.h"
#include "engine/tensor.h"
#include "hw/ident.h"
#include "mapping/graph_utils.h"

namespace nuvra {

class PassQueries;
struct CutSkipRefusal;

// A skip connection rejoining the main path at this layer.
struct MergeLayerInfo {
    bool add = false;        // the merge adds its inputs (false: it joins their channels)
    uint32_t channel = 0;    // second byte of the layer's skip-DMA channel quartet
    std::shared_ptr<Tensor> a_shift;       // an adding merge's shifts, ordered by input depth; empty
    std::shared_ptr<Tensor> b_shift;       // for a joining one
    std::shared_ptr<Tensor> output_shift;
    bool dual_output = false;              // the skip DMA also feeds another branch
    uint8_t dual_output_target = 0;        // store channel or index of the layer that gets it
    bool not_first = true;                 // not the first mappable layer of the pass
};

// Where a skip-DMA store writes, and how long its data is kept.
struct SkipDmaStoreInfo {
    uint8_t delay = 0;       // depth gap to the consumers, or a TNP-B layer's buffer length
    uint8_t store_flag = 0;  // 1 for a TNP-B store and for a layer feeding only a skip DMA
    uint8_t channel = 0;
};

// Where a skip-DMA load reads.
struct SkipDmaLoadInfo {
    uint8_t channel = 0;
    uint8_t delay = 0;            // depth gap between the merge's inputs, or the buffer length
    uint8_t store_channel = 0;    // the store channel whose data is read back
    uint32_t channel_offset = 0;  // a joining merge's first-input channels when the load is second
};

// One of the two layers that follow a split at equal depth.
struct AltLayerInfo {
    bool alternate = false;  // the skip-branch alternate
    uint32_t nps = 0;        // NP components of both alternates together
    uint8_t main_index = 0;  // on the skip-branch alternate, the main alternate's index
};

class LayerMapping : public Layer::Mapping {
public:
    using ComponentList = std::vector<hw::Component>;
    using ComponentLists = std::vector<std::shared_ptr<ComponentList>>;

    uint8_t index = 0;             // position among the mapped layers of the pass
    uint8_t link_index = 255;      // index of the layer this one feeds; 255 until linked
    uint8_t input_link_index = 0;  // set on the first layer of a pass linked to the previous one
    bool p2p_in = false;           // point-to-point routing of the input and of the output;
    bool p2p_out = false;          // cleared when a pass is linked to the next
    std::unique_ptr<MergeLayerInfo> merge_info;
    std::unique_ptr<SkipDmaStoreInfo> skipdma_store_info;
    std::unique_ptr<SkipDmaStoreInfo> skipdma_store_dual_output_info;
    std::unique_ptr<SkipDmaLoadInfo> skipdma_load_info;
    std::unique_ptr<AltLayerInfo> alt_info;
    std::optional<uint32_t> sram_output_shift;  // channel where the output starts in a joining merge
    // With skip-DMA components: the layer runs on a TNP-B, whose stores count among its inputs.
    bool uses_skipdma_layer_flag = false;
    ComponentLists inputs;   // component lists that feed the layer (input DMA/HRC, previous layer)
    ComponentLists outputs;  // component lists the layer feeds (output DMA, next layer)
    ComponentList skipdma_stores;
    ComponentList skipdma_loads;

    explicit LayerMapping(uint8_t index);
    ~LayerMapping() override;

    // The layer's components in the mapping's order; none when it lists none.
    ComponentList const& mapped_components() const;

    // The first skip-DMA load, or null.
    hw::Component const* skipdma_load() const;
    hw::Component* skipdma_load();
    // 0 for the plain store (null with a lone store that carries the dual output), -1 for none.
    int32_t get_skipdma_store_index() const;
    hw::Component const* skipdma_store() const;
    hw::Component* skipdma_store();
    // The last store when the layer has a dual output, else -1.
    int32_t get_skipdma_store_dual_output_index() const;
    hw::Component const* skipdma_store_dual_output() const;
    hw::Component* skipdma_store_dual_output();
};

// The layer's mapping as a LayerMapping; null when it has none or another kind.
std::shared_ptr<LayerMapping> layer_mapping(std::shared_ptr<Layer> const& layer);
std::shared_ptr<LayerMapping const> layer_mapping(Layer const& layer);
// The mapping of a layer being recorded; a layer without a LayerMapping is std::runtime_error
// "The layer <name> has no hardware mapping.".
LayerMapping const& recorded_layer_mapping(Layer const& layer);

// The last index a layer can take in its pass: indexes are 8 bits, 255 marks a skip-DMA layer and
// a layer not linked yet, and the last layer of a pass links on to its own index + 1.
inline constexpr unsigned max_layer_index = 254;
// How far a layer moves the index counter of its pass: nothing for the HRC, a skip-DMA layer or a
// layer without NPs, two steps for a TNP-B layer (its NP and its buffer), one otherwise.
unsigned layer_index_steps(Layer const& layer);

class LayerMappingBuilder {
public:
    // Attaches a mapping to every layer of the pass and links them. `previous_layers` are the
    // layers of the earlier passes of the sequence; `components` holds one list per layer.
    // Depths go to `depths` when given.
    static void build_layer_mapping(LayerList const& layers, LayerList const& previous_layers,
                                    std::vector<std::vector<hw::Component>> const& components,
                                    hw::Ident pass_dma, DepthMemo* depths);
    // The same with depths of its own.
    static void build_layer_mapping(LayerList const& layers, LayerList const& previous_layers,
                                    std::vector<std::vector<hw::Component>> const& components,
                                    hw::Ident pass_dma);
    // The same with the refusal of a merge whose skip input was stored in an earlier pass kept in
    // `cut_skips` (when not null) instead of thrown: the set-up of the pass goes on.
    static void build_layer_mapping(LayerList const& layers, LayerList const& previous_layers,
                                    std::vector<std::vector<hw::Component>> const& components,
                                    hw::Ident pass_dma, DepthMemo* depths, std::vector<CutSkipRefusal>* cut_skips);

    // A mapping for every layer of the pass with its index, and the pass's input and output DMA
    // on its first and last mappable layers.
    static void map_standalone(LayerList const& layers,
                               std::vector<std::vector<hw::Component>> const& components,
                               hw::Ident pass_dma, DepthMemo* depths);
    // The same with depths of its own.
    static void map_standalone(LayerList const& layers,
                               std::vector<std::vector<hw::Component>> const& components,
                               hw::Ident pass_dma);
    static void map_standalone(std::shared_ptr<Layer> const& layer,
                               std::vector<hw::Component> const& components, uint8_t index,
                               std::optional<hw::Ident> input_dma,
                               std::optional<hw::Ident> output_dma);

    // update_layer_mapping for every layer of the pass that has an NP of its own.
    static void link_layers_mapping(LayerList const& layers, LayerList const& previous_layers,
                                    DepthMemo* depths);
    // The same keeping cut skips' refusals in `cut_skips` when it is not null.
    static void link_layers_mapping(LayerList const& layers, LayerList const& previous_layers,
                                    DepthMemo* depths, std::vector<CutSkipRefusal>* cut_skips);
    // Skip-DMA, merge and alternate records of one layer, and its link to the layer before it.
    static void update_layer_mapping(std::shared_ptr<Layer> const& layer, LayerList const& layers,
                                     LayerList const& previous_layers, DepthMemo* depths);
    // The same with the questions about the pass answered by `pass` (a PassIndex while a whole
    // pass is set up).
    static void update_layer_mapping(PassQueries& pass, std::shared_ptr<Layer> const& layer);

    // Chains the first layer of a new pass to the last layer of the pass before it.
    static void link_to_previous_pass(std::shared_ptr<Layer> layer,
                                      std::shared_ptr<Layer> previous_pass_layer);
};

}  // namespace nuvra
