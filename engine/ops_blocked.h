// Blocked integer kernels for the layers' software path: the convolutions of convolve and
// convolve_depthwise (engine/ops_support.h) on 8-bit data with the instructions the CPU offers.
//
// Exactness. The values are moved into bytes by an offset, a = x - lo in [0, 255] (lo = 0 when the
// values are 0..255 already, else their minimum), and every product a x w (w int8) sums into 32-bit
// lanes: u8 x s8 quadruples into int32 (VNNI), or pairs of 16-bit products into int32 (AVX2), never
// a saturating 16-bit sum. The offset comes back as lo x (sum of the weights) per filter, modulo 2^32
// as the lanes are. A kernel runs only when the largest sum a window can reach fits 32 bits, so the
// sums equal the reference kernels' 64-bit ones; otherwise (values spread over more than 256
// levels, sums that may leave 32 bits, a padded image far larger than the input) the reference
// kernel runs instead.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "engine/ops_support.h"

namespace nuvra::ops::detail {

// The instruction sets of the kernels, from the narrowest. Each but portable needs AVX2; a CPU
// may offer AVX-512 VNNI without AVX-VNNI.
enum class Isa : uint8_t {
    portable = 0,  // plain C++, any CPU
    avx2 = 1,      // 256-bit, 16-bit products summed in pairs
    avx_vnni = 2,  // 256-bit, u8 x s8 quadruples (AVX-VNNI)
    avx512 = 3,    // 512-bit, u8 x s8 quadruples (AVX-512 VNNI and BW)
};

// Whether this CPU and its operating system offer `isa` (only portable off x86-64).
bool offers(Isa isa);
// The widest instruction set offered.
Isa best_isa();
char const* isa_name(Isa isa);

// The output stage of a layer over pixels of one value per filter, in place:
//   x = clamp(v + bias[f], low[f], high[f]); v' = clamp((x x factor[f] + half[f]) >> right[f], lo, hi)
// in 64 bits: the bias and ReLU clip, then scale_out's multiply, rounding shift and saturation.
struct StageTable {
    int64_t const* bias;
    int64_t const* low;
    int64_t const* high;
    int64_t const* factor;
    int64_t const* half;
    int64_t const* right;
    int64_t lo;
    int64_t hi;
};

// The same stage in 32-bit lanes, for tables whose arithmetic fits them:
//   x = clamp(v, vlow[f], vhigh[f]) + bias[f]; v' = clamp((x x factor[f] + half[f]) >> right[f], lo, hi).
struct NarrowStageTable {
    int32_t const* vlow;
    int32_t const* vhigh;
    int32_t const* bias;
    int32_t const* factor;
    int32_t const* half;
    int32_t const* right;
    int32_t lo;
    int32_t hi;
};
struct NarrowStage {
    std::vector<int32_t> vlow, vhigh, bias, factor, half, right;
    int32_t lo = 0, hi = 0;
    NarrowStageTable table() const {
        return {vlow.data(), vhigh.data(), bias.data(), factor.data(), half.data(), right.data(), lo, hi};
    }
};
// The output stage done by the blocked drivers themselves (inside the kernels where they can):
// the narrow stage of every sum, stored as a byte at out[pixel x filters + filter].
struct ByteStage {
    NarrowStageTable table;
    uint8_t* out;
};

// The input values of a blocked convolution, in row-major order: int32, or bytes (0..255).
struct Values {
    int32_t const* ints = nullptr;
    uint8_t const* bytes = nullptr;
};

// Receives the sums of `count` consecutive output pixels from pixel `first` on (counted over the
// samples, in the output's row-major order), one int32 per filter each, in a scratch block it may
// change. Every sink overwrites its block's pixels, never adds to them, and may be replayed: a
// driver sends pixels again, with the same values (in blocks that may start elsewhere), when a
// later sample needs another byte offset or the reference kernel, and the last delivery stands.
using BlockSink = std::function<void(int32_t* sums, size_t first, size_t count)>;

// A buffer of 32-bit words for packed weights and scratch, its elements left unset. Its memory
// comes from blocks kept between runs (state::kept_blocks(), bounded in hw/process_state.h), so
// that each run does not fault the pages of its buffers in anew.
class Words {
public:
    Words() = default;
    explicit Words(size_t count);
    Words(Words&& other) noexcept;
    Words& operator=(Words&& other) noexcept;
    Words(Words const&) = delete;
    Words& operator=(Words const&) = delete;
    ~Words();

