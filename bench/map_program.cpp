// Times Model::map of a MobileNet-v1-like network on virtual second-generation devices of 16 and 64
// columns of four NPs: InputData 224 x 224 x 3, InputConv2D 3 x 3 stride 2 with 32 filters, 13
// pairs of DepthwiseConv2D 3 x 3 and Conv2D 1 x 1 (ReLU, 64 to 1024 filters), a global average
// pool, and Dense1D 1000 (29 layers, 4.2 M int8 weights). Prints, as ratios measured in this run:
//   - the first map of a process over a warm one (each of `processes` fresh child processes maps
//     once, then `maps` more times; medians over the children);
//   - per warm map: its minor page faults, the share of its time spent in the kernel (page faults,
//     mapping and unmapping memory) and the share a memcpy of the program's bytes takes (what
//     one more copy of the program would cost);
//   - the address space a process holds at its peak over what it held before its first map;
//   - a chain of 400 Conv2D layers mapped as 2 chains of 200 over 8 chains of 50, per layer, on a
//     mesh of an NP per layer (median over `rounds` interleaved rounds);
//   - chains of 25 and 250 Conv2D layers (an NP per layer, each sequence dropped before the next
//     map), in a fresh process: the minor page faults of 101 maps of the 250-layer chain alone and
//     of 101 pairs of maps in turn, and the 25-layer map's median time alone and in turn.
// Not a test: run it on a Release build.
//   map_program [processes] [maps] [rounds]
//   map_program limit
// (rounds 0 skips the chains; "map_program 1 60 0" under perf record profiles warm maps.) `limit`
// maps the 25-layer chain and the MobileNet-like network once each and says whether they mapped and
// the address space the process held at its peak: run it under a lowered limit
// (bash -c 'ulimit -v 200000; map_program limit').
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

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
#include "mapping/map_constraints.h"

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
        // The last pointwise convolution pools globally.
        if (i == 13) pw.insert({{"pool_type", int(PoolType::Average)}, {"pool_size", -1}});
        add(*model, LayerType::Conv2D, pw, "pw" + std::to_string(i));
        ++i;
    }
    add(*model, LayerType::Dense1D, {{"units", 1000}}, "fc");
    for (auto const& layer : model->layers()) fill_weights(*layer);
    return model;
}

std::unique_ptr<Model> make_chain(int conv_layers) {
    auto model = Model::create();
    add(*model, LayerType::InputData, {{"input_width", 16}, {"input_height", 16}, {"input_channels", 16}}, "input");
    for (int i = 1; i <= conv_layers; ++i)
        add(*model, LayerType::Conv2D, {{"kernel_size", 3}, {"filters", 16}, {"padding", 1}}, "conv" + std::to_string(i));
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

// `nps` CNPs, four to a column, no HRC.
std::shared_ptr<Device> make_chain_device(int nps) {
    std::vector<np::Info> list;
    for (int i = 0; i < nps; ++i)
        list.push_back({{uint8_t(1 + i / 4), uint8_t(i % 4), 0, 0}, {hw::Type::CNP1, hw::Type::CNP2}, true});
    return make_virtual_device(hw::Tolmar_v2, Mesh(IpVersion::v2, {0, 0, 0, 0}, {0, 0, 1, 0}, std::nullopt, list, {}));
}

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// What one map cost: wall time, minor page faults, kernel time.
struct Cost {
    double ms = 0;
    double faults = 0;
    double kernel_ms = 0;
};

struct Usage {
    long faults;
    double kernel_ms;
};

Usage usage() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return {u.ru_minflt, double(u.ru_stime.tv_sec) * 1e3 + double(u.ru_stime.tv_usec) / 1e3};
}

// A line of /proc/self/status ("VmSize", "VmPeak"), in MB.
double status_mb(char const* key) {
    FILE* const file = std::fopen("/proc/self/status", "r");
    if (file == nullptr) return 0;
    char line[256];
    double kb = 0;
    size_t const length = std::strlen(key);
    while (std::fgets(line, sizeof line, file) != nullptr)
        if (std::strncmp(line, key, length) == 0 && line[length] == ':') kb = std::atof(line + length + 1);
    std::fclose(file);
    return kb / 1024;
}

Cost map_once(Model& model, std::shared_ptr<Device> const& device) {
    Usage const before = usage();
    auto const start = Clock::now();
    model.map(device);
    double const ms = ms_since(start);
    Usage const after = usage();
    return {ms, double(after.faults - before.faults), after.kernel_ms - before.kernel_ms};
}

