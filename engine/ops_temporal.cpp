// Kernels over time: the frame fifo, temporal depthwise convolution and the recurrent state.
#include "engine/ops.h"
#include "engine/ops_support.h"

namespace nuvra::ops {

using namespace detail;

namespace {

template <class T>
std::shared_ptr<Tensor> push_entry(Tensor& fifo, Tensor const& input, size_t entry) {
    std::vector<T> values = read_all<T>(fifo);
    std::vector<T> const fresh = read_all<T>(input);
    // Oldest entry at index 0: everything moves one entry down, the input becomes the newest.
    std::copy(values.begin() + static_cast<std::ptrdiff_t>(entry), values.end(), values.begin());
    std::copy(fresh.begin(), fresh.end(), values.end() - static_cast<std::ptrdiff_t>(entry));
    write_all(fifo, values);
    return make_dense(fifo.type(), fifo.dimensions(), values);
}

}  // namespace

std::shared_ptr<Tensor> fifo_op(Tensor& fifo, Tensor const& input) {
    Shape const& fs = fifo.dimensions();
    if (fs.rank() < 1) throw std::invalid_argument("fifo_op: the fifo needs at least one dimension");
    size_t const depth = fs[0];
    size_t const entry = fifo.size() / depth;
    if (input.size() != entry)
        throw std::invalid_argument(
            format("fifo_op: an input of {} elements for fifo entries of {} elements", input.size(), entry));
    if (fifo.type() == TensorType::int32) return push_entry<int32_t>(fifo, input, entry);
    return push_entry<int8_t>(fifo, input, entry);
}

std::shared_ptr<Tensor> depthwise_like_conv(Tensor const& a, Tensor const& b, int n) {
    char const* const name = "depthwise_like_conv";
    check_bits(name, n);
    Shape const& sa = a.dimensions();
    Shape const& sb = b.dimensions();
    if (sa.rank() < 2)
        throw std::invalid_argument(format("{}: a must have 2 to 4 dimensions (time, ..., channels), not {}", name,
                                           sa.rank()));
    size_t const depth = sa[0];
    size_t const channels = sa[sa.rank() - 1];
    if (sb.rank() != 2 || sb[0] != depth || sb[1] != channels)
        throw std::invalid_argument(
            format("{}: b must be ({}, {}) for a of {} steps and {} channels", name, depth, channels, depth, channels));
    std::vector<int32_t> const av = read_all<int32_t>(a);
    std::vector<int8_t> const bv = read_all<int8_t>(b);
    size_t const step = av.size() / depth;
    std::vector<int32_t> out(step);
    for (size_t p = 0; p < step; ++p) {
        size_t const c = p % channels;
        __int128 sum = 0;  // up to 2^32 products of up to 2^38 each
        for (size_t t = 0; t < depth; ++t) sum += int64_t{av[t * step + p]} * bv[t * channels + c];
        out[p] = saturate(clamp128(sum), n);
    }
    std::vector<uint32_t> dims(sa.begin() + 1, sa.end());
    return make_dense(TensorType::int32, Shape(dims), out);
}

std::pair<std::shared_ptr<Tensor>, std::shared_ptr<Tensor>> update_internal_state(
    Tensor const& a, Tensor const& b, Tensor& re, Tensor& im, Tensor const& e, Tensor const& f, int m, int k) {
    char const* const name = "update_internal_state";
    check_bits(name, m);
    if (k < 0 || k > 30)
        throw std::invalid_argument(format("{}: coefficient fraction bits must be between 0 and 30 (got {})", name, k));
    if (!(re.dimensions() == a.dimensions()) || !(im.dimensions() == a.dimensions()))
        throw std::invalid_argument(format("{}: the states must have the shape of the input", name));
    size_t const channels = channels_of(a);
    auto const shifts = per_channel<int8_t>(b, channels, name, "shifts");
    auto const real = per_channel<int16_t>(e, channels, name, "coefficients");
    auto const imag = per_channel<int16_t>(f, channels, name, "coefficients");
    std::vector<int32_t> const input = read_all<int32_t>(a);
    std::vector<int32_t> r = read_all<int32_t>(re);
    std::vector<int32_t> i = read_all<int32_t>(im);
    for (size_t p = 0; p < input.size(); ++p) {
        size_t const c = p % channels;
        int64_t const s = shifts(c);
        int64_t const u = s >= 0 ? shift_left(input[p], static_cast<int>(s)) : shift_right_floor(input[p], static_cast<int>(-s));
        int64_t const x = r[p], y = i[p];
        // |e x| and |f y| stay below 2^46, so the sums fit 64 bits.
        int64_t const next_re = shift_right_round(real(c) * x - imag(c) * y, k);
        int64_t const next_im = shift_right_round(imag(c) * x + real(c) * y, k);
        r[p] = saturate(clamp128(static_cast<__int128>(next_re) + u), m);
        i[p] = saturate(next_im, m);
    }
    write_all(re, r);
    write_all(im, i);
    return {make_dense(TensorType::int32, a.dimensions(), r), make_dense(TensorType::int32, a.dimensions(), i)};
}

}  // namespace nuvra::ops
