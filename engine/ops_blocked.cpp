// Drivers of the blocked kernels: the byte form of the values, packed weights, rows of pixels in
// blocks, and the portable kernels that run on any CPU.
#include "engine/ops_blocked.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/ops_blocked_loops.h"
#include "hw/arith.h"

namespace nuvra::ops::detail {

namespace {

NUVRA_LOOPS_TABLE(portable, )
void portable_interleave_bytes(int8_t const* const* rows, size_t n, uint32_t* out, size_t runs, size_t src_step,
                               size_t out_step) {
    for (size_t r = 0; r < runs; ++r) {
        int8_t const* at[4] = {rows[0] + r * src_step, rows[1] + r * src_step, rows[2] + r * src_step,
                               rows[3] + r * src_step};
        loop_bodies::interleave_bytes(at, n, out + r * out_step);
    }
}
Loops const portable_loops{portable_min_max,          portable_to_bytes,  portable_interleave_values,
                           portable_interleave_bytes, portable_add_bytes, portable_stage,
                           portable_narrow_stage, portable_narrow_stage_bytes, portable_pack_bytes};

// ---- the blocks kept between runs ----

class Blocks {
public:
    static constexpr size_t kKeptWords = size_t{16} << 20;  // 64 MiB

    // A block of at least `count` words (and at most twice as many when a kept one serves).
    std::pair<uint32_t*, size_t> take(size_t count) {
        {
            std::lock_guard<std::mutex> const lock(mutex_);
            auto const at = free_.lower_bound(count);
            if (at != free_.end() && at->first <= 2 * count) {
                std::pair<uint32_t*, size_t> const block{at->second, at->first};
                kept_ -= at->first;
                free_.erase(at);
                return block;
            }
        }
        return {new uint32_t[count], count};
    }

    void give(uint32_t* data, size_t capacity) {
        {
            std::lock_guard<std::mutex> const lock(mutex_);
            if (kept_ + capacity <= kKeptWords) {
                free_.emplace(capacity, data);
                kept_ += capacity;
                return;
            }
        }
        delete[] data;
    }

