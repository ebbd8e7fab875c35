#include "backends/v2/format_variables.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "backends/v2/registers.h"
#include "hw/arith.h"
#include "program/format_support.h"

namespace nuvra::v2 {

namespace {

constexpr uint32_t lut_entries = 2048;
constexpr uint32_t lut_entry_bits = 14;
constexpr uint32_t output_shift_bits = 6;
constexpr uint32_t merge_sum_bits = 3;
// A distance of 0..15 is what a 5-bit signed value holds above zero: the 4-bit field.
constexpr uint32_t merge_distance_check_bits = 5;

[[noreturn]] void wrong_lut_size() { throw std::runtime_error("Wrong size for LUT."); }

void check_optional_vector(Dense const* tensor, uint64_t needed, const char* name) {
    if (tensor != nullptr) require_vector(*tensor, needed, name);
}

// Every present per-neuron variable is one-dimensional and holds the neurons below `end`.
void check_neuron_vectors(Dense const* max_value, Dense const* max_value_shift, Dense const* activation_shift,
                          Dense const* activation_scales, Dense const* output_shift, Dense const* bias_shift,
                          Dense const* bias, Dense const* output_scales, uint64_t end) {
    check_optional_vector(max_value, end, "max_value");
    check_optional_vector(max_value_shift, end, "max_value_shift");
    check_optional_vector(activation_shift, end, "activation_shift");
    check_optional_vector(activation_scales, end, "activation_scales");
    check_optional_vector(output_shift, end, "output_shift");
    check_optional_vector(bias_shift, end, "bias_shift");
    check_optional_vector(bias, end, "bias");
    check_optional_vector(output_scales, end, "output_scales");
}

// The elements of a present variable read as T, its type and its buffer checked once; false when
// its elements are not of T's storage (nothing is read then). A missing variable gives no view.
template <class T>
bool neuron_view(Dense const* tensor, std::optional<ByteElements<T>>* view) {
    if (tensor == nullptr) return true;
    if (!detail::ElementTraits<T>::accepts(tensor->type())) return false;
    view->emplace(*tensor);
    return true;
}

Dense const& require_present(std::shared_ptr<Dense const> const& tensor, const char* name) {
    if (!tensor) throw std::invalid_argument(std::string("Tensor ") + name + " is missing.");
    return *tensor;
}

}  // namespace

std::vector<uint32_t> format_cnp_tnp_variables(Dense const* max_value, Dense const* max_value_shift,
                                               Dense const* activation_shift, Dense const* activation_scales,
                                               Dense const* output_shift, Dense const* bias_shift,
                                               Dense const* bias, Dense const* output_scales,
                                               uint32_t first_neuron, uint32_t count) {
    if (count == 0) return {};
    check_neuron_vectors(max_value, max_value_shift, activation_shift, activation_scales, output_shift, bias_shift,
                         bias, output_scales, uint64_t(first_neuron) + count);
    auto const checked = [&] {
        return format_cnp_tnp_variables_checked(max_value, max_value_shift, activation_shift, activation_scales,
                                                output_shift, bias_shift, bias, output_scales, first_neuron, count);
    };
    // Element types checked once; a tensor of another type goes to the value-by-value path, which
    // refuses it where its first read comes.
    std::optional<ByteElements<uint8_t>> max_v, max_shift, act_scales, b_shift, out_scales;
    std::optional<ByteElements<int8_t>> act_shift, out_shift, bias_view;
    if (!neuron_view(max_value, &max_v) || !neuron_view(max_value_shift, &max_shift) ||
        !neuron_view(activation_shift, &act_shift) || !neuron_view(activation_scales, &act_scales) ||
        !neuron_view(output_shift, &out_shift) || !neuron_view(bias_shift, &b_shift) || !neuron_view(bias, &bias_view) ||
        !neuron_view(output_scales, &out_scales))
        return checked();

    std::vector<uint32_t> words(NEURON_VARIABLE_WORDS * count, 0u);
    // Bits of the values that do not fit their fields: any one sends the call to the checked path.
    uint32_t overflow = 0;
    for (uint32_t k = 0; k < count; ++k) {
        uint64_t const n = uint64_t(first_neuron) + k;
        // Built in a local record (kept in registers), then stored.
        uint32_t record[NEURON_VARIABLE_WORDS] = {};
        // The steps of the checked path, in its order: the later of two steps sharing bits wins.
        if (out_scales) put_field<VARS_A_OUT_SCALE>(record, out_scales->at(n, 0, 0, 0));
        if (bias_view) put_field<VARS_A_BIAS>(record, uint8_t(bias_view->at(n, 0, 0, 0)));
        if (b_shift) {
            uint32_t const v = b_shift->at(n, 0, 0, 0);
            overflow |= v >> VARS_A_BIAS_SHIFT.bits.width;
            put_field<VARS_A_BIAS_SHIFT>(record, v);
        }
        if (out_shift) {
            int32_t const v = out_shift->at(n, 0, 0, 0);
            // -32..31 moves to 0..63; anything else has bits above the field (or wraps high).
            overflow |= uint32_t(v + (1 << (output_shift_bits - 1))) >> output_shift_bits;
            put_field<VARS_A_OUT_SHIFT>(record, uint32_t(v));
        }
        if (max_shift) {
            uint32_t const v = max_shift->at(n, 0, 0, 0);
            overflow |= v >> VARS_A_MAX_SHIFT.bits.width;
            put_field<VARS_A_MAX_SHIFT>(record, v);
        }
        if (act_shift) {
            uint32_t const bits = uint8_t(act_shift->at(n, 0, 0, 0));
            put_field<VARS_A_ACT_SHIFT_LOW>(record, bits & 0x1Fu);
            put_field<VARS_B_ACT_SHIFT_HIGH>(record, (bits >> 5) & 1u);
        }
        if (act_scales) put_field<VARS_B_ACT_SCALE>(record, act_scales->at(n, 0, 0, 0));
        if (max_v) put_field<VARS_B_MAX_VALUE>(record, max_v->at(n, 0, 0, 0));
        std::copy(std::begin(record), std::end(record), &words[NEURON_VARIABLE_WORDS * k]);
    }
    if (overflow != 0) return checked();
    return words;
}

std::vector<uint32_t> format_cnp_tnp_variables_checked(Dense const* max_value, Dense const* max_value_shift,
                                                       Dense const* activation_shift,
                                                       Dense const* activation_scales, Dense const* output_shift,
                                                       Dense const* bias_shift, Dense const* bias,
                                                       Dense const* output_scales, uint32_t first_neuron,
                                                       uint32_t count) {
    if (count != 0)
        check_neuron_vectors(max_value, max_value_shift, activation_shift, activation_scales, output_shift,
                             bias_shift, bias, output_scales, uint64_t(first_neuron) + count);

    WordImage image(NEURON_VARIABLE_WORDS * count);
    for (uint32_t k = 0; k < count; ++k) {
        uint32_t const n = first_neuron + k;
        uint64_t const record = NEURON_VARIABLE_WORDS * k;  // word A, then word B
        // The steps run in this order: the max-value pair and the activation pair share bits, and
        // the later step wins.
        if (output_scales) image.set(record, VARS_A_OUT_SCALE, tensor_read<uint8_t>(*output_scales, {n}));
        if (bias) image.set(record, VARS_A_BIAS, uint8_t(tensor_read<int8_t>(*bias, {n})));
        if (bias_shift) image.set(record, VARS_A_BIAS_SHIFT, tensor_read<uint8_t>(*bias_shift, {n}));
        if (output_shift)
            image.set(record, VARS_A_OUT_SHIFT,
                      to_signed_field(tensor_read<int8_t>(*output_shift, {n}), output_shift_bits));
        if (max_value_shift) image.set(record, VARS_A_MAX_SHIFT, tensor_read<uint8_t>(*max_value_shift, {n}));
        if (activation_shift) {
            // A 6-bit value split over both words; bits 6-7 of the byte are dropped unchecked.
            uint32_t const bits = uint8_t(tensor_read<int8_t>(*activation_shift, {n}));
            image.set(record, VARS_A_ACT_SHIFT_LOW, bits & 0x1Fu);
            image.set(record, VARS_B_ACT_SHIFT_HIGH, (bits >> 5) & 1u);
        }
        if (activation_scales) image.set(record, VARS_B_ACT_SCALE, tensor_read<uint8_t>(*activation_scales, {n}));
        if (max_value) image.set(record, VARS_B_MAX_VALUE, tensor_read<uint8_t>(*max_value, {n}));
    }
    return std::move(image).release();
}

std::vector<uint32_t> format_input_shift(Dense const& input_shift, uint32_t first_channel, uint32_t count) {
    require_rank(input_shift, 1, "input_shift");
    uint64_t const n = count != 0 ? count : input_shift.size();
    require_dimension(input_shift, 0, uint64_t(first_channel) + n, "input_shift");

    std::vector<uint32_t> words(2 * ceil_div(n, 8), 0u);
    if (n == 0) return words;
    // The element type checked once (the message of a first read), then byte after byte.
    ByteElements<uint8_t> const shifts(input_shift);
    ByteWriter out(words);
    for (uint64_t i = 0; i < n; ++i) out.put(i, shifts.at(first_channel + i, 0, 0, 0));
    return words;
}

std::vector<uint32_t> format_input_shift(Dense const& input_shift) {
    uint64_t const n = input_shift.size();
    uint64_t const words = 2 * ceil_div(n, 8);
    if (words <= 1) return {};
    WordImage image(words);
    for (uint64_t i = 0; i < n; ++i) image.set_byte(i, tensor_read<uint8_t>(input_shift, size_t(i)));
    return std::move(image).release();
}

std::vector<uint32_t> format_merge_layer_shift(std::shared_ptr<Dense const> const& a_shift,
                                               std::shared_ptr<Dense const> const& b_shift,
                                               std::shared_ptr<Dense const> const& output_shift,
                                               uint32_t first_neuron, uint32_t count) {
    Dense const& a_tensor = require_present(a_shift, "a_shift");
    Dense const& b_tensor = require_present(b_shift, "b_shift");
    Dense const& c_tensor = require_present(output_shift, "output_shift");
    uint64_t const end = uint64_t(first_neuron) + count;
    if (count != 0) {
        require_vector(a_tensor, end, "a_shift");
        require_vector(b_tensor, end, "b_shift");
        require_vector(c_tensor, end, "output_shift");
    }

    WordImage image(ceil_div(count, 4));
    for (uint32_t k = 0; k < count; ++k) {
        uint32_t const n = first_neuron + k;
        int32_t const a = tensor_read<uint8_t>(a_tensor, {n});
        int32_t const b = tensor_read<uint8_t>(b_tensor, {n});
        int32_t const c = tensor_read<int8_t>(c_tensor, {n});
        uint32_t const sum = to_signed_field(std::max(a, b) + c, merge_sum_bits);
        int32_t const distance = std::abs(a - b);
        to_signed_field(distance, merge_distance_check_bits);

        uint32_t byte = 0;
        std::span<uint32_t> const shift(&byte, 1);
        set_flag(shift, MERGE_SHIFT_B_LARGER, b >= a);
        set(shift, MERGE_SHIFT_SUM, sum);
        set(shift, MERGE_SHIFT_DISTANCE, uint32_t(distance));
        image.set_byte(k, uint8_t(byte));
    }
    return std::move(image).release();
}

std::vector<uint32_t> format_lut_values_for_cnp(Dense const* lut) {
    if (lut == nullptr || lut->size() / 2 != lut_entries / 2) wrong_lut_size();
    WordImage image(lut_entries / 2);
    for (uint32_t k = 0; k < lut_entries / 2; ++k) {
        image.set(k, LUT_CNP_EVEN, to_signed_field(tensor_read<int32_t>(*lut, size_t{2} * k), lut_entry_bits));
        image.set(k, LUT_CNP_ODD, to_signed_field(tensor_read<int32_t>(*lut, size_t{2} * k + 1), lut_entry_bits));
    }
    return std::move(image).release();
}

std::vector<uint32_t> format_lut_values_for_hrc(Dense const* lut) {
    if (lut == nullptr || lut->size() != lut_entries) wrong_lut_size();
    WordImage image(lut_entries);
    for (uint32_t k = 0; k < lut_entries; ++k)
        image.set(k, LUT_HRC_ENTRY, to_signed_field(tensor_read<int32_t>(*lut, size_t{k}), lut_entry_bits));
    return std::move(image).release();
}

}  // namespace nuvra::v2
