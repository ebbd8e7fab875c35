// Checked and saturating size arithmetic, and the one narrowing of a wide value.
//
// Exceptions across the project: a failure a hardware rule names is the type its message goes
// with (std::runtime_error for register-field overflows, sizes the hardware cannot hold and
// refused programs); bad caller input is std::invalid_argument; broken internal state (a bug, not
// a user's mistake) is std::logic_error. The helpers here: checked_add and checked_mul throw
// std::overflow_error (a std::runtime_error), narrow_words std::runtime_error, narrow
// std::out_of_range (a std::logic_error: a value the code has already bounded) unless the caller
// names another type, such as std::invalid_argument for a value a caller gave.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace nuvra {

inline constexpr uint64_t saturated_u64 = std::numeric_limits<uint64_t>::max();

// a + b and a * b, or nothing when the result does not fit in 64 bits.
constexpr std::optional<uint64_t> try_add(uint64_t a, uint64_t b) {
    uint64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return std::nullopt;
    return sum;
}
constexpr std::optional<uint64_t> try_mul(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) return std::nullopt;
    return product;
}

// a + b and a * b, saturated at UINT64_MAX: a size that cannot be counted never fits anything.
constexpr uint64_t add_sat(uint64_t a, uint64_t b) { return try_add(a, b).value_or(saturated_u64); }
constexpr uint64_t mul_sat(uint64_t a, uint64_t b) { return try_mul(a, b).value_or(saturated_u64); }
// The product of `values`, UINT64_MAX as soon as it overflows.
template <class Range = std::initializer_list<uint64_t>>
constexpr uint64_t mul_sat(Range const& values) {
    uint64_t product = 1;
    for (uint64_t value : values) {
        auto const next = try_mul(product, value);
        if (!next) return saturated_u64;
        product = *next;
    }
    return product;
}

// a + b and a * b, or std::overflow_error "<what>: the result does not fit in 64 bits.".
uint64_t checked_add(uint64_t a, uint64_t b, const char* what);
uint64_t checked_mul(uint64_t a, uint64_t b, const char* what);

// x / step rounded up; `step` must not be 0. Saturated inputs stay saturated.
constexpr uint64_t ceil_div(uint64_t x, uint64_t step) {
    return x == saturated_u64 ? saturated_u64 : x / step + (x % step != 0);
}
// a / b rounded down and up, for signed values (b not 0; a = INT64_MIN with b = -1 overflows).
constexpr int64_t signed_floor_div(int64_t a, int64_t b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}
constexpr int64_t signed_ceil_div(int64_t a, int64_t b) {
    return a / b + (a % b != 0 && (a < 0) == (b < 0));
}
// Words of `word_bits` bits (above 0) that `bits` bits fill: bits / word_bits rounded up.
constexpr uint64_t words_for_bits(uint64_t bits, uint64_t word_bits) { return ceil_div(bits, word_bits); }
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

// Whether the integer `value` lies in T's range.
template <class T, class V>
constexpr bool fits_in(V value) {
    static_assert(std::is_integral_v<T> && std::is_integral_v<V>);
    constexpr auto high = std::numeric_limits<T>::max();
    if constexpr (std::is_signed_v<V> == std::is_signed_v<T>) {
        return value >= std::numeric_limits<T>::min() && value <= high;
    } else if constexpr (std::is_signed_v<V>) {  // signed into unsigned
        return value >= 0 && static_cast<std::make_unsigned_t<V>>(value) <= high;
    } else {  // unsigned into signed
        return value <= static_cast<std::make_unsigned_t<T>>(high);
    }
}

// "<what>: <value> does not fit in [<low>, <high>]."
std::string narrowing_message(const char* what, std::string const& value, std::string const& low,
                              std::string const& high);

// `value` as T, or Error (std::out_of_range unless named) "<what>: <value> does not fit in
// [<low>, <high>].".
template <class T, class Error = std::out_of_range, class V>
T narrow(V value, const char* what) {
    if (!fits_in<T>(value))
        throw Error(narrowing_message(what, std::to_string(value), std::to_string(std::numeric_limits<T>::min()),
                                      std::to_string(std::numeric_limits<T>::max())));
    return static_cast<T>(value);
}

// `words` as 32 bits; above, std::runtime_error "<what>: <words> words do not fit in 32 bits.".
uint32_t narrow_words(uint64_t words, const char* what);

}  // namespace nuvra
