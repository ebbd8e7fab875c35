// Times Model::map of a MobileNet-v1-like network on virtual second-generation devices: InputData
// 224 x 224 x 3, InputConv2D 3 x 3 stride 2 with 32 filters, 13 pairs of DepthwiseConv2D 3 x 3 and
// Conv2D 1 x 1 (ReLU, 64 to 1024 filters), a global average pool, and Dense1D 1000 (29 layers,
// 4.2 M int8 weights). Not a test: run it on a Release build.
//   map_program [repeats]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/resource.h>

#include "backends/ip_version_backend.h"
#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "engine/sequence.h"
#include "engine/tensor.h"
#include "hw/mesh.h"
#include "hw/presets.h"
#include "hw/virtual_device.h"
#include "mapping/hardware_backend.h"

namespace {

using namespace nuvra;
using Clock = std::chrono::steady_clock;

std::shared_ptr<Layer> add(Model& model, LayerType type, std::map<std::string, int> const& entries, std::string name) {
    auto const params = LayerParams::create(type, entries);
    auto layer = Layer::create(params.get(), std::move(name));
    model.add(layer);
    return layer;
}

// Deterministic, never all zero.
void fill_weights(Layer& layer) {
    if (!layer.variables().has("weights")) return;
    MutableBuffer const bytes = layer.variables().get("weights")->mutable_buffer();
    for (size_t i = 0; i < bytes.bytes; ++i) static_cast<int8_t*>(bytes.data)[i] = int8_t(int(i * 37 % 255) - 127);
}

std::unique_ptr<Model> make_mobilenet() {
    auto model = Model::create();
    add(*model, LayerType::InputData, {{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}}, "input");
    add(*model, LayerType::InputConv2D,
        {{"kernel_size", 3}, {"filters", 32}, {"kernel_stride", 2}, {"padding", 1}, {"activation", 1}}, "conv0");
    struct Pair {
        int stride, filters;
    };
    Pair const pairs[] = {{1, 64},  {2, 128}, {1, 128}, {2, 256}, {1, 256}, {2, 512},  {1, 512},
                          {1, 512}, {1, 512}, {1, 512}, {1, 512}, {2, 1024}, {1, 1024}};
    int i = 1;
    for (Pair const& pair : pairs) {
        add(*model, LayerType::DepthwiseConv2D,
            {{"kernel_size", 3}, {"kernel_stride", pair.stride}, {"padding", 1}, {"activation", 1}},
            "dw" + std::to_string(i));
        std::map<std::string, int> pw{{"kernel_size", 1}, {"filters", pair.filters}, {"padding", 1}, {"activation", 1}};
        if (i == 13) pw.insert({{"pool_type", int(PoolType::Average)}, {"pool_size", -1}});
        add(*model, LayerType::Conv2D, pw, "pw" + std::to_string(i));
        ++i;
    }
    add(*model, LayerType::Dense1D, {{"units", 1000}}, "fc");
    for (auto const& layer : model->layers()) fill_weights(*layer);
    return model;
}

// `columns` columns of four NPs that can each serve as CNP or FNP, and the HRC.
std::shared_ptr<Device> make_device(int columns) {
    std::vector<np::Info> nps;
    for (int col = 1; col <= columns; ++col)
        for (uint8_t id = 0; id < 4; ++id)
            nps.push_back({{uint8_t(col), 0, id, 0}, {hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP2, hw::Type::FNP3}, true});
    return make_virtual_device(hw::Tolmar_v2, Mesh(IpVersion::v2, {0, 0, 0, 0}, {0, 0, 1, 0},
                                                   np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, true}, nps, {}));
}

long minor_faults() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    int const repeats = argc > 1 ? std::atoi(argv[1]) : 20;
    register_mapping_backend();
    auto model = make_mobilenet();
    for (int columns : {16, 64}) {
        auto const device = make_device(columns);
        std::vector<double> times;
        size_t bytes = 0, sequences = 0, passes = 0;
        for (int r = 0; r < repeats; ++r) {
            long const faults = minor_faults();
            auto const start = Clock::now();
            model->map(device);
            times.push_back(ms_since(start));
            if (r < 3) std::printf("  map %d: %.3f ms, %ld faults\n", r, times.back(), minor_faults() - faults);
            auto const list = model->sequences();
            sequences = list.size();
            bytes = list.empty() ? 0 : list.front()->program().size();
            passes = list.empty() ? 0 : list.front()->passes().size();
        }
        double const first = times.front();
        std::sort(times.begin() + 1, times.end());
        std::printf("%d columns: %zu sequences, %zu passes, %zu bytes; first %.3f ms, warm median %.3f ms\n",
                    columns, sequences, passes, bytes, first, times[times.size() / 2]);
    }
    return 0;
}
