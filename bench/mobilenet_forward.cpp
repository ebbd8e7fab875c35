// Times the software forward pass of a MobileNet-v1-like model: InputData 224 x 224 x 3, InputConv2D
// 3 x 3 stride 2 of 32 filters, 13 x (DepthwiseConv2D 3 x 3 + Conv2D 1 x 1, ReLU) of 64 to 1024
// filters, global average pooling, Dense1D of 1000 units: 29 layers, 569 M multiply-accumulates.
// In one run, interleaved, with their ratios:
//   - one image: the layers on the reference kernels (the previous path) against the layers on the
//     blocked kernels, on one thread, whole and per kind of layer;
//   - a batch of `batch` images on one thread and on `threads` threads (default: a thread per CPU
//     the process may run on).
// The outputs of both paths are compared first. Not a test: run it on a Release build.
//   mobilenet_forward [repeats] [batch] [threads] [profile]
// With "profile", only the layer path runs, `repeats` times on one image, or with "profile-batch"
// on the batch with `threads` threads (for a profiler). With "affinity", the process narrows its
// affinity to two of its CPUs and runs the batch once with the default thread count, saying how
// many threads the process had at the peak of the run (a sampling thread of the bench's own not
// counted).
// The last line ("result ...") is read by bench/ort_compare.py.
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/inference.h"
#include "engine/inference_layers.h"
#include "engine/layer.h"
#include "engine/layers_internal.h"
#include "engine/model.h"
#include "engine/ops_blocked.h"
#include "engine/ops_support.h"
#include "engine/params.h"
#include "engine/tensor.h"
#include "timing.h"

