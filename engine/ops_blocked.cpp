// Drivers of the blocked kernels: the byte form of the values, packed weights, rows of pixels in
// blocks, and the portable kernels that run on any CPU.
#include "engine/ops_blocked.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "engine/ops_blocked_loops.h"
#include "hw/arith.h"
#include "hw/process_state.h"

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
    // Detected once for the process (hw/process_state.h lists it).
    static unsigned const offered = detect_isas_x86();
    return (offered >> static_cast<unsigned>(isa)) & 1u;
#else
    return isa == Isa::portable;
#endif
}

Isa best_isa() { return usable(Isa::avx512); }

Words::Words(size_t count) : size_(count) {
    if (count == 0) return;
    auto const block = state::kept_blocks().take(count);
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
    if (data_) state::kept_blocks().give(data_, capacity_);
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

namespace {

// ---- the drivers ----

// What both drivers share: the values, the instruction set's loops, and where the sums go (to the
// sink, or through the byte stage into its bytes).
struct Driver {
    Driver(Values input, ImageDims const& dims, Window const& window, BlockSink const& sink, Isa wanted,
           ByteStage const* stage, size_t per_pixel)
        : in(input),
          d(dims),
          g(window),
          isa(usable(wanted)),
          loop(loops(isa)),
          bytes(stage),
          values(d.samples * d.x * d.y * d.channels),
          emit(emitter(loop, sink, bytes, per_pixel)) {}

    // The sums of reference(ints, out) (ints: the input as int32) to the sink in blocks of `block`
    // pixels of `per_pixel` sums.
    template <class Reference>
    void reference_to_sink(Reference const& reference, size_t pixels, size_t per_pixel, size_t block) const {
        std::vector<int32_t> storage;
        int32_t const* ints = ints_of(in, values, storage);
        through_reference(pixels, per_pixel, block, emit, [&](int32_t* out) { reference(ints, out); });
    }

    Values const in;
    ImageDims const& d;
    Window const& g;
    Isa const isa;
    Loops const& loop;
    ByteStage const* const bytes;
    size_t const values;  // input values
    BlockSink const emit;
};

// A convolution on the GEMM kernels. A pass reads the values as bytes at one offset and, block by
// block of output pixels, packs each pixel's window into a row of bytes, multiplies the rows by
// every panel of packed filters, and sends the sums through the output stage.
class Convolution : Driver {
public:
    Convolution(Values input, ImageDims const& dims, int32_t outside, FilterMatrix const& w, Window const& window,
                int n, BlockSink const& sink, Isa wanted, ByteStage const* stage)
        : Driver(input, dims, window, sink, wanted, stage, w.filters),
          outside_(outside),
          w_(w),
          n_(n),
          kernel_(gemm_kernel(isa, w.filters)),
          depth_(g.kernel_x * g.kernel_y * d.channels),
          pixels_(g.out_x * g.out_y),
          block_(kernel_.rows * std::max<size_t>(2, std::min<size_t>(16, 16384 / std::max<size_t>(w.filters, 1)))),
          px_(g.out_x == 0 ? 0 : (g.out_x - 1) * static_cast<size_t>(g.stride_x) + g.kernel_x),
          py_(g.out_y == 0 ? 0 : (g.out_y - 1) * static_cast<size_t>(g.stride_y) + g.kernel_y),
          direct_(g.kernel_x == 1 && g.kernel_y == 1 && g.stride_x == 1 && g.stride_y == 1 && g.pad_left == 0 &&
                  g.pad_top == 0 && g.out_x == d.x && g.out_y == d.y) {}

    void run(PackedFilters const* packed);

private:
    // The steps of a pass; those run for each block are inlined into their loops.
    void reference() const;
    bool pass(ByteForm const& form, bool check);
    bool pass_pixels(ByteForm const& form, bool check);
    bool pass_windows(ByteForm const& form, bool check);
    bool pad_sample(size_t sample, ByteForm const& form, bool check);
    NUVRA_ALWAYS_INLINE uint8_t const* pixel_rows(size_t first, size_t count, int32_t offset);
    NUVRA_ALWAYS_INLINE void window_rows(size_t first, size_t count);
    NUVRA_ALWAYS_INLINE void multiply_block(uint8_t const* rows, size_t first, size_t count);
    NUVRA_ALWAYS_INLINE void finish_block(size_t first, size_t count);

    int32_t const outside_;  // the value of taps beyond the image
    FilterMatrix const& w_;
    int const n_;  // bits of the saturated sums
    GemmKernel const kernel_;
    size_t const depth_;   // taps of a window
    size_t const pixels_;  // output pixels of a sample
    size_t const block_;   // output pixels of a block
    size_t const px_, py_;  // the window region of one sample, padded: columns from -pad_left, rows from -pad_top
    bool const direct_;     // a 1 x 1 window over the whole image: the pixels are the rows
    // Made by run() for the passes.
    PackedFilters local_;
    PackedFilters const* packed_ = nullptr;
    size_t lda_ = 0;              // bytes of a row: the window's taps, to whole groups of 4
    std::vector<uint8_t> rows_;   // a block of rows; the bytes past `depth` in each stay 0
    Words scratch_;               // a block of sums
    int32_t* sums_ = nullptr;
    std::vector<uint8_t> image_;  // one sample as padded bytes
    std::vector<int32_t> comp_;   // the offset's share of each filter's sums, for the pass
    bool fused_ = false;          // the kernel runs the byte stage itself
};

// The sums through the passes of the packed filters (`packed`, or packed here), or through the
// reference kernel where those cannot be exact.
void Convolution::run(PackedFilters const* packed) {
    size_t const filters = w_.filters;
    unsigned __int128 const padded_bytes = static_cast<unsigned __int128>(px_) * py_ * d.channels;
    bool const padded_fits = direct_ || padded_bytes <= 4 * d.x * d.y * d.channels + 65536;
    if (!padded_fits || filters == 0 || depth_ == 0 || pixels_ == 0) return reference();
    packed_ = packed;
    if (!packed || packed->isa != isa || packed->depth != depth_ || packed->filters != filters) {
        local_ = pack_filters(w_, depth_, isa);
        packed_ = &local_;
    }
    lda_ = packed_->groups * 4;
    rows_.assign(block_ * lda_, 0);
    scratch_ = Words(block_ * filters);
    sums_ = reinterpret_cast<int32_t*>(scratch_.data());
    image_.resize(direct_ ? 0 : px_ * py_ * d.channels);
    // The kernel runs the byte stage itself when it can (when no saturation comes before it).
    fused_ = bytes && kernel_.fuses && n_ >= 32;
    through_passes(
        loop, in, values, outside_, depth_, [this](ByteForm const& form, bool check) { return pass(form, check); },
        [this] { reference(); });
}

void Convolution::reference() const {
    reference_to_sink([this](int32_t const* ints, int32_t* out) { convolve(ints, d, outside_, w_, g, n_, out, {}); },
            d.samples * pixels_, w_.filters, block_);
}

// One pass with the values as bytes at `form.offset`; false, before the sink has seen a block of
// the sample, when `check` finds a value outside. Bytes need no check.
bool Convolution::pass(ByteForm const& form, bool check) {
    comp_ = offset_sums(loop, w_, depth_, packed_->count * kernel_.width, form.offset);
    return direct_ ? pass_pixels(form, check) : pass_windows(form, check);
}

// The pixels of every sample are the rows; every value is checked before the first block goes to
// the sink.
bool Convolution::pass_pixels(ByteForm const& form, bool check) {
    if (check) {
        int32_t lo = form.offset, hi = form.offset;
        loop.min_max(in.ints, values, &lo, &hi);
        if (!in_bytes(lo, hi, form.offset)) return false;
    }
    size_t const total = d.samples * d.x * d.y;
    for (size_t first = 0; first < total; first += block_) {
        size_t const count = std::min(block_, total - first);
        multiply_block(pixel_rows(first, count, form.offset), first, count);
        finish_block(first, count);
    }
    return true;
}

// Each sample as padded bytes, then one row per output pixel from its window. A sample found
// outside the bytes ends the pass after the samples before it went to the sink.
bool Convolution::pass_windows(ByteForm const& form, bool check) {
    if (check && !in_bytes(outside_, outside_, form.offset)) return false;
    for (size_t s = 0; s < d.samples; ++s) {
        if (!pad_sample(s, form, check)) return false;
        for (size_t first = 0; first < pixels_; first += block_) {
            size_t const count = std::min(block_, pixels_ - first);
            window_rows(first, count);
            multiply_block(rows_.data(), s * pixels_ + first, count);
            finish_block(s * pixels_ + first, count);
        }
    }
    return true;
}

// Packing: sample `sample` into image_ as bytes at form.offset, `outside` around it; false when
// `check` finds a value outside the bytes.
bool Convolution::pad_sample(size_t sample, ByteForm const& form, bool check) {
    size_t const c = d.channels;
    std::fill(image_.begin(), image_.end(), static_cast<uint8_t>(static_cast<uint32_t>(outside_ - form.offset)));
    int64_t const y_first = g.pad_top;
    int64_t const y_last = std::min<int64_t>(static_cast<int64_t>(py_), g.pad_top + static_cast<int64_t>(d.y));
    int32_t lo = form.offset, hi = form.offset;
    for (size_t col = 0; col < px_ && y_first < y_last; ++col) {
        int64_t const x = static_cast<int64_t>(col) - g.pad_left;
        if (x < 0 || x >= static_cast<int64_t>(d.x)) continue;
        size_t const from = (sample * d.x + static_cast<size_t>(x)) * d.y * c;
        size_t const count = static_cast<size_t>(y_last - y_first) * c;
        uint8_t* dst = image_.data() + (col * py_ + static_cast<size_t>(y_first)) * c;
        if (in.bytes)
            std::memcpy(dst, in.bytes + from, count);
        else
            loop.to_bytes(in.ints + from, count, form.offset, dst, &lo, &hi);
    }
    return !check || in_bytes(lo, hi, form.offset);
}

// Packing: the rows of `count` pixels from `first` on, the values themselves (bytes whose rows
// need no padding are read in place).
uint8_t const* Convolution::pixel_rows(size_t first, size_t count, int32_t offset) {
    size_t const c = d.channels;
    if (in.bytes && c == lda_) return in.bytes + first * c;
    if (in.bytes) {
        for (size_t r = 0; r < count; ++r) std::memcpy(rows_.data() + r * lda_, in.bytes + (first + r) * c, c);
        return rows_.data();
    }
    int32_t lo = offset, hi = offset;
    for (size_t r = 0; r < count; ++r)
        loop.to_bytes(in.ints + (first + r) * c, c, offset, rows_.data() + r * lda_, &lo, &hi);
    return rows_.data();
}

// Packing: the rows of `count` output pixels of a sample from `first` on, each its window's kx
// runs of ky x C bytes of image_.
void Convolution::window_rows(size_t first, size_t count) {
    size_t const c = d.channels, run = g.kernel_y * c, kx = g.kernel_x, lines = g.out_y, py = py_, lda = lda_;
    auto const sx = static_cast<size_t>(g.stride_x), sy = static_cast<size_t>(g.stride_y);
    uint8_t const* const image = image_.data();
    uint8_t* const rows = rows_.data();
    for (size_t r = 0; r < count; ++r) {
        size_t const ox = (first + r) / lines, oy = (first + r) % lines;
        uint8_t* row = rows + r * lda;
        for (size_t i = 0; i < kx; ++i) std::memcpy(row + i * run, image + ((ox * sx + i) * py + oy * sy) * c, run);
    }
}

// The panel loop: the sums of `count` rows of pixels from `first` on, or with a fused stage their
// bytes.
void Convolution::multiply_block(uint8_t const* rows, size_t first, size_t count) {
    if (fused_)
        multiply(kernel_, *packed_, comp_, rows, lda_, count, sums_, &bytes->table, bytes->out + first * w_.filters);
    else
        multiply(kernel_, *packed_, comp_, rows, lda_, count, sums_);
}

// The output stage of a block: the sums saturated to n bits, to the sink or through the byte
// stage (which a fusing kernel has run already).
void Convolution::finish_block(size_t first, size_t count) {
    if (fused_) return;
    if (n_ < 32) {  // the sums are exact: saturate them
        int32_t const lo = static_cast<int32_t>(signed_min(n_)), hi = static_cast<int32_t>(signed_max(n_));
        int32_t* const sums = sums_;
        for (size_t i = 0, end = count * w_.filters; i < end; ++i) sums[i] = std::clamp(sums[i], lo, hi);
    }
    emit(sums_, first, count);
}

// A depthwise convolution on the depthwise kernels. A pass keeps a ring of kx input columns in the
// kernels' form, each column packed once as the window slides along x, and runs the kernel over
// one output column (a line of out_y pixels) at a time, then the output stage.
class DepthwiseConvolution : Driver {
public:
    DepthwiseConvolution(Values input, ImageDims const& dims, int8_t const* w, Window const& window,
                         BlockSink const& sink, Isa wanted, ByteStage const* stage)
        : Driver(input, dims, window, sink, wanted, stage, dims.channels),
          w_(w),
          kernel_(depthwise_kernel(isa)),
          zeros_(d.channels, 0),
          zero_bytes_(d.channels, 0) {}

    void run(PackedDepthwise const* packed);

private:
    // The steps of a pass; those run for each line or column are inlined into their loops.
    void reference() const;
    bool pass(ByteForm const& form, bool check);
    NUVRA_ALWAYS_INLINE uint8_t const* column(size_t image, int64_t x, int32_t offset);
    NUVRA_ALWAYS_INLINE void fill_group(uint32_t* slot, size_t image, int64_t x, size_t k, int32_t offset);
    std::pair<size_t, size_t> inner_rows(size_t k) const;
    NUVRA_ALWAYS_INLINE void interleave(uint32_t* slot, size_t image, int64_t x, size_t oy, size_t k, size_t count, int32_t offset);
    NUVRA_ALWAYS_INLINE void run_line(size_t first, std::vector<int32_t> const& comp);

    int8_t const* const w_;
    DepthwiseKernel const kernel_;
    std::vector<int32_t> const zeros_;  // a row outside the image
    std::vector<uint8_t> const zero_bytes_;
    // Made by run() for the passes.
    PackedDepthwise local_;
    PackedDepthwise const* packed_ = nullptr;
    size_t groups_ = 0, padded_ = 0;
    size_t column_ = 0;                // words of a column of the ring
    Words ring_;                       // kx input columns, column x in slot x mod kx
    std::vector<int64_t> held_;        // the column in each slot
    std::vector<uint8_t const*> rows_;  // the window's columns, for the kernel
    Words line_words_;                 // the sums of a line
    int32_t* line_ = nullptr;
};

// The sums through the passes of the packed weights (`packed`, or packed here), or through the
// reference kernel where those cannot be exact.
void DepthwiseConvolution::run(PackedDepthwise const* packed) {
    size_t const c = d.channels, kx = g.kernel_x, ky = g.kernel_y;
    if (c == 0 || kx == 0 || ky == 0 || g.out_x == 0 || g.out_y == 0) return reference();
    packed_ = packed;
    if (!packed || packed->isa != isa || packed->kx != kx || packed->ky != ky || packed->channels != c) {
        local_ = pack_depthwise(w_, kx, ky, c, isa);
        packed_ = &local_;
    }
    groups_ = packed_->groups;
    padded_ = packed_->padded;
    // For each output row oy and group, the 4 input rows oy x stride_y - pad_top + 4 x group + t of
    // each channel, 0 outside the image.
    column_ = g.out_y * groups_ * padded_;
    ring_ = Words(kx * column_);
    ring_.zero(0, ring_.size());
    held_.resize(kx);
    rows_.resize(kx);
    line_words_ = Words(g.out_y * c);
    line_ = reinterpret_cast<int32_t*>(line_words_.data());
    through_passes(
        loop, in, values, 0, kx * ky, [this](ByteForm const& form, bool check) { return pass(form, check); },
        [this] { reference(); });
}

void DepthwiseConvolution::reference() const {
    reference_to_sink([this](int32_t const* ints, int32_t* out) { convolve_depthwise(ints, d, w_, g, out, {}); },
            d.samples * g.out_x * g.out_y, d.channels, std::max<size_t>(g.out_y, 1));
}

// One pass with the values as bytes at `form.offset`; with `check`, every value is checked before
// the sink sees a line.
bool DepthwiseConvolution::pass(ByteForm const& form, bool check) {
    size_t const c = d.channels, kx = g.kernel_x;
    // The kx x ky taps are the rows of a matrix of one column per channel.
    std::vector<int32_t> const comp = offset_sums(loop, FilterMatrix{w_, c, c, 1}, kx * g.kernel_y, padded_, form.offset);
    if (check) {
        int32_t lo = 0, hi = 0;
        loop.min_max(in.ints, values, &lo, &hi);
        if (!in_bytes(lo, hi, form.offset)) return false;
    }
    for (size_t s = 0; s < d.samples; ++s) {
        size_t const image = s * d.x * d.y * c;
        std::fill(held_.begin(), held_.end(), std::numeric_limits<int64_t>::min());
        for (size_t ox = 0; ox < g.out_x; ++ox) {
            int64_t const x0 = static_cast<int64_t>(ox) * g.stride_x - g.pad_left;
            for (size_t i = 0; i < kx; ++i) rows_[i] = column(image, x0 + static_cast<int64_t>(i), form.offset);
            run_line((s * g.out_x + ox) * g.out_y, comp);
        }
    }
    return true;
}

// Packing: the ring slot of input column x of the sample at `image`, filled unless it holds x
// already.
uint8_t const* DepthwiseConvolution::column(size_t image, int64_t x, int32_t offset) {
    auto const kx = static_cast<int64_t>(g.kernel_x);
    size_t const slot = static_cast<size_t>(((x % kx) + kx) % kx);
    uint32_t* const words = ring_.data() + slot * column_;
    if (held_[slot] != x) {
        held_[slot] = x;
        for (size_t k = 0; k < groups_; ++k) fill_group(words, image, x, k, offset);
    }
    return bytes_of(words);
}

// Group k of column x for every output row: the rows whose taps all lie in the image run
// together, the others (at the edges, and every row of a column outside the image) one by one.
void DepthwiseConvolution::fill_group(uint32_t* slot, size_t image, int64_t x, size_t k, int32_t offset) {
    if (x < 0 || x >= static_cast<int64_t>(d.x)) return interleave(slot, image, x, 0, k, g.out_y, offset);
    auto const [first, last] = inner_rows(k);
    for (size_t oy = 0; oy < first; ++oy) interleave(slot, image, x, oy, k, 1, offset);
    if (first < last) interleave(slot, image, x, first, k, last - first, offset);
    for (size_t oy = last; oy < g.out_y; ++oy) interleave(slot, image, x, oy, k, 1, offset);
}

// The output rows [first, last) whose taps of group k all lie in the image.
std::pair<size_t, size_t> DepthwiseConvolution::inner_rows(size_t k) const {
    int64_t const sy = g.stride_y, top = g.pad_top - static_cast<int64_t>(4 * k);
    int64_t const reach = static_cast<int64_t>(std::min<size_t>(3, g.kernel_y - 1 - 4 * k));
    int64_t const first = top <= 0 ? 0 : (top + sy - 1) / sy;
    int64_t const span = static_cast<int64_t>(d.y) - 1 + top - reach;  // last y0 + reach inside
    int64_t const last = span < 0 ? 0 : span / sy + 1;
    auto const rows = static_cast<int64_t>(g.out_y);
    size_t const from = static_cast<size_t>(std::clamp<int64_t>(first, 0, rows));
    return {from, static_cast<size_t>(std::clamp<int64_t>(last, static_cast<int64_t>(from), rows))};
}

// The words of group k of column x for `count` output rows from oy: the 4 input rows from
// y0 = oy x stride_y - pad_top + 4k on, each output row stride_y rows further (a row outside the
// image reads 0; a tap past ky, whose weight is 0, the last real tap's row). Bytes go in one call;
// int32 values one output row at a time.
void DepthwiseConvolution::interleave(uint32_t* slot, size_t image, int64_t x, size_t oy, size_t k, size_t count,
                                      int32_t offset) {
    size_t const c = d.channels;
    bool const inside = x >= 0 && x < static_cast<int64_t>(d.x);
    int64_t const y0 = static_cast<int64_t>(oy) * g.stride_y - g.pad_top + static_cast<int64_t>(4 * k);
    uint32_t* words = slot + (oy * groups_ + k) * padded_;
    size_t const src_step = static_cast<size_t>(g.stride_y) * c, out_step = groups_ * padded_;
    size_t at[4];
    bool real[4];
    for (size_t t = 0; t < 4; ++t) {
        int64_t const y = y0 + static_cast<int64_t>(std::min(4 * k + t, g.kernel_y - 1) - 4 * k);
        real[t] = inside && y >= 0 && y < static_cast<int64_t>(d.y);
        at[t] = real[t] ? image + (static_cast<size_t>(x) * d.y + static_cast<size_t>(y)) * c : 0;
    }
    if (in.bytes) {
        int8_t const* src[4];
        for (size_t t = 0; t < 4; ++t)
            src[t] = reinterpret_cast<int8_t const*>(real[t] ? in.bytes + at[t] : zero_bytes_.data());
        // A row outside stays outside: it does not step.
        bool const steps = real[0] && real[1] && real[2] && real[3];
        loop.interleave_bytes(src, c, words, count, steps ? src_step : 0, out_step);
        return;
    }
    for (size_t r = 0; r < count; ++r) {
        int32_t const* src[4];
        for (size_t t = 0; t < 4; ++t) src[t] = real[t] ? in.ints + at[t] + r * src_step : zeros_.data();
        int32_t lo = 0, hi = 0;
        loop.interleave_values(src, c, offset, words + r * out_step, &lo, &hi);
    }
}

// The kernel over the line of output pixels from `first` on, then the output stage: to the sink
// or through the byte stage (which a fusing kernel runs itself).
void DepthwiseConvolution::run_line(size_t first, std::vector<int32_t> const& comp) {
    size_t const c = d.channels;
    DepthwiseArgs args{rows_.data(), g.kernel_x, bytes_of(packed_->words.data()), groups_, padded_,
                       comp.data(),  line_,      c,                               g.out_y};
    if (bytes && kernel_.fuses) {
        args.stage = &bytes->table;
        args.bytes = bytes->out + first * c;
        kernel_.run(args);
        return;
    }
    kernel_.run(args);
    emit(line_, first, g.out_y);
}

}  // namespace

void convolve_blocked(Values in, ImageDims const& d, int32_t outside, FilterMatrix const& w, Window const& g, int n,
                      BlockSink const& sink, Isa isa, PackedFilters const* packed, ByteStage const* bytes) {
    Convolution(in, d, outside, w, g, n, sink, isa, bytes).run(packed);
}

void convolve_depthwise_blocked(Values in, ImageDims const& d, int8_t const* w, Window const& g,
                                BlockSink const& sink, Isa isa, PackedDepthwise const* packed,
                                ByteStage const* bytes) {
    DepthwiseConvolution(in, d, w, g, sink, isa, bytes).run(packed);
}

}  // namespace nuvra::ops::detail
