// Clock helpers the benchmarks share.
#pragma once

#include <algorithm>
#include <chrono>

namespace bench {

// The seconds one call of `run` takes.
template <class Run>
double seconds(Run&& run) {
    auto const start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The best time of `repeats` calls of `run`, in seconds.
template <class Run>
double best_seconds(int repeats, Run&& run) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) best = std::min(best, seconds(run));
    return best;
}

// The same in microseconds.
template <class Run>
double best_us(int repeats, Run&& run) {
    return 1e6 * best_seconds(repeats, run);
}

}  // namespace bench
