// The x86-64 blocked kernels: AVX2 (16-bit products summed in pairs), AVX-VNNI and AVX-512 VNNI
// (u8 x s8 quadruples summed into 32-bit lanes). Each function carries its instruction set as a
// target attribute, so that the rest of the module stays runnable on any x86-64; best_isa() picks
// what the CPU and the operating system offer before any of them runs.
#if defined(__x86_64__) || defined(_M_X64)

#if defined(__GNUC__) && !defined(__clang__)
// GCC's AVX-512 headers leave the unused pass-through operand of the unmasked intrinsics undefined
// on purpose, which its own flow analysis then reports once they are inlined.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

#include "engine/ops_blocked.h"
#include "engine/ops_blocked_loops.h"

#define NUVRA_AVX2 __attribute__((target("avx2")))
#define NUVRA_AVX_VNNI __attribute__((target("avx2,avxvnni")))
#define NUVRA_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx512vnni")))

namespace nuvra::ops::detail {

namespace {

NUVRA_LOOPS_TABLE(avx2, NUVRA_AVX2)
NUVRA_LOOPS_TABLE(avx512, NUVRA_AVX512)

// interleave_bytes 16 values at a time: byte pairs, then pairs of pairs.
NUVRA_AVX2 void interleave_run(int8_t const* r0p, int8_t const* r1p, int8_t const* r2p, int8_t const* r3p, size_t n,
                               uint32_t* out) {
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        __m128i const r0 = _mm_loadu_si128(reinterpret_cast<__m128i const*>(r0p + i));
        __m128i const r1 = _mm_loadu_si128(reinterpret_cast<__m128i const*>(r1p + i));
        __m128i const r2 = _mm_loadu_si128(reinterpret_cast<__m128i const*>(r2p + i));
        __m128i const r3 = _mm_loadu_si128(reinterpret_cast<__m128i const*>(r3p + i));
        __m128i const lo01 = _mm_unpacklo_epi8(r0, r1), hi01 = _mm_unpackhi_epi8(r0, r1);
        __m128i const lo23 = _mm_unpacklo_epi8(r2, r3), hi23 = _mm_unpackhi_epi8(r2, r3);
        auto* dst = reinterpret_cast<__m128i*>(out + i);
        _mm_storeu_si128(dst, _mm_unpacklo_epi16(lo01, lo23));
        _mm_storeu_si128(dst + 1, _mm_unpackhi_epi16(lo01, lo23));
        _mm_storeu_si128(dst + 2, _mm_unpacklo_epi16(hi01, hi23));
        _mm_storeu_si128(dst + 3, _mm_unpackhi_epi16(hi01, hi23));
    }
    int8_t const* tail[4] = {r0p + i, r1p + i, r2p + i, r3p + i};
    loop_bodies::interleave_bytes(tail, n - i, out + i);
}

NUVRA_AVX2 void interleave_bytes_sse(int8_t const* const* rows, size_t n, uint32_t* out, size_t runs,
                                     size_t src_step, size_t out_step) {
    for (size_t r = 0; r < runs; ++r)
        interleave_run(rows[0] + r * src_step, rows[1] + r * src_step, rows[2] + r * src_step, rows[3] + r * src_step,
                       n, out + r * out_step);
}

Loops const avx2_loops{avx2_min_max,         avx2_to_bytes,  avx2_interleave_values,
                       interleave_bytes_sse, avx2_add_bytes, avx2_stage,
                       avx2_narrow_stage, avx2_narrow_stage_bytes, avx2_pack_bytes};
Loops const avx512_loops{avx512_min_max,       avx512_to_bytes,  avx512_interleave_values,
                         interleave_bytes_sse, avx512_add_bytes, avx512_stage,
                         avx512_narrow_stage, avx512_narrow_stage_bytes, avx512_pack_bytes};

inline int32_t word_at(uint8_t const* p) {
    int32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// ---- AVX-512 VNNI: 6 pixels x 64 filters ----

constexpr size_t kZmmRows = 6;

// The narrow stage of 16 filters (or channels) from `first` on, the first n of them.
struct Stage16 {
    __m512i vlow, vhigh, bias, factor, half, right, lo, hi;
};

// (All 0 without a table.)
NUVRA_AVX512 Stage16 stage16(NarrowStageTable const* t, size_t first, __mmask16 mask) {
    if (!t) {
        __m512i const zero = _mm512_setzero_si512();
        return {zero, zero, zero, zero, zero, zero, zero, zero};
    }
    return {_mm512_maskz_loadu_epi32(mask, t->vlow + first),   _mm512_maskz_loadu_epi32(mask, t->vhigh + first),
            _mm512_maskz_loadu_epi32(mask, t->bias + first),   _mm512_maskz_loadu_epi32(mask, t->factor + first),
            _mm512_maskz_loadu_epi32(mask, t->half + first),   _mm512_maskz_loadu_epi32(mask, t->right + first),
            _mm512_set1_epi32(t->lo),                          _mm512_set1_epi32(t->hi)};
}

// The stage of 16 sums, stored as the first bytes of `mask` at out.
NUVRA_AVX512 void store_staged(Stage16 const& s, __m512i v, __mmask16 mask, uint8_t* out) {
    __m512i x = _mm512_min_epi32(_mm512_max_epi32(v, s.vlow), s.vhigh);
    x = _mm512_add_epi32(_mm512_mullo_epi32(_mm512_add_epi32(x, s.bias), s.factor), s.half);
    __m512i const y = _mm512_min_epi32(_mm512_max_epi32(_mm512_srav_epi32(x, s.right), s.lo), s.hi);
    _mm512_mask_cvtepi32_storeu_epi8(out, mask, y);
}

// R pixels x NR vectors of 16 filters.
template <size_t R, size_t NR>
NUVRA_AVX512 void gemm_avx512_rows(GemmArgs const& g) {
    __m512i acc[R][NR];
#pragma GCC unroll 12
    for (size_t r = 0; r < R; ++r)
#pragma GCC unroll 4
        for (size_t j = 0; j < NR; ++j) acc[r][j] = _mm512_setzero_si512();
    uint8_t const* b = g.b;
    for (size_t k = 0; k < g.groups; ++k, b += 64 * NR) {
        __m512i bv[NR];
#pragma GCC unroll 4
        for (size_t j = 0; j < NR; ++j) bv[j] = _mm512_loadu_si512(b + 64 * j);
#pragma GCC unroll 12
        for (size_t r = 0; r < R; ++r) {
            __m512i const a = _mm512_set1_epi32(word_at(g.a + r * g.lda + 4 * k));
#pragma GCC unroll 4
            for (size_t j = 0; j < NR; ++j) acc[r][j] = _mm512_dpbusd_epi32(acc[r][j], a, bv[j]);
        }
    }
#pragma GCC unroll 4
    for (size_t j = 0; j < NR; ++j) {
        size_t const first = 16 * j;
        if (first >= g.cols) break;
        size_t const n = g.cols - first < 16 ? g.cols - first : 16;
        auto const mask = static_cast<__mmask16>((1u << n) - 1u);
        __m512i const comp = _mm512_loadu_si512(g.comp + first);
        if (g.stage) {
            Stage16 const stage = stage16(g.stage, first, mask);
#pragma GCC unroll 12
            for (size_t r = 0; r < R; ++r)
                store_staged(stage, _mm512_add_epi32(acc[r][j], comp), mask, g.bytes + r * g.ldc + first);
            continue;
        }
#pragma GCC unroll 12
        for (size_t r = 0; r < R; ++r)
            _mm512_mask_storeu_epi32(g.c + r * g.ldc + first, mask, _mm512_add_epi32(acc[r][j], comp));
    }
}

NUVRA_AVX512 void gemm_avx512(GemmArgs const& g) {
    switch (g.rows) {
        case 1: gemm_avx512_rows<1, 4>(g); break;
        case 2: gemm_avx512_rows<2, 4>(g); break;
        case 3: gemm_avx512_rows<3, 4>(g); break;
        case 4: gemm_avx512_rows<4, 4>(g); break;
        case 5: gemm_avx512_rows<5, 4>(g); break;
        default: gemm_avx512_rows<kZmmRows, 4>(g); break;
    }
}

// 12 pixels x 32 filters, for layers of few filters.
constexpr size_t kZmmNarrowRows = 12;

NUVRA_AVX512 void gemm_avx512_narrow(GemmArgs const& g) {
    switch (g.rows) {
        case 1: gemm_avx512_rows<1, 2>(g); break;
        case 2: gemm_avx512_rows<2, 2>(g); break;
        case 3: gemm_avx512_rows<3, 2>(g); break;
        case 4: gemm_avx512_rows<4, 2>(g); break;
        case 5: gemm_avx512_rows<5, 2>(g); break;
        case 6: gemm_avx512_rows<6, 2>(g); break;
        case 7: gemm_avx512_rows<7, 2>(g); break;
        case 8: gemm_avx512_rows<8, 2>(g); break;
        case 9: gemm_avx512_rows<9, 2>(g); break;
        case 10: gemm_avx512_rows<10, 2>(g); break;
        case 11: gemm_avx512_rows<11, 2>(g); break;
        default: gemm_avx512_rows<kZmmNarrowRows, 2>(g); break;
    }
}

// Kernels of KX columns and G groups (of 4 taps along y) keep their weights in registers and
// add the columns in separate sums; other sizes run the loop below.
template <size_t KX, size_t G>
NUVRA_AVX512 void depthwise_avx512_fixed(DepthwiseArgs const& d) {
    size_t const step = G * d.padded * 4, group = d.padded * 4, channels = d.channels;
    uint8_t const* z[KX];
    for (size_t c = 0; c < channels; c += 16) {
        size_t const n = channels - c < 16 ? channels - c : 16;
        auto const mask = static_cast<__mmask16>((1u << n) - 1u);
        __m512i const comp = _mm512_loadu_si512(d.comp + c);
        __m512i w[KX][G];
#pragma GCC unroll 8
        for (size_t i = 0; i < KX; ++i) {
            z[i] = d.z[i] + c * 4;
#pragma GCC unroll 4
            for (size_t g = 0; g < G; ++g) w[i][g] = _mm512_loadu_si512(d.w + ((i * G + g) * d.padded + c) * 4);
        }
        int32_t* out = d.out + c;
        Stage16 const stage = stage16(d.stage, c, mask);
        uint8_t* bytes = d.bytes ? d.bytes + c : nullptr;
        for (size_t p = 0; p < d.pixels; ++p, out += channels) {
            __m512i acc[KX];
#pragma GCC unroll 8
            for (size_t i = 0; i < KX; ++i) {
                acc[i] = i == 0 ? comp : _mm512_setzero_si512();
#pragma GCC unroll 4
                for (size_t g = 0; g < G; ++g)
                    acc[i] = _mm512_dpbusd_epi32(acc[i], _mm512_loadu_si512(z[i] + p * step + g * group), w[i][g]);
            }
#pragma GCC unroll 8
            for (size_t i = 1; i < KX; ++i) acc[0] = _mm512_add_epi32(acc[0], acc[i]);
            if (bytes)
                store_staged(stage, acc[0], mask, bytes + p * channels);
            else
                _mm512_mask_storeu_epi32(out, mask, acc[0]);
        }
    }
}

NUVRA_AVX512 void depthwise_avx512(DepthwiseArgs const& d) {
    if (d.kx == 3 && d.groups == 1) return depthwise_avx512_fixed<3, 1>(d);
    if (d.kx == 5 && d.groups == 2) return depthwise_avx512_fixed<5, 2>(d);
    if (d.kx == 1 && d.groups == 1) return depthwise_avx512_fixed<1, 1>(d);
    size_t const step = d.groups * d.padded * 4, channels = d.channels, kx = d.kx, groups = d.groups;
    uint8_t const* const* rows = d.z;
    uint8_t const* weights = d.w;
    for (size_t c = 0; c < channels; c += 16) {
        size_t const n = channels - c < 16 ? channels - c : 16;
        auto const mask = static_cast<__mmask16>((1u << n) - 1u);
        __m512i const comp = _mm512_loadu_si512(d.comp + c);
        int32_t* out = d.out + c;
        Stage16 const stage = stage16(d.stage, c, mask);
        uint8_t* bytes = d.bytes ? d.bytes + c : nullptr;
        for (size_t p = 0; p < d.pixels; ++p, out += channels) {
            __m512i acc = comp;
            for (size_t i = 0; i < kx; ++i) {
                uint8_t const* z = rows[i] + p * step + c * 4;
                uint8_t const* w = weights + (i * groups * d.padded + c) * 4;
                for (size_t g = 0; g < groups; ++g)
                    acc = _mm512_dpbusd_epi32(acc, _mm512_loadu_si512(z + g * d.padded * 4),
                                              _mm512_loadu_si512(w + g * d.padded * 4));
            }
            if (bytes)
                store_staged(stage, acc, mask, bytes + p * channels);
            else
                _mm512_mask_storeu_epi32(out, mask, acc);
        }
    }
}

// ---- AVX-VNNI: 6 pixels x 16 filters ----

constexpr size_t kYmmRows = 6;

// A mask of the first n of 8 lanes, for maskstore.
NUVRA_AVX2 __m256i first_lanes(size_t n) {
    __m256i const index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(n)), index);
}

