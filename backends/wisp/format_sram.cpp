#include "backends/wisp/format_sram.h"

#include <array>
#include <cmath>
#include <stdexcept>

#include "backends/wisp/registers.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "program/format_support.h"

namespace nuvra::wisp {

namespace {

// One 64-bit memory word built field by field; every value is range-checked for its field.
class SramWord {
public:
    void set_unsigned(Field const& field, uint32_t value) {
        set(words_, field, to_unsigned_field(value, field.bits.width));
    }
    void set_unsigned(SplitField const& field, uint32_t value) {
        set(words_, field, to_unsigned_field(value, field.width()));
    }
    void set_signed(Field const& field, int32_t value) { set(words_, field, to_signed_field(value, field.bits.width)); }

    void append_to(std::vector<uint32_t>& words) const {
        for (uint32_t word : words_) words.push_back(word);
    }

private:
    std::array<uint32_t, sram_word_words> words_{};
};

// The 32-bit words of `count` 64-bit memory words.
std::vector<uint32_t> reserve_64b(uint64_t count, const char* what) {
    std::vector<uint32_t> words;
    words.reserve(narrow_words(checked_mul(count, 2, what), what));
    return words;
}

// The number of per-channel values: the first dimension of `tensor`.
uint32_t channel_count(Tensor const& tensor, const char* name) {
    require_dimension(tensor, 0, 1, name);
    return tensor.dimensions()[0];
}

// Reads element 0, so that a tensor of the wrong element type fails before any word is built.
template <class T>
void require_type(Tensor const& tensor) {
    (void)tensor_read<T>(tensor, size_t{0});
}

// Every per-channel tensor holds at least `n` values of its type along its first dimension.
template <class T>
void require_channels(Tensor const& tensor, uint32_t n, const char* name) {
    require_dimension(tensor, 0, n, name);
    require_type<T>(tensor);
}

// Appends `words` to `*out`, a list that must exist.
void append_words(std::vector<uint32_t>* out, std::vector<uint32_t> const& words) {
    if (out == nullptr) throw std::invalid_argument("No word list to append to.");
    out->insert(out->end(), words.begin(), words.end());
}

}  // namespace

uint64_t fsram_matrix_64b_size(uint64_t rows, uint64_t columns) {
    return mul_sat(ceil_div(columns, fsram_weights_per_word), rows);
}

std::vector<uint32_t> format_fsram_weight_matrix(Tensor const& w) {
    require_rank(w, 2, "weights");
    ByteElements<int8_t> const weights(w);
    uint32_t const rows = w.dimensions()[0];
    uint32_t const columns = w.dimensions()[1];
    uint64_t const count = fsram_matrix_64b_size(rows, columns);
    std::vector<uint32_t> words(narrow_words(checked_mul(count, 2, "FSRAM weights"), "FSRAM weights"), 0);
    // Byte k of the word of column block b and row r: w[r][8b + k].
    ByteWriter image(words);
    for (uint32_t block = 0; uint64_t{block} * fsram_weights_per_word < columns; ++block) {
        uint32_t const first = block * fsram_weights_per_word;
        for (uint32_t r = 0; r < rows; ++r) {
            uint64_t const word = uint64_t{block} * rows + r;
            for (uint32_t k = 0; k < fsram_weights_per_word && first + k < columns; ++k)
                image.put(word * 8 + k, static_cast<uint8_t>(weights.at(r, first + k, 0, 0)));
        }
    }
    return words;
}

std::vector<uint32_t> format_fsram_weights(Tensor const& in_proj, Tensor const& out_proj) {
    std::vector<uint32_t> words = format_fsram_weight_matrix(in_proj);
    std::vector<uint32_t> const second = format_fsram_weight_matrix(out_proj);
    words.insert(words.end(), second.begin(), second.end());
    return words;
}

std::vector<uint32_t> format_tsram_state_updating_var(Tensor const& a_imag, Tensor const& a_real,
                                                      Tensor const& internal_state_outputs_shift,
                                                      Tensor const& new_state_scale, Tensor const& new_state_shift) {
    uint32_t const n = channel_count(a_real, "A_real");
    require_channels<int16_t>(a_real, n, "A_real");
    require_channels<int16_t>(a_imag, n, "A_imag");
    require_channels<int8_t>(internal_state_outputs_shift, n, "internal_state_outputs_shift");
    require_channels<uint8_t>(new_state_scale, n, "new_state_scale");
    require_channels<int8_t>(new_state_shift, n, "new_state_shift");

    std::vector<uint32_t> words = reserve_64b(n, "TSRAM state words");
    for (size_t k = 0; k < n; ++k) {
        SramWord word;
        word.set_signed(SU_A_REAL, tensor_read<int16_t>(a_real, k));
        word.set_signed(SU_A_IMAG, tensor_read<int16_t>(a_imag, k));
        word.set_signed(SU_OUTPUTS_SHIFT, tensor_read<int8_t>(internal_state_outputs_shift, k));
        word.set_unsigned(SU_NEW_STATE_SCALE, tensor_read<uint8_t>(new_state_scale, k));
        word.set_signed(SU_NEW_STATE_SHIFT, tensor_read<int8_t>(new_state_shift, k));
        word.append_to(words);
    }
    return words;
}

std::vector<uint32_t> format_tsram_output_var(Tensor const& scales, Tensor const& shift, Tensor const& bias,
                                              Tensor const& bias_shift) {
    bool const wide_scales = scales.type() == TensorType::uint16;
    if (!wide_scales && scales.type() != TensorType::uint8)
        throw std::runtime_error(
            "Error when formattting output scale : Unsupported output scales type in TSRAM formatting.");
    uint32_t const n = channel_count(scales, "output scales");
    require_channels<int8_t>(shift, n, "output shift");
    require_channels<int8_t>(bias, n, "bias");
    require_channels<uint8_t>(bias_shift, n, "bias_shift");

    std::vector<uint32_t> words = reserve_64b(n, "TSRAM output words");
    for (size_t k = 0; k < n; ++k) {
        SramWord word;
        word.set_unsigned(OUT_SCALE, wide_scales ? tensor_read<uint16_t>(scales, k) : tensor_read<uint8_t>(scales, k));
        word.set_signed(OUT_SHIFT, tensor_read<int8_t>(shift, k));
        word.set_signed(OUT_BIAS, tensor_read<int8_t>(bias, k));
        word.set_unsigned(OUT_BIAS_SHIFT, tensor_read<uint8_t>(bias_shift, k));
        word.append_to(words);
    }
    return words;
}

std::vector<uint32_t> format_tsram_post_processing_output_var(uint32_t timesteps, uint16_t threshold) {
    if (timesteps < 1 || timesteps > 65535)
        throw std::invalid_argument(format("Post-processing timesteps must be from 1 to 65535 (got {}).", timesteps));
    // The accumulated spikes are divided by the largest power of 2 not above the timesteps.
    auto const exponent = static_cast<int32_t>(std::log2(static_cast<double>(timesteps)));
    SramWord word;
    word.set_unsigned(OUT_SCALE, 1);
    word.set_signed(OUT_SHIFT, -exponent);
    word.set_unsigned(PP_THRESHOLD, threshold);
    std::vector<uint32_t> words;
    word.append_to(words);
    return words;
}

uint32_t input_shifts_per_word(uint32_t input_bits) { return input_bits == 8 ? 8 : 4; }

uint64_t tsram_input_shift_64b_size(uint64_t channels, uint32_t input_bits) {
    return ceil_div(channels, input_shifts_per_word(input_bits));
}

std::vector<uint32_t> format_tsram_input_shift(Tensor const& input_shift, uint32_t input_bits) {
    if (input_bits != 8 && input_bits != 16)
        throw std::invalid_argument(format("TNP-R inputs are 8-bit or 16-bit (got {}).", input_bits));
    uint32_t const per_word = input_shifts_per_word(input_bits);
    // A 16-bit value is shifted byte by byte: each of its bytes takes a copy of the shift.
    uint32_t const copies = input_bits / 8;
    uint32_t const n = channel_count(input_shift, "input_shift");
    require_type<uint8_t>(input_shift);

    std::vector<uint32_t> words = reserve_64b(tsram_input_shift_64b_size(n, input_bits), "TSRAM input shifts");
    for (uint32_t first = 0; first < n; first += per_word) {
        SramWord word;
        for (uint32_t t = 0; t < per_word && first + t < n; ++t) {
            uint8_t const shift = tensor_read<uint8_t>(input_shift, size_t{first} + t);
            for (uint32_t j = 0; j < copies; ++j) word.set_unsigned(input_shift_fields[copies * t + j], shift);
        }
        word.append_to(words);
    }
    return words;
}

std::vector<uint32_t> format_tsram_post_processing_input_shift() { return {0, 0}; }

void format_fsram_weights(std::vector<uint32_t>* out, Dense const& in_proj, Dense const& out_proj) {
    append_words(out, format_fsram_weights(in_proj, out_proj));
}

void format_tsram_state_updating_var(std::vector<uint32_t>* out, Dense const& a_imag, Dense const& a_real,
                                     Dense const& internal_state_outputs_shift, Dense const& new_state_scale,
                                     Dense const& new_state_shift) {
    append_words(out, format_tsram_state_updating_var(a_imag, a_real, internal_state_outputs_shift, new_state_scale,
                                                      new_state_shift));
}

void format_tsram_output_var(std::vector<uint32_t>* out, Dense const& scales, Dense const& shift, Dense const& bias,
                             Dense const& bias_shift) {
    append_words(out, format_tsram_output_var(scales, shift, bias, bias_shift));
}

void format_tsram_post_processing_output_var(std::vector<uint32_t>* out, uint16_t timesteps, uint16_t threshold) {
    append_words(out, format_tsram_post_processing_output_var(timesteps, threshold));
}

void format_tsram_input_shift(std::vector<uint32_t>* out, Dense const& input_shift, uint8_t input_bits) {
    append_words(out, format_tsram_input_shift(input_shift, input_bits));
}

void format_tsram_post_processing_input_shift(std::vector<uint32_t>* out) {
    append_words(out, format_tsram_post_processing_input_shift());
}

}  // namespace nuvra::wisp
