// Times HardwareBackend::map of one chain of N Conv2D layers (3 x 3, 16 filters over 16 channels,
// 16 x 16 input, 'Same' padding) behind an InputData layer on a second-generation virtual mesh,
// for N = 25, 50, 100, 150, 200, 250 and the longest chain that still maps as one sequence: once
// on a mesh with an NP per layer (one pass) and once on 16 NPs (a new pass every 16 layers).
// Prints the milliseconds per layer, that figure over the one of the shortest chain, and
// t(2N) / t(N); mapping stays linear when the per-layer figure holds and the ratio stays near 2.
// Then residual chains of 6 to 60 blocks (26 to 242 layers) in one pass, per layer over the shortest,
// and the same for residual chains whose Adds each feed a Conv2D and the next Add (21 to 183 layers),
// and the set-up of that pass's layer mappings alone: by LayerMappingBuilder::build_layer_mapping
// (counts made once per pass) and as it was before (every skip and merge layer walking the pass up
// to itself), per layer and old over new.
// Then the NP placement alone (the mapping driver's np_request loop, each layer keeping the NPs of
// the one before out) on a mesh with an NP per layer, by the mapper and by the scanning mapper it
// replaced (tests/cpp/support/scanning_mesh_mapper.h), per layer and old over new.
// Then split-block chains (each block splits into two Conv2Ds of one depth that feed an Add) of 6 to
// 31 blocks (26 to 126 layers) in one pass, per layer over the shortest, and the branch questions
// that map asks (skip-DMA requests, merges, alternates, first, last, next and previous mappable
// layers) for 6 to 62 blocks (26 to 250 layers), by LayerGraph and by the sorted lists it replaced
// (tests/cpp/support/sorted_branch_graph.h), per layer and old over new.
// Not a test: run it on a Release build.
//   map_chain [repeats] [longest]
//   map_chain once <N> <nps> [repeats]
//   map_chain place <N> <repeats>
//   map_chain residual <blocks> [repeats]
//   map_chain split <blocks> <nps>
// `longest` (default 1000) bounds the search for the longest chain; `once` maps a chain once (or
// `repeats` times, a fresh chain each time) and `place` places one chain `repeats` times with the
// mapper, and `residual` maps a residual chain of that many blocks in one pass (both to run under a
// profiler); `split` maps a split-block chain once on `nps` NPs.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "hw/mesh.h"
#include "hw/presets.h"
#include "hw/virtual_device.h"
#include "mapping/hardware_backend.h"
#include "mapping/layer_mapping.h"
#include "mapping/skip_dma.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh_mapper.h"
#include "support/scanning_mesh_mapper.h"
#include "support/sorted_branch_graph.h"

namespace {

using namespace nuvra;
using Clock = std::chrono::steady_clock;

constexpr int channels = 16;

std::shared_ptr<Layer> make_layer(LayerType type, std::map<std::string, int> const& entries, std::string name) {
    auto const params = LayerParams::create(type, entries);
    return Layer::create(params.get(), std::move(name));
}

std::unique_ptr<Model> make_chain(int conv_layers) {
    auto model = Model::create();
    model->add(make_layer(LayerType::InputData,
                          {{"input_width", 16}, {"input_height", 16}, {"input_channels", channels}}, "input"));
    for (int i = 1; i <= conv_layers; ++i)
        model->add(make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", channels}, {"padding", 1}},
                              "conv" + std::to_string(i)));
    return model;
}

// A Conv2D of the chain's kind named `name`, reading `in`, added to `model`.
std::shared_ptr<Layer> add_conv(Model& model, std::string name, std::shared_ptr<Layer> const& in) {
    auto layer =
        make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", channels}, {"padding", 1}}, std::move(name));
    model.add(layer, {in});
    return layer;
}

// `blocks` residual blocks after the input and a first Conv2D: x -> a -> b, Add(x, b) -> m, and m is
// the next block's x; every layer as in the chain. 4 x blocks + 2 layers, x a skip layer, m a merge.
std::unique_ptr<Model> make_residual(int blocks) {
    auto model = make_chain(1);
    std::shared_ptr<Layer> x = model->layers().back();
    for (int i = 1; i <= blocks; ++i) {
        auto const b = add_conv(*model, "b" + std::to_string(i), add_conv(*model, "a" + std::to_string(i), x));
        auto const add = make_layer(LayerType::Add, {}, "add" + std::to_string(i));
        model->add(add, {x, b});
        x = add_conv(*model, "m" + std::to_string(i), add);
    }
    return model;
}

