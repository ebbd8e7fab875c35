// Times the mapping of a synthetic 50-layer model (InputData and 49 Conv2D, 3 x 3 kernels, 'Same'
// padding) onto a virtual second-generation mesh, stage by stage: checks, NP allocation with pass
// cuts, layer mappings, program serialization, program verification, and the whole
// HardwareBackend::map. Not a test: run it on a Release build.
//   map_serialize [nps] [repeats]
// When the generation has no Conv2D recorder yet, a stand-in records one register block and one
// weight block of the formatted size per NP.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "backends/v2/checker.h"
#include "backends/v2/format_conv_weights.h"
#include "backends/v2/recorders.h"
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

constexpr int conv_layers = 49;
constexpr int filters = 16;
constexpr int channels = 16;

// The generation's recorder for the kinds it has, a stand-in for a Conv2D without one.
class BenchRecorder : public LayerRecorder {
public:
    BenchRecorder(Device const& device, HardwareConstraints const& constraints)
        : device_(device), real_(device, constraints) {}

    std::unique_ptr<program::Record> record_layer(LayerRecordArgs const& args) const override {
        LayerType const type = args.layer.params()->layer_type();
        if (type != LayerType::Conv2D || v2::kind_recorder(type) != nullptr) return real_.record_layer(args);
        auto record = program::new_record(device_.version());
        auto const mapping = layer_mapping(args.layer);
        for (hw::Component const& component : *mapping->components) {
            record->add_np_track(component.ident, dma::Target::NpRegisters, 0, std::vector<uint32_t>(64, 1), true,
                                 true);
            uint32_t const words = v2::conv2d_cnp_formatted_weight_32b_size(3, component.filters(), channels, 8);
            record->add_np_track(component.ident, dma::Target::WeightsAlt, 0, std::vector<uint32_t>(words, 2), true,
                                 true);
        }
        return record;
    }
    program::LearnRecordsPtr record_learning_layer(Layer const& layer, bool flag) const override {
        return real_.record_learning_layer(layer, flag);
    }
    void sync_learning_vars(std::shared_ptr<Layer> layer) const override { real_.sync_learning_vars(layer); }
    bool fnp_input_rows_padded(Layer const& layer) const override { return real_.fnp_input_rows_padded(layer); }
    SkipDmaDescriptors skip_dma_descriptors() const override { return real_.skip_dma_descriptors(); }

private:
    Device const& device_;
    v2::LayerRecorderImpl real_;
};

Generation const generations[] = {
    with_makers<v2::CompatibilityCheckerImpl, v2::MemorySizerImpl, v2::IoRecorderImpl, BenchRecorder>(
        generation_row(IpVersion::v2)),
};

std::shared_ptr<Layer> make_layer(LayerType type, std::map<std::string, int> const& entries, std::string name) {
    auto const params = LayerParams::create(type, entries);
    return Layer::create(params.get(), std::move(name));
}

std::unique_ptr<Model> make_model() {
    auto model = Model::create();
    model->add(make_layer(LayerType::InputData, {{"input_width", 16}, {"input_height", 16}, {"input_channels", channels}},
                          "input"));
    for (int i = 1; i <= conv_layers; ++i)
        model->add(make_layer(LayerType::Conv2D, {{"kernel_size", 3}, {"filters", filters}, {"padding", 1}},
                              "conv" + std::to_string(i)));
    return model;
}

std::shared_ptr<Device> make_device(int nps) {
    std::vector<np::Info> list;
    for (int i = 0; i < nps; ++i)
        list.push_back({{uint8_t(1 + i / 4), uint8_t(i % 4), 0, 0}, {hw::Type::CNP1, hw::Type::CNP2}, true});
    return make_virtual_device(hw::Tolmar_v2, Mesh(IpVersion::v2, {0, 0, 0, 0}, {0, 0, 1, 0}, std::nullopt, list, {}));
}

