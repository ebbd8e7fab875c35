// Times the first-generation weight formatters against one memcpy of the same weight bytes, all
// measured in this run: a 3 x 3 Convolutional of 512 channels and 512 filters packed at 1, 2 and
// 4 bits, and the FNP memory image of a 4096 x 4096 FullyConnected at 4 bits. Not a test: run it
// on a Release build.
//   v1_weight_formats [repeats]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

#include "backends/v1/format_cnp_weights.h"
#include "backends/v1/format_fnp.h"
#include "engine/tensor.h"
#include "timing.h"

namespace {

// A layout-0 int8 tensor whose values cycle through `low` .. `high`.
std::shared_ptr<nuvra::Dense> weights(nuvra::Shape const& shape, int low, int high) {
    std::vector<int8_t> values(shape.product());
    auto const span = static_cast<size_t>(high - low + 1);
    for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int8_t>(low + static_cast<int>(i * 7 % span));
    return nuvra::Dense::copy(values.data(), values.size(), nuvra::TensorType::int8, shape, nuvra::Layout::c_order);
}

// Best time of `repeats` calls, in seconds.
double best_of(int repeats, std::function<void()> const& call) {
    call();  // warm-up
    return bench::best_seconds(repeats, call);
}

// Formats with `format`, copies the tensor's bytes once, and prints both times and their ratio.
void report(char const* what, int repeats, nuvra::Tensor const& tensor, std::function<size_t()> const& format) {
    size_t words = 0;
    double const formatting = best_of(repeats, [&] { words = format(); });
    nuvra::Buffer const bytes = tensor.buffer();
    std::vector<uint8_t> copy(bytes.bytes);
    double const copying = best_of(repeats, [&] {
        std::memcpy(copy.data(), bytes.data, bytes.bytes);
        asm volatile("" : : "r"(copy.data()) : "memory");
    });
    std::printf("%-34s %9zu bytes -> %8zu words: format %8.3f ms, memcpy %7.3f ms, ratio %6.1f\n", what, bytes.bytes,
                words, formatting * 1e3, copying * 1e3, formatting / copying);
}

}  // namespace

int main(int argc, char** argv) {
    int const repeats = argc > 1 ? std::atoi(argv[1]) : 5;
    using namespace nuvra::v1;

    auto const ternary = weights({512, 512, 3, 3}, -1, 1);
    auto const four_bit = weights({512, 512, 3, 3}, -7, 7);
    auto const dense = weights({4096, 4096, 1, 1}, -7, 7);
    auto const thresholds = nuvra::Dense::create(nuvra::TensorType::int32, nuvra::Shape{4096}, nuvra::Layout::c_order);

    report("Convolutional 3x3 512x512, 1-bit", repeats, *ternary,
           [&] { return format_std_cnp_weights(*ternary, false, 0, 512).size(); });
    report("Convolutional 3x3 512x512, 2-bit", repeats, *ternary,
           [&] { return format_std_cnp_weights(*ternary, true, 0, 512).size(); });
    report("Convolutional 3x3 512x512, 4-bit", repeats, *four_bit,
           [&] { return format_4bits_std_cnp_weights(*four_bit, 0, 512).size(); });
    report("FullyConnected 4096x4096, 4-bit", repeats, *dense,
           [&] { return format_fnp_ram(*dense, *thresholds, *thresholds, 4, true).size(); });
    return 0;
}