// `blocks` residual blocks whose Add is the next block's x: x -> a -> b, Add(x, b), so that every Add
// but the last feeds a Conv2D and the next Add, and a last Conv2D; 3 x blocks + 3 layers. Each Add
// asks whether its two readers lie at one depth.
std::unique_ptr<Model> make_fanned_residual(int blocks) {
    auto model = make_chain(1);
    std::shared_ptr<Layer> x = model->layers().back();
    for (int i = 1; i <= blocks; ++i) {
        auto const b = add_conv(*model, "b" + std::to_string(i), add_conv(*model, "a" + std::to_string(i), x));
        auto const add = make_layer(LayerType::Add, {}, "add" + std::to_string(i));
        model->add(add, {x, b});
        x = add;
    }
    add_conv(*model, "last", x);
    return model;
}

// `blocks` split blocks after the input and a first Conv2D: x splits into a and b, Add(a, b) -> m,
// and m is the next block's x; every layer as in the chain. 4 x blocks + 2 layers; a and b lie at
// one depth, so x is a split into alternates, a a skip layer and m a merge.
std::unique_ptr<Model> make_split(int blocks) {
    auto model = make_chain(1);
    std::shared_ptr<Layer> x = model->layers().back();
    for (int i = 1; i <= blocks; ++i) {
        auto const a = add_conv(*model, "a" + std::to_string(i), x);
        auto const b = add_conv(*model, "b" + std::to_string(i), x);
        auto const add = make_layer(LayerType::Add, {}, "add" + std::to_string(i));
        model->add(add, {a, b});
        x = add_conv(*model, "m" + std::to_string(i), add);
    }
    return model;
}

// `nps` CNPs, four to a column, and a skip-DMA engine of `skip_channels` channels when not 0.
std::shared_ptr<Device> make_device(int nps, uint8_t skip_channels = 0) {
    std::vector<np::Info> list;
    for (int i = 0; i < nps; ++i)
        list.push_back({{uint8_t(1 + i / 4), uint8_t(i % 4), 0, 0}, {hw::Type::CNP1, hw::Type::CNP2}, true});
    std::vector<np::Info> skip_dmas;
    if (skip_channels != 0) skip_dmas.push_back({{0, 0, 1, skip_channels}, {}, false});
    return make_virtual_device(hw::Tolmar_v2,
                               Mesh(IpVersion::v2, {0, 0, 0, 0}, {0, 0, 1, 0}, std::nullopt, list, skip_dmas));
}

// Keeps the shortest of the times of size `n`.
void keep_best(std::map<int, double>& best, int n, double ms) {
    auto const it = best.find(n);
    if (it == best.end() || ms < it->second) best[n] = ms;
}

struct Outcome {
    bool mapped = false;  // one sequence, no failure
    size_t layers = 0;
    size_t passes = 0;
    double ms = 0;
    std::string failure;
};

// Maps the model once; only the mapping is timed.
Outcome map_model(std::unique_ptr<Model> const& model, std::shared_ptr<Device> const& device) {
    Outcome outcome;
    std::vector<std::shared_ptr<Layer>> layers = model->layers();
    outcome.layers = layers.size();
    auto const constraints = std::make_shared<MapConstraints>(device);
    std::vector<std::shared_ptr<Sequence>> sequences;
    HardwareBackend backend(generation_selector());
    auto const start = Clock::now();
    MappingStatusGroup group;
    try {
        group = backend.map(&layers, &sequences, constraints);
    } catch (std::exception const& error) {
        outcome.failure = error.what();
        return outcome;
    }
    outcome.ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    outcome.mapped = !group.failed && sequences.size() == 1;
    if (!outcome.mapped)
        outcome.failure = group.failed ? group.to_string() : std::to_string(sequences.size()) + " sequences";
    else
        outcome.passes = sequences.front()->passes().size();
    return outcome;
}

// Maps a fresh chain of `n` layers once.
Outcome map_chain(int n, int nps) { return map_model(make_chain(n), make_device(nps)); }

// The longest chain of at most `bound` layers that maps as one sequence (bisection).
int longest_chain(int bound, bool one_pass) {
    int good = 0, bad = bound + 1;
    while (bad - good > 1) {
        int const mid = good + (bad - good) / 2;
        (map_chain(mid, one_pass ? mid : 16).mapped ? good : bad) = mid;
    }
    return good;
}

std::vector<int> const chain_sizes{25, 50, 100, 150, 200, 250};

