#include "mapping/skip_dma.h"

#include <algorithm>
#include <string>
#include <utility>

#include "engine/params.h"
#include "hw/format.h"
#include "hw/mapping_status.h"
#include "mapping/layer_mapping.h"

namespace nuvra {

namespace {

using LayerPtr = std::shared_ptr<Layer>;

bool is_skip_dma(LayerPtr const& layer) { return layer_answers(layer, ComponentKind::SKIP_DMA); }
bool is_tnp_b(LayerPtr const& layer) { return layer_answers(layer, ComponentKind::TNP_B); }

LayerList inbounds_of(LayerPtr const& layer) {
    LayerList result;
    for (auto& in : layer->inbound_layers())
        if (in) result.push_back(std::move(in));
    return result;
}

LayerList outbounds_of(LayerPtr const& layer) {
    LayerList result;
    for (auto& out : layer->outbound_layers())
        if (out) result.push_back(std::move(out));
    return result;
}

// Position of the layer in the list, or -1.
int64_t position_in(LayerList const& list, LayerPtr const& layer) {
    auto it = std::find(list.begin(), list.end(), layer);
    return it == list.end() ? -1 : static_cast<int64_t>(it - list.begin());
}

bool is_first_of(LayerList const& layers, LayerPtr const& layer) {
    return !layers.empty() && layers.front() == layer;
}

[[noreturn]] void fail(Layer const& layer, std::string message) {
    MappingStatus(layer, std::move(message)).throw_exception();
}

// A channel number narrowed to its 8 bits, or a failure naming the layer.
uint8_t channel_byte(Layer const& layer, int64_t channel) {
    if (channel < 0 || channel > 255)
        fail(layer, format("Skip-DMA channel {} does not fit in 8 bits.", channel));
    return static_cast<uint8_t>(channel);
}

// A delay (in layers or frames) narrowed to its 8 bits, or a failure naming the layer.
uint8_t delay_byte(Layer const& layer, int64_t delay) {
    if (delay < 0 || delay > 255)
        fail(layer, format("Skip-DMA delay {} does not fit in 8 bits.", delay));
    return static_cast<uint8_t>(delay);
}

// The frame-buffer length of a TNP-B layer: its "fifo_size" plus the frame being computed.
uint8_t buffer_delay(Layer const& layer) {
    return delay_byte(layer, static_cast<int64_t>(layer.required_params().get("fifo_size")) + 1);
}

// The first two inbound layers of the merge layer `merge`, which the set-up of `layer`
// reads; a merge with fewer inputs fails.
std::pair<LayerPtr, LayerPtr> merge_inputs(Layer const& layer, LayerPtr const& merge) {
    LayerList ins = inbounds_of(merge);
    if (ins.size() < 2)
        fail(layer, format("Merge layer '{}' needs 2 inbound layers but has {}.", merge->get_name(),
                           ins.size()));
    return {ins[0], ins[1]};
}

// Layers among layers[1..] up to and including `layer` (to the end when the list does not hold
// it) for which `counts` holds.
template <class Pred>
int64_t count_through(LayerList const& layers, LayerPtr const& layer, Pred counts) {
    int64_t n = 0;
    for (size_t i = 1; i < layers.size(); ++i) {
        if (counts(layers[i])) ++n;
        if (layers[i] == layer) break;
    }
    return n;
}

// Whether a layer of the pass takes a channel quartet, and a store channel pair.
bool takes_quartet(LayerGraph& graph, LayerPtr const& layer) {
    return graph.layer_need_load_dma(layer) || graph.layer_need_store_dma(layer);
}
bool takes_store_channels(LayerGraph& graph, LayerPtr const& layer) {
    return graph.layer_need_store_dma(layer) || graph.is_dual_output_layer(layer);
}

// The first channel of the layer's quartet, before narrowing.
int64_t quartet_base(PassQueries& pass, LayerPtr const& layer) {
    return static_cast<int64_t>(pass.previous_layers().size()) + 1 + 4 * pass.quartets_through(layer);
}

// The store channel of a producer: odd for its plain output, the next even one for its dual
// output.
uint8_t store_channel(PassQueries& pass, Layer const& failing, LayerPtr const& producer, bool dual_output) {
    return channel_byte(failing, (dual_output ? 2 : 1) + 2 * pass.stores_through(producer));
}

uint8_t quartet_byte(uint32_t quartet, int byte) {
    return static_cast<uint8_t>(quartet >> (8 * byte));
}

// The largest depth gap from `from` to one of its outbound layers, 0 without any.
int64_t outbound_gap(LayerGraph& graph, LayerPtr const& from) {
    int64_t base = graph.get_layer_depth(from);
    int64_t gap = 0;
    for (auto const& out : outbounds_of(from))
        gap = std::max(gap, static_cast<int64_t>(graph.get_layer_depth(out)) - base);
    return gap;
}

size_t component_count(LayerMapping const& mapping) {
    return mapping.components ? mapping.components->size() : 0;
}

SkipDmaStoreInfo const* store_record(LayerMapping const& mapping, StoreRecord record) {
    return record == StoreRecord::plain ? mapping.skipdma_store_info.get()
                                        : mapping.skipdma_store_dual_output_info.get();
}

// Writes the channel of the layer's store record, or fails when another store of the pass has it.
void give_store_channel(PassQueries& pass, LayerPtr const& layer, StoreRecord record, uint8_t channel,
                        SkipDmaStoreInfo* info) {
    if (LayerPtr const other = pass.take_store_channel(layer, record, channel))
        fail(*layer, format("Layers '{}' and '{}' would store on one skip-DMA channel ({}).", other->get_name(),
                            layer->get_name(), unsigned{channel}));
    info->channel = channel;
}

}  // namespace

PassQueries::~PassQueries() = default;

void PassQueries::refuse_cut_skip(std::shared_ptr<Layer> const& layer, std::shared_ptr<Layer> const& producer) {
    MappingStatus refusal(*layer, second_branch_outside_pass_message);
    if (!cut_skips_) refusal.throw_exception();
    cut_skips_->push_back({layer, producer, std::move(refusal)});
}

int64_t PassScan::position(std::shared_ptr<Layer> const& layer) { return position_in(layers(), layer); }

std::shared_ptr<Layer> PassScan::first_mappable() { return graph().first_mappable_layer(layers()); }

int64_t PassScan::quartets_through(std::shared_ptr<Layer> const& layer) {
    if (is_first_of(layers(), layer)) return 0;
    return count_through(layers(), layer, [this](LayerPtr const& l) { return takes_quartet(graph(), l); });
}

int64_t PassScan::stores_through(std::shared_ptr<Layer> const& layer) {
    if (is_first_of(layers(), layer)) return 0;
    return count_through(layers(), layer, [this](LayerPtr const& l) { return takes_store_channels(graph(), l); });
}

void PassScan::find_depths() {
    for (auto const& l : layers()) graph().get_layer_depth(l);
}

std::shared_ptr<Layer> PassScan::take_store_channel(std::shared_ptr<Layer> const& layer, StoreRecord record,
                                                    uint8_t channel) {
    for (auto const& l : layers()) {
        auto const mapping = layer_mapping(l);
        if (!mapping) continue;
        for (StoreRecord const r : {StoreRecord::plain, StoreRecord::dual_output}) {
            if (l == layer && r == record) continue;
            SkipDmaStoreInfo const* info = store_record(*mapping, r);
            if (info && info->channel == channel) return l;
        }
    }
    return nullptr;
}

PassIndex::PassIndex(LayerGraph& graph, LayerList const& layers, LayerList const& previous_layers)
    : PassQueries(graph, layers, previous_layers) {
    positions_.reserve(layers.size());
    for (size_t i = 0; i < layers.size(); ++i) positions_.emplace(layers[i].get(), i);
}

int64_t PassIndex::position(std::shared_ptr<Layer> const& layer) {
    auto const it = positions_.find(layer.get());
    return it == positions_.end() ? -1 : static_cast<int64_t>(it->second);
}

std::shared_ptr<Layer> PassIndex::first_mappable() {
    if (!first_mappable_) first_mappable_ = graph().first_mappable_layer(layers());
    return *first_mappable_;
}

void PassIndex::count_channels() {
    if (counted_) return;
    LayerList const& list = layers();
    quartets_.assign(list.size(), 0);
    stores_.assign(list.size(), 0);
    for (size_t i = 1; i < list.size(); ++i) {
        quartets_[i] = quartets_[i - 1] + (takes_quartet(graph(), list[i]) ? 1 : 0);
        stores_[i] = stores_[i - 1] + (takes_store_channels(graph(), list[i]) ? 1 : 0);
    }
    counted_ = true;
}

int64_t PassIndex::through(std::vector<int64_t> const& counts, std::shared_ptr<Layer> const& layer) {
    if (counts.empty()) return 0;
    int64_t const at = position(layer);
    // The first layer counts nothing; a layer outside the pass counts the whole pass.
    return counts[at < 0 ? counts.size() - 1 : static_cast<size_t>(at)];
}

int64_t PassIndex::quartets_through(std::shared_ptr<Layer> const& layer) {
    count_channels();
    return through(quartets_, layer);
}

int64_t PassIndex::stores_through(std::shared_ptr<Layer> const& layer) {
    count_channels();
    return through(stores_, layer);
}

void PassIndex::find_depths() {
    if (depths_found_) return;
    for (auto const& l : layers()) graph().get_layer_depth(l);
    depths_found_ = true;
}

std::shared_ptr<Layer> PassIndex::take_store_channel(std::shared_ptr<Layer> const& layer, StoreRecord record,
                                                     uint8_t channel) {
    auto const [it, given] = store_holders_.try_emplace(channel, StoreHolder{layer, record});
    if (given || (it->second.layer == layer && it->second.record == record)) return nullptr;
    return it->second.layer;
}

void request_skipdma(std::vector<hw::Component>* components, std::vector<hw::Type> const& types,
                     std::shared_ptr<Layer> const& layer) {
    LayerGraph graph;
    request_skipdma(graph, components, types, layer);
}

void request_skipdma(LayerGraph& graph, std::vector<hw::Component>* components, std::vector<hw::Type> const& types,
                     std::shared_ptr<Layer> const& layer) {
    for (size_t i = 1; i < types.size(); ++i) {
        std::vector<hw::Component> added = types[i] == hw::Type::SKIP_DMA_STORE
                                               ? request_skipdma_store(graph, layer)
                                               : request_skipdma_load();
        components->insert(components->end(), added.begin(), added.end());
    }
}

std::vector<hw::Component> request_skipdma_store(std::shared_ptr<Layer> const& layer) {
    LayerGraph graph;
    return request_skipdma_store(graph, layer);
}

std::vector<hw::Component> request_skipdma_store(LayerGraph& graph, std::shared_ptr<Layer> const& layer) {
    size_t n = (is_tnp_b(layer) ? 1 : 0) + (graph.is_skip_layer(layer) ? 1 : 0) +
               (graph.is_dual_output_to_store_dma(layer) ? 1 : 0);
    hw::Component store;
    store.type = hw::Type::SKIP_DMA_STORE;
    return std::vector<hw::Component>(n, store);
}

std::vector<hw::Component> request_skipdma_load() {
    hw::Component load;
    load.type = hw::Type::SKIP_DMA_LOAD;
    return {load};
}

uint32_t skipdma_channels_for_layer(PassQueries& pass, std::shared_ptr<Layer> const& layer) {
    int64_t c = quartet_base(pass, layer);
    // All four channels of the quartet must fit; the last is the largest.
    channel_byte(*layer, c + 3);
    auto first = static_cast<uint32_t>(c);
    return first | (first + 1) << 8 | (first + 2) << 16 | (first + 3) << 24;
}

void set_skipdma_store_channel_info(PassQueries& pass, std::shared_ptr<Layer> const& layer) {
    auto mapping = layer_mapping(layer);
    if (!mapping) return;
    int64_t gap = outbound_gap(pass.graph(), layer);
    mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>();
    SkipDmaStoreInfo& info = *mapping->skipdma_store_info;
    if (is_tnp_b(layer)) {
        // The TNP-B stores its own frames; its channel is its place in the pass.
        info.delay = buffer_delay(*layer);
        info.store_flag = 1;
        int64_t pos = pass.position(layer);
        if (pos < 0) fail(*layer, layer_not_in_sequence_message);
        give_store_channel(pass, layer, StoreRecord::plain, channel_byte(*layer, pos), &info);
        return;
    }
    info.delay = delay_byte(*layer, gap);
    give_store_channel(pass, layer, StoreRecord::plain, store_channel(pass, *layer, layer, false), &info);
    LayerList outs = outbounds_of(layer);
    if (outs.size() == 1 && is_skip_dma(outs[0])) {
        info.store_flag = 1;
        uint32_t quartet = skipdma_channels_for_layer(pass, layer);
        mapping->link_index = quartet_byte(quartet, 2);
    }
}

void set_skipdma_store_channel_dual_output_info(PassQueries& pass, std::shared_ptr<Layer> const& layer) {
    auto mapping = layer_mapping(layer);
    if (!mapping) return;
    LayerList ins = inbounds_of(layer);
    if (ins.empty()) return;
    // The gap is measured from the split skip DMA to the deepest branch it feeds.
    int64_t gap = outbound_gap(pass.graph(), ins[0]);
    mapping->skipdma_store_dual_output_info = std::make_unique<SkipDmaStoreInfo>();
    SkipDmaStoreInfo& info = *mapping->skipdma_store_dual_output_info;
    info.delay = delay_byte(*layer, gap);
    info.store_flag = 0;
    give_store_channel(pass, layer, StoreRecord::dual_output, store_channel(pass, *layer, layer, true), &info);
}

void set_skipdma_load_channel_info(PassQueries& pass, std::shared_ptr<Layer> const& layer) {
    auto mapping = layer_mapping(layer);
    if (!mapping) return;
    LayerGraph& graph = pass.graph();
    pass.find_depths();
    mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>();
    SkipDmaLoadInfo& info = *mapping->skipdma_load_info;
    if (is_tnp_b(layer)) {
        // The TNP-B reads back what its own store wrote, on the channel before its index.
        info.channel = channel_byte(*layer, static_cast<int64_t>(mapping->index) - 1);
        info.delay = buffer_delay(*layer);
        info.store_channel = mapping->skipdma_store_info ? mapping->skipdma_store_info->channel : 0;
        return;
    }
    LayerList ins = inbounds_of(layer);
    if (ins.empty()) return;
    LayerPtr const& s = ins[0];
    info.channel = quartet_byte(skipdma_channels_for_layer(pass, layer), 0);
    auto [a, b] = merge_inputs(*layer, s);
    int64_t depth_a = graph.get_layer_depth(a);
    int64_t depth_b = graph.get_layer_depth(b);
    info.delay = delay_byte(*layer, depth_a > depth_b ? depth_a - depth_b : depth_b - depth_a);

    // The skip input comes from the shallowest input of the merge; through a split skip DMA it
    // is the dual output of the shallowest layer that DMA feeds.
    LayerList producers = inbounds_of(s);
    graph.sort_by_depth(&producers);
    LayerPtr producer = producers.front();
    bool dual_output = false;
    if (is_skip_dma(producer)) {
        LayerList fed = outbounds_of(producer);
        graph.sort_by_depth(&fed);
        producer = fed.empty() ? nullptr : fed.front();
        dual_output = true;
    }
    // Store channels are numbered over one pass: a producer set up in another pass stores on a
    // channel this pass does not know, and the number counted here would name another store. A
    // kept refusal leaves the load without a store channel: the layer is never recorded.
    if (producer && pass.position(producer) < 0)
        pass.refuse_cut_skip(layer, producer);
    else if (producer)
        info.store_channel = store_channel(pass, *layer, producer, dual_output);

    if (depth_a > depth_b && layer_kind(s->type()).inbound == KindInbound::join)
        info.channel_offset = a->output_dimensions()[2];
}

void set_merge_layer_info(PassQueries& pass, std::shared_ptr<Layer> const& layer) {
    auto mapping = layer_mapping(layer);
    if (!mapping) return;
    LayerGraph& graph = pass.graph();
    LayerList ins = inbounds_of(layer);
    if (ins.empty()) return;
    LayerPtr const& s = ins[0];
    mapping->merge_info = std::make_unique<MergeLayerInfo>();
    MergeLayerInfo& info = *mapping->merge_info;
    info.add = layer_kind(s->type()).inbound == KindInbound::sum_of_two;
    uint32_t quartet = skipdma_channels_for_layer(pass, layer);
    info.channel = quartet_byte(quartet, 1);
    info.not_first = pass.first_mappable() != layer;
    if (info.add) {
        auto [a, b] = merge_inputs(*layer, s);
        info.a_shift = s->variable("a_shift");
        info.b_shift = s->variable("b_shift");
        info.output_shift = s->variable("output_shift");
        // The first shift belongs to the deeper input.
        if (graph.get_layer_depth(a) < graph.get_layer_depth(b)) std::swap(info.a_shift, info.b_shift);
    }
    if (!graph.is_dual_output_layer(layer)) return;
    info.dual_output = true;
    if (graph.is_dual_output_to_store_dma(layer)) {
        info.dual_output_target = quartet_byte(quartet, 3);
        return;
    }
    // The dual output goes straight to the layer that carries the other branch.
    LayerList outs = outbounds_of(s);
    LayerPtr m = graph.get_mappable_layer(outs[0]);
    if (m == layer) m = outs.size() > 1 ? graph.get_mappable_layer(outs[1]) : nullptr;
    if (!m) {
        info.dual_output_target = quartet_byte(quartet, 3);
        return;
    }
    if (pass.position(m) < 0) fail(*layer, second_branch_outside_pass_message);
    if (auto target = layer_mapping(m)) info.dual_output_target = target->index;
}

void set_alt_layers(PassQueries& pass, std::shared_ptr<Layer> const& layer,
                    std::vector<std::shared_ptr<std::vector<hw::Component>>>* alternates) {
    auto mapping = layer_mapping(layer);
    if (!mapping) return;
    LayerGraph& graph = pass.graph();
    for (auto const& out : outbounds_of(layer))
        if (pass.position(out) < 0) fail(*layer, second_branch_outside_pass_message);
    // The first layers of the main and the skip branch.
    auto const [main, skip] = graph.branch_heads(layer);
    if (!main || !skip) return;
    auto m0 = layer_mapping(graph.get_mappable_layer(main));
    auto m1 = layer_mapping(graph.get_mappable_layer(skip));
    if (!m0 || !m1) return;
    uint64_t nps = component_count(*m0) + component_count(*m1);
    m0->alt_info = std::make_unique<AltLayerInfo>();
    m1->alt_info = std::make_unique<AltLayerInfo>();
    m0->alt_info->nps = static_cast<uint32_t>(nps);
    m1->alt_info->nps = static_cast<uint32_t>(nps);
    m1->alt_info->alternate = true;
    m1->alt_info->main_index = m0->index;
    mapping->link_index = m0->index;
    if (alternates) {
        alternates->push_back(m0->components);
        alternates->push_back(m1->components);
    }
}

void shift_output_into_sram(LayerGraph& graph, std::shared_ptr<Layer> const& layer) {
    auto mapping = layer_mapping(layer);
    if (!mapping || is_skip_dma(layer)) return;
    LayerList outs = outbounds_of(layer);
    if (outs.empty()) return;
    LayerPtr const& c = outs[0];
    if (layer_kind(c->type()).inbound != KindInbound::join) return;
    auto [a, b] = merge_inputs(*layer, c);
    if (b != layer || graph.get_layer_depth(a) >= graph.get_layer_depth(b)) return;
    mapping->sram_output_shift = a->output_dimensions()[2];
}

uint32_t skipdma_channels_for_layer(std::shared_ptr<Layer> const& layer, LayerList const& layers,
                                    LayerList const& previous_layers) {
    LayerGraph graph;
    PassScan pass(graph, layers, previous_layers);
    return skipdma_channels_for_layer(pass, layer);
}

void set_skipdma_store_channel_info(std::shared_ptr<Layer> const& layer, LayerList const& layers,
                                    LayerList const& previous_layers, DepthMemo* memo) {
    LayerGraph graph(memo);
    PassScan pass(graph, layers, previous_layers);
    set_skipdma_store_channel_info(pass, layer);
}

void set_skipdma_store_channel_dual_output_info(std::shared_ptr<Layer> const& layer,
                                                LayerList const& layers, DepthMemo* memo) {
    LayerGraph graph(memo);
    LayerList const none;  // only the current pass counts
    PassScan pass(graph, layers, none);
    set_skipdma_store_channel_dual_output_info(pass, layer);
}

void set_skipdma_load_channel_info(std::shared_ptr<Layer> const& layer, LayerList const& layers,
                                   LayerList const& previous_layers, DepthMemo* memo) {
    LayerGraph graph(memo);
    PassScan pass(graph, layers, previous_layers);
    set_skipdma_load_channel_info(pass, layer);
}

void set_merge_layer_info(std::shared_ptr<Layer> const& layer, LayerList const& layers,
                          LayerList const& previous_layers, DepthMemo* memo) {
    LayerGraph graph(memo);
    PassScan pass(graph, layers, previous_layers);
    set_merge_layer_info(pass, layer);
}

void set_alt_layers(std::shared_ptr<Layer> const& layer, LayerList const& layers,
                    std::vector<std::shared_ptr<std::vector<hw::Component>>>* alternates) {
    LayerGraph graph;
    LayerList const none;  // only the current pass counts
    PassScan pass(graph, layers, none);
    set_alt_layers(pass, layer, alternates);
}

void shift_output_into_sram(std::shared_ptr<Layer> const& layer, DepthMemo* memo) {
    LayerGraph graph(memo);
    shift_output_into_sram(graph, layer);
}

}  // namespace nuvra