template <size_t R>
NUVRA_AVX_VNNI void gemm_vnni_rows(GemmArgs const& g) {
    __m256i acc[R][2];
#pragma GCC unroll 8
    for (size_t r = 0; r < R; ++r) acc[r][0] = acc[r][1] = _mm256_setzero_si256();
    uint8_t const* b = g.b;
    for (size_t k = 0; k < g.groups; ++k, b += 64) {
        __m256i const b0 = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(b));
        __m256i const b1 = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(b + 32));
#pragma GCC unroll 8
        for (size_t r = 0; r < R; ++r) {
            __m256i const a = _mm256_set1_epi32(word_at(g.a + r * g.lda + 4 * k));
            acc[r][0] = _mm256_dpbusd_avx_epi32(acc[r][0], a, b0);
            acc[r][1] = _mm256_dpbusd_avx_epi32(acc[r][1], a, b1);
        }
    }
#pragma GCC unroll 2
    for (size_t j = 0; j < 2; ++j) {
        size_t const first = 8 * j;
        if (first >= g.cols) break;
        __m256i const mask = first_lanes(g.cols - first);
        __m256i const comp = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(g.comp + first));
#pragma GCC unroll 8
        for (size_t r = 0; r < R; ++r)
            _mm256_maskstore_epi32(g.c + r * g.ldc + first, mask, _mm256_add_epi32(acc[r][j], comp));
    }
}

