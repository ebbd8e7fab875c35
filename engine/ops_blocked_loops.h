// The element loops of the blocked kernels, written once in plain C++ and inlined into a function
// per instruction set (engine/ops_blocked_x86.cpp compiles them for AVX2 and AVX-512, so that the
// compiler vectorizes them as wide as the CPU allows). Only the kernel files include this header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "engine/ops_blocked.h"

#if defined(__GNUC__) || defined(__clang__)
#define NUVRA_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define NUVRA_ALWAYS_INLINE inline
#endif

namespace nuvra::ops::detail {

namespace loop_bodies {

NUVRA_ALWAYS_INLINE void min_max(int32_t const* values, size_t n, int32_t* lo, int32_t* hi) {
    int32_t a = *lo, b = *hi;
    for (size_t i = 0; i < n; ++i) {
        a = values[i] < a ? values[i] : a;
        b = values[i] > b ? values[i] : b;
    }
    *lo = a;
    *hi = b;
}

// The differences wrap as unsigned 32-bit values; only their low byte is kept.
NUVRA_ALWAYS_INLINE uint32_t low_byte(int32_t value, int32_t offset) {
    return (static_cast<uint32_t>(value) - static_cast<uint32_t>(offset)) & 0xFFu;
}

NUVRA_ALWAYS_INLINE void to_bytes(int32_t const* __restrict values, size_t n, int32_t offset,
                                  uint8_t* __restrict out, int32_t* lo, int32_t* hi) {
    int32_t a = *lo, b = *hi;
    for (size_t i = 0; i < n; ++i) {
        a = values[i] < a ? values[i] : a;
        b = values[i] > b ? values[i] : b;
        out[i] = static_cast<uint8_t>(low_byte(values[i], offset));
    }
    *lo = a;
    *hi = b;
}

NUVRA_ALWAYS_INLINE void interleave_values(int32_t const* const* rows, size_t n, int32_t offset, uint32_t* out,
                                           int32_t* lo, int32_t* hi) {
    int32_t const* r0 = rows[0];
    int32_t const* r1 = rows[1];
    int32_t const* r2 = rows[2];
    int32_t const* r3 = rows[3];
    int32_t a = *lo, b = *hi;
    for (size_t i = 0; i < n; ++i) {
        int32_t const low01 = r0[i] < r1[i] ? r0[i] : r1[i], low23 = r2[i] < r3[i] ? r2[i] : r3[i];
        int32_t const high01 = r0[i] > r1[i] ? r0[i] : r1[i], high23 = r2[i] > r3[i] ? r2[i] : r3[i];
        int32_t const low = low01 < low23 ? low01 : low23, high = high01 > high23 ? high01 : high23;
        a = low < a ? low : a;
        b = high > b ? high : b;
        out[i] = low_byte(r0[i], offset) | low_byte(r1[i], offset) << 8 | low_byte(r2[i], offset) << 16 |
                 low_byte(r3[i], offset) << 24;
    }
    *lo = a;
    *hi = b;
}

NUVRA_ALWAYS_INLINE void interleave_bytes(int8_t const* const* rows, size_t n, uint32_t* out) {
    int8_t const* r0 = rows[0];
    int8_t const* r1 = rows[1];
    int8_t const* r2 = rows[2];
    int8_t const* r3 = rows[3];
    for (size_t i = 0; i < n; ++i)
        out[i] = static_cast<uint32_t>(static_cast<uint8_t>(r0[i])) |
                 static_cast<uint32_t>(static_cast<uint8_t>(r1[i])) << 8 |
                 static_cast<uint32_t>(static_cast<uint8_t>(r2[i])) << 16 |
                 static_cast<uint32_t>(static_cast<uint8_t>(r3[i])) << 24;
}

NUVRA_ALWAYS_INLINE void add_bytes(int8_t const* r, size_t n, int64_t* sums) {
    for (size_t i = 0; i < n; ++i) sums[i] += r[i];
}

NUVRA_ALWAYS_INLINE void stage(int32_t* values, size_t pixels, size_t filters, StageTable const& t) {
    int64_t const lo = t.lo, hi = t.hi;
    for (size_t p = 0; p < pixels; ++p, values += filters) {
        for (size_t f = 0; f < filters; ++f) {
            int64_t x = values[f] + t.bias[f];
            x = x < t.low[f] ? t.low[f] : x;
            x = x > t.high[f] ? t.high[f] : x;
            int64_t y = (x * t.factor[f] + t.half[f]) >> t.right[f];
            y = y < lo ? lo : y;
            y = y > hi ? hi : y;
            values[f] = static_cast<int32_t>(y);
        }
    }
}

// One value x of filter f through the narrow stage, its result clamped to lo..hi (t's, held by the
// caller outside its loop).
NUVRA_ALWAYS_INLINE int32_t narrow_value(int32_t x, NarrowStageTable const& t, size_t f, int32_t lo, int32_t hi) {
    x = x < t.vlow[f] ? t.vlow[f] : x;
    x = x > t.vhigh[f] ? t.vhigh[f] : x;
    // The product and sum wrap as the lanes do; the sum itself fits (narrow_stage).
    uint32_t const sum = static_cast<uint32_t>(x + t.bias[f]) * static_cast<uint32_t>(t.factor[f]) +
                         static_cast<uint32_t>(t.half[f]);
    int32_t y = static_cast<int32_t>(sum) >> t.right[f];
    y = y < lo ? lo : y;
    return y > hi ? hi : y;
}

NUVRA_ALWAYS_INLINE void narrow_stage(int32_t* values, size_t pixels, size_t filters, NarrowStageTable const& t) {
    int32_t const lo = t.lo, hi = t.hi;
    for (size_t p = 0; p < pixels; ++p, values += filters)
        for (size_t f = 0; f < filters; ++f) values[f] = narrow_value(values[f], t, f, lo, hi);
}

NUVRA_ALWAYS_INLINE void narrow_stage_bytes(int32_t const* __restrict values, size_t pixels, size_t filters,
                                            NarrowStageTable const& t, uint8_t* __restrict out) {
    int32_t const lo = t.lo, hi = t.hi;
    for (size_t p = 0; p < pixels; ++p, values += filters, out += filters)
        for (size_t f = 0; f < filters; ++f) out[f] = static_cast<uint8_t>(narrow_value(values[f], t, f, lo, hi));
}

NUVRA_ALWAYS_INLINE void pack_bytes(int32_t const* __restrict values, size_t n, uint8_t* __restrict out) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(values[i]);
}

}  // namespace loop_bodies

