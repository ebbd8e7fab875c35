// The set-up of a pass against the per-call reference: random residual models (Adds and
// Concatenates, skip layers, dual outputs, TNP-B layers, splits of equal depth) cut into random
// passes, mapped once by LayerMappingBuilder::build_layer_mapping (one PassIndex per pass) and once,
// on an identical model, layer by layer through LayerMappingBuilder::update_layer_mapping (which
// walks the pass on every question), must leave every LayerMapping field alike and fail alike.
// The first and last mappable layers are held to a stable sort by depth the same way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
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

size_t below(Rng& rng, size_t n) { return n == 0 ? 0 : size_t(rng() % n); }

// A random model of `steps` layers after its input, made the same for the same seed: Conv2Ds
// (some of them merge layers, after an Add or a Concatenate), TNP-B layers, Adds of two producers
// of equal channel count and Concatenates, their inputs drawn mostly from the last few layers so
// that skip connections are short or long and some producers feed two branches.
struct RandomModel {
    RandomModel(uint32_t seed, size_t steps) {
        Rng rng(seed);
        model.input("in");
        produced.push_back({"in", 4});
        for (size_t i = 0; i < steps; ++i) {
            std::string const name = std::to_string(i);
            size_t const kind = below(rng, 10);
            auto const pick = [&] {
                size_t const near = std::min<size_t>(3, produced.size());
                size_t const back = below(rng, 3) == 0 ? below(rng, produced.size()) : below(rng, near);
                return produced[produced.size() - 1 - back];
            };
            Producer const a = pick();
            if (kind < 5) {
                model.conv("c" + name, a.name);
                produced.push_back({"c" + name, 4});
            } else if (kind == 5) {
                model.buffer_temp_conv("t" + name, a.name, 1 + int(below(rng, 4)));
                produced.push_back({"t" + name, 4});
            } else {
                Producer b = pick();
                // An Add needs inputs of equal channel count.
                auto const unfit = [&] { return b.name == a.name || (kind < 8 && b.channels != a.channels); };
                for (size_t tries = 0; tries < 4 && unfit(); ++tries) b = pick();
                if (unfit()) continue;
                // The merge layer after the Add or Concatenate, and now and then a second reader of
                // it: a dual output, at the same depth or deeper.
                std::string const merge = kind < 8 ? "add" + name : "cat" + name;
                if (kind < 8) model.add(merge, a.name, b.name);
                else model.concat(merge, {a.name, b.name});
                model.conv("m" + name, merge);
                produced.push_back({"m" + name, 4});
                if (below(rng, 3) == 0) {
                    model.conv("d" + name, below(rng, 2) == 0 ? merge : "m" + name);
                    produced.push_back({"d" + name, 4});
                }
                if (kind < 8 && below(rng, 4) == 0) produced.push_back({merge, a.channels});
            }
        }
    }
    struct Producer {
        std::string name;
        int channels;
    };
    ModelBuilder model;
    std::vector<Producer> produced;
};

// Every field of a layer's mapping in one line; component lists linked from another mapping are
// named after the layer that owns them.
std::string describe(std::shared_ptr<Layer> const& layer,
                     std::map<LayerMapping::ComponentList const*, std::string> const& owners) {
    auto const m = layer_mapping(layer);
    if (!m) return "none";
    std::ostringstream out;
    auto const components = [&out](std::vector<hw::Component> const& list) {
        out << "[";
        for (hw::Component const& c : list)
            out << int(c.type) << ":" << int(c.ident.col) << "." << int(c.ident.row) << "." << int(c.ident.id) << "."
                << int(c.ident.channel) << " ";
        out << "]";
    };
    auto const lists = [&](LayerMapping::ComponentLists const& all) {
        out << "{";
        for (auto const& list : all) {
            if (auto const it = owners.find(list.get()); it != owners.end()) out << it->second;
            else if (list) components(*list);
            out << " ";
        }
        out << "}";
    };
    // A shift tensor by the name it has in the merge's first inbound layer.
    auto const shift = [&](std::shared_ptr<Tensor> const& tensor) {
        if (!tensor) return std::string("-");
        Variables const& variables = layer->inbound_layers().at(0)->variables();
        for (char const* name : {"a_shift", "b_shift", "output_shift"})
            if (variables.get(name) == tensor) return std::string(name);
        return std::string("?");
    };
    out << "index " << int(m->index) << " link " << int(m->link_index) << " input_link " << int(m->input_link_index)
        << " p2p " << m->p2p_in << m->p2p_out << " flag " << m->uses_skipdma_layer_flag << " sram "
        << (m->sram_output_shift ? std::to_string(*m->sram_output_shift) : "-");
    if (auto const& i = m->merge_info)
        out << " merge " << i->add << " " << i->channel << " " << shift(i->a_shift) << " " << shift(i->b_shift) << " "
            << shift(i->output_shift) << " " << i->dual_output << " " << int(i->dual_output_target) << " "
            << i->not_first;
    for (auto const* i : {m->skipdma_store_info.get(), m->skipdma_store_dual_output_info.get()})
        if (i) out << " store " << int(i->delay) << " " << int(i->store_flag) << " " << int(i->channel);
    if (auto const& i = m->skipdma_load_info)
        out << " load " << int(i->channel) << " " << int(i->delay) << " " << int(i->store_channel) << " "
            << i->channel_offset;
    if (auto const& i = m->alt_info) out << " alt " << i->alternate << " " << i->nps << " " << int(i->main_index);
    out << " nps ";
    components(*m->components);
    out << " stores ";
    components(m->skipdma_stores);
    out << " loads ";
    components(m->skipdma_loads);
    out << " in ";
    lists(m->inputs);
    out << " out ";
    lists(m->outputs);
    return out.str();
}

