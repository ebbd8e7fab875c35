#include "hw/arith.h"

#include "hw/format.h"

namespace nuvra {

uint64_t checked_add(uint64_t a, uint64_t b, const char* what) {
    uint64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        throw std::overflow_error(format("{}: the result does not fit in 64 bits.", what));
    return sum;
}

uint64_t checked_mul(uint64_t a, uint64_t b, const char* what) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product))
        throw std::overflow_error(format("{}: the result does not fit in 64 bits.", what));
    return product;
}

void throw_narrowing(const char* what, std::string const& value, std::string const& low,
                     std::string const& high) {
    throw std::out_of_range(format("{}: {} does not fit in [{}, {}].", what, value, low, high));
}

}  // namespace nuvra
