// Skip connections on the mesh: the branch that is not computed in line is stored to external
// memory by a skip-DMA store and loaded back by a skip-DMA load of the merge layer; a TNP-B layer
// keeps its frame buffer the same way. This file requests those engines for a layer and, once
// every layer of a pass has its LayerMapping, writes the channel, merge, alternate-branch and
// concatenation records the recorders read.
//
// Channel numbering over a pass: `layers` are the layers of the current pass in pass order,
// `previous_layers` the layers of the passes before it in the same sequence. Every channel is an
// 8-bit number: a layer whose channel would not fit fails with a MappingStatus thrown as
// std::runtime_error, never wraps into another layer's channel.
//
// The setters reach the layer's mapping through Layer::mapping(); a layer without a LayerMapping
// is left untouched. Failures throw MappingStatus::throw_exception() of a status naming the layer.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "engine/layer.h"
#include "hw/ident.h"
#include "hw/mapping_status.h"
#include "mapping/graph_utils.h"

namespace nuvra {

inline constexpr char second_branch_outside_pass_message[] =
    "Hardware partial reconfiguration with layers on the second branch is not supported.";
inline constexpr char layer_not_in_sequence_message[] = "Layer not found in the sequence.";

// Appends the skip-DMA components that the layer's type list asks for after its NP type:
// the stores of request_skipdma_store for SKIP_DMA_STORE, one load for any other type.
void request_skipdma(std::vector<hw::Component>* components, std::vector<hw::Type> const& types,
                     std::shared_ptr<Layer> const& layer);
// One SKIP_DMA_STORE per reason to store: a TNP-B frame buffer, a skip output, a dual output
// consumed at another depth (0 to 3 components, type only).
std::vector<hw::Component> request_skipdma_store(std::shared_ptr<Layer> const& layer);
// One SKIP_DMA_LOAD component, type only.
std::vector<hw::Component> request_skipdma_load();

// Four consecutive channels c..c+3 packed lowest first: the load channel, the merge channel, the
// link channel of a layer feeding only a skip DMA, the channel of a stored dual output.
uint32_t skipdma_channels_for_layer(std::shared_ptr<Layer> const& layer, LayerList const& layers,
                                    LayerList const& previous_layers);

// The store record (and the link index of a layer that feeds only a skip DMA). A store channel that
// another store of the pass already has fails in the layer's name, "Layers '<other>' and '<layer>'
// would store on one skip-DMA channel (<channel>).": a load naming it would read either store.
// Called alone, the layer's channel is held against the store records the layers of `layers` hold.
void set_skipdma_store_channel_info(std::shared_ptr<Layer> const& layer, LayerList const& layers,
                                    LayerList const& previous_layers, DepthMemo* memo);
// The record of the store that carries a dual output; its channel is the one the load of the
// other branch reads, so `layers` must be the current pass. Its channel is held against the other
// stores of the pass as the store record's is.
void set_skipdma_store_channel_dual_output_info(std::shared_ptr<Layer> const& layer,
                                                LayerList const& layers, DepthMemo* memo);
// The load record of a TNP-B layer or a merge layer. A merge whose skip input is produced (plain or
// dual output) outside `layers` fails with second_branch_outside_pass_message: its store was
// numbered in another pass (PassQueries::refuse_cut_skip).
void set_skipdma_load_channel_info(std::shared_ptr<Layer> const& layer, LayerList const& layers,
                                   LayerList const& previous_layers, DepthMemo* memo);
// The merge record of a merge layer.
void set_merge_layer_info(std::shared_ptr<Layer> const& layer, LayerList const& layers,
                          LayerList const& previous_layers, DepthMemo* memo);
// The alternate records of the two layers after a split at equal depth; their component lists
// are appended to `alternates`.
void set_alt_layers(std::shared_ptr<Layer> const& layer, LayerList const& layers,
                    std::vector<std::shared_ptr<std::vector<hw::Component>>>* alternates);
// Where the layer's output starts inside the joining merge it feeds as the deeper second input.
void shift_output_into_sram(std::shared_ptr<Layer> const& layer, DepthMemo* memo);

// The refusal of a merge whose skip input was stored in an earlier pass (a skip cut by a pass
// boundary), kept by the set-up of its pass for the program building to report when it reaches
// the layer. `producer` is the layer whose store the merge would load.
struct CutSkipRefusal {
    std::shared_ptr<Layer> layer;
    std::shared_ptr<Layer> producer;
    MappingStatus status;
};

// Which of a layer's two store records a store channel goes to: the plain one (a skip output, or a
// TNP-B layer's frame buffer) or the one of its dual output.
enum class StoreRecord { plain, dual_output };

// What the set-up of a pass asks about the pass as a whole: where a layer stands in it, how many
// of its layers up to a given one take skip-DMA channels, its first mappable layer, and which of
// its stores has a store channel already. PassScan walks the lists (and the layers' store records)
// on every question, as a single setter call does; PassIndex works the answers out once for the
// whole pass and keeps the store channels it gave, so that setting up a pass costs time linear in
// its layers. Both give the same answers while the only store records of the pass's layers are
// those its set-up writes. The graph and both lists are held by reference: they must outlive the
// object and the graph must not change meanwhile.
class PassQueries {
public:
    PassQueries(PassQueries const&) = delete;
    PassQueries& operator=(PassQueries const&) = delete;
    virtual ~PassQueries();

    LayerGraph& graph() const { return graph_; }
    // The layers of the pass in pass order, and those of the passes before it in the sequence.
    LayerList const& layers() const { return layers_; }
    LayerList const& previous_layers() const { return previous_layers_; }