void run(char const* title, bool one_pass, int repeats, int bound) {
    std::vector<int> sizes = chain_sizes;
    int const longest = longest_chain(bound, one_pass);
    std::printf("%s: the longest chain that maps as one sequence has %d Conv2D layers%s\n", title, longest,
                longest == bound ? " (the search bound)" : "");
    if (std::find(sizes.begin(), sizes.end(), longest) == sizes.end()) sizes.push_back(longest);
    std::sort(sizes.begin(), sizes.end());
    // Every size once per round, so that the machine's load falls on all of them alike; the best
    // round counts.
    std::map<int, Outcome> best;
    for (int r = 0; r < repeats; ++r)
        for (int n : sizes) {
            Outcome const outcome = map_chain(n, one_pass ? n : 16);
            auto const it = best.find(n);
            if (it == best.end() || (outcome.mapped && it->second.mapped && outcome.ms < it->second.ms) ||
                !outcome.mapped)
                best[n] = outcome;
        }
    std::printf("  %6s %6s %10s %12s %12s %10s\n", "N", "passes", "ms", "ms/layer", "per layer /", "t(2N)/t(N)");
    std::printf("  %6s %6s %10s %12s %12d\n", "", "", "", "", sizes.front());
    std::map<int, double> times;
    for (int n : sizes) {
        Outcome const& outcome = best[n];
        if (!outcome.mapped) {
            std::printf("  %6d  does not map: %s\n", n, outcome.failure.c_str());
            continue;
        }
        times[n] = outcome.ms;
        auto const& [first_n, first_ms] = *times.begin();
        std::printf("  %6d %6zu %10.3f %12.4f %12.2f", n, outcome.passes, outcome.ms, outcome.ms / n,
                    (outcome.ms / n) / (first_ms / first_n));
        if (n % 2 == 0 && times.count(n / 2)) std::printf(" %10.2f", outcome.ms / times[n / 2]);
        std::printf("\n");
    }
    if (!times.empty()) {
        auto const& [first_n, first_ms] = *times.begin();
        auto const& [last_n, last_ms] = *times.rbegin();
        std::printf("  ms/layer at N = %d over N = %d: %.2f\n", last_n, first_n, (last_ms / last_n) / (first_ms / first_n));
    }
}

// Chains of `blocks` blocks of at most four layers (and an input and an output layer), each mapped
// in one pass with an NP per layer: the best time of `repeats` rounds and the time per layer over the
// shortest chain's.
void run_blocks(char const* title, std::vector<int> const& blocks, std::unique_ptr<Model> (*make)(int), int repeats) {
    std::map<int, Outcome> best;
    for (int r = 0; r < repeats; ++r)
        for (int n : blocks) {
            Outcome const outcome = map_model(make(n), make_device(4 * n + 1, 64));
            auto const it = best.find(n);
            if (it == best.end() || !outcome.mapped || (it->second.mapped && outcome.ms < it->second.ms))
                best[n] = outcome;
        }
    std::printf("%s, one pass (an NP per layer):\n", title);
    std::printf("  %6s %6s %10s %12s %12s\n", "blocks", "layers", "ms", "ms/layer", "per layer /");
    double first = 0;
    for (int n : blocks) {
        Outcome const& outcome = best[n];
        double const layers = double(outcome.layers);
        if (!outcome.mapped) {
            std::printf("  %6d  does not map: %s\n", n, outcome.failure.c_str());
            continue;
        }
        if (first == 0) first = outcome.ms / layers;
        std::printf("  %6d %6zu %10.3f %12.4f %12.2f\n", n, outcome.layers, outcome.ms, outcome.ms / layers,
                    outcome.ms / layers / first);
    }
}

// Residual chains in one pass (their skip-DMA channels, 8 bits, allow about 60 blocks in a pass).
void run_residual(int repeats) {
    run_blocks("Residual chains", {6, 12, 25, 50, 60}, make_residual, repeats);
    run_blocks("Residual chains whose Adds feed the next Add", {6, 12, 25, 50, 60}, make_fanned_residual, repeats);
}

// The one pass of a mapped residual chain: its layers, and each layer's components as the mapper
// gave them (NPs, then skip-DMA stores and loads).
struct MappedPass {
    std::unique_ptr<Model> model;
    std::vector<std::shared_ptr<Layer>> layers;
    std::vector<std::vector<hw::Component>> components;
};

