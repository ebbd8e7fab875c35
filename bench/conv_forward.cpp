// Times the software forward pass of one Conv2D layer (Same padding, ReLU) over a 224 x 224 x 3
// image, in multiply-accumulates per second, against the same layer run as the reference kernels
// one after another (a new tensor per step): both in one run, interleaved, with their ratio. Not a
// test: run it on a Release build.
//   conv_forward [filters] [kernel] [repeats]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "engine/inference.h"
#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "support/reference_layers.h"
#include "timing.h"

namespace {

std::shared_ptr<nuvra::Layer> layer(nuvra::LayerType type, std::map<std::string, int> const& entries,
                                    char const* name) {
    auto const params = nuvra::LayerParams::create(type, entries);
    return nuvra::Layer::create(params.get(), name);
}

using bench::seconds;

}  // namespace

int main(int argc, char** argv) {
    int const filters = argc > 1 ? std::atoi(argv[1]) : 32;
    int const kernel = argc > 2 ? std::atoi(argv[2]) : 3;
    int const repeats = argc > 3 ? std::atoi(argv[3]) : 9;
    constexpr uint32_t width = 224, height = 224, channels = 3;

    auto model = nuvra::Model::create();
    model->add(layer(nuvra::LayerType::InputData,
                     {{"input_width", width}, {"input_height", height}, {"input_channels", channels}}, "input"));
    auto conv = layer(nuvra::LayerType::Conv2D,
                      {{"kernel_size", kernel}, {"filters", filters}, {"padding", 1}, {"activation", 1}}, "conv");
    model->add(conv);

    // Deterministic 8-bit weights and pixels.
    std::vector<int8_t> weights(static_cast<size_t>(kernel * kernel * filters) * channels);
    for (size_t i = 0; i < weights.size(); ++i) weights[i] = static_cast<int8_t>(static_cast<int>(i * 37 % 255) - 127);
    conv->variables().set("weights", nuvra::Dense::copy(weights.data(), weights.size(), nuvra::TensorType::int8,
                                                        conv->variable("weights")->dimensions(),
                                                        nuvra::Layout::c_order));
    std::vector<uint8_t> scales(static_cast<size_t>(filters), 1);
    conv->variables().set("output_scales", nuvra::Dense::copy(scales.data(), scales.size(), nuvra::TensorType::uint8,
                                                              nuvra::Shape{static_cast<uint32_t>(filters)},
                                                              nuvra::Layout::c_order));
    std::vector<uint8_t> pixels(size_t{width} * height * channels);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 131 % 256);
    nuvra::Shape const shape{1, width, height, channels};
    std::shared_ptr<const nuvra::Tensor> input =
        nuvra::Dense::copy(pixels.data(), pixels.size(), nuvra::TensorType::uint8, shape, nuvra::Layout::c_order);
    std::vector<int32_t> const values(pixels.begin(), pixels.end());
    auto const values32 = nuvra::Dense::copy(values.data(), values.size() * sizeof(int32_t), nuvra::TensorType::int32,
                                             shape, nuvra::Layout::c_order);

    auto const unfused = [&] { return nuvra::testing::reference_layer(*conv, *values32); };
    auto const layer_path = [&] { return nuvra::software_forward(*model, input); };
    if (nuvra::ops::detail::read_all<int32_t>(*unfused()) != nuvra::ops::detail::read_all<int32_t>(*layer_path())) {
        std::fprintf(stderr, "the two paths differ\n");
        return 1;
    }
    double best_old = 1e30, best_new = 1e30;
    std::vector<double> ratios;
    for (int r = 0; r < repeats; ++r) {
        double const old_time = seconds(unfused);
        double const new_time = seconds(layer_path);
        best_old = std::min(best_old, old_time);
        best_new = std::min(best_new, new_time);
        ratios.push_back(old_time / new_time);
    }
    std::sort(ratios.begin(), ratios.end());
    double const macs = static_cast<double>(model->macs());
    std::printf("Conv2D 224x224x3, %dx%d kernel, %d filters, Same, ReLU: %.0f MACs, best of %d\n", kernel, kernel,
                filters, macs, repeats);
    std::printf("  kernels one by one: %8.3f ms  %.3g MAC/s\n", best_old * 1e3, macs / best_old);
    std::printf("  layer path:         %8.3f ms  %.3g MAC/s\n", best_new * 1e3, macs / best_new);
    std::printf("  ratio: %.2fx (best times), %.2fx (median of the rounds)\n", best_old / best_new,
                ratios[ratios.size() / 2]);
    return 0;
}