// What a child process reports: its first map, the medians of its warm maps, and a memcpy of the
// program's bytes into memory already touched.
struct ChildReport {
    Cost first;
    Cost warm;
    double memcpy_ms = 0;
    double program_bytes = 0;
    double passes = 0;
    double peak_mb = 0;  // address space at the peak over that before the first map
};

ChildReport run_child(int columns, int maps) {
    auto const model = make_mobilenet();
    auto const device = make_device(columns);
    ChildReport report;
    double const before_mb = status_mb("VmSize");
    report.first = map_once(*model, device);
    std::vector<double> ms, faults, kernel, copies;
    for (int r = 0; r < maps; ++r) {
        Cost const cost = map_once(*model, device);
        ms.push_back(cost.ms);
        faults.push_back(cost.faults);
        kernel.push_back(cost.kernel_ms);
    }
    auto const sequences = model->sequences();
    if (sequences.size() != 1) std::exit(2);
    std::span<const uint8_t> const program = sequences.front()->program();
    std::vector<uint8_t> copy(program.size());
    for (int r = 0; r < 5; ++r) {  // the first copy touches `copy`; the median is of warm copies
        auto const start = Clock::now();
        std::memcpy(copy.data(), program.data(), program.size());
        copies.push_back(ms_since(start));
    }
    // Kernel time is counted in clock ticks: its share is taken over all the warm maps.
    double total_ms = 0, total_kernel_ms = 0;
    for (size_t i = 0; i < ms.size(); ++i) total_ms += ms[i], total_kernel_ms += kernel[i];
    report.warm = {median(ms), median(faults), median(ms) * total_kernel_ms / total_ms};
    report.memcpy_ms = median(copies);
    report.program_bytes = double(program.size());
    report.passes = double(sequences.front()->passes().size());
    report.peak_mb = status_mb("VmPeak") - before_mb;
    return report;
}

// Runs `run` in a fresh process (forked before this process maps anything) and gives back the
// report it wrote; a child that fails ends this process with a message naming `what`.
template <class Report, class Run>
Report in_child(Run run, char const* what) {
    int fds[2];
    if (pipe(fds) != 0) std::exit(3);
    pid_t const pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Report const report = run();
        ssize_t const written = write(fds[1], &report, sizeof report);
        _exit(written == ssize_t(sizeof report) ? 0 : 4);
    }
    close(fds[1]);
    Report report;
    ssize_t const got = read(fds[0], &report, sizeof report);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (got != ssize_t(sizeof report) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed\n", what);
        std::exit(1);
    }
    return report;
}

// Runs each child in a fresh process.
std::vector<ChildReport> run_children(int columns, int processes, int maps) {
    std::vector<ChildReport> reports;
    for (int p = 0; p < processes; ++p)
        reports.push_back(in_child<ChildReport>([&] { return run_child(columns, maps); }, "a child process"));
    return reports;
}

void report_mobilenet(int columns, int processes, int maps) {
    std::vector<ChildReport> const reports = run_children(columns, processes, maps);
    std::vector<double> first, warm, ratio, first_faults, warm_faults, kernel_share, copy_share, peak;
    for (ChildReport const& r : reports) {
        peak.push_back(r.peak_mb);
        first.push_back(r.first.ms);
        warm.push_back(r.warm.ms);
        ratio.push_back(r.first.ms / r.warm.ms);
        first_faults.push_back(r.first.faults);
        warm_faults.push_back(r.warm.faults);
        kernel_share.push_back(r.warm.kernel_ms / r.warm.ms);
        copy_share.push_back(r.memcpy_ms / r.warm.ms);
    }
    std::printf("MobileNet-like on %d columns x 4 NPs: %.0f passes, %.0f program bytes (medians of %d processes)\n",
                columns, reports.front().passes, reports.front().program_bytes, processes);
    std::printf("  first map %8.3f ms, %6.0f page faults\n", median(first), median(first_faults));
    std::printf("  warm map  %8.3f ms, %6.0f page faults\n", median(warm), median(warm_faults));
    std::printf("  first / warm:                         %.2f\n", median(ratio));
    std::printf("  kernel time / warm map:               %.3f\n", median(kernel_share));
    std::printf("  memcpy of the program / warm map:     %.3f\n", median(copy_share));
    std::printf("  address space at the peak / program:  %.1f (%.1f MB)\n",
                median(peak) * 1048576 / reports.front().program_bytes, median(peak));
}

