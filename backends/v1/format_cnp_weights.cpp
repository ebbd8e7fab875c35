#include "backends/v1/format_cnp_weights.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "backends/v1/sizes.h"
#include "hw/arith.h"

namespace nuvra::v1 {

namespace {

constexpr uint32_t word_bits = 50;          // an SRAM word
constexpr uint32_t short_word_bits = 48;    // an SRAM word of kernel-1, 4-bit kernel-3 and pointwise weights
constexpr uint32_t filters_per_group = 8;   // 4-bit kernels 3, 5 and 7
constexpr uint32_t k7_filters_per_slot = 3; // 4-bit kernel 7: a row of three filters starts a word

[[noreturn]] void unsupported_kernel() { throw std::runtime_error("Unsupported kernel size."); }

// Bits written one field after another into the 64-bit slots of a zero-filled image, each slot
// holding `width` bits; a field that reaches the width goes on at bit 0 of the next slot.
class SlotWriter {
public:
    SlotWriter(std::vector<uint32_t>& words, uint32_t width) : words_(words), width_(width) {}

    uint32_t position() const { return pos_; }

    // Moves to bit 0 of slot `slot`.
    void seek(uint64_t slot) {
        flush();
        slot_ = slot;
        pos_ = 0;
    }
    void next_slot() { seek(slot_ + 1); }

    // The low `count` bits of `value` (count at most 64), least significant first.
    void put(uint64_t value, uint32_t count) {
        if (count < 64 && pos_ + count <= width_ && pos_ < width_) {  // the usual case: the field fits
            bits_ |= (value & ((uint64_t{1} << count) - 1)) << pos_;
            pos_ += count;
            return;
        }
        while (count > 0) {
            if (pos_ == width_) next_slot();
            uint32_t const take = std::min(count, width_ - pos_);
            uint64_t const mask = take == 64 ? ~uint64_t{0} : (uint64_t{1} << take) - 1;
            bits_ |= (value & mask) << pos_;
            pos_ += take;
            count -= take;
            value = take == 64 ? 0 : value >> take;
        }
    }

