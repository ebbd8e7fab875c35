// Times the mapping of synthetic models onto virtual meshes, stage by stage: checks, NP allocation
// with pass cuts, layer mappings, program serialization, program verification, and the whole
// HardwareBackend::map. Two cases, each with the back end of its generation:
//   v2: InputData and 49 (or `v2_layers`) Conv2D (3 x 3 kernels, 'Same' padding) on a Tolmar_v2 mesh;
//   v1: InputConvolutional and 20 Convolutional (3 x 3 kernels, 'Same' padding, 1-bit weights)
//       on a ZR62_v1 mesh with an HRC.
// Not a test: run it on a Release build.
//   map_serialize [nps] [repeats] [v2_layers]
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "engine/program_info.h"
#include "hw/device.h"
#include "hw/mesh.h"
#include "hw/presets.h"
#include "hw/virtual_device.h"
#include "mapping/hardware_backend.h"
#include "mapping/layer_mapping.h"
#include "mapping/map_constraints.h"
#include "mapping/mesh_mapper.h"
#include "mapping/sequence_builder.h"

namespace {

using namespace nuvra;
using Clock = std::chrono::steady_clock;

constexpr int filters = 16;
constexpr int channels = 16;

std::shared_ptr<Layer> make_layer(LayerType type, std::map<std::string, int> const& entries, std::string name) {
    auto const params = LayerParams::create(type, entries);
    return Layer::create(params.get(), std::move(name));
}

// Every weight 1 or 0 in turn (signed bytes), so that no layer has only zero weights.
void fill_weights(Layer& layer) {
    MutableBuffer const bytes = layer.variables().get("weights")->mutable_buffer();
    for (size_t i = 0; i < bytes.bytes; ++i) static_cast<int8_t*>(bytes.data)[i] = int8_t(i % 2);
}

std::unique_ptr<Model> make_v2_model(int conv_layers) {
    auto model = Model::create();
    model->add(make_layer(LayerType::InputData, {{"input_width", 16}, {"input_height", 16}, {"input_channels", channels}},
                          "input"));
    for (int i = 1; i <= conv_layers; ++i)
        model->add(make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", filters}, {"padding", 1}},
                              "conv" + std::to_string(i)));
    return model;
}

std::unique_ptr<Model> make_v1_model() {
    std::map<std::string, int> const conv{{"kernel_width", 3}, {"kernel_height", 3}, {"filters", filters},
                                          {"padding", 1},      {"weights_bits", 1},  {"activation", 1},
                                          {"act_bits", 1}};
    auto model = Model::create();
    auto hrc = conv;
    hrc.insert({{"input_width", 16}, {"input_height", 16}, {"input_channels", 1}});
    model->add(make_layer(LayerType::InputConvolutional, hrc, "hrc"));
    for (int i = 1; i <= 20; ++i) model->add(make_layer(LayerType::Convolutional, conv, "conv" + std::to_string(i)));
    for (auto const& layer : model->layers()) fill_weights(*layer);
    return model;
}

// `nps` NPs of `types`, four to a column from column 1.
std::vector<np::Info> mesh_nps(int nps, std::set<hw::Type> const& types) {
    std::vector<np::Info> list;
    for (int i = 0; i < nps; ++i) list.push_back({{uint8_t(1 + i / 4), uint8_t(i % 4), 0, 0}, types, true});
    return list;
}

struct Case {
    std::string title;
    std::shared_ptr<Device> device;
    std::function<std::unique_ptr<Model>()> make_model;
};