NUVRA_AVX_VNNI void gemm_vnni(GemmArgs const& g) {
    switch (g.rows) {
        case 1: gemm_vnni_rows<1>(g); break;
        case 2: gemm_vnni_rows<2>(g); break;
        case 3: gemm_vnni_rows<3>(g); break;
        case 4: gemm_vnni_rows<4>(g); break;
        case 5: gemm_vnni_rows<5>(g); break;
        default: gemm_vnni_rows<kYmmRows>(g); break;
    }
}

NUVRA_AVX_VNNI void depthwise_vnni(DepthwiseArgs const& d) {
    for (size_t c = 0; c < d.channels; c += 8) {
        __m256i const mask = first_lanes(d.channels - c);
        __m256i const comp = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(d.comp + c));
        for (size_t p = 0; p < d.pixels; ++p) {
            __m256i acc = comp;
            for (size_t i = 0; i < d.kx; ++i) {
                for (size_t g = 0; g < d.groups; ++g) {
                    auto const* z = reinterpret_cast<__m256i const*>(d.z[i] + ((p * d.groups + g) * d.padded + c) * 4);
                    auto const* w = reinterpret_cast<__m256i const*>(d.w + ((i * d.groups + g) * d.padded + c) * 4);
                    acc = _mm256_dpbusd_avx_epi32(acc, _mm256_loadu_si256(z), _mm256_loadu_si256(w));
                }
            }
            _mm256_maskstore_epi32(d.out + p * d.channels + c, mask, acc);
        }
    }
}