    ~Blocks() {
        for (auto const& block : free_) delete[] block.second;
    }

private:
    std::mutex mutex_;
    std::multimap<size_t, uint32_t*> free_;  // capacity, block
    size_t kept_ = 0;
};

Blocks& blocks() {
    static Blocks kept;
    return kept;
}

// ---- portable kernels ----

constexpr size_t kPortableRows = 4;
constexpr size_t kPortableWidth = 8;

// 32-bit lanes that wrap as the vector instructions' do.
inline uint32_t product(uint8_t a, uint8_t b) {
    return static_cast<uint32_t>(int32_t{a} * int32_t{static_cast<int8_t>(b)});
}

void gemm_portable(GemmArgs const& g) {
    for (size_t r = 0; r < g.rows; ++r) {
        uint32_t acc[kPortableWidth] = {};
        uint8_t const* a = g.a + r * g.lda;
        for (size_t k = 0; k < g.groups; ++k) {
            uint8_t const* b = g.b + k * kPortableWidth * 4;
            for (size_t f = 0; f < kPortableWidth; ++f)
                for (size_t t = 0; t < 4; ++t) acc[f] += product(a[4 * k + t], b[4 * f + t]);
        }
        for (size_t f = 0; f < g.cols; ++f)
            g.c[r * g.ldc + f] = static_cast<int32_t>(acc[f] + static_cast<uint32_t>(g.comp[f]));
    }
}

void depthwise_portable(DepthwiseArgs const& d) {
    for (size_t p = 0; p < d.pixels; ++p) {
        for (size_t c = 0; c < d.channels; ++c) {
            uint32_t acc = static_cast<uint32_t>(d.comp[c]);
            for (size_t i = 0; i < d.kx; ++i) {
                for (size_t g = 0; g < d.groups; ++g) {
                    uint8_t const* z = d.z[i] + ((p * d.groups + g) * d.padded + c) * 4;
                    uint8_t const* w = d.w + ((i * d.groups + g) * d.padded + c) * 4;
                    for (size_t t = 0; t < 4; ++t) acc += product(z[t], w[t]);
                }
            }
            d.out[p * d.channels + c] = static_cast<int32_t>(acc);
        }
    }
}

// ---- the byte form of the values ----

// Values x as bytes x - offset in 0..255: offset 0 when every value (and the padding) is in
// 0..255, else the lowest; `magnitude` is the largest |x|.
struct ByteForm {
    bool fits = false;
    int32_t offset = 0;
    int64_t magnitude = 0;
};

ByteForm byte_form(int32_t lo, int32_t hi) {
    ByteForm form;
    form.magnitude = std::max(std::llabs(int64_t{lo}), std::llabs(int64_t{hi}));
    if (lo >= 0 && hi <= 255) {
        form.fits = true;
    } else if (int64_t{hi} - lo <= 255) {
        form.fits = true;
        form.offset = lo;
    }
    return form;
}

ByteForm byte_form(Loops const& loops, int32_t const* values, size_t n, int32_t outside) {
    int32_t lo = outside, hi = outside;
    loops.min_max(values, n, &lo, &hi);
    return byte_form(lo, hi);
}

// The first guess, offset 0, which the kernels check as they read the values.
ByteForm const kBytes{true, 0, 255};

// The largest sum of `taps` products of values of `magnitude` and int8 weights fits 32 bits.
bool sums_fit(int64_t magnitude, size_t taps) {
    unsigned __int128 const bound = static_cast<unsigned __int128>(magnitude) * 128u * taps;
    return bound <= static_cast<unsigned __int128>(std::numeric_limits<int32_t>::max());
}

// Whether the values folded into lo and hi all had bytes at `offset`.
bool in_bytes(int32_t lo, int32_t hi, int32_t offset) {
    return int64_t{lo} >= offset && int64_t{hi} <= int64_t{offset} + 255;
}

// offset x sum, as the 32-bit lanes hold it (modulo 2^32).
int32_t lane_product(int32_t offset, int64_t sum) {
    return static_cast<int32_t>(static_cast<uint64_t>(int64_t{offset} * sum));
}

// comp[f] = offset x (sum of filter f's weights), for `padded` filters (0 past the last).
std::vector<int32_t> offset_sums(Loops const& loops, FilterMatrix const& w, size_t depth, size_t padded,
                                 int32_t offset) {
    std::vector<int32_t> comp(padded, 0);
    if (offset == 0) return comp;
    std::vector<int64_t> sums(padded, 0);
    if (w.filter_stride == 1) {
        for (size_t k = 0; k < depth; ++k) loops.add_bytes(w.data + k * w.row_stride, w.filters, sums.data());
    } else {
        for (size_t f = 0; f < w.filters; ++f)
            for (size_t k = 0; k < depth; ++k) sums[f] += w.data[k * w.row_stride + f * w.filter_stride];
    }
    for (size_t f = 0; f < padded; ++f) comp[f] = lane_product(offset, sums[f]);
    return comp;
}

uint8_t const* bytes_of(uint32_t const* words) { return reinterpret_cast<uint8_t const*>(words); }

// The sums of `count` rows of `a` into out (one row of `filters` per pixel), or, with a stage,
// through it into `bytes` (the kernel fusing it).
void multiply(GemmKernel const& kernel, PackedFilters const& panels, std::vector<int32_t> const& comp,
              uint8_t const* a, size_t lda, size_t count, int32_t* out, NarrowStageTable const* stage = nullptr,
              uint8_t* bytes = nullptr) {
    size_t const width = kernel.width, filters = panels.filters;
    for (size_t panel = 0; panel < panels.count; ++panel) {
        uint8_t const* b = bytes_of(panels.words.data() + panel * panels.groups * width);
        size_t const first = panel * width, cols = std::min(width, filters - first);
        NarrowStageTable part{};
        if (stage)
            part = {stage->vlow + first,   stage->vhigh + first, stage->bias + first, stage->factor + first,
                    stage->half + first,   stage->right + first, stage->lo,           stage->hi};
        for (size_t r = 0; r < count; r += kernel.rows) {
            GemmArgs args{a + r * lda,
                          lda,
                          b,
                          panels.groups,
                          comp.data() + first,
                          out + r * filters + first,
                          filters,
                          std::min(kernel.rows, count - r),
                          cols};
            if (stage) {
                args.stage = &part;
                args.bytes = bytes + r * filters + first;
            }
            kernel.run(args);
        }
    }
}

// The input as int32 values (a copy when it is given as bytes).
int32_t const* ints_of(Values in, size_t count, std::vector<int32_t>& storage) {
    if (in.ints) return in.ints;
    storage.assign(in.bytes, in.bytes + count);
    return storage.data();
}

// The reference result handed to the sink in blocks of `block` pixels.
template <class Reference>
void through_reference(size_t pixels, size_t per_pixel, size_t block, BlockSink const& sink, Reference reference) {
    std::vector<int32_t> out(pixels * per_pixel);
    reference(out.data());
    for (size_t first = 0; first < pixels; first += block)
        sink(out.data() + first * per_pixel, first, std::min(block, pixels - first));
}

// The blocks of sums of a driver (`per_pixel` a pixel) to `sink`, or with `bytes` through its
// stage into its bytes.
BlockSink emitter(Loops const& loop, BlockSink const& sink, ByteStage const* bytes, size_t per_pixel) {
    return [&loop, &sink, bytes, per_pixel](int32_t* sums, size_t first, size_t count) {
        if (bytes)
            loop.narrow_stage_bytes(sums, count, per_pixel, bytes->table, bytes->out + first * per_pixel);
        else
            sink(sums, first, count);
    };
}

// A driver's passes in order: pass(form, check) with the values as bytes in the first form that
// holds them while the sums of `taps` products fit 32 bits, else reference(). Bytes go as they
// are (when `outside` is a byte too); other values first at offset 0, checked as they are read
// (values of 0..255, after a ReLU, need no look ahead), then at the offset measured over them.
template <class Pass, class Reference>
void through_passes(Loops const& loop, Values in, size_t values, int32_t outside, size_t taps, Pass const& pass,
                    Reference const& reference) {
    if (in.bytes) {  // 0..255 by their type; the padding must be a byte too
        if (outside >= 0 && outside <= 255 && sums_fit(255, taps) && pass(kBytes, false)) return;
        return reference();
    }
    if (sums_fit(kBytes.magnitude, taps) && pass(kBytes, true)) return;
    ByteForm const form = byte_form(loop, in.ints, values, outside);
    if (form.fits && sums_fit(form.magnitude, taps) && pass(form, false)) return;
    reference();
}

// isa, or the widest offered set below it.
Isa usable(Isa isa) {
    while (isa != Isa::portable && !offers(isa)) isa = static_cast<Isa>(static_cast<int>(isa) - 1);
    return isa;
}

bool fits_int32(__int128 v) {
    return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
}

}  // namespace

std::optional<NarrowStage> narrow_stage(StageTable const& t, size_t filters) {
    if (!fits_int32(t.lo) || !fits_int32(t.hi) || t.lo >= t.hi) return std::nullopt;
    NarrowStage n;
    n.lo = static_cast<int32_t>(t.lo);
    n.hi = static_cast<int32_t>(t.hi);
    for (size_t f = 0; f < filters; ++f) {
        int64_t const bias = t.bias[f], factor = t.factor[f], half = t.half[f], right = t.right[f];
        if (!fits_int32(bias) || factor < 0 || half < 0 || right < 0 || right > 63 || t.low[f] > t.high[f])
            return std::nullopt;
        if (factor != 0 && right > 31) return std::nullopt;
        // The inputs x of clamp(v + bias, low, high) that matter: below `first` the result is lo,
        // above `last` it is hi, as (x x factor + half) >> right never decreases with x.
        if (factor == 0) {  // the result is clamp(half >> right, lo, hi) whatever v is
            __int128 const constant = static_cast<__int128>(half) >> right;
            if (!fits_int32(constant)) return std::nullopt;
            for (auto* table : {&n.vlow, &n.vhigh, &n.factor, &n.right}) table->push_back(0);
            n.bias.push_back(static_cast<int32_t>(bias));
            n.half.push_back(static_cast<int32_t>(constant));
            continue;
        }
        // |lo|, |hi| <= 2^31 and right <= 31: the bounds fit 64 bits.
        int64_t first = t.low[f], last = t.high[f];
        int64_t const unit = int64_t{1} << right;
        int64_t const top = signed_ceil_div(t.hi * unit - half, factor);               // the first x giving hi
        int64_t const bottom = signed_floor_div((t.lo + 1) * unit - 1 - half, factor);  // the last x giving lo
        first = std::clamp(bottom, first, last);
        last = std::clamp(top, first, last);
        bool const fits = fits_int32(factor) && fits_int32(half) &&
                          fits_int32(static_cast<__int128>(first) * factor + half) &&
                          fits_int32(static_cast<__int128>(last) * factor + half);
        if (!fits) return std::nullopt;
        // clamp(v + bias, first, last) = clamp(v, first - bias, last - bias) + bias for int32 v.
        __int128 const vlow = std::max<__int128>(first - bias, std::numeric_limits<int32_t>::min());
        __int128 const vhigh = std::min<__int128>(last - bias, std::numeric_limits<int32_t>::max());
        if (vlow > vhigh) return std::nullopt;
        n.vlow.push_back(static_cast<int32_t>(vlow));
        n.vhigh.push_back(static_cast<int32_t>(vhigh));
        n.bias.push_back(static_cast<int32_t>(bias));
        n.factor.push_back(static_cast<int32_t>(factor));
        n.half.push_back(static_cast<int32_t>(half));
        n.right.push_back(static_cast<int32_t>(right));
    }
    return n;
}

bool offers(Isa isa) {
#if defined(__x86_64__) || defined(_M_X64)
    static unsigned const offered = detect_isas_x86();
    return (offered >> static_cast<unsigned>(isa)) & 1u;
#else
    return isa == Isa::portable;
#endif
}

Isa best_isa() { return usable(Isa::avx512); }

Words::Words(size_t count) : size_(count) {
    if (count == 0) return;
    auto const block = blocks().take(count);
    data_ = block.first;
    capacity_ = block.second;
}

Words::Words(Words&& other) noexcept : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

Words& Words::operator=(Words&& other) noexcept {
    if (this != &other) {
        Words gone(std::move(*this));
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    return *this;
}

Words::~Words() {
    if (data_) blocks().give(data_, capacity_);
}

void Words::zero(size_t first, size_t count) {
    if (count != 0) std::memset(data_ + first, 0, count * sizeof(uint32_t));
}

char const* isa_name(Isa isa) {
    switch (isa) {
        case Isa::portable: return "portable";
        case Isa::avx2: return "AVX2";
        case Isa::avx_vnni: return "AVX-VNNI";
        case Isa::avx512: return "AVX-512 VNNI";
    }
    return "unknown";
}

Loops const& loops(Isa isa) {
#if defined(__x86_64__) || defined(_M_X64)
    if (usable(isa) != Isa::portable) return loops_x86(usable(isa));
#endif
    return portable_loops;
}

GemmKernel gemm_kernel(Isa isa, size_t filters) {
#if defined(__x86_64__) || defined(_M_X64)
    if (usable(isa) != Isa::portable) return gemm_kernel_x86(usable(isa), filters);
#endif
    return {kPortableRows, kPortableWidth, gemm_portable};
}

DepthwiseKernel depthwise_kernel(Isa isa) {
#if defined(__x86_64__) || defined(_M_X64)
    if (usable(isa) != Isa::portable) return depthwise_kernel_x86(usable(isa));
#endif
    return {4, depthwise_portable};
}

PackedFilters pack_filters(FilterMatrix const& w, size_t depth, Isa isa) {
    Loops const& loop = loops(isa);
    size_t const width = gemm_kernel(isa, w.filters).width;
    PackedFilters p;
    p.isa = usable(isa);
    p.depth = depth;
    p.filters = w.filters;
    p.groups = (depth + 3) / 4;
    p.count = (w.filters + width - 1) / width;
    p.words = Words(p.count * p.groups * width);
    if (w.filter_stride == 1) {  // each tap's weights lie side by side
        std::vector<int8_t> const zeros(width, 0);
        for (size_t panel = 0; panel < p.count; ++panel) {
            size_t const first = panel * width, n = std::min(width, w.filters - first);
            for (size_t k = 0; k < p.groups; ++k) {
                int8_t const* rows[4];
                for (size_t t = 0; t < 4; ++t)
                    rows[t] = 4 * k + t < depth ? w.data + (4 * k + t) * w.row_stride + first : zeros.data();
                size_t const at = (panel * p.groups + k) * width;
                loop.interleave_bytes(rows, n, p.words.data() + at, 1, 0, 0);
                p.words.zero(at + n, width - n);  // filters past the last
            }
        }
        return p;
    }
    p.words.zero(0, p.words.size());
    for (size_t f = 0; f < w.filters; ++f) {
        size_t const panel = f / width, column = f % width;
        for (size_t k = 0; k < depth; ++k) {
            auto const v = static_cast<uint8_t>(w.data[k * w.row_stride + f * w.filter_stride]);
            p.words[(panel * p.groups + k / 4) * width + column] |= static_cast<uint32_t>(v) << (8 * (k % 4));
        }
    }
    return p;
}

PackedDepthwise pack_depthwise(int8_t const* w, size_t kx, size_t ky, size_t channels, Isa isa) {
    Loops const& loop = loops(isa);
    PackedDepthwise p;
    p.isa = usable(isa);
    p.kx = kx;
    p.ky = ky;
    p.channels = channels;
    p.groups = (ky + 3) / 4;
    p.padded = round_up(channels, depthwise_kernel(isa).lanes);
    p.words = Words(kx * p.groups * p.padded);  // (i, group, channel, 4 taps along y), 0 past ky
    p.words.zero(0, p.words.size());
    std::vector<int8_t> const zeros(channels, 0);
    for (size_t i = 0; i < kx; ++i) {
        for (size_t k = 0; k < p.groups; ++k) {
            int8_t const* rows[4];
            for (size_t t = 0; t < 4; ++t)
                rows[t] = 4 * k + t < ky ? w + (i * ky + 4 * k + t) * channels : zeros.data();
            loop.interleave_bytes(rows, channels, p.words.data() + (i * p.groups + k) * p.padded, 1, 0, 0);
        }
    }
    return p;
}

void convolve_blocked(Values in, ImageDims const& d, int32_t outside, FilterMatrix const& w, Window const& g, int n,
                      BlockSink const& sink, Isa isa, PackedFilters const* packed, ByteStage const* bytes) {
    isa = usable(isa);
    Loops const& loop = loops(isa);
    size_t const c = d.channels, depth = g.kernel_x * g.kernel_y * c, filters = w.filters;
    size_t const values = d.samples * d.x * d.y * c;
    GemmKernel const kernel = gemm_kernel(isa, filters);
    size_t const block = kernel.rows * std::max<size_t>(2, std::min<size_t>(16, 16384 / std::max<size_t>(filters, 1)));
    // The window region of one sample, padded: columns from -pad_left, rows from -pad_top.
    size_t const px = g.out_x == 0 ? 0 : (g.out_x - 1) * static_cast<size_t>(g.stride_x) + g.kernel_x;
    size_t const py = g.out_y == 0 ? 0 : (g.out_y - 1) * static_cast<size_t>(g.stride_y) + g.kernel_y;
    size_t const pixels = g.out_x * g.out_y;
    bool const direct = g.kernel_x == 1 && g.kernel_y == 1 && g.stride_x == 1 && g.stride_y == 1 &&
                        g.pad_left == 0 && g.pad_top == 0 && g.out_x == d.x && g.out_y == d.y;
    unsigned __int128 const padded_bytes = static_cast<unsigned __int128>(px) * py * c;
    bool const padded_fits = direct || padded_bytes <= 4 * d.x * d.y * c + 65536;
    BlockSink const emit = emitter(loop, sink, bytes, filters);
    auto const reference = [&] {
        std::vector<int32_t> storage;
        int32_t const* ints = ints_of(in, values, storage);
        through_reference(d.samples * pixels, filters, block, emit,
                          [&](int32_t* out) { convolve(ints, d, outside, w, g, n, out, {}); });
    };
    if (!padded_fits || filters == 0 || depth == 0 || pixels == 0) return reference();
    PackedFilters local;
    if (!packed || packed->isa != isa || packed->depth != depth || packed->filters != filters) {
        local = pack_filters(w, depth, isa);
        packed = &local;
    }
    size_t const lda = packed->groups * 4;
    std::vector<uint8_t> a(block * lda, 0);  // the bytes past `depth` in each row stay 0
    Words scratch(block * filters);
    auto* const sums = reinterpret_cast<int32_t*>(scratch.data());
    std::vector<uint8_t> image(direct ? 0 : px * py * c);
    size_t const run = g.kernel_y * c;
    std::vector<int32_t> const* comp = nullptr;  // of the pass
    // The kernel runs the byte stage itself when it can (and no saturation comes before).
    bool const fused = bytes && kernel.fuses && n >= 32;
    // The sums of `count` rows of lda bytes from pixel `first` on.
    auto const product = [&](uint8_t const* rows, size_t first, size_t count) {
        if (fused)
            multiply(kernel, *packed, *comp, rows, lda, count, sums, &bytes->table, bytes->out + first * filters);
        else
            multiply(kernel, *packed, *comp, rows, lda, count, sums);
    };
    auto const finish = [&](size_t first, size_t count) {
        if (fused) return;
        if (n < 32) {  // the sums are exact: saturate them
            int32_t const lo = static_cast<int32_t>(signed_min(n)), hi = static_cast<int32_t>(signed_max(n));
            for (size_t i = 0; i < count * filters; ++i) sums[i] = std::clamp(sums[i], lo, hi);
        }
        emit(sums, first, count);
    };

    // One pass with the values as bytes at `form.offset`; false, before the sink has seen a
    // block, when `check` finds a value outside. Bytes need no check.
    auto const pass = [&](ByteForm const& form, bool check) {
        std::vector<int32_t> const offsets = offset_sums(loop, w, depth, packed->count * kernel.width, form.offset);
        comp = &offsets;
        if (direct) {  // the pixels of every sample are the rows
            size_t const total = d.samples * d.x * d.y;
            if (check) {  // all blocks checked before the first goes to the sink
                int32_t lo = form.offset, hi = form.offset;
                loop.min_max(in.ints, values, &lo, &hi);
                if (!in_bytes(lo, hi, form.offset)) return false;
            }
            for (size_t first = 0; first < total; first += block) {
                size_t const count = std::min(block, total - first);
                uint8_t const* rows = a.data();
                if (in.bytes && c == lda) {
                    rows = in.bytes + first * c;
                } else if (in.bytes) {
                    for (size_t r = 0; r < count; ++r) std::memcpy(a.data() + r * lda, in.bytes + (first + r) * c, c);
                } else {
                    int32_t lo = form.offset, hi = form.offset;
                    for (size_t r = 0; r < count; ++r)
                        loop.to_bytes(in.ints + (first + r) * c, c, form.offset, a.data() + r * lda, &lo, &hi);
                }
                product(rows, first, count);
                finish(first, count);
            }
            return true;
        }
        // Each sample as padded bytes, then one row per output pixel: its window's kx runs of
        // ky x C bytes.
        if (check && !in_bytes(outside, outside, form.offset)) return false;
        auto const outside_byte = static_cast<uint8_t>(static_cast<uint32_t>(outside - form.offset));
        for (size_t s = 0; s < d.samples; ++s) {
            std::fill(image.begin(), image.end(), outside_byte);
            int64_t const y_first = g.pad_top;
            int64_t const y_last = std::min<int64_t>(static_cast<int64_t>(py), g.pad_top + static_cast<int64_t>(d.y));
            int32_t lo = form.offset, hi = form.offset;
            for (size_t col = 0; col < px && y_first < y_last; ++col) {
                int64_t const x = static_cast<int64_t>(col) - g.pad_left;
                if (x < 0 || x >= static_cast<int64_t>(d.x)) continue;
                size_t const from = (s * d.x + static_cast<size_t>(x)) * d.y * c;
                size_t const count = static_cast<size_t>(y_last - y_first) * c;
                uint8_t* dst = image.data() + (col * py + static_cast<size_t>(y_first)) * c;
                if (in.bytes)
                    std::memcpy(dst, in.bytes + from, count);
                else
                    loop.to_bytes(in.ints + from, count, form.offset, dst, &lo, &hi);
            }
            if (check && !in_bytes(lo, hi, form.offset)) return false;
            for (size_t first = 0; first < pixels; first += block) {
                size_t const count = std::min(block, pixels - first);
                for (size_t r = 0; r < count; ++r) {
                    size_t const ox = (first + r) / g.out_y, oy = (first + r) % g.out_y;
                    uint8_t* row = a.data() + r * lda;
                    for (size_t i = 0; i < g.kernel_x; ++i)
                        std::memcpy(row + i * run,
                                    image.data() + ((ox * static_cast<size_t>(g.stride_x) + i) * py +
                                                    oy * static_cast<size_t>(g.stride_y)) * c,
                                    run);
                }
                product(a.data(), s * pixels + first, count);
                finish(s * pixels + first, count);
            }
        }
        return true;
    };
    through_passes(loop, in, values, outside, depth, pass, reference);
}

void convolve_depthwise_blocked(Values in, ImageDims const& d, int8_t const* w, Window const& g,
                                BlockSink const& sink, Isa isa, PackedDepthwise const* packed,
                                ByteStage const* bytes) {
    isa = usable(isa);
    Loops const& loop = loops(isa);
    size_t const c = d.channels, kx = g.kernel_x, ky = g.kernel_y;
    size_t const values = d.samples * d.x * d.y * c;
    BlockSink const emit = emitter(loop, sink, bytes, c);
    auto const reference = [&] {
        std::vector<int32_t> storage;
        int32_t const* ints = ints_of(in, values, storage);
        through_reference(d.samples * g.out_x * g.out_y, c, std::max<size_t>(g.out_y, 1), emit,
                          [&](int32_t* out) { convolve_depthwise(ints, d, w, g, out, {}); });
    };
    if (c == 0 || kx == 0 || ky == 0 || g.out_x == 0 || g.out_y == 0) return reference();
    DepthwiseKernel const kernel = depthwise_kernel(isa);
    PackedDepthwise local;
    if (!packed || packed->isa != isa || packed->kx != kx || packed->ky != ky || packed->channels != c) {
        local = pack_depthwise(w, kx, ky, c, isa);
        packed = &local;
    }
    size_t const padded = packed->padded, groups = packed->groups;
    // A ring of kx input columns in the kernels' form: for each output row oy and group, the 4
    // input rows oy x stride_y - pad_top + 4 x group + t of each channel, 0 outside the image.
    size_t const column = g.out_y * groups * padded;
    Words ring(kx * column);
    ring.zero(0, ring.size());
    std::vector<int64_t> held(kx);
    std::vector<int32_t> const zeros(c, 0);
    std::vector<uint8_t> const zero_bytes(c, 0);
    std::vector<uint8_t const*> rows(kx);
    Words line_words(g.out_y * c);
    auto* const line = reinterpret_cast<int32_t*>(line_words.data());

    auto const pass = [&](ByteForm const& form, bool check) {
        // The kx x ky taps are the rows of a matrix of one column per channel.
        std::vector<int32_t> const comp = offset_sums(loop, FilterMatrix{w, c, c, 1}, kx * ky, padded, form.offset);
        if (check) {  // every value checked before the sink sees a line
            int32_t lo = 0, hi = 0;
            loop.min_max(in.ints, values, &lo, &hi);
            if (!in_bytes(lo, hi, form.offset)) return false;
        }
        for (size_t s = 0; s < d.samples; ++s) {
            size_t const image = s * d.x * d.y * c;
            std::fill(held.begin(), held.end(), std::numeric_limits<int64_t>::min());
            for (size_t ox = 0; ox < g.out_x; ++ox) {
                int64_t const x0 = static_cast<int64_t>(ox) * g.stride_x - g.pad_left;
                for (size_t i = 0; i < kx; ++i) {
                    int64_t const x = x0 + static_cast<int64_t>(i);
                    auto const k64 = static_cast<int64_t>(kx);
                    size_t const slot = static_cast<size_t>(((x % k64) + k64) % k64);
                    uint32_t* dst = ring.data() + slot * column;
                    rows[i] = bytes_of(dst);
                    if (held[slot] == x) continue;
                    held[slot] = x;
                    bool const inside = x >= 0 && x < static_cast<int64_t>(d.x);
                    // The words of group k for `count` output rows from oy: the 4 input rows from
                    // y0 = oy x stride_y - pad_top + 4k on, each output row stride_y rows further (a
                    // row outside the image reads 0; a tap past ky, whose weight is 0, the last
                    // real tap's row). Bytes go in one call; int32 values one output row at a time.
                    auto const interleave = [&](size_t oy, size_t k, size_t count) {
                        int64_t const y0 = static_cast<int64_t>(oy) * g.stride_y - g.pad_top + static_cast<int64_t>(4 * k);
                        uint32_t* words = dst + (oy * groups + k) * padded;
                        size_t const src_step = static_cast<size_t>(g.stride_y) * c, out_step = groups * padded;
                        size_t at[4];
                        bool real[4];
                        for (size_t t = 0; t < 4; ++t) {
                            int64_t const y = y0 + static_cast<int64_t>(std::min(4 * k + t, ky - 1) - 4 * k);
                            real[t] = inside && y >= 0 && y < static_cast<int64_t>(d.y);
                            at[t] = real[t] ? image + (static_cast<size_t>(x) * d.y + static_cast<size_t>(y)) * c : 0;
                        }
                        if (in.bytes) {
                            int8_t const* src[4];
                            for (size_t t = 0; t < 4; ++t)
                                src[t] = reinterpret_cast<int8_t const*>(real[t] ? in.bytes + at[t]
                                                                                  : zero_bytes.data());
                            // A row outside stays outside: it does not step.
                            bool const steps = real[0] && real[1] && real[2] && real[3];
                            loop.interleave_bytes(src, c, words, count, steps ? src_step : 0, out_step);
                            return;
                        }
                        for (size_t r = 0; r < count; ++r) {
                            int32_t const* src[4];
                            for (size_t t = 0; t < 4; ++t) src[t] = real[t] ? in.ints + at[t] + r * src_step : zeros.data();
                            int32_t lo = 0, hi = 0;
                            loop.interleave_values(src, c, form.offset, words + r * out_step, &lo, &hi);
                        }
                    };
                    for (size_t k = 0; k < groups; ++k) {
                        // The output rows whose taps all lie in the image run together; the others
                        // (at the edges, and every row of a column outside the image) one by one.
                        int64_t const sy = g.stride_y, top = g.pad_top - static_cast<int64_t>(4 * k);
                        int64_t const reach = static_cast<int64_t>(std::min<size_t>(3, ky - 1 - 4 * k));
                        int64_t const first64 = top <= 0 ? 0 : (top + sy - 1) / sy;
                        int64_t const span = static_cast<int64_t>(d.y) - 1 + top - reach;  // last y0 + reach inside
                        int64_t const last64 = span < 0 ? 0 : span / sy + 1;
                        size_t const first = static_cast<size_t>(std::clamp<int64_t>(first64, 0, static_cast<int64_t>(g.out_y)));
                        size_t const last = static_cast<size_t>(std::clamp<int64_t>(last64, static_cast<int64_t>(first),
                                                                                     static_cast<int64_t>(g.out_y)));
                        if (!inside) {
                            interleave(0, k, g.out_y);
                            continue;
                        }
                        for (size_t oy = 0; oy < first; ++oy) interleave(oy, k, 1);
                        if (first < last) interleave(first, k, last - first);
                        for (size_t oy = last; oy < g.out_y; ++oy) interleave(oy, k, 1);
                    }
                }
                size_t const first = (s * g.out_x + ox) * g.out_y;
                DepthwiseArgs args{rows.data(), kx,   bytes_of(packed->words.data()), groups, padded,
                                   comp.data(), line, c,                              g.out_y};
                if (bytes && kernel.fuses) {
                    args.stage = &bytes->table;
                    args.bytes = bytes->out + first * c;
                    kernel.run(args);
                    continue;
                }
                kernel.run(args);
                emit(line, first, g.out_y);
            }
        }
        return true;
    };
    through_passes(loop, in, values, 0, kx * ky, pass, reference);
}

}  // namespace nuvra::ops::detail
