// Writes the seed corpora of the fuzz targets from what the project itself makes: a model of every
// layer kind (and a compiled one), the programs of those that map on a virtual second-generation
// device, raw words, and byte strings that decode into models that map. Usage:
// make_seeds <corpus directory>.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "engine/sequence.h"
#include "hw/presets.h"
#include "python/model_file.h"
#include "random_model.h"
#include "support/fake_device.h"
#include "support/layer_kinds.h"

using namespace nuvra;
namespace fs = std::filesystem;

namespace {

void write(fs::path const& dir, std::string const& name, std::span<uint8_t const> bytes) {
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<char const*>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()));
}

// A virtual second-generation device on which every second-generation kind maps.
std::shared_ptr<Device> versatile_v2_device() {
    std::vector<np::Info> nps;
    for (uint8_t col = 1; col <= 2; ++col)
        for (uint8_t id = 0; id < 4; ++id)
            nps.push_back({{col, 0, id, 0}, {hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP3, hw::Type::TNP_B}, true});
    std::vector<np::Info> skip_dmas{{{5, 0, 0, 4}, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, true}};
    return make_fake_device(hw::Tolmar_v2, Mesh(IpVersion::v2, {0, 0, 0, 0}, {0, 0, 1, 0},
                                                np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, true}, nps, skip_dmas));
}

// Small non-zero weights and unit scales, so that the checks pass.
void fill_variables(Model& model) {
    for (auto const& layer : model.layers())
        for (auto const& name : layer->variables().names()) {
            MutableBuffer const buffer = layer->variables().get(name)->mutable_buffer();
            auto* bytes = static_cast<uint8_t*>(buffer.data);
            for (size_t i = 0; i < buffer.bytes; ++i) bytes[i] = name == "weights" ? uint8_t(i % 3) : uint8_t(i % 4 == 0);
        }
}

// A model as a buffer, and as a model file.
void write_model(fs::path const& root, std::string const& name, Model const& model) {
    std::vector<uint8_t> const buffer = model.to_buffer();
    write(root / "model_buffer", name, buffer);
    write(root / "model_file", name, python::encode_model_file(buffer));
}

void kind_seeds(fs::path const& root) {
    int index = 0;
    for (auto const& row : testing::kind_rows()) {
        auto model = testing::build_kind(row).first;
        fill_variables(*model);
        std::string const name = "kind-" + std::to_string(static_cast<int>(row.type));
        write_model(root, name, *model);
        try {
            model->map(versatile_v2_device());
        } catch (std::exception const&) {
            continue;  // a kind of another generation, or one that needs a neighbour to map
        }
        for (auto const& sequence : model->sequences())
            write(root / "program_reader", name + "-" + std::to_string(index++), sequence->program());
    }
    // A compiled model: the learning set-up travels too.
    auto model = Model::create();
    model->add(testing::make_input(4, 4, 2));
    model->add(testing::make_layer(LayerType::FullyConnected, {{"units", 4}, {"activation", 1}}, "fc"));
    model->compile(LearningParams::create(LearningType::NuvraUnsupervised, {{"num_classes", 2}, {"num_weights", 3}}));
    write_model(root, "compiled", *model);
}

// Byte strings from a fixed generator; for the structured target, the first ones whose model maps
// with layers of a kind set not seen yet (their programs join the program reader's seeds).
void random_seeds(fs::path const& root) {
    std::mt19937 rng(20240601);
    auto bytes = [&](size_t n) {
        std::vector<uint8_t> b(n);
        for (auto& x : b) x = uint8_t(rng());
        return b;
    };
    for (int i = 0; i < 4; ++i) write(root / "raw_words", "random-" + std::to_string(i), bytes(96));

    std::set<std::set<int>> seen;
    for (int tries = 0; tries < 20000 && seen.size() < 8; ++tries) {
        std::vector<uint8_t> const b = bytes(256);
        FuzzedDataProvider in(b.data(), b.size());
        auto model = fuzz::random_model(in);
        auto device = fuzz::random_device(in);
        if (model->layer_count() < 3) continue;
        try {
            model->map(device, in.ConsumeBool(), fuzz::random_constraints(in, device));
        } catch (std::exception const&) {
            continue;
        }
        std::set<int> kinds;
        for (auto const& layer : model->layers()) kinds.insert(static_cast<int>(layer->params()->layer_type()));
        if (!seen.insert(kinds).second) continue;
        std::string const name = "maps-" + std::to_string(seen.size());
        write(root / "structured_map", name, b);
        for (auto const& sequence : model->sequences()) write(root / "program_reader", name, sequence->program());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds <corpus directory>\n");
        return 2;
    }
    register_mapping_backend();
    kind_seeds(argv[1]);
    random_seeds(argv[1]);
    return 0;
}