MappedPass map_residual_pass(int blocks) {
    MappedPass pass{make_residual(blocks), {}, {}};
    std::vector<std::shared_ptr<Layer>> layers = pass.model->layers();
    auto const constraints = std::make_shared<MapConstraints>(make_device(4 * blocks + 1, 64));
    std::vector<std::shared_ptr<Sequence>> sequences;
    MappingStatusGroup const group = HardwareBackend(generation_selector()).map(&layers, &sequences, constraints);
    if (group.failed || sequences.size() != 1 || sequences.front()->passes().size() != 1)
        throw std::runtime_error("the residual chain of " + std::to_string(blocks) + " blocks does not map in one pass");
    pass.layers = sequences.front()->passes().front()->layers;
    for (auto const& layer : pass.layers) {
        std::vector<hw::Component>& list = pass.components.emplace_back();
        auto const mapping = layer_mapping(layer);
        if (!mapping) continue;
        list = *mapping->components;
        list.insert(list.end(), mapping->skipdma_stores.begin(), mapping->skipdma_stores.end());
        list.insert(list.end(), mapping->skipdma_loads.begin(), mapping->skipdma_loads.end());
    }
    return pass;
}

// Milliseconds to give the pass's layers fresh mappings and set them up: with the counts made once
// per pass (build_layer_mapping), or as before, with one graph for the pass but every skip and merge
// layer walking the pass up to itself (PassScan).
double set_up_pass(MappedPass const& pass, bool per_pass) {
    hw::Ident const dma{0, 0, 1, 0};
    std::vector<std::shared_ptr<Layer>> const previous;
    auto const start = Clock::now();
    DepthMemo depths;
    if (per_pass) {
        LayerMappingBuilder::build_layer_mapping(pass.layers, previous, pass.components, dma, &depths);
    } else {
        LayerMappingBuilder::map_standalone(pass.layers, pass.components, dma, &depths);
        LayerGraph graph(&depths);
        PassScan scan(graph, pass.layers, previous);
        for (auto const& layer : pass.layers)
            if (!layer->is_target_component(ComponentKind::None) && !layer->is_target_component(ComponentKind::SKIP_DMA))
                LayerMappingBuilder::update_layer_mapping(scan, layer);
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void run_residual_set_up(int repeats) {
    std::vector<int> const blocks{6, 12, 25, 50, 60};
    std::map<int, MappedPass> passes;
    for (int n : blocks) passes[n] = map_residual_pass(n);
    // Both ways on every size once per round; the best round counts.
    std::map<int, double> best_new, best_old;
    for (int r = 0; r < repeats; ++r)
        for (int n : blocks) {
            keep_best(best_new, n, set_up_pass(passes[n], true));
            keep_best(best_old, n, set_up_pass(passes[n], false));
        }
    std::printf("Layer mappings of the residual pass alone: us per layer, and that over %d blocks\n", blocks.front());
    std::printf("  %6s %6s %20s %20s %10s\n", "blocks", "layers", "counted once", "walked (old)", "old / new");
    int const first = blocks.front();
    auto const per_layer = [&](std::map<int, double> const& best, int n) {
        return best.at(n) / double(passes.at(n).layers.size());
    };
    for (int n : blocks) {
        std::printf("  %6d %6zu", n, passes.at(n).layers.size());
        for (auto const* best : {&best_new, &best_old})
            std::printf(" %12.3f %7.2f", 1000 * per_layer(*best, n), per_layer(*best, n) / per_layer(*best, first));
        std::printf(" %10.2f\n", best_old.at(n) / best_new.at(n));
    }
}

// Split-block chains in one pass. Their skip-DMA channels (two quartets a block, 8 bits) allow 31
// blocks in a pass.
std::vector<int> const split_blocks{6, 12, 18, 25, 31};

void run_split(int repeats) { run_blocks("Split-block chains", split_blocks, make_split, repeats); }

// The first layers of a split's main and skip branches.
std::pair<std::shared_ptr<Layer>, std::shared_ptr<Layer>> branch_heads(testing::SortedBranchGraph& graph,
                                                                       std::shared_ptr<Layer> const& layer) {
    auto const [main, skip] = graph.get_skipconnect_branch(layer);
    return {main.empty() ? nullptr : main.front(), skip.empty() ? nullptr : skip.front()};
}
std::pair<std::shared_ptr<Layer>, std::shared_ptr<Layer>> branch_heads(LayerGraph& graph,
                                                                       std::shared_ptr<Layer> const& layer) {
    return graph.branch_heads(layer);
}

// The branch questions that mapping a model in one pass asks, in the graphs the map makes: for every
// layer a fresh graph (the mapper's skip-DMA requests), then one graph for the pass (the first and last
// mappable layers, merges, alternates and their branches, and the links between layers). Milliseconds;
// the answers are folded into `sink` so that none is left out.
template <class Graph>
double ask_branch_questions(std::vector<std::shared_ptr<Layer>> const& layers, size_t* sink) {
    auto const start = Clock::now();
    DepthMemo depths;
    for (auto const& layer : layers) {
        if (!layer->is_target_component(ComponentKind::CNP)) continue;
        Graph graph(&depths);
        *sink += graph.layer_need_store_dma(layer) + 2 * graph.layer_need_load_dma(layer);
    }
    Graph graph(&depths);
    *sink += graph.first_mappable_layer(layers) != nullptr;
    *sink += graph.last_mappable_layer(layers) != nullptr;
    for (auto const& layer : layers) {
        if (layer->is_target_component(ComponentKind::None) || layer->is_target_component(ComponentKind::SKIP_DMA))
            continue;
        *sink += graph.is_merge(layer) + graph.is_dual_output_layer(layer);
        if (graph.is_alt_layer(layer)) {
            auto const [main, skip] = branch_heads(graph, layer);
            *sink += graph.get_mappable_layer(main) != graph.get_mappable_layer(skip);
        }
        *sink += graph.previous_mappable_layer(layer) != nullptr;
        *sink += graph.next_mappable_layer(layer) != nullptr;
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void run_split_questions(int repeats) {
    std::vector<int> const blocks{6, 12, 25, 50, 62};
    std::map<int, std::unique_ptr<Model>> models;
    for (int n : blocks) models[n] = make_split(n);
    std::map<int, double> best_new, best_old;
    size_t answers_new = 0, answers_old = 0;
    for (int r = 0; r < repeats; ++r)
        for (int n : blocks) {
            auto const layers = models[n]->layers();
            keep_best(best_new, n, ask_branch_questions<LayerGraph>(layers, &answers_new));
            keep_best(best_old, n, ask_branch_questions<testing::SortedBranchGraph>(layers, &answers_old));
        }
    if (answers_new != answers_old) throw std::runtime_error("the two graphs answer the branch questions differently");
    std::printf("Branch questions of a split-block map (one pass): us per layer, and that over %d blocks\n",
                blocks.front());
    std::printf("  %6s %6s %20s %20s %10s\n", "blocks", "layers", "LayerGraph", "sorted lists (old)", "old / new");
    int const first = blocks.front();
    auto const per_layer = [](std::map<int, double> const& best, int n) { return best.at(n) / (4.0 * n + 2); };
    for (int n : blocks) {
        std::printf("  %6d %6d", n, 4 * n + 2);
        for (auto const* best : {&best_new, &best_old})
            std::printf(" %12.3f %7.2f", 1000 * per_layer(*best, n), per_layer(*best, n) / per_layer(*best, first));
        std::printf(" %10.2f\n", best_old.at(n) / best_new.at(n));
    }
}

// The mapping driver's placement loop over a chain: every Conv2D asks for its NPs with the NPs of
// the layer before it kept out. Milliseconds, from the mapper's reset to the last layer placed.
template <class Mapper>
double place_chain(Mapper& mapper, std::vector<std::shared_ptr<Layer>> const& layers) {
    auto const start = Clock::now();
    mapper.reset();
    std::vector<hw::Ident> reserved;
    for (auto const& layer : layers) {
        if (!layer->is_target_component(ComponentKind::CNP)) continue;
        bool need_new_pass = false;
        auto const [components, status] = mapper.np_request(layer, reserved, false, &need_new_pass, true);
        if (status.failed) throw std::runtime_error(status.to_string());
        reserved.clear();
        for (hw::Component const& component : components)
            if (component.type != hw::Type::SKIP_DMA_STORE && component.type != hw::Type::SKIP_DMA_LOAD)
                reserved.push_back(component.ident);
    }
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Constraints whose select_nps is a caller's own (as a Python subclass's is) but answers as the
// default: the mapper must then offer it every free NP.
class OwnSelection : public MapConstraints {
public:
    using MapConstraints::MapConstraints;
    std::vector<hw::Ident> select_nps(std::vector<hw::Ident> const& source, size_t count,
                                      hw::Type type) const override {
        return MapConstraints::select_nps(source, count, type);
    }
};

// The same chain on the same mesh for the mapper (with the default select_nps and with a caller's
// own) and for the scanning mapper.
struct Placement {
    explicit Placement(int n)
        : device(make_device(n)),
          model(make_chain(n)),
          layers(model->layers()),
          constraints(device),
          own_selection(device),
          backend(*device),
          mapper(backend.checker(), constraints),
          hooked(backend.checker(), own_selection),
          reference(backend.checker(), constraints) {}
    std::shared_ptr<Device> device;
    std::unique_ptr<Model> model;
    std::vector<std::shared_ptr<Layer>> layers;
    MapConstraints constraints;
    OwnSelection own_selection;
    IpVersionSpecificHardwareBackend backend;
    MeshMapper mapper;
    MeshMapper hooked;
    testing::ScanningMeshMapper reference;
};

void run_placement(int repeats) {
    std::map<int, std::unique_ptr<Placement>> cases;
    for (int n : chain_sizes) cases[n] = std::make_unique<Placement>(n);
    // Every mapper on every size once per round; the best round counts.
    std::map<int, double> best_new, best_hooked, best_old;
    for (int r = 0; r < repeats; ++r)
        for (auto& [n, c] : cases) {
            keep_best(best_new, n, place_chain(c->mapper, c->layers));
            keep_best(best_hooked, n, place_chain(c->hooked, c->layers));
            keep_best(best_old, n, place_chain(c->reference, c->layers));
        }
    std::printf("NP placement alone (np_request per layer) on an NP per layer: us per layer, and that over N = %d\n",
                chain_sizes.front());
    std::printf("  %6s %20s %20s %20s %10s\n", "N", "mapper", "own select_nps", "scanning (old)", "old / new");
    int const first = chain_sizes.front();
    for (int n : chain_sizes) {
        std::printf("  %6d", n);
        for (auto const* best : {&best_new, &best_hooked, &best_old})
            std::printf(" %12.3f %7.2f", 1000 * best->at(n) / n, (best->at(n) / n) / (best->at(first) / first));
        std::printf(" %10.2f\n", best_old.at(n) / best_new.at(n));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 4 || argc == 5) && std::string(argv[1]) == "once") {
        register_mapping_backend();
        Outcome outcome;
        double ms = 0;
        for (int r = 0; r < (argc == 5 ? std::atoi(argv[4]) : 1); ++r) {
            outcome = map_chain(std::atoi(argv[2]), std::atoi(argv[3]));
            ms += outcome.ms;
        }
        std::printf("%s %.3f ms %s\n", outcome.mapped ? "mapped" : "failed", ms, outcome.failure.c_str());
        return outcome.mapped ? 0 : 1;
    }
    if (argc == 4 && std::string(argv[1]) == "place") {
        register_mapping_backend();
        Placement c(std::atoi(argv[2]));
        double ms = 0;
        for (int r = 0; r < std::atoi(argv[3]); ++r) ms += place_chain(c.mapper, c.layers);
        std::printf("placed in %.3f ms\n", ms);
        return 0;
    }
    if ((argc == 3 || argc == 4) && std::string(argv[1]) == "residual") {
        register_mapping_backend();
        int const blocks = std::atoi(argv[2]);
        Outcome outcome;
        double ms = 0;
        for (int r = 0; r < (argc == 4 ? std::atoi(argv[3]) : 1); ++r) {
            outcome = map_model(make_residual(blocks), make_device(4 * blocks + 1, 64));
            ms += outcome.ms;
        }
        std::printf("%s %.3f ms %s\n", outcome.mapped ? "mapped" : "failed", ms, outcome.failure.c_str());
        return outcome.mapped ? 0 : 1;
    }
    if (argc == 4 && std::string(argv[1]) == "split") {
        register_mapping_backend();
        int const blocks = std::atoi(argv[2]);
        Outcome const outcome = map_model(make_split(blocks), make_device(std::atoi(argv[3]), 64));
        std::printf("%s %.3f ms %zu passes %s\n", outcome.mapped ? "mapped" : "failed", outcome.ms, outcome.passes,
                    outcome.failure.c_str());
        return outcome.mapped ? 0 : 1;
    }
    int const repeats = argc > 1 ? std::atoi(argv[1]) : 5;
    int const bound = argc > 2 ? std::atoi(argv[2]) : 1000;
    register_mapping_backend();
    run("One pass (an NP per layer)", true, repeats, bound);
    run("16 NPs", false, repeats, bound);
    run_residual(repeats);
    run_residual_set_up(std::max(repeats, 1) * 4);
    run_placement(std::max(repeats, 1) * 4);
    run_split(repeats);
    run_split_questions(std::max(repeats, 1) * 4);
    return 0;
}