std::map<std::string, std::string> describe_all(Model& model) {
    std::map<LayerMapping::ComponentList const*, std::string> owners;
    for (auto const& layer : model.layers())
        if (auto const m = layer_mapping(layer)) owners[m->components.get()] = layer->get_name();
    std::map<std::string, std::string> result;
    for (auto const& layer : model.layers()) result[layer->get_name()] = describe(layer, owners);
    return result;
}

// The model's layers cut into 1 to 3 passes in order.
std::vector<LayerList> random_passes(Rng& rng, LayerList const& layers) {
    std::vector<LayerList> passes(1);
    for (auto const& layer : layers) {
        if (!passes.back().empty() && passes.size() < 3 && below(rng, layers.size()) == 0) passes.emplace_back();
        passes.back().push_back(layer);
    }
    return passes;
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
        RandomModel fast(seed, steps), reference(seed, steps);
        Rng rng(seed * 7919u + 1);
        std::vector<Names> passes;
        for (LayerList const& pass : random_passes(rng, fast.model.model().layers())) passes.push_back(names_of(pass));
        size_t const padding = below(rng, 4) == 0 ? 200 + below(rng, 60) : below(rng, 3);
        std::string const outcome = map_passes(fast.model.model(), passes, padding, true);
        EXPECT_EQ(outcome, map_passes(reference.model.model(), passes, padding, false));
        EXPECT_EQ(describe_all(fast.model.model()), describe_all(reference.model.model()));

        ++seen[outcome == "mapped" ? (passes.size() > 1 ? "several passes" : "one pass") : "failure"];
        if (outcome.find("channel") != std::string::npos) ++seen["channel failure"];
        if (outcome.find("second branch") != std::string::npos) ++seen["second branch failure"];
        for (auto const& layer : fast.model.model().layers()) {
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
    for (char const* situation : {"one pass", "several passes", "channel failure", "second branch failure", "add merge",
                                  "concatenate merge", "stored dual output", "direct dual output",
                                  "merge first in pass", "alternate", "channel offset", "TNP-B"})
        EXPECT_GE(seen[situation], 3) << situation;
}

// Both answer every question alike, for each layer of the model (in the pass or not) and null,
// over lists with repeated layers too.
TEST(PassSetUpReference, PassIndexAnswersAsPassScan) {
    for (uint32_t seed = 0; seed < 100; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        RandomModel random(seed, 6 + seed % 25);
        LayerList const all = random.model.model().layers();
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

// The predecessor depth of `c` in `list` (see LayerGraph::first_mappable_layer).
unsigned predecessor_depth(LayerGraph& graph, std::shared_ptr<Layer> const& c, LayerList const& list) {
    auto pos = c ? std::find(list.begin(), list.end(), c) : list.end();
    while (pos != list.begin()) {
        --pos;
        if (*pos) return graph.get_layer_depth(*pos);
    }
    return 0;
}

// The first or last mappable layer by a stable sort of the list's mappable layers.
std::shared_ptr<Layer> sorted_mappable(LayerList const& layers, bool last) {
    LayerGraph graph;
    LayerList m;
    for (auto const& layer : layers)
        if (layer && !layer->is_target_component(ComponentKind::SKIP_DMA) &&
            !layer->is_target_component(ComponentKind::None))
            m.push_back(layer);
    if (m.empty()) return nullptr;
    graph.sort_by_depth(&m);
    if (m.size() == 1) return m[0];
    auto const& end = last ? m.back() : m.front();
    auto const& next = last ? m[m.size() - 2] : m[1];
    bool const apart = last ? graph.get_layer_depth(next) < graph.get_layer_depth(end)
                            : graph.get_layer_depth(end) < graph.get_layer_depth(next);
    if (apart) return end;
    LayerList const& b0 = graph.main_branch(end);
    LayerList const& b1 = graph.main_branch(next);
    auto const c = graph.first_common_layer(b0, b1);
    return predecessor_depth(graph, c, b0) < predecessor_depth(graph, c, b1) ? next : end;
}

TEST(PassSetUpReference, MappableEndsAsByASort) {
    int ties = 0;
    for (uint32_t seed = 0; seed < 300; ++seed) {
        RandomModel random(seed, 3 + seed % 30);
        LayerList const all = random.model.model().layers();
        Rng rng(seed);
        // A shuffled sample with repeats and null entries.
        LayerList layers;
        for (size_t n = below(rng, 12); layers.size() < n;)
            layers.push_back(below(rng, 10) == 0 ? nullptr : all[below(rng, all.size())]);
        std::shuffle(layers.begin(), layers.end(), rng);
        EXPECT_EQ(first_mappable_layer(layers), sorted_mappable(layers, false)) << "seed " << seed;
        EXPECT_EQ(last_mappable_layer(layers), sorted_mappable(layers, true)) << "seed " << seed;
        LayerGraph graph;
        LayerList m = layers;
        std::erase_if(m, [](auto const& l) { return !l || l->is_target_component(ComponentKind::SKIP_DMA) ||
                                                     l->is_target_component(ComponentKind::None); });
        graph.sort_by_depth(&m);
        if (m.size() > 1 && graph.get_layer_depth(m[0]) == graph.get_layer_depth(m[1])) ++ties;
    }
    EXPECT_GE(ties, 10);  // ties at the front of the order, where the branches decide
}

}  // namespace
}  // namespace nuvra