    uint32_t* data() { return data_; }
    uint32_t const* data() const { return data_; }
    size_t size() const { return size_; }
    uint32_t& operator[](size_t i) { return data_[i]; }
    void zero(size_t first, size_t count);  // sets words [first, first + count) to 0

private:
    uint32_t* data_ = nullptr;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// The weights of a FilterMatrix in the kernels' panels (GemmArgs' b), made once for a layer.
struct PackedFilters {
    Isa isa = Isa::portable;
    size_t depth = 0;
    size_t filters = 0;
    size_t groups = 0;  // of 4 taps
    size_t count = 0;   // panels
    Words words;        // 4 taps of one filter each
};
PackedFilters pack_filters(FilterMatrix const& w, size_t depth, Isa isa = best_isa());

// Depthwise weights (kx, ky, C) in the kernels' form (DepthwiseArgs' w), made once for a layer.
struct PackedDepthwise {
    Isa isa = Isa::portable;
    size_t kx = 0, ky = 0, channels = 0;
    size_t groups = 0;  // of 4 taps along y
    size_t padded = 0;  // channels, to a multiple of the kernel's lanes
    Words words;
};
PackedDepthwise pack_depthwise(int8_t const* w, size_t kx, size_t ky, size_t channels, Isa isa = best_isa());

// convolve (outside as the value of taps beyond the image, saturated to n bits) through the
// blocked kernels of `isa` (or of the widest offered set below it), or through convolve itself
// when they cannot be exact; the sums go to `sink` block by block. `packed`, when given, holds w packed for isa.
// With `bytes`, the sums go through its stage into its bytes instead of the sink.
void convolve_blocked(Values in, ImageDims const& d, int32_t outside, FilterMatrix const& w, Window const& g, int n,
                      BlockSink const& sink, Isa isa = best_isa(), PackedFilters const* packed = nullptr,
                      ByteStage const* bytes = nullptr);
// convolve_depthwise the same way.
void convolve_depthwise_blocked(Values in, ImageDims const& d, int8_t const* w, Window const& g,
                                BlockSink const& sink, Isa isa = best_isa(), PackedDepthwise const* packed = nullptr,
                                ByteStage const* bytes = nullptr);

// ---- the kernels of one instruction set, behind the drivers above ----

// C[r][f] = comp[f] + sum over k of A[r][k] x B[k][f] for r < rows, f < cols, in 32-bit lanes
// (modulo 2^32). A: rows of `lda` bytes, 4 x groups used; B: a panel of `groups` groups of
// `width` filters x 4 taps (tap k = 4 x group + t at b[(group x width + f) x 4 + t]), bytes read
// as int8.
struct GemmArgs {
    uint8_t const* a;
    size_t lda;
    uint8_t const* b;
    size_t groups;
    int32_t const* comp;
    int32_t* c;
    size_t ldc;
    size_t rows;
    size_t cols;
    // With a stage (kernels that fuse it), each sum goes through it into bytes[r x ldc + f]
    // instead of c; the table's arrays start at the panel's first filter.
    NarrowStageTable const* stage = nullptr;
    uint8_t* bytes = nullptr;
};
struct GemmKernel {
    size_t rows;   // pixels per call at most
    size_t width;  // filters per panel
    void (*run)(GemmArgs const&);
    bool fuses = false;  // takes GemmArgs' stage
};

// One output line of a depthwise convolution: out[p][c] = comp[c] + sum over i < kx and
// g < groups of the 4 byte products z_i[p][g][c][t] x w[i][g][c][t], for p < pixels and
// c < channels; rows z_i hold `padded` channels per group and pixel, w (i, g, c, t) likewise,
// its bytes read as int8.
struct DepthwiseArgs {
    uint8_t const* const* z;  // kx rows
    size_t kx;
    uint8_t const* w;
    size_t groups;
    size_t padded;
    int32_t const* comp;
    int32_t* out;
    size_t channels;
    size_t pixels;
    // With a stage (kernels that fuse it), each sum goes through it into bytes[p x channels + c]
    // instead of out.
    NarrowStageTable const* stage = nullptr;
    uint8_t* bytes = nullptr;
};
struct DepthwiseKernel {
    size_t lanes;  // channels padded to a multiple of this
    void (*run)(DepthwiseArgs const&);
    bool fuses = false;  // takes DepthwiseArgs' stage
};

// The narrow form of a stage of `filters` filters: each filter's input is clipped further to the
// values whose results are not yet saturated (beyond them the result is lo or hi either way), so
// that every product and sum fits 32 bits; std::nullopt when some filter's cannot. Its results
// equal the 64-bit stage's for every int32 value.
std::optional<NarrowStage> narrow_stage(StageTable const& t, size_t filters);

// The loops, as one function pointer each, for one instruction set.
struct Loops {
    // Lowest and highest of n values, folded into lo and hi.
    void (*min_max)(int32_t const* values, size_t n, int32_t* lo, int32_t* hi);
    // out[i] = values[i] - offset as a byte (modulo 256); the values' lowest and highest are folded
    // into lo and hi, so that the caller can tell whether every value was in offset..offset + 255.
    void (*to_bytes)(int32_t const* values, size_t n, int32_t offset, uint8_t* out, int32_t* lo, int32_t* hi);
    // out[i] = the bytes r0[i] - offset .. r3[i] - offset, lowest first, with lo and hi as above.
    void (*interleave_values)(int32_t const* const* rows, size_t n, int32_t offset, uint32_t* out, int32_t* lo,
                              int32_t* hi);
    // out[i] = the bytes r0[i] .. r3[i], lowest first, for i < n; then again `runs - 1` times with
    // every row src_step bytes further and out out_step words further.
    void (*interleave_bytes)(int8_t const* const* rows, size_t n, uint32_t* out, size_t runs, size_t src_step,
                             size_t out_step);
    // sums[i] += r[i] over n values.
    void (*add_bytes)(int8_t const* r, size_t n, int64_t* sums);
    void (*stage)(int32_t* values, size_t pixels, size_t filters, StageTable const& t);
    void (*narrow_stage)(int32_t* values, size_t pixels, size_t filters, NarrowStageTable const& t);
    // narrow_stage with its results stored as bytes (their range within 0..255) in out.
    void (*narrow_stage_bytes)(int32_t const* values, size_t pixels, size_t filters, NarrowStageTable const& t,
                               uint8_t* out);
    // out[i] = values[i], each in 0..255.
    void (*pack_bytes)(int32_t const* values, size_t n, uint8_t* out);
};

Loops const& loops(Isa isa);

// The kernel of `isa` for `filters` filters (a narrower panel serves few filters).
GemmKernel gemm_kernel(Isa isa, size_t filters);
DepthwiseKernel depthwise_kernel(Isa isa);

#if defined(__x86_64__) || defined(_M_X64)
// The x86-64 kernels (engine/ops_blocked_x86.cpp), isa above portable.
Loops const& loops_x86(Isa isa);
GemmKernel gemm_kernel_x86(Isa isa, size_t filters);
DepthwiseKernel depthwise_kernel_x86(Isa isa);
// The sets offered, one bit per Isa.
unsigned detect_isas_x86();
#endif

}  // namespace nuvra::ops::detail