// ---- AVX2: 16-bit products summed in pairs, 4 pixels x 8 filters ----
// A word of 4 taps widens to 4 int16 values; a lane pair (taps 0-1, taps 2-3) of each filter sums
// in two 32-bit lanes, which one horizontal add joins at the end.

constexpr size_t kAvx2Rows = 4;

// The sums of lanes (2f, 2f + 1) of lo (filters 0-3) and hi (filters 4-7), in filter order.
NUVRA_AVX2 __m256i join_pairs(__m256i lo, __m256i hi) {
    return _mm256_permute4x64_epi64(_mm256_hadd_epi32(lo, hi), 0xD8);
}

template <size_t R>
NUVRA_AVX2 void gemm_avx2_rows(GemmArgs const& g) {
    __m256i lo[R], hi[R];
#pragma GCC unroll 4
    for (size_t r = 0; r < R; ++r) lo[r] = hi[r] = _mm256_setzero_si256();
    uint8_t const* b = g.b;
    for (size_t k = 0; k < g.groups; ++k, b += 32) {
        __m256i const b0 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<__m128i const*>(b)));
        __m256i const b1 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<__m128i const*>(b + 16)));
#pragma GCC unroll 4
        for (size_t r = 0; r < R; ++r) {
            __m128i const word = _mm_cvtepu8_epi16(_mm_cvtsi32_si128(word_at(g.a + r * g.lda + 4 * k)));
            __m256i const a = _mm256_broadcastq_epi64(word);
            lo[r] = _mm256_add_epi32(lo[r], _mm256_madd_epi16(a, b0));
            hi[r] = _mm256_add_epi32(hi[r], _mm256_madd_epi16(a, b1));
        }
    }
    __m256i const mask = first_lanes(g.cols);
    __m256i const comp = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(g.comp));
