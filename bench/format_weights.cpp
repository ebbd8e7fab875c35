// Times the weight formatters on large layers against one memcpy of the same weight bytes in the
// same run, the Conv2D and FNP ones also against the value-by-value formatters they must match
// (tests/cpp/support/reference_formats.h). Second generation: a 3 x 3 Conv2D of 256 channels and
// 256 filters at 8 and 4 bits and a 7 x 7 one of 64 x 64 (the four-word form), the FNP memory of
// a Dense1D of 1024 units over a 16 x 16 x 16 input (8-bit, row-word padded), a 2048-channel
// 3 x 3 DepthwiseConv2D (8-bit, one NP) and a 2048-filter BufferTempConv over 2048 channels with
// a FIFO of 4 (one NP). First generation: a 3 x 3 Convolutional of 512 channels and 512 filters
// packed at 1, 2 and 4 bits, and the FNP memory image of a 4096 x 4096 FullyConnected at 4 bits.
// Not a test: run it on a Release build.
//   format_weights [repeats]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "backends/v1/format_cnp_weights.h"
#include "backends/v1/format_fnp.h"
#include "backends/v2/format_conv_weights.h"
#include "backends/v2/format_dwconv_weights.h"
#include "backends/v2/format_fnp.h"
#include "backends/v2/format_tnp_b_weights.h"
#include "engine/layer.h"
#include "engine/model.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "support/reference_formats.h"
#include "timing.h"

namespace {


using bench::best_us;

// Weights cycling through `low` .. `high` (by default every signed byte but -128).
std::shared_ptr<nuvra::Dense> weights(nuvra::Shape const& shape, int low = -127, int high = 127) {
    std::vector<int8_t> values(shape.product());
    auto const span = static_cast<size_t>(high - low + 1);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int8_t>(low + static_cast<int>(i * 37 % span));
    return nuvra::Dense::copy(values.data(), values.size(), nuvra::TensorType::int8, shape, nuvra::Layout::c_order);
}

// Times `format` and a memcpy of the tensor's bytes and, when given, the value-by-value
// formatter `checked` that `format` must match.
void report(char const* name, nuvra::Dense const& tensor, int repeats, std::function<size_t()> const& format,
            std::function<size_t()> const& checked = {}) {
    size_t const bytes = tensor.buffer().bytes;
    std::vector<uint8_t> copy(bytes);
    size_t words = 0;
    double const format_us = best_us(repeats, [&] { words = format(); });
    double const memcpy_us = best_us(repeats, [&] {
        std::memcpy(copy.data(), tensor.buffer().data, bytes);
        asm volatile("" : : "r"(copy.data()) : "memory");  // keep the copy
    });
    std::printf("%-44s %10zu bytes -> %9zu words  format %10.1f us  memcpy %8.1f us  ratio %6.1f", name, bytes,
                words, format_us, memcpy_us, format_us / memcpy_us);
    if (checked) {
        double const checked_us = best_us(std::max(1, repeats / 10), [&] { checked(); });
        std::printf("  checked %10.1f us  ratio %6.1f", checked_us, checked_us / memcpy_us);
    }
    std::printf("\n");
}

std::shared_ptr<nuvra::Layer> make_layer(nuvra::LayerType type, std::map<std::string, int> const& entries,
                                         char const* name) {
    auto const params = nuvra::LayerParams::create(type, entries);
    return nuvra::Layer::create(params.get(), name);
}

}  // namespace

