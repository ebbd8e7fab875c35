// The set-up of a pass against the per-call reference: random residual models cut into random
// passes, set up once by build_layer_mapping (one PassIndex per pass) and once, on an identical
// model, layer by layer by update_layer_mapping (PassScan), leave every field alike and fail alike.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mapping/graph_utils.h"
#include "mapping/layer_mapping.h"
#include "mapping/skip_dma.h"
#include "support/mapping_fixtures.h"
#include "support/model_builder.h"

namespace nuvra {
namespace {

using namespace testing;
using Rng = std::mt19937;
using Names = std::vector<std::string>;

// Every field of every layer's mapping, a line per mapped layer; component lists linked from
// another mapping are named after the layer that owns them.
std::map<std::string, std::string> describe_all(Model& model) {
    std::map<LayerMapping::ComponentList const*, std::string> owners;
    for (auto const& layer : model.layers())
        if (auto const m = layer_mapping(layer)) owners[m->components.get()] = layer->get_name();
    std::map<std::string, std::string> result;
    for (auto const& layer : model.layers()) {
        auto const m = layer_mapping(layer);
        if (!m) continue;
        std::ostringstream out;
        auto const put = [&out](char const* label, auto const&... values) {
            out << label << ' ';
            ((out << +values << ' '), ...);
        };
        auto const components = [&](std::vector<hw::Component> const& list) {
            out << "[ ";
            for (hw::Component const& c : list)
                put(":", int(c.type), c.ident.col, c.ident.row, c.ident.id, c.ident.channel);
            out << "] ";
        };
        // A shift tensor by the name it has in the merge's first inbound layer.
        auto const shift = [&](std::shared_ptr<Tensor> const& tensor) {
            for (char const* name : {"a_shift", "b_shift", "output_shift"})
                if (tensor && layer->inbound_layers().at(0)->variables().get(name) == tensor) return name;
            return tensor ? "? " : "- ";
        };
        put("index", m->index, m->link_index, m->input_link_index, m->p2p_in, m->p2p_out, m->uses_skipdma_layer_flag,
            m->sram_output_shift.has_value(), m->sram_output_shift.value_or(0));
        if (auto const& i = m->merge_info) {
            put("merge", i->add, i->channel, i->dual_output, i->dual_output_target, i->not_first);
            out << shift(i->a_shift) << shift(i->b_shift) << shift(i->output_shift);
        }
        for (auto const* i : {m->skipdma_store_info.get(), m->skipdma_store_dual_output_info.get()})
            if (i) put("store", i->delay, i->store_flag, i->channel);
        if (auto const& i = m->skipdma_load_info) put("load", i->channel, i->delay, i->store_channel, i->channel_offset);
        if (auto const& i = m->alt_info) put("alt", i->alternate, i->nps, i->main_index);
        for (auto const* list : {m->components.get(), &m->skipdma_stores, &m->skipdma_loads}) components(*list);
        for (auto const* all : {&m->inputs, &m->outputs}) {
            out << "{ ";
            for (auto const& list : *all) {
                auto const it = owners.find(list.get());
                if (it != owners.end()) out << it->second << ' ';
                else if (list) components(*list);
                else out << "null ";
            }
            out << "} ";
        }
        result[layer->get_name()] = out.str();
    }
    return result;
}

// What happened to the passes: the text of a failure, or "mapped".
std::string map_passes(Model& model, std::vector<Names> const& passes, size_t padding, bool per_pass) {
    DepthMemo depths;
    LayerList previous;
    for (Names const& names : passes) {
        LayerList layers;
        for (auto const& name : names) layers.push_back(model.get_layer(name));
        // Earlier layers count only by number: padding stands for longer earlier passes.
        LayerList earlier = previous;
        earlier.insert(earlier.end(), padding, layers.front());
        auto const components = pass_components(layers);
        try {
            if (per_pass) {
                LayerMappingBuilder::build_layer_mapping(layers, earlier, components, pass_dma, &depths);
            } else {
                LayerMappingBuilder::map_standalone(layers, components, pass_dma, &depths);
                for (auto const& layer : layers)
                    if (!layer->is_target_component(ComponentKind::None) &&
                        !layer->is_target_component(ComponentKind::SKIP_DMA))
                        LayerMappingBuilder::update_layer_mapping(layer, layers, earlier, &depths);
            }
        } catch (std::exception const& e) {
            return e.what();
        }
        previous.insert(previous.end(), layers.begin(), layers.end());
    }
    return "mapped";
}

TEST(PassSetUpReference, EveryFieldAsTheLayerByLayerSetUp) {
    std::map<std::string, int> seen;  // how often each situation came up, so that none goes missing
    for (uint32_t seed = 0; seed < 300; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        size_t const steps = 4 + seed % 37;
        ModelBuilder fast = random_model(seed, steps), reference = random_model(seed, steps);
        Rng rng(seed * 7919u + 1);
        std::vector<Names> passes(1);  // 1 to 3 passes in order
        LayerList const layers = fast.model().layers();
        for (auto const& layer : layers) {
            if (!passes.back().empty() && passes.size() < 3 && below(rng, layers.size()) == 0) passes.emplace_back();
            passes.back().push_back(layer->get_name());
        }
        size_t const padding = below(rng, 4) == 0 ? 200 + below(rng, 60) : below(rng, 3);
        std::string const outcome = map_passes(fast.model(), passes, padding, true);
        EXPECT_EQ(outcome, map_passes(reference.model(), passes, padding, false));
        EXPECT_EQ(describe_all(fast.model()), describe_all(reference.model()));

        ++seen[outcome == "mapped" ? (passes.size() > 1 ? "several passes" : "one pass") : "failure"];
        if (outcome.find("Skip-DMA channel") != std::string::npos) ++seen["channel failure"];
        if (outcome.find("second branch") != std::string::npos) ++seen["second branch failure"];
        if (outcome.find("would store on one") != std::string::npos) ++seen["shared store channel failure"];
        for (auto const& layer : fast.model().layers()) {
            auto const m = layer_mapping(layer);
            if (!m) continue;
            if (m->merge_info) ++seen[m->merge_info->add ? "add merge" : "concatenate merge"];
            if (m->merge_info && m->merge_info->dual_output)
                ++seen[m->skipdma_store_dual_output_info ? "stored dual output" : "direct dual output"];
            if (m->merge_info && !m->merge_info->not_first) ++seen["merge first in pass"];
            if (m->alt_info) ++seen["alternate"];
            if (m->skipdma_load_info && m->skipdma_load_info->channel_offset) ++seen["channel offset"];
            if (m->uses_skipdma_layer_flag) ++seen["TNP-B"];
        }
    }
    for (char const* situation : {"one pass", "several passes", "channel failure", "second branch failure",
                                  "shared store channel failure", "add merge", "concatenate merge",
                                  "stored dual output", "direct dual output", "merge first in pass", "alternate",
                                  "channel offset", "TNP-B"})
        EXPECT_GE(seen[situation], 3) << situation;
}

// Both answer every question alike, for each layer of the model (in the pass or not) and null,
// over lists with repeated layers too.
TEST(PassSetUpReference, PassIndexAnswersAsPassScan) {
    for (uint32_t seed = 0; seed < 100; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        ModelBuilder model = random_model(seed, 6 + seed % 25);
        LayerList const all = model.model().layers();
        Rng rng(seed);
        LayerList layers;
        for (size_t i = below(rng, all.size()); i < all.size() && layers.size() < 30; i += 1 + below(rng, 2)) {
            layers.push_back(all[i]);
            if (below(rng, 8) == 0) layers.push_back(all[below(rng, all.size())]);
        }
        LayerList const previous(below(rng, 5), all.front());
        LayerGraph graph_a, graph_b;
        PassIndex index(graph_a, layers, previous);
        PassScan scan(graph_b, layers, previous);
        EXPECT_EQ(index.first_mappable(), scan.first_mappable());
        LayerList asked = all;
        asked.push_back(nullptr);
        for (auto const& layer : asked) {
            std::string const name = name_of(layer);
            EXPECT_EQ(index.position(layer), scan.position(layer)) << name;
            EXPECT_EQ(index.quartets_through(layer), scan.quartets_through(layer)) << name;
            EXPECT_EQ(index.stores_through(layer), scan.stores_through(layer)) << name;
            if (!layer) continue;
            EXPECT_EQ(skipdma_channels_for_layer(index, layer), skipdma_channels_for_layer(scan, layer)) << name;
        }
    }
    // An empty pass counts nothing and holds nothing.
    LayerList const empty;
    LayerGraph graph;
    PassIndex index(graph, empty, empty);
    EXPECT_EQ(index.position(nullptr), -1);
    EXPECT_EQ(index.quartets_through(nullptr), 0);
    EXPECT_EQ(index.first_mappable(), nullptr);
}

}  // namespace
}  // namespace nuvra