struct Stage {
    const char* name;
    double total_ms = 0;
};

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool run_case(Case const& c, int repeats) {
    Device const& device = *c.device;
    auto const constraints = std::make_shared<MapConstraints>(c.device);
    Stage stages[] = {{"build model"},     {"select back end"},  {"layer checks"}, {"NP allocation"},
                      {"layer mappings"},  {"serialize program"}, {"verify program"}, {"HardwareBackend::map"}};
    size_t passes = 0, program_bytes = 0;
    double memcpy_ms = 0;

    for (int r = 0; r < repeats; ++r) {
        auto t = Clock::now();
        auto model = c.make_model();
        auto const layers = model->layers();
        stages[0].total_ms += ms_since(t);

        t = Clock::now();
        IpVersionSpecificHardwareBackend backend(device);
        stages[1].total_ms += ms_since(t);

        t = Clock::now();
        for (size_t i = 0; i < layers.size(); ++i) {
            MappingStatus const status = backend.checker().check_layer_compatibility(
                *layers[i], i == 0 ? nullptr : layers[i - 1].get(), device.version());
            if (status.failed) {
                std::fprintf(stderr, "%s\n", status.to_string().c_str());
                return false;
            }
        }
        stages[2].total_ms += ms_since(t);

        // The driver's placement loop: NPs per layer, a new pass when they run out.
        t = Clock::now();
        MeshMapper mapper(backend.checker(), *constraints);
        mapper.reset();
        MappableLayers mappable;
        for (auto const& layer : layers) {
            bool need_new_pass = false;
            std::vector<hw::Component> components;
            if (layer->is_target_component(ComponentKind::HRC)) {
                components.push_back({hw::Type::HRC, device.mesh().hrc->ident, std::nullopt, {}});
            } else if (!layer->is_target_component(ComponentKind::None)) {
                // The NPs of the last layer of the pass that has components are kept out, as the
                // driver does: only that layer's list is handed over, not the whole pass's.
                std::vector<hw::Ident> reserved;
                if (!mappable.passes.empty()) {
                    auto const& pass = mappable.passes.back();
                    auto const last = std::find_if(pass.rbegin(), pass.rend(), [](auto const& entry) {
                        return !entry.components.empty();
                    });
                    if (last != pass.rend())
                        reserved = collect_layer_np_idents({}, layer, {last->components}, true, false);
                }
                auto request = mapper.np_request(layer, reserved, false, &need_new_pass, true);
                if (request.second.failed) {
                    std::fprintf(stderr, "%s\n", request.second.to_string().c_str());
                    return false;
                }
                components = std::move(request.first);
            }
            if (!mappable.passes.empty() && need_new_pass) mappable.passes.emplace_back();
            if (mappable.passes.empty()) mappable.passes.emplace_back();
            mappable.passes.back().push_back({layer, std::move(components)});
        }
        stages[3].total_ms += ms_since(t);

        t = Clock::now();
        HardwareSequenceBuilder builder(c.device, backend.constraints(), backend.io_recorder(),
                                        backend.layer_recorder());
        auto const pass_layers = mappable.build_mappable_layers();
        auto const pass_components = mappable.build_mappable_components();
        std::vector<std::shared_ptr<Layer>> earlier;  // the layers of the passes before
        for (size_t i = 0; i < pass_layers.size(); ++i) {
            builder.add_layers(pass_layers[i], earlier, pass_components[i]);
            earlier.insert(earlier.end(), builder.layers().begin() + std::ptrdiff_t(earlier.size()),
                           builder.layers().end());
        }
        stages[4].total_ms += ms_since(t);

        t = Clock::now();
        auto [status, sequence] = builder.build_sequence();
        stages[5].total_ms += ms_since(t);
        if (status.failed) {
            std::fprintf(stderr, "%s\n", status.to_string().c_str());
            return false;
        }

        t = Clock::now();
        auto const bytes = sequence->program();
        ProgramInfo const info(bytes.data(), bytes.size());
        stages[6].total_ms += ms_since(t);
        passes = sequence->passes().size();
        program_bytes = bytes.size();

        // The cost of touching the program's bytes once, for scale.
        t = Clock::now();
        std::vector<uint8_t> copy(bytes.size());
        std::memcpy(copy.data(), bytes.data(), bytes.size());
        memcpy_ms += ms_since(t);
        if (copy.empty() && !bytes.empty()) return false;
        sequence.reset();

        t = Clock::now();
        HardwareBackend hardware(generation_selector());
        std::vector<std::shared_ptr<Layer>> mapped = layers;
        std::vector<std::shared_ptr<Sequence>> sequences;
        MappingStatusGroup const group = hardware.map(&mapped, &sequences, constraints);
        stages[7].total_ms += ms_since(t);
        if (group.failed || sequences.size() != 1) {
            std::fprintf(stderr, "%s\n", group.to_string().c_str());
            return false;
        }
    }

    std::printf("%s on %zu NPs: %zu passes, %zu program bytes\n", c.title.c_str(), device.mesh().nps.size(), passes,
                program_bytes);
    for (auto const& stage : stages) std::printf("  %-22s %9.3f ms\n", stage.name, stage.total_ms / repeats);
    std::printf("  serialize program / memcpy of its bytes: %.0fx\n", stages[5].total_ms / memcpy_ms);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int const nps = argc > 1 ? std::atoi(argv[1]) : 16;
    int const repeats = argc > 2 ? std::atoi(argv[2]) : 20;
    int const v2_layers = argc > 3 ? std::atoi(argv[3]) : 49;
    register_mapping_backend();
    Case const cases[] = {
        {"v2: 1 InputData + " + std::to_string(v2_layers) + " Conv2D (3x3, 16 filters, 16 channels)",
         make_virtual_device(hw::Tolmar_v2, Mesh(IpVersion::v2, {0, 0, 0, 0}, {0, 0, 1, 0}, std::nullopt,
                                                 mesh_nps(nps, {hw::Type::CNP1, hw::Type::CNP2}), {})),
         [v2_layers] { return make_v2_model(v2_layers); }},
        {"v1: 1 InputConvolutional + 20 Convolutional (3x3, 16 filters, 1-bit weights)",
         make_virtual_device(hw::ZR62_v1, Mesh(IpVersion::v1, {0, 0, 0, 0}, {0, 0, 1, 0},
                                               np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, false},
                                               mesh_nps(nps, {hw::Type::CNP1}), {})),
         make_v1_model},
    };
    for (Case const& c : cases)
        if (!run_case(c, repeats)) return 1;
    return 0;
}