    // The first position of the layer in the pass, -1 when the pass does not hold it.
    virtual int64_t position(std::shared_ptr<Layer> const& layer) = 0;
    // first_mappable_layer of the pass.
    virtual std::shared_ptr<Layer> first_mappable() = 0;
    // Among the pass's layers from the second up to and including `layer` (to the end when the
    // pass does not hold it; none when it is the first), those that need a skip-DMA load or
    // store: the channel quartets numbered before the layer's own, plus its own.
    virtual int64_t quartets_through(std::shared_ptr<Layer> const& layer) = 0;
    // The same walk counting the layers that need a skip-DMA store or are dual-output layers:
    // the store channel pairs up to the producer's.
    virtual int64_t stores_through(std::shared_ptr<Layer> const& layer) = 0;
    // The depth of every layer of the pass, kept in the graph.
    virtual void find_depths() = 0;
    // Gives `channel` to `layer`'s `record` store; returns the layer of the pass whose other store
    // has the channel already, null when none.
    virtual std::shared_ptr<Layer> take_store_channel(std::shared_ptr<Layer> const& layer, StoreRecord record,
                                                      uint8_t channel) = 0;

    // From now on a cut skip's refusal goes to `kept` and the set-up of the pass goes on (null, the
    // default: it is thrown at once).
    void keep_cut_skips(std::vector<CutSkipRefusal>* kept) { cut_skips_ = kept; }
    // Refuses `layer`, a merge whose skip input `producer` stored in another pass, with
    // second_branch_outside_pass_message: thrown, or kept when the pass keeps cut skips.
    void refuse_cut_skip(std::shared_ptr<Layer> const& layer, std::shared_ptr<Layer> const& producer);

protected:
    PassQueries(LayerGraph& graph, LayerList const& layers, LayerList const& previous_layers)
        : graph_(graph), layers_(layers), previous_layers_(previous_layers) {}

private:
    LayerGraph& graph_;
    LayerList const& layers_;
    LayerList const& previous_layers_;
    std::vector<CutSkipRefusal>* cut_skips_ = nullptr;
};

// Walks the pass on every question: the reference that PassIndex is held to.
class PassScan final : public PassQueries {
public:
    PassScan(LayerGraph& graph, LayerList const& layers, LayerList const& previous_layers)
        : PassQueries(graph, layers, previous_layers) {}
    int64_t position(std::shared_ptr<Layer> const& layer) override;
    std::shared_ptr<Layer> first_mappable() override;
    int64_t quartets_through(std::shared_ptr<Layer> const& layer) override;
    int64_t stores_through(std::shared_ptr<Layer> const& layer) override;
    void find_depths() override;
    // The store records the layers of the pass hold, but the one being given the channel.
    std::shared_ptr<Layer> take_store_channel(std::shared_ptr<Layer> const& layer, StoreRecord record,
                                              uint8_t channel) override;
};

// Answers from counts made once per pass: positions when built, the channel counts, the first
// mappable layer and the depths at the first question that needs them; the store channels as it
// gives them.
class PassIndex final : public PassQueries {
public:
    PassIndex(LayerGraph& graph, LayerList const& layers, LayerList const& previous_layers);
    int64_t position(std::shared_ptr<Layer> const& layer) override;
    std::shared_ptr<Layer> first_mappable() override;
    int64_t quartets_through(std::shared_ptr<Layer> const& layer) override;
    int64_t stores_through(std::shared_ptr<Layer> const& layer) override;
    void find_depths() override;
    std::shared_ptr<Layer> take_store_channel(std::shared_ptr<Layer> const& layer, StoreRecord record,
                                              uint8_t channel) override;

private:
    struct StoreHolder {
        std::shared_ptr<Layer> layer;
        StoreRecord record;
    };

    int64_t through(std::vector<int64_t> const& counts, std::shared_ptr<Layer> const& layer);
    void count_channels();

    std::unordered_map<Layer const*, size_t> positions_;  // first position of each layer
    // Element i: the counts over the layers 1..i of the pass (element 0 is 0).
    std::vector<int64_t> quartets_;
    std::vector<int64_t> stores_;
    bool counted_ = false;
    bool depths_found_ = false;
    std::optional<std::shared_ptr<Layer>> first_mappable_;
    std::unordered_map<uint8_t, StoreHolder> store_holders_;  // the first store given each channel
};

// The set-up operations over the questions of one pass: one PassIndex serves every layer while a
// whole pass is set up.
uint32_t skipdma_channels_for_layer(PassQueries& pass, std::shared_ptr<Layer> const& layer);
void set_skipdma_store_channel_info(PassQueries& pass, std::shared_ptr<Layer> const& layer);
void set_skipdma_store_channel_dual_output_info(PassQueries& pass, std::shared_ptr<Layer> const& layer);
void set_skipdma_load_channel_info(PassQueries& pass, std::shared_ptr<Layer> const& layer);
void set_merge_layer_info(PassQueries& pass, std::shared_ptr<Layer> const& layer);
void set_alt_layers(PassQueries& pass, std::shared_ptr<Layer> const& layer,
                    std::vector<std::shared_ptr<std::vector<hw::Component>>>* alternates);

// The requests and the concatenation shift over one LayerGraph, so that the requests of a whole
// mapping (or the set-up of a whole pass) compute each depth and branch once.
void request_skipdma(LayerGraph& graph, std::vector<hw::Component>* components, std::vector<hw::Type> const& types,
                     std::shared_ptr<Layer> const& layer);
std::vector<hw::Component> request_skipdma_store(LayerGraph& graph, std::shared_ptr<Layer> const& layer);
void shift_output_into_sram(LayerGraph& graph, std::shared_ptr<Layer> const& layer);

}  // namespace nuvra
