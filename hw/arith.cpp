#include "hw/arith.h"

#include "hw/format.h"

namespace nuvra {

namespace {

[[noreturn]] void overflow(const char* what) {
    throw std::overflow_error(format("{}: the result does not fit in 64 bits.", what));
}

}  // namespace

uint64_t checked_add(uint64_t a, uint64_t b, const char* what) {
    if (auto const sum = try_add(a, b)) return *sum;
    overflow(what);
}

uint64_t checked_mul(uint64_t a, uint64_t b, const char* what) {
    if (auto const product = try_mul(a, b)) return *product;
    overflow(what);
}

std::string narrowing_message(const char* what, std::string const& value, std::string const& low,
                              std::string const& high) {
    return format("{}: {} does not fit in [{}, {}].", what, value, low, high);
}

uint32_t narrow_words(uint64_t words, const char* what) {
    if (!fits_in<uint32_t>(words)) throw std::runtime_error(format("{}: {} words do not fit in 32 bits.", what, words));
    return uint32_t(words);
}

}  // namespace nuvra