// Maps a fresh chain of `n` layers on a mesh of `n` NPs; only the mapping is measured. The
// sequence is dropped on return.
Cost map_chain_cost(int n) {
    auto const device = make_chain_device(n);
    auto const model = make_chain(n);
    std::vector<std::shared_ptr<Layer>> layers = model->layers();
    auto const constraints = std::make_shared<MapConstraints>(device);
    std::vector<std::shared_ptr<Sequence>> sequences;
    HardwareBackend backend(generation_selector());
    Usage const before = usage();
    auto const start = Clock::now();
    MappingStatusGroup const group = backend.map(&layers, &sequences, constraints);
    double const ms = ms_since(start);
    Usage const after = usage();
    if (group.failed || sequences.size() != 1) {
        std::fprintf(stderr, "the chain of %d layers does not map as one sequence\n", n);
        std::exit(1);
    }
    return {ms, double(after.faults - before.faults), after.kernel_ms - before.kernel_ms};
}

double map_chain_ms(int n) { return map_chain_cost(n).ms; }

void report_chain(int rounds) {
    std::vector<double> long_ms, short_ms, ratio;
    for (int r = 0; r < rounds; ++r) {
        double a = 0, b = 0;
        for (int i = 0; i < 2; ++i) a += map_chain_ms(200);
        for (int i = 0; i < 8; ++i) b += map_chain_ms(50);
        long_ms.push_back(a / 400);
        short_ms.push_back(b / 400);
        ratio.push_back(a / b);
    }
    std::printf("Chain of 400 Conv2D layers, an NP per layer (medians of %d rounds)\n", rounds);
    std::printf("  2 x 200: %.4f ms per layer; 8 x 50: %.4f ms per layer\n", median(long_ms), median(short_ms));
    std::printf("  per layer, 2 x 200 / 8 x 50:          %.3f\n", median(ratio));
}

// What the chains of 25 and 250 layers cost alone and in turn, measured in a child process of its own.
struct MixReport {
    double long_alone_faults = 0;  // of `maps` maps of the 250-layer chain
    double pair_faults = 0;        // of `maps` pairs
    double short_alone_ms = 0;     // median of the 25-layer maps
    double short_mixed_ms = 0;
};

MixReport run_mix(int maps) {
    constexpr int short_chain = 25, long_chain = 250;
    MixReport report;
    map_chain_cost(long_chain);  // the code and the heap warm
    map_chain_cost(short_chain);
    std::vector<double> alone, mixed;
    for (int i = 0; i < maps; ++i) alone.push_back(map_chain_cost(short_chain).ms);
    for (int i = 0; i < maps; ++i) report.long_alone_faults += map_chain_cost(long_chain).faults;
    for (int i = 0; i < maps; ++i) {
        Cost const c = map_chain_cost(short_chain);
        mixed.push_back(c.ms);
        report.pair_faults += c.faults + map_chain_cost(long_chain).faults;
    }
    report.short_alone_ms = median(alone);
    report.short_mixed_ms = median(mixed);
    return report;
}

void report_mix(int maps) {
    MixReport const r = in_child<MixReport>([&] { return run_mix(maps); }, "the child process of the chains in turn");
    std::printf("Chains of 25 and 250 Conv2D layers, an NP per layer (%d maps each, a fresh process)\n", maps);
    std::printf("  minor page faults: %d maps of 250 alone %.0f; %d pairs in turn %.0f (%.2f of alone)\n", maps,
                r.long_alone_faults, maps, r.pair_faults, r.pair_faults / std::max(1.0, r.long_alone_faults));
    std::printf("  25-layer map: alone %.3f ms, in turn %.3f ms (in turn / alone: %.2f)\n", r.short_alone_ms,
                r.short_mixed_ms, r.short_mixed_ms / r.short_alone_ms);
}

// One map of the 25-layer chain and one of the MobileNet-like network, each said to map or to fail.
int report_limit() {
    int failures = 0;
    auto const attempt = [&](char const* what, auto&& map) {
        auto const start = Clock::now();
        try {
            map();
            std::printf("%s: mapped in %.3f ms\n", what, ms_since(start));
        } catch (std::exception const& e) {
            std::printf("%s: failed: %s\n", what, e.what());
            ++failures;
        }
    };
    attempt("25-layer chain", [] { map_chain_ms(25); });
    attempt("MobileNet-like on 16 columns", [] { make_mobilenet()->map(make_device(16)); });
    std::printf("address space at the peak: %.1f MB\n", status_mb("VmPeak"));
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    register_mapping_backend();
    if (argc == 2 && std::string(argv[1]) == "limit") return report_limit();
    int const processes = argc > 1 ? std::atoi(argv[1]) : 5;
    int const maps = argc > 2 ? std::atoi(argv[2]) : 12;
    int const rounds = argc > 3 ? std::atoi(argv[3]) : 9;
    for (int columns : {16, 64}) report_mobilenet(columns, processes, maps);
    if (rounds > 0) {
        report_chain(rounds);
        report_mix(101);
    }
    return 0;
}