struct Stage {
    const char* name;
    double total_ms = 0;
};

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    int const nps = argc > 1 ? std::atoi(argv[1]) : 16;
    int const repeats = argc > 2 ? std::atoi(argv[2]) : 20;
    register_mapping_backend();
    auto const device = make_device(nps);
    auto const constraints = std::make_shared<MapConstraints>(device);

    Stage stages[] = {{"build model"},     {"select back end"},  {"layer checks"}, {"NP allocation"},
                      {"layer mappings"},  {"serialize program"}, {"verify program"}, {"HardwareBackend::map"}};
    size_t passes = 0, program_bytes = 0;
    bool stand_in = v2::kind_recorder(LayerType::Conv2D) == nullptr;

    for (int r = 0; r < repeats; ++r) {
        auto t = Clock::now();
        auto model = make_model();
        auto const layers = model->layers();
        stages[0].total_ms += ms_since(t);

        t = Clock::now();
        IpVersionSpecificHardwareBackend backend(*device, generations);
        stages[1].total_ms += ms_since(t);

        t = Clock::now();
        for (size_t i = 0; i < layers.size(); ++i) {
            MappingStatus const status = backend.checker().check_layer_compatibility(
                *layers[i], i == 0 ? nullptr : layers[i - 1].get(), device->version());
            if (status.failed) {
                std::fprintf(stderr, "%s\n", status.to_string().c_str());
                return 1;
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
            if (!layer->is_target_component(ComponentKind::None)) {
                std::vector<hw::Ident> reserved;
                if (!mappable.passes.empty())
                    reserved = collect_layer_np_idents({}, layer, mappable.build_mappable_components().back(), true,
                                                       false);
                auto request = mapper.np_request(layer, reserved, false, &need_new_pass, true);
                if (request.second.failed) {
                    std::fprintf(stderr, "%s\n", request.second.to_string().c_str());
                    return 1;
                }
                components = std::move(request.first);
            }
            if (!mappable.passes.empty() && need_new_pass) mappable.passes.emplace_back();
            if (mappable.passes.empty()) mappable.passes.emplace_back();
            mappable.passes.back().push_back({layer, std::move(components)});
        }
        stages[3].total_ms += ms_since(t);

        t = Clock::now();
        HardwareSequenceBuilder builder(device, backend.constraints(), backend.io_recorder(), backend.layer_recorder());
        auto const pass_layers = mappable.build_mappable_layers();
        auto const pass_components = mappable.build_mappable_components();
        for (size_t i = 0; i < pass_layers.size(); ++i) builder.add_layers(pass_layers[i], layers, pass_components[i]);
        stages[4].total_ms += ms_since(t);

        t = Clock::now();
        auto [status, sequence] = builder.build_sequence();
        stages[5].total_ms += ms_since(t);
        if (status.failed) {
            std::fprintf(stderr, "%s\n", status.to_string().c_str());
            return 1;
        }

        t = Clock::now();
        auto const bytes = sequence->program();
        ProgramInfo const info(bytes.data(), bytes.size());
        stages[6].total_ms += ms_since(t);
        passes = sequence->passes().size();
        program_bytes = bytes.size();
        sequence.reset();

        t = Clock::now();
        HardwareBackend hardware(generation_selector(generations));
        std::vector<std::shared_ptr<Layer>> mapped = layers;
        std::vector<std::shared_ptr<Sequence>> sequences;
        MappingStatusGroup const group = hardware.map(&mapped, &sequences, constraints);
        stages[7].total_ms += ms_since(t);
        if (group.failed || sequences.size() != 1) {
            std::fprintf(stderr, "%s\n", group.to_string().c_str());
            return 1;
        }
    }

    std::printf("1 InputData + %d Conv2D (3x3, %d filters, %d channels) on %d NPs: %zu passes, %zu program bytes%s\n",
                conv_layers, filters, channels, nps, passes, program_bytes,
                stand_in ? " (stand-in Conv2D recorder)" : "");
    for (auto const& stage : stages) std::printf("  %-22s %9.3f ms\n", stage.name, stage.total_ms / repeats);
    return 0;
}