namespace {

using namespace nuvra;

std::shared_ptr<Layer> make_layer(LayerType type, std::map<std::string, int> const& entries, std::string name) {
    auto const params = LayerParams::create(type, entries);
    return Layer::create(params.get(), std::move(name));
}

template <class T>
void set(Layer& layer, char const* name, std::vector<T> const& values) {
    auto const old = layer.variable(name);
    layer.variables().set(name, Dense::copy(values.data(), values.size() * sizeof(T), old->type(), old->dimensions(),
                                            Layout::c_order));
}

// Random int8 weights and biases, and output shifts that keep typical outputs inside 8 bits, so
// that every layer sees values spread over its input range as a quantized network does.
void randomize(Layer& layer, size_t depth, std::mt19937& rng) {
    std::uniform_int_distribution<int> weight(-127, 127), bias(-20, 20);
    auto const count = [&](char const* name) { return layer.variable(name)->size(); };
    std::vector<int8_t> w(count("weights"));
    for (auto& v : w) v = static_cast<int8_t>(weight(rng));
    set(layer, "weights", w);
    std::vector<int8_t> b(count("bias"));
    for (auto& v : b) v = static_cast<int8_t>(bias(rng));
    set(layer, "bias", b);
    // A sum of `depth` products of about 64 x 73 spreads about sqrt(depth) x 4700.
    int const shift = static_cast<int>(std::lround(std::log2(std::sqrt(static_cast<double>(depth)) * 4700.0 / 100.0)));
    set(layer, "output_shift", std::vector<int8_t>(count("output_shift"), static_cast<int8_t>(shift)));
    set(layer, "output_scales", std::vector<uint8_t>(count("output_scales"), 1));
}

struct Network {
    std::unique_ptr<Model> model;
    std::vector<std::shared_ptr<Layer>> layers;
};

Network mobilenet() {
    std::mt19937 rng(2024);
    Network n;
    n.model = Model::create();
    auto add = [&](std::shared_ptr<Layer> const& layer, size_t depth) {
        n.model->add(layer);
        if (depth) randomize(*layer, depth, rng);
    };
    add(make_layer(LayerType::InputData, {{"input_width", 224}, {"input_height", 224}, {"input_channels", 3}}, "input"),
        0);
    add(make_layer(LayerType::InputConv2D,
                   {{"kernel_size", 3}, {"filters", 32}, {"kernel_stride", 2}, {"padding", 1}, {"activation", 1}},
                   "conv0"),
        27);
    struct Block {
        int stride, filters;
    };
    Block const blocks[] = {{1, 64},  {2, 128}, {1, 128}, {2, 256},  {1, 256},  {2, 512},  {1, 512},
                            {1, 512}, {1, 512}, {1, 512}, {1, 512}, {2, 1024}, {1, 1024}};
    int channels = 32, index = 1;
    for (Block const& b : blocks) {
        add(make_layer(LayerType::DepthwiseConv2D,
                       {{"kernel_size", 3}, {"kernel_stride", b.stride}, {"padding", 1}, {"activation", 1}},
                       "dw" + std::to_string(index)),
            9);
        std::map<std::string, int> pw{{"kernel_size", 1}, {"filters", b.filters}, {"activation", 1}};
        if (index == 13) pw.insert({{"pool_type", 2}, {"pool_size", -1}});  // global average pooling
        add(make_layer(LayerType::Conv2D, pw, "pw" + std::to_string(index)), static_cast<size_t>(channels));
        channels = b.filters;
        ++index;
    }
    add(make_layer(LayerType::Dense1D, {{"units", 1000}}, "dense"), static_cast<size_t>(channels));
    n.layers = n.model->layers();
    return n;
}

using bench::seconds;

// Wall and processor seconds (of every thread of the process) of one run.
struct Times {
    double wall, cpu;
};
template <class Run>
Times times(Run run) {
    std::clock_t const start = std::clock();
    double const wall = seconds(run);
    return {wall, static_cast<double>(std::clock() - start) / CLOCKS_PER_SEC};
}

// Seconds of `threads` threads each running the same blocked 1 x 1 convolution on data that stays
// in the core's caches (96 pixels, 256 channels, 256 filters): what the machine gives a run of that
// many threads, to read the scaling of the batch against.
double kernel_seconds(unsigned threads) {
    constexpr size_t pixels = 96, channels = 256, filters = 256;
    std::vector<uint8_t> in(pixels * channels, 7);
    std::vector<int8_t> weights(channels * filters, 3);
    ops::detail::ImageDims d;
    d.x = pixels;
    d.y = 1;
    d.channels = channels;
    ops::detail::Window const g{1, 1, 1, 1, 0, 0, pixels, 1};
    ops::detail::FilterMatrix const w{weights.data(), filters, filters, 1};
    auto const packed = ops::detail::pack_filters(w, channels);
    std::vector<int64_t> sums(threads);
    return seconds([&] {
        std::vector<std::thread> pool;
        for (unsigned t = 0; t < threads; ++t)
            pool.emplace_back([&, t] {
                auto const sink = [&](int32_t* block, size_t, size_t count) { sums[t] += block[count - 1]; };
                for (int r = 0; r < 400; ++r)
                    ops::detail::convolve_blocked({nullptr, in.data()}, d, 0, w, g, 32, sink, ops::detail::best_isa(),
                                                  &packed);
            });
        for (auto& thread : pool) thread.join();
    });
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The threads this process has now (/proc/self/stat, field 20).
int thread_count() {
    FILE* const file = std::fopen("/proc/self/stat", "r");
    if (file == nullptr) return 0;
    char text[1024];
    size_t const length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = 0;
    // The fields after the command name, which ends with the last ')': state is field 3.
    char const* field = std::strrchr(text, ')');
    if (field == nullptr) return 0;
    for (int f = 2; f < 20 && field != nullptr; ++f) field = std::strchr(field + 1, ' ');
    return field == nullptr ? 0 : std::atoi(field + 1);
}

// Runs `run` while a thread of the bench's own samples the thread count; the peak, without that
// thread.
template <class Run>
int peak_threads(Run run) {
    std::atomic<bool> done{false};
    std::atomic<int> peak{0};
    std::thread sampler([&] {
        while (!done.load()) {
            peak = std::max(peak.load(), thread_count());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    run();
    done = true;
    sampler.join();
    return peak.load() - 1;
}

std::shared_ptr<const Tensor> images(uint32_t count) {
    std::vector<uint8_t> pixels(size_t{count} * 224 * 224 * 3);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> byte(0, 255);
    for (auto& p : pixels) p = static_cast<uint8_t>(byte(rng));
    return Dense::copy(pixels.data(), pixels.size(), TensorType::uint8, Shape{count, 224, 224, 3}, Layout::c_order);
}

// The kind of a layer as the report groups them.
std::string kind(Layer const& layer) {
    LayerType const type = layer.params()->layer_type();
    if (type == LayerType::Conv2D) return "Conv2D 1x1";
    return layer_type_name(type);
}

}  // namespace

int main(int argc, char** argv) {
    int const repeats = argc > 1 ? std::atoi(argv[1]) : 5;
    uint32_t const batch = argc > 2 ? static_cast<uint32_t>(std::atoi(argv[2])) : 32;
    uint32_t const threads = argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : usable_cpus();

    Network const net = mobilenet();
    double const macs = static_cast<double>(net.model->macs());
    auto const one = images(1);
    auto const x = inference::model_input(*one, net.model->input_shape());

    // The previous path: the same layers on the reference kernels only.
    auto const chain = [&](inference::Kernels kernels) {
        std::vector<inference::Value> values{x};
        inference::RunState states;
        for (auto const& layer : net.layers)
            values.push_back(inference::run_layer(*layer, {values.back()}, states[layer.get()], kernels));
        return values;
    };
    auto const old_path = [&] { return chain(inference::Kernels::reference).back(); };
    auto const new_path = [&] { return software_forward(*net.model, one, 0, 1); };
    if (argc > 4 && std::string(argv[4]) == "profile") {
        for (int r = 0; r < repeats; ++r) new_path();
        return 0;
    }
    if (argc > 4 && std::string(argv[4]) == "profile-batch") {
        auto const many = images(batch);
        for (int r = 0; r < repeats; ++r) software_forward(*net.model, many, 0, threads);
        return 0;
    }
    if (argc > 4 && std::string(argv[4]) == "affinity") {
        cpu_set_t allowed, two;
        CPU_ZERO(&two);
        if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return 1;
        for (int cpu = 0, taken = 0; cpu < CPU_SETSIZE && taken < 2; ++cpu)
            if (CPU_ISSET(cpu, &allowed)) CPU_SET(cpu, &two), ++taken;
        if (sched_setaffinity(0, sizeof two, &two) != 0) return 1;
        auto const many = images(batch);
        int const peak = peak_threads([&] { software_forward(*net.model, many); });
        std::printf("a default forward of %u images on %d CPUs of %u: %d threads at the peak (the caller and %d more)\n",
                    batch, CPU_COUNT(&two), std::thread::hardware_concurrency(), peak, peak - 1);
        return 0;
    }
    if (ops::detail::read_all<int32_t>(*old_path()) != ops::detail::read_all<int32_t>(*new_path())) {
        std::fprintf(stderr, "the two paths differ\n");
        return 1;
    }

    // Per kind: each layer alone on both paths, from the inputs its path gives it.
    std::vector<inference::Value> const old_inputs = chain(inference::Kernels::reference);
    std::vector<inference::Value> const new_inputs = chain(inference::Kernels::blocked);
    std::map<std::string, std::pair<double, double>> per_kind;  // best old, best new (sums over layers)
    std::map<std::string, double> kind_macs;
    for (size_t i = 1; i < net.layers.size(); ++i) {
        Layer const& layer = *net.layers[i];
        double best_old = 1e30, best_new = 1e30;
        for (int r = 0; r < std::max(2, repeats / 2); ++r) {
            inference::LayerState state;
            best_old = std::min(best_old, seconds([&] {
                                    return inference::run_layer(layer, {old_inputs[i]}, state,
                                                                inference::Kernels::reference);
                                }));
            best_new = std::min(best_new, seconds([&] { return inference::run_layer(layer, {new_inputs[i]}, state); }));
        }
        auto& k = per_kind[kind(layer)];
        k.first += best_old;
        k.second += best_new;
        kind_macs[kind(layer)] += static_cast<double>(layer.macs());
    }

    std::vector<double> old_times, new_times;
    for (int r = 0; r < repeats; ++r) {
        old_times.push_back(seconds(old_path));
        new_times.push_back(seconds(new_path));
    }
    double const old_time = median(old_times), new_time = median(new_times);

    auto const many = images(batch);
    std::vector<double> one_thread, all_threads, one_cpu, all_cpu, loop_one_t, loop_all_t;
    for (int r = 0; r < std::max(2, repeats / 2); ++r) {
        loop_one_t.push_back(kernel_seconds(1));
        loop_all_t.push_back(kernel_seconds(threads));
        Times const one_t = times([&] { return software_forward(*net.model, many, 0, 1); });
        Times const all_t = times([&] { return software_forward(*net.model, many, 0, threads); });
        one_thread.push_back(one_t.wall);
        one_cpu.push_back(one_t.cpu);
        all_threads.push_back(all_t.wall);
        all_cpu.push_back(all_t.cpu);
    }
    double const batch_one = median(one_thread), batch_all = median(all_threads);
    double const loop_one = median(loop_one_t), loop_all = median(loop_all_t);
    double const cpu_one = median(one_cpu), cpu_all = median(all_cpu);

    std::printf("MobileNet-like forward, 29 layers, %.0f MACs per image (medians of %d rounds)\n", macs, repeats);
    std::printf("one image, one thread:\n");
    std::printf("  reference kernels: %9.3f ms  %.3g MAC/s\n", old_time * 1e3, macs / old_time);
    std::printf("  blocked kernels:   %9.3f ms  %.3g MAC/s\n", new_time * 1e3, macs / new_time);
    std::printf("  ratio old / new: %.1fx\n", old_time / new_time);
    std::printf("per kind (best of the rounds, summed over the layers of the kind):\n");
    for (auto const& [name, t] : per_kind)
        std::printf("  %-16s old %8.3f ms  new %7.3f ms  %6.1fx  new %.3g MAC/s\n", name.c_str(), t.first * 1e3,
                    t.second * 1e3, t.first / t.second, kind_macs[name] / t.second);
    std::printf("batch of %u images (wall time; processor time of all threads, and the processors it kept busy):\n",
                batch);
    std::printf("  one thread:   %9.3f ms  %.3g MAC/s  cpu %9.3f ms (%.2f busy)\n", batch_one * 1e3,
                macs * batch / batch_one, cpu_one * 1e3, cpu_one / batch_one);
    std::printf("  %2u threads:   %9.3f ms  %.3g MAC/s  cpu %9.3f ms (%.2f busy)\n", threads, batch_all * 1e3,
                macs * batch / batch_all, cpu_all * 1e3, cpu_all / batch_all);
    std::printf("  scaling: %.2fx on %u threads (%.2f of linear; goal 0.70); processor time per image %.2fx of one "
                "thread's\n",
                batch_one / batch_all, threads, batch_one / batch_all / threads, cpu_all / cpu_one);
    std::printf("  the kernel on data in the caches scales %.2fx on %u threads here; the batch %.2f of that\n",
                loop_one * threads / loop_all, threads, (batch_one / batch_all) / (loop_one * threads / loop_all));
    std::printf("result image_ms=%.4f old_image_ms=%.4f batch=%u batch_1t_ms=%.4f batch_threads=%u batch_all_ms=%.4f "
                "batch_1t_cpu_ms=%.4f batch_all_cpu_ms=%.4f kernel_scaling=%.4f\n",
                new_time * 1e3, old_time * 1e3, batch, batch_one * 1e3, threads, batch_all * 1e3, cpu_one * 1e3,
                cpu_all * 1e3, loop_one * threads / loop_all);
    return 0;
}
