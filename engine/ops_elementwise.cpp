// Element-by-element kernels: shifts, scaling, additions, activations, look-ups, products.
#include <cmath>
#include <limits>
#include <utility>

#include "engine/ops.h"
#include "engine/ops_support.h"

namespace nuvra {

using namespace ops::detail;

std::shared_ptr<Dense> get_threshold_t16_from_act_steps(Tensor const& act_steps) {
    std::vector<float> const steps = read_all<float>(act_steps);
    std::vector<int32_t> t16(steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        double const scaled = static_cast<double>(steps[i]) * 16.0;
        if (!std::isfinite(scaled))
            throw std::invalid_argument(format("act_step {} is not a finite number", steps[i]));
        double const rounded = std::round(scaled);  // halves away from zero
        t16[i] = static_cast<int32_t>(std::clamp(rounded, -2147483648.0, 2147483647.0));
    }
    return make_dense(TensorType::int32, Shape{static_cast<uint32_t>(t16.size())}, t16);
}

namespace ops {

namespace {

// out[i] = op(a[i], channel of i) over an int32 tensor, kept in a's shape.
template <class Op>
std::shared_ptr<Tensor> map_int32(Tensor const& a, Op op) {
    std::vector<int32_t> values = read_all<int32_t>(a);
    size_t const channels = channels_of(a);
    for (size_t i = 0; i < values.size(); ++i) values[i] = op(int64_t{values[i]}, i % channels);
    return make_dense(TensorType::int32, a.dimensions(), values);
}

// value x 2^amount for amount >= 0, floor or rounded value / 2^-amount below.
int64_t signed_shift(int64_t value, int amount, bool round) {
    if (amount >= 0) return shift_left(value, amount);
    return round ? shift_right_round(value, -amount) : shift_right_floor(value, -amount);
}

// x 2^ex + y 2^ey (x, y int32) rounded to nearest, halves up, saturated to n bits; exact for any
// exponents.
int32_t shifted_sum(int64_t x, int ex, int64_t y, int ey, int n) {
    if (ex < ey) {
        std::swap(x, y);
        std::swap(ex, ey);
    }
    if (x == 0) ex = ey;  // y alone
    // A y more than 64 bits below a nonzero x 2^ex moves the rounded, saturated sum only by its sign
    // at a half, as y 2^(ex - 64) does: raising it there keeps the sum within 96 bits.
    int const gap = std::min(ex - ey, 64);
    int const e = ex - gap;
    __int128 const sum = static_cast<__int128>(x) * (static_cast<__int128>(1) << gap) + y;
    if (sum == 0) return 0;
    if (e >= 32)  // at least 2^32 away from 0
        return saturate(sum > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min(), n);
    if (e >= 0) return saturate(clamp128(sum * (static_cast<__int128>(1) << e)), n);
    if (-e >= 97) return 0;  // |sum| < 2^96: the quotient rounds to 0
    return saturate(clamp128((sum + (static_cast<__int128>(1) << (-e - 1))) >> -e), n);
}

}  // namespace

namespace detail {

PerChannel<int32_t> per_channel_addend(Tensor const& b, size_t channels) {
    if (b.size() != channels && b.size() != 1)
        throw std::invalid_argument(
            format("add: b of {} elements matches neither a's shape nor its {} channels", b.size(), channels));
    return per_channel<int32_t>(b, channels, "add", "values");
}

ScaleOut::ScaleOut(Tensor const& scales, Tensor const& shifts, size_t channels, int bits, int is_signed) {
    check_bits("scale_out", bits, is_signed ? 32 : 31);
    PerChannel<uint16_t> scale;
    if (scales.type() == TensorType::uint16) {
        scale = per_channel<uint16_t>(scales, channels, "scale_out", "scales");
    } else {
        auto const bytes = per_channel<uint8_t>(scales, channels, "scale_out", "scales").values;
        scale.values.assign(bytes.begin(), bytes.end());
    }
    auto const shift = per_channel<int8_t>(shifts, channels, "scale_out", "shifts");
    steps_.resize(channels);
    constexpr int64_t kLeftCap = int64_t{1} << 32;
    for (size_t c = 0; c < channels; ++c) {
        int const amount = shift(c);  // > 0: right shift, < 0: left shift
        int64_t const factor = scale(c);
        Step& s = steps_[c];
        s = {factor, 0, 0};
        if (amount >= 64) {
            s.factor = 0;
        } else if (amount > 0) {
            s.half = int64_t{1} << (amount - 1);
            s.right = amount;
        } else if (amount < 0 && factor != 0) {
            s.factor = -amount > 32 ? kLeftCap : std::min(factor << -amount, kLeftCap);
        }
    }
    lo_ = is_signed ? signed_min(bits) : 0;
    hi_ = is_signed ? signed_max(bits) : (int64_t{1} << bits) - 1;
}

}  // namespace detail

std::shared_ptr<Tensor> lshift(Tensor const& a, Tensor const& b, int n) {
    check_bits("lshift", n);
    auto const shifts = per_channel<uint8_t>(b, channels_of(a), "lshift", "shifts");
    return map_int32(a, [&](int64_t v, size_t c) { return saturate(shift_left(v, shifts(c)), n); });
}

std::shared_ptr<Tensor> shift(Tensor const& a, Tensor const& b, int n) {
    check_bits("shift", n);
    auto const shifts = per_channel<int8_t>(b, channels_of(a), "shift", "shifts");
    return map_int32(a, [&](int64_t v, size_t c) { return saturate(signed_shift(v, shifts(c), false), n); });
}

std::shared_ptr<Tensor> shift_out(Tensor const& a, Tensor const& b, int n) {
    check_bits("shift_out", n);
    auto const shifts = per_channel<int8_t>(b, channels_of(a), "shift_out", "shifts");
    return map_int32(a, [&](int64_t v, size_t c) { return saturate(signed_shift(v, -int{shifts(c)}, true), n); });
}

std::shared_ptr<Tensor> matmul(Tensor const& a, Tensor const& b, int n, bool transpose_b) {
    check_bits("matmul", n);
    Shape const& sa = a.dimensions();
    Shape const& sb = b.dimensions();
    if (sa.rank() < 1 || sb.rank() != 2)
        throw std::invalid_argument(format("matmul: needs a of at least 1 dimension and b of 2 (got {} and {})",
                                           sa.rank(), sb.rank()));
    size_t const inner = sa[sa.rank() - 1];
    size_t const b_inner = transpose_b ? sb[1] : sb[0];
    size_t const cols = transpose_b ? sb[0] : sb[1];
    if (inner != b_inner)
        throw std::invalid_argument(format("matmul: a has {} columns but b has {} rows", inner, b_inner));
    std::vector<int32_t> const av = read_all<int32_t>(a);
    std::vector<int32_t> const bv = read_all<int32_t>(b);
    size_t const rows = av.size() / inner;
    std::vector<int32_t> out(rows * cols);
    for (size_t r = 0; r < rows; ++r) {
        for (size_t col = 0; col < cols; ++col) {
            __int128 sum = 0;  // K products of two int32 values need up to 62 + log2(K) bits
            for (size_t k = 0; k < inner; ++k) {
                int64_t const bk = transpose_b ? bv[col * inner + k] : bv[k * cols + col];
                sum += int64_t{av[r * inner + k]} * bk;
            }
            out[r * cols + col] = saturate(clamp128(sum), n);
        }
    }
    std::vector<uint32_t> dims = sa.to_vector();
    dims.back() = static_cast<uint32_t>(cols);
    return make_dense(TensorType::int32, Shape(dims), out);
}

std::shared_ptr<Tensor> add(Tensor const& a, Tensor const& b, int n) {
    check_bits("add", n);
    if (b.dimensions() == a.dimensions()) {
        std::vector<int32_t> const bv = read_all<int32_t>(b);
        size_t i = 0;
        return map_int32(a, [&](int64_t v, size_t) { return saturate(v + bv[i++], n); });
    }
    auto const bias = per_channel_addend(b, channels_of(a));
    return map_int32(a, [&](int64_t v, size_t c) { return saturate(v + bias(c), n); });
}

std::shared_ptr<Tensor> add_shifted(Tensor const& a, Tensor const& b, Tensor const& a_shifts, Tensor const& b_shifts,
                                    Tensor const& out_shifts, int n) {
    check_bits("add_shifted", n);
    if (!(b.dimensions() == a.dimensions()))
        throw std::invalid_argument("add_shifted: b must have the shape of a");
    size_t const channels = channels_of(a);
    auto const sa = per_channel<uint8_t>(a_shifts, channels, "add_shifted", "a shifts");
    auto const sb = per_channel<uint8_t>(b_shifts, channels, "add_shifted", "b shifts");
    auto const so = per_channel<int8_t>(out_shifts, channels, "add_shifted", "output shifts");
    std::vector<int32_t> const bv = read_all<int32_t>(b);
    auto const shifted_input = [](int64_t v, int shift) { return saturate(shift_left(v, shift), 32); };
    size_t i = 0;
    return map_int32(a, [&](int64_t x, size_t c) {
        int64_t const y = bv[i++];
        int const o = so(c);
        if (o == 0) return saturate(int64_t{shifted_input(x, sa(c))} + shifted_input(y, sb(c)), n);
        return shifted_sum(x, sa(c) + o, y, sb(c) + o, n);
    });
}

std::shared_ptr<Tensor> concatenate_last_dim(std::vector<std::shared_ptr<Tensor const>> const& tensors) {
    if (tensors.empty()) throw std::invalid_argument("concatenate_last_dim: no tensors to join");
    for (auto const& t : tensors)
        if (!t) throw std::invalid_argument("concatenate_last_dim: a tensor is null");
    Tensor const& first = *tensors.front();
    Shape const& s0 = first.dimensions();
    if (s0.rank() == 0) throw std::invalid_argument("concatenate_last_dim: tensors need at least one dimension");
    size_t const rank = s0.rank();
    uint64_t total_last = 0;
    for (auto const& t : tensors) {
        Shape const& s = t->dimensions();
        if (t->type() != first.type())
            throw std::invalid_argument(format("concatenate_last_dim: cannot join {} and {} tensors",
                                               Tensor::type_name(first.type()), Tensor::type_name(t->type())));
        bool same = s.rank() == rank;
        for (size_t k = 0; same && k + 1 < rank; ++k) same = s[k] == s0[k];
        if (!same)
            throw std::invalid_argument("concatenate_last_dim: tensors differ in a dimension other than the last");
        total_last += s[rank - 1];
    }
    if (total_last > 0xFFFFFFFFu)
        throw std::invalid_argument(format("concatenate_last_dim: joined dimension {} is too large", total_last));
    size_t const item = Tensor::item_size(first.type());
    size_t const rows = first.size() / s0[rank - 1];
    std::vector<uint8_t> out(rows * total_last * item);
    size_t column = 0;
    for (auto const& t : tensors) {
        std::vector<uint8_t> const bytes = row_major_bytes(*t);
        size_t const width = t->dimensions()[rank - 1];
        for (size_t r = 0; r < rows; ++r)
            std::memcpy(out.data() + (r * total_last + column) * item, bytes.data() + r * width * item, width * item);
        column += width;
    }
    std::vector<uint32_t> dims = s0.to_vector();
    dims.back() = static_cast<uint32_t>(total_last);
    return Dense::copy(out.data(), out.size(), first.type(), Shape(dims), Layout::c_order);
}

std::shared_ptr<Tensor> scale_out(Tensor const& a, Tensor const& scales, Tensor const& shifts, int bits,
                                  int is_signed) {
    ScaleOut const scaled(scales, shifts, channels_of(a), bits, is_signed);
    return map_int32(a, [&](int64_t v, size_t c) { return scaled(static_cast<int32_t>(v), c); });
}

std::shared_ptr<Tensor> dequantize(Tensor const& a, Tensor const& scales) {
    std::vector<int32_t> const values = read_all<int32_t>(a);
    size_t const channels = channels_of(a);
    auto const scale = per_channel<float>(scales, channels, "dequantize", "scales");
    std::vector<float> out(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        float const s = scale(i % channels);
        out[i] = s == 0.0f ? 0.0f : static_cast<float>(values[i]) / s;
    }
    return make_dense(TensorType::float32, a.dimensions(), out);
}

std::shared_ptr<Tensor> relu_activation(Tensor const& a, Tensor const& max_values) {
    auto const top = per_channel<int32_t>(max_values, channels_of(a), "relu_activation", "maximum values");
    return map_int32(a, [&](int64_t v, size_t c) {
        return static_cast<int32_t>(std::min(std::max(v, int64_t{0}), std::max(int64_t{top(c)}, int64_t{0})));
    });
}

std::shared_ptr<Tensor> look_up(Tensor const& a, Tensor const& table) {
    std::vector<int32_t> const entries = read_all<int32_t>(table);  // a tensor holds at least one element
    int64_t const last = static_cast<int64_t>(entries.size()) - 1;
    return map_int32(a, [&](int64_t v, size_t) { return entries[static_cast<size_t>(std::clamp(v, int64_t{0}, last))]; });
}

std::shared_ptr<Tensor> wisp_post_processing(Tensor const& a, Tensor const& b, Tensor const& scales, int n,
                                             bool relu) {
    check_bits("wisp_post_processing", n, 16);
    std::vector<int16_t> const values = read_all<int16_t>(a);
    size_t const channels = channels_of(a);
    auto const offset = per_channel<int16_t>(b, channels, "wisp_post_processing", "offsets");
    auto const scale = per_channel<uint16_t>(scales, channels, "wisp_post_processing", "scales");
    std::vector<int16_t> out(values.size());
    for (size_t i = 0; i < values.size(); ++i) {
        size_t const c = i % channels;
        int64_t v = shift_right_round((int64_t{values[i]} + offset(c)) * scale(c), 8);
        if (relu && v < 0) v = 0;
        out[i] = static_cast<int16_t>(saturate(v, n));
    }
    return make_dense(TensorType::int16, a.dimensions(), out);
}

}  // namespace ops
}  // namespace nuvra