    // Writes what the current slot holds; call once after the last field.
    void flush() {
        if (bits_ == 0) return;
        uint64_t const first = 2 * slot_;
        if (first + 1 >= words_.size())
            throw std::logic_error("A CNP weight field lies past the end of its image.");
        words_[first] |= uint32_t(bits_);
        words_[first + 1] |= uint32_t(bits_ >> 32);
        bits_ = 0;
    }

private:
    std::vector<uint32_t>& words_;
    uint32_t width_;
    uint64_t slot_ = 0;
    uint32_t pos_ = 0;
    uint64_t bits_ = 0;
};

// The kernel size of a square 4-dimensional weight tensor holding filters start .. start + count - 1.
uint32_t square_kernel(Tensor const& weights, uint64_t filters_needed) {
    require_rank(weights, 4, "weights");
    require_dimension(weights, 0, filters_needed, "weights");
    Shape const& dims = weights.dimensions();
    if (dims[2] != dims[3]) throw std::runtime_error("CNP: width and height must be equal.");
    return dims[3];
}

void require_sep_bits(int bits) {
    if (bits != 2 && bits != 4) throw std::invalid_argument(sep_weights_bits_message);
}

uint32_t sep_field(int value, int bits) { return bits == 4 ? int32_to_intN<4>(value) : int32_to_intN<2>(value); }

std::vector<uint32_t> zero_image(uint64_t words) { return std::vector<uint32_t>(narrow_words(words, "CNP weights"), 0u); }

}  // namespace

uint32_t four_bit_code(int value) {
    int const magnitude = std::abs(value);
    if (magnitude > 7) signed_field_overflow(value, 4);
    return uint32_t(magnitude) | (value > 0 ? 8u : 0u);
}

std::vector<uint32_t> format_std_cnp_weights(Tensor const& weights, bool two_bit, uint32_t start, uint32_t count) {
    uint32_t const k = square_kernel(weights, uint64_t{start} + count);
    if (k != 1 && k != 3 && k != 5 && k != 7) unsupported_kernel();
    bool const two_planes = std_cnp_minus_plane(two_bit, k);
    uint64_t const block = std_cnp_block_words(k, count, two_planes ? 2 : 1);
    uint32_t const channels = weights.dimensions()[1];
    std::vector<uint32_t> image = zero_image(mul_sat(channels, block));

    // A run: k x k bits, then a zero pad bit when k is 3 or 7 (runs then fill the word exactly).
    uint32_t const run_bits = k * k + (k == 3 || k == 7 ? 1 : 0);
    ByteElements<int8_t> const w(weights);
    SlotWriter out(image, k == 1 ? short_word_bits : word_bits);
    for (uint32_t c = 0; c < channels; ++c) {
        out.seek(c * block / 2);
        for (uint32_t f = 0; f < count; ++f) {
            uint64_t ones = 0;
            uint64_t minus_ones = 0;
            for (uint32_t y = 0; y < k; ++y)
                for (uint32_t x = 0; x < k; ++x) {
                    int8_t const v = w.at(start + f, c, y, x);
                    uint64_t const bit = uint64_t{1} << (y * k + x);
                    if (v == 1) ones |= bit;
                    if (v == -1) minus_ones |= bit;
                }
            out.put(ones, run_bits);
            if (two_planes) out.put(minus_ones, run_bits);
        }
    }
    out.flush();
    return image;
}

std::vector<uint32_t> format_4bits_std_cnp_weights(Tensor const& weights, uint32_t start, uint32_t count) {
    uint32_t const k = square_kernel(weights, uint64_t{start} + count);
    if (k != 1 && k != 3 && k != 5 && k != 7) unsupported_kernel();
    uint64_t const block = std_cnp_block_words(k, count, 4);
    uint32_t const channels = weights.dimensions()[1];
    std::vector<uint32_t> image = zero_image(mul_sat(channels, block));
    ByteElements<int8_t> const w(weights);

    if (k == 1) {
        SlotWriter out(image, short_word_bits);
        for (uint32_t c = 0; c < channels; ++c) {
            out.seek(c * block / 2);
            for (uint32_t f = 0; f < count; ++f) out.put(four_bit_code(w.at(start + f, c, 0, 0)), 4);
        }
        out.flush();
        return image;
    }

    // Groups of eight filters, each starting a fixed number of words after the previous one.
    uint64_t const group_slots = four_bit_group_sram_words(k);
    uint32_t const groups = uint32_t(ceil_div(count, filters_per_group));
    SlotWriter out(image, k == 3 ? short_word_bits : word_bits);
    for (uint32_t c = 0; c < channels; ++c)
        for (uint32_t g = 0; g < groups; ++g) {
            out.seek(c * block / 2 + g * group_slots);
            for (uint32_t y = 0; y < k; ++y) {
                bool moved = false;
                for (uint32_t f = 0; f < filters_per_group; ++f) {
                    uint32_t const filter = g * filters_per_group + f;
                    for (uint32_t x = 0; x < k; ++x)
                        out.put(filter < count ? four_bit_code(w.at(start + filter, c, y, x)) : 0u, 4);
                    moved = false;
                    if (k == 7 && (f + 1) % k7_filters_per_slot == 0) {
                        out.next_slot();
                        moved = true;
                    }
                }
                if (k == 7 && !moved) out.next_slot();
            }
        }
    out.flush();
    return image;
}

std::vector<uint32_t> format_sep_cnp_dw_weights(Tensor const& weights, int bits) {
    require_sep_bits(bits);
    uint32_t const k = square_kernel(weights, 1);
    uint32_t const rows_per_word = dw_rows_per_word(k, bits);
    if (rows_per_word == 0) unsupported_kernel();
    uint32_t const channels = weights.dimensions()[1];
    uint64_t const slots = rows_per_word < 2 * uint64_t{k} ? mul_sat(ceil_div(k, rows_per_word), channels)
                                                           : ceil_div(channels, rows_per_word / k);
    std::vector<uint32_t> image = zero_image(mul_sat(2, slots));

    auto const b = uint32_t(bits);
    ByteElements<int8_t> const w(weights);
    SlotWriter out(image, word_bits);
    for (uint32_t c = 0; c < channels; ++c) {
        for (uint32_t y = 0; y < k; ++y) {
            if (b * k + out.position() > word_bits) out.next_slot();
            for (uint32_t x = 0; x < k; ++x) out.put(sep_field(w.at(0, c, y, x), bits), b);
        }
        if (b * k * k + out.position() > word_bits) out.next_slot();
    }
    out.flush();
    return image;
}

std::vector<uint32_t> format_sep_cnp_pw_weights(Tensor const& weights, int bits, uint32_t start, uint32_t count) {
    require_sep_bits(bits);
    require_rank(weights, 4, "weights_pw");
    require_dimension(weights, 0, uint64_t{start} + count, "weights_pw");
    uint32_t const channels = weights.dimensions()[1];
    uint64_t const words_per_channel = get_nb_words_per_pw_channel(count, bits);
    std::vector<uint32_t> image = zero_image(mul_sat(2 * words_per_channel, channels));

    auto const b = uint32_t(bits);
    ByteElements<int8_t> const w(weights);
    SlotWriter out(image, short_word_bits);
    for (uint32_t c = 0; c < channels; ++c) {
        out.seek(c * words_per_channel);
        for (uint32_t f = 0; f < count; ++f) {
            out.put(sep_field(w.at(start + f, c, 0, 0), bits), b);
            if (out.position() + b > short_word_bits) out.next_slot();
        }
    }
    out.flush();
    return image;
}


std::vector<uint32_t> format_std_cnp_weights(std::shared_ptr<Dense const> weights, bool two_bit, uint32_t start,
                                             uint32_t count) {
    if (!weights) throw std::invalid_argument("No weights to format.");
    return format_std_cnp_weights(*weights, two_bit, start, count);
}

}  // namespace nuvra::v1