// The bodies above, each compiled inside a function name_<body> carrying ATTR.
#define NUVRA_LOOPS_TABLE(name, ATTR)                                                                               \
    ATTR void name##_min_max(int32_t const* v, size_t n, int32_t* lo, int32_t* hi) {                                \
        loop_bodies::min_max(v, n, lo, hi);                                                                         \
    }                                                                                                               \
    ATTR void name##_to_bytes(int32_t const* v, size_t n, int32_t offset, uint8_t* out, int32_t* lo, int32_t* hi) { \
        loop_bodies::to_bytes(v, n, offset, out, lo, hi);                                                           \
    }                                                                                                               \
    ATTR void name##_interleave_values(int32_t const* const* rows, size_t n, int32_t offset, uint32_t* out,          \
                                       int32_t* lo, int32_t* hi) {                                                  \
        loop_bodies::interleave_values(rows, n, offset, out, lo, hi);                                               \
    }                                                                                                               \
    ATTR void name##_add_bytes(int8_t const* r, size_t n, int64_t* sums) { loop_bodies::add_bytes(r, n, sums); }   \
    ATTR void name##_stage(int32_t* values, size_t pixels, size_t filters, StageTable const& t) {                   \
        loop_bodies::stage(values, pixels, filters, t);                                                             \
    }                                                                                                               \
    ATTR void name##_narrow_stage(int32_t* values, size_t pixels, size_t filters, NarrowStageTable const& t) {       \
        loop_bodies::narrow_stage(values, pixels, filters, t);                                                      \
    }                                                                                                               \
    ATTR void name##_narrow_stage_bytes(int32_t const* values, size_t pixels, size_t filters,                       \
                                        NarrowStageTable const& t, uint8_t* out) {                                  \
        loop_bodies::narrow_stage_bytes(values, pixels, filters, t, out);                                           \
    }                                                                                                               \
    ATTR void name##_pack_bytes(int32_t const* values, size_t n, uint8_t* out) {                                    \
        loop_bodies::pack_bytes(values, n, out);                                                                    \
    }

}  // namespace nuvra::ops::detail