#pragma GCC unroll 4
    for (size_t r = 0; r < R; ++r)
        _mm256_maskstore_epi32(g.c + r * g.ldc, mask, _mm256_add_epi32(join_pairs(lo[r], hi[r]), comp));
}

NUVRA_AVX2 void gemm_avx2(GemmArgs const& g) {
    switch (g.rows) {
        case 1: gemm_avx2_rows<1>(g); break;
        case 2: gemm_avx2_rows<2>(g); break;
        case 3: gemm_avx2_rows<3>(g); break;
        default: gemm_avx2_rows<kAvx2Rows>(g); break;
    }
}

NUVRA_AVX2 void depthwise_avx2(DepthwiseArgs const& d) {
    for (size_t c = 0; c < d.channels; c += 8) {
        __m256i const mask = first_lanes(d.channels - c);
        __m256i const comp = _mm256_loadu_si256(reinterpret_cast<__m256i const*>(d.comp + c));
        for (size_t p = 0; p < d.pixels; ++p) {
            __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256();
            for (size_t i = 0; i < d.kx; ++i) {
                for (size_t g = 0; g < d.groups; ++g) {
                    uint8_t const* z = d.z[i] + ((p * d.groups + g) * d.padded + c) * 4;
                    uint8_t const* w = d.w + ((i * d.groups + g) * d.padded + c) * 4;
                    __m256i const z0 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<__m128i const*>(z)));
                    __m256i const z1 = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<__m128i const*>(z + 16)));
                    __m256i const w0 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<__m128i const*>(w)));
                    __m256i const w1 = _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<__m128i const*>(w + 16)));
                    lo = _mm256_add_epi32(lo, _mm256_madd_epi16(z0, w0));
                    hi = _mm256_add_epi32(hi, _mm256_madd_epi16(z1, w1));
                }
            }
            _mm256_maskstore_epi32(d.out + p * d.channels + c, mask, _mm256_add_epi32(join_pairs(lo, hi), comp));
        }
    }
}

// XCR0: the register states the operating system saves.
uint64_t enabled_states() {
    uint32_t lo = 0, hi = 0;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (uint64_t{hi} << 32) | lo;
}

}  // namespace

unsigned detect_isas_x86() {
    unsigned offered = 1u << static_cast<unsigned>(Isa::portable);
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return offered;
    bool const osxsave = (c >> 27) & 1u, avx = (c >> 28) & 1u;
    if (!osxsave || !avx) return offered;
    uint64_t const states = enabled_states();
    if ((states & 0x6u) != 0x6u) return offered;  // SSE and AVX registers
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return offered;
    bool const avx2 = (b >> 5) & 1u;
    // F, DQ, BW, VL and VNNI, with the opmask and ZMM registers saved.
    bool const avx512 = ((b >> 16) & 1u) && ((b >> 17) & 1u) && ((b >> 30) & 1u) && ((b >> 31) & 1u) &&
                        ((c >> 11) & 1u) && (states & 0xE0u) == 0xE0u;
    unsigned a1 = 0, b1 = 0, c1 = 0, d1 = 0;
    bool const avx_vnni = __get_cpuid_count(7, 1, &a1, &b1, &c1, &d1) && ((a1 >> 4) & 1u);
    if (!avx2) return offered;
    offered |= 1u << static_cast<unsigned>(Isa::avx2);
    if (avx_vnni) offered |= 1u << static_cast<unsigned>(Isa::avx_vnni);
    if (avx512) offered |= 1u << static_cast<unsigned>(Isa::avx512);
    return offered;
}

Loops const& loops_x86(Isa isa) { return isa == Isa::avx512 ? avx512_loops : avx2_loops; }

GemmKernel gemm_kernel_x86(Isa isa, size_t filters) {
    switch (isa) {
        case Isa::avx512:
            if (filters <= 32) return {kZmmNarrowRows, 32, gemm_avx512_narrow, true};
            return {kZmmRows, 64, gemm_avx512, true};
        case Isa::avx_vnni: return {kYmmRows, 16, gemm_vnni};
        default: return {kAvx2Rows, 8, gemm_avx2};
    }
}

DepthwiseKernel depthwise_kernel_x86(Isa isa) {
    switch (isa) {
        case Isa::avx512: return {16, depthwise_avx512, true};
        case Isa::avx_vnni: return {8, depthwise_vnni};
        default: return {8, depthwise_avx2};
    }
}

}  // namespace nuvra::ops::detail

#endif
