// What every fuzz target shares: the one acceptable way to fail.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace nuvra::fuzz {

// Runs `step`. A std::exception with a message is a refusal the caller can act on, and ends the
// step; an exception without a message is a fault (reported and aborted, so the fuzzer keeps the
// input). Anything else that escapes (another type, a sanitizer report) ends the run by itself.
template <class Step>
bool refused(Step&& step) {
    try {
        step();
        return false;
    } catch (std::exception const& e) {
        if (e.what() == nullptr || std::strlen(e.what()) == 0) {
            std::fprintf(stderr, "A std::exception without a message.\n");
            std::abort();
        }
        return true;
    }
}

// Stops the run on a broken promise of the code under test.
inline void require(bool holds, char const* what) {
    if (holds) return;
    std::fprintf(stderr, "Broken: %s\n", what);
    std::abort();
}

}  // namespace nuvra::fuzz