int main(int argc, char** argv) {
    int const repeats = argc > 1 ? std::atoi(argv[1]) : 20;

    auto const conv = weights(nuvra::Shape{3, 3, 256, 256});
    auto const conv4 = weights(nuvra::Shape{3, 3, 256, 256}, -8, 7);
    auto const conv7 = weights(nuvra::Shape{7, 7, 64, 64});
    using nuvra::testing::checked_conv2d_cnp_weights;
    report(
        "Conv2D 3 x 3, 256 x 256, 8-bit", *conv, repeats,
        [&] { return nuvra::v2::format_conv2d_cnp_weights(*conv, 0, 256, 8).size(); },
        [&] { return checked_conv2d_cnp_weights(*conv, 0, 256, 8).size(); });
    report(
        "Conv2D 3 x 3, 256 x 256, 4-bit", *conv4, repeats,
        [&] { return nuvra::v2::format_conv2d_cnp_weights(*conv4, 0, 256, 4).size(); },
        [&] { return checked_conv2d_cnp_weights(*conv4, 0, 256, 4).size(); });
    report(
        "Conv2D 7 x 7, 64 x 64, 8-bit (four words)", *conv7, repeats,
        [&] { return nuvra::v2::format_conv2d_cnp_weights(*conv7, 0, 64, 8).size(); },
        [&] { return checked_conv2d_cnp_weights(*conv7, 0, 64, 8).size(); });

    // A Dense1D of 1024 units behind a 16 x 16 x 16 input, its whole neuron memory.
    auto model = nuvra::Model::create();
    model->add(make_layer(nuvra::LayerType::InputData,
                          {{"input_width", 16}, {"input_height", 16}, {"input_channels", 16}}, "input"));
    auto const dense1d = make_layer(nuvra::LayerType::Dense1D, {{"units", 1024}, {"weights_bits", 8}}, "dense");
    model->add(dense1d);
    auto const fnp = weights(nuvra::Shape{16 * 16 * 16, 1024});
    dense1d->variables().set("weights", fnp);
    nuvra::Shape const fnp_input{16, 16, 16};
    auto constexpr row_word = nuvra::v2::InputPadding::RowWordPadded;
    report(
        "FNP memory, 1024 neurons over 16 x 16 x 16", *fnp, repeats,
        [&] { return nuvra::v2::format_fnp_ram(*dense1d, false, row_word, 8, 8).size(); },
        [&] {
            size_t words = 0;
            for (uint32_t n = 0; n < 1024; ++n)
                words += nuvra::testing::checked_fnp_weights(n, *fnp, 8, fnp_input, row_word, 8).size();
            return words;
        });

    auto const depthwise = weights(nuvra::Shape{3, 3, 1, 2048});
    report("DepthwiseConv2D 3 x 3, 2048 channels, 8-bit", *depthwise, repeats * 10,
           [&] { return nuvra::v2::format_depthwise_conv_cnp_weights(*depthwise, 0, 2048, 8).size(); });

    auto const temporal = weights(nuvra::Shape{1, 1, 4 * 2048, 2048});
    report("BufferTempConv 2048 x 2048, FIFO 4", *temporal, repeats,
           [&] { return nuvra::v2::format_tnp_b_buffer_temp_conv_weights(*temporal, 4, 0, 2048).size(); });

    using namespace nuvra::v1;
    auto const ternary = weights(nuvra::Shape{512, 512, 3, 3}, -1, 1);
    auto const four_bit = weights(nuvra::Shape{512, 512, 3, 3}, -7, 7);
    report("Convolutional 3 x 3, 512 x 512, 1-bit", *ternary, repeats,
           [&] { return format_std_cnp_weights(*ternary, false, 0, 512).size(); });
    report("Convolutional 3 x 3, 512 x 512, 2-bit", *ternary, repeats,
           [&] { return format_std_cnp_weights(*ternary, true, 0, 512).size(); });
    report("Convolutional 3 x 3, 512 x 512, 4-bit", *four_bit, repeats,
           [&] { return format_4bits_std_cnp_weights(*four_bit, 0, 512).size(); });

    auto const dense = weights(nuvra::Shape{4096, 4096, 1, 1}, -7, 7);
    auto const thresholds = nuvra::Dense::create(nuvra::TensorType::int32, nuvra::Shape{4096}, nuvra::Layout::c_order);
    report("FullyConnected 4096 x 4096, 4-bit", *dense, repeats,
           [&] { return format_fnp_ram(*dense, *thresholds, *thresholds, 4, true).size(); });
    return 0;
}
