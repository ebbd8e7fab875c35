// Times the software forward pass of one Conv2D layer over a 224 x 224 x 3 image and reports
// multiply-accumulates per second. Not a test: run it on a Release build.
//   conv_forward [filters] [kernel] [repeats]
#include <chrono>
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

namespace {

std::shared_ptr<nuvra::Layer> layer(nuvra::LayerType type, std::map<std::string, int> const& entries,
                                    char const* name) {
    auto const params = nuvra::LayerParams::create(type, entries);
    return nuvra::Layer::create(params.get(), name);
}

}  // namespace

int main(int argc, char** argv) {
    int const filters = argc > 1 ? std::atoi(argv[1]) : 32;
    int const kernel = argc > 2 ? std::atoi(argv[2]) : 3;
    int const repeats = argc > 3 ? std::atoi(argv[3]) : 5;
    constexpr uint32_t width = 224, height = 224, channels = 3;

    auto model = nuvra::Model::create();
    model->add(layer(nuvra::LayerType::InputData,
                     {{"input_width", width}, {"input_height", height}, {"input_channels", channels}}, "input"));
    auto conv = layer(nuvra::LayerType::Conv2D,
                      {{"kernel_size", kernel}, {"filters", filters}, {"padding", 1}, {"activation", 1}}, "conv");
    model->add(conv);

    // Deterministic 8-bit weights and pixels.
    std::vector<int8_t> weights(static_cast<size_t>(kernel) * kernel * channels * filters);
    for (size_t i = 0; i < weights.size(); ++i) weights[i] = static_cast<int8_t>(static_cast<int>(i * 37 % 255) - 127);
    conv->variables().set("weights", nuvra::Dense::copy(weights.data(), weights.size(), nuvra::TensorType::int8,
                                                        conv->variables().get("weights")->dimensions(),
                                                        nuvra::Layout::c_order));
    std::vector<uint8_t> scales(filters, 1);
    conv->variables().set("output_scales", nuvra::Dense::copy(scales.data(), scales.size(), nuvra::TensorType::uint8,
                                                              nuvra::Shape{static_cast<uint32_t>(filters)},
                                                              nuvra::Layout::c_order));
    std::vector<uint8_t> pixels(size_t{width} * height * channels);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 131 % 256);
    std::shared_ptr<const nuvra::Tensor> input = nuvra::Dense::copy(
        pixels.data(), pixels.size(), nuvra::TensorType::uint8, nuvra::Shape{1, width, height, channels},
        nuvra::Layout::c_order);

    nuvra::software_forward(*model, input);  // warm-up
    double best = 1e30;
    for (int r = 0; r < repeats; ++r) {
        auto const start = std::chrono::steady_clock::now();
        auto out = nuvra::software_forward(*model, input);
        double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (seconds < best) best = seconds;
    }
    double const macs = static_cast<double>(model->macs());
    std::printf("Conv2D 224x224x3, %dx%d kernel, %d filters, Same: %.0f MACs, best of %d: %.3f ms, %.3g MAC/s\n",
                kernel, kernel, filters, macs, repeats, best * 1e3, macs / best);
    return 0;
}
