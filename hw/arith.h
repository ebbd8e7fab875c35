// Checked and saturating size arithmetic, and the one narrowing of a wide value.
//
// Exceptions across the project: a failure a hardware rule names is the type its message goes
// with (std::runtime_error for register-field overflows and refused programs); bad caller input
// is std::invalid_argument; broken internal state (a bug, not a user's mistake) is
// std::logic_error.
#pragma once

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace nuvra {

inline constexpr uint64_t saturated_u64 = std::numeric_limits<uint64_t>::max();

// a + b and a * b, saturated at UINT64_MAX: a size that cannot be counted never fits anything.
constexpr uint64_t add_sat(uint64_t a, uint64_t b) {
    uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? saturated_u64 : sum;
}
constexpr uint64_t mul_sat(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    return __builtin_mul_overflow(a, b, &product) ? saturated_u64 : product;
}

// a + b and a * b, or std::overflow_error "<what>: the result does not fit in 64 bits.".
uint64_t checked_add(uint64_t a, uint64_t b, const char* what);
uint64_t checked_mul(uint64_t a, uint64_t b, const char* what);

// x / step rounded up; `step` must not be 0. Saturated inputs stay saturated.
constexpr uint64_t ceil_div(uint64_t x, uint64_t step) {
    return x == saturated_u64 ? saturated_u64 : x / step + (x % step != 0);
}
// x rounded up to a multiple of `step` (any step above 0), saturated at UINT64_MAX.
constexpr uint64_t round_up(uint64_t x, uint64_t step) { return mul_sat(ceil_div(x, step), step); }
// The same for a power-of-two step.
constexpr uint64_t align_up(uint64_t x, uint64_t step) {
    return x > saturated_u64 - (step - 1) ? saturated_u64 : (x + step - 1) & ~(step - 1);
}

// Whether a need of `size` fits beside `reserved` in `capacity`.
constexpr bool fits_beside(uint64_t size, uint64_t reserved, uint64_t capacity) {
    return reserved <= capacity && size <= capacity - reserved;
}

// `value` clamped into T's range.
template <class T>
constexpr T clamp_to(uint64_t value) {
    return value > uint64_t(std::numeric_limits<T>::max()) ? std::numeric_limits<T>::max()
                                                            : static_cast<T>(value);
}

[[noreturn]] void throw_narrowing(const char* what, std::string const& value, std::string const& low,
                                  std::string const& high);

// `value` as T, or std::out_of_range "<what>: <value> does not fit in [<low>, <high>].".
template <class T, class V>
T narrow(V value, const char* what) {
    static_assert(std::is_integral_v<T> && std::is_integral_v<V>);
    constexpr auto low = std::numeric_limits<T>::min();
    constexpr auto high = std::numeric_limits<T>::max();
    bool fits = true;
    if constexpr (std::is_signed_v<V> == std::is_signed_v<T>) {
        fits = value >= low && value <= high;
    } else if constexpr (std::is_signed_v<V>) {  // signed into unsigned
        fits = value >= 0 && static_cast<std::make_unsigned_t<V>>(value) <= high;
    } else {  // unsigned into signed
        fits = value <= static_cast<std::make_unsigned_t<T>>(high);
    }
    if (!fits) throw_narrowing(what, std::to_string(value), std::to_string(low), std::to_string(high));
    return static_cast<T>(value);
}

}  // namespace nuvra
