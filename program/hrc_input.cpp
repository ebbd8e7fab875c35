#include "program/hrc_input.h"

#include <stdexcept>

#include "hw/arith.h"
#include "program/format_support.h"

namespace nuvra {

namespace {

// How the next weight line is placed once a line is complete.
enum class StepRule {
    linear,   // three channels: the next line of the same plane
    pairs,    // one channel, 4 x 4 kernel: alternate planes 0 and 1 at one address
    triples,  // one channel, 5, 7 or 16 kernel: cycle planes 0, 1, 2 at one address
    wrap,     // one channel, 3 x 3 kernel: 192 lines per plane, then the next plane
};

void step(StepRule rule, uint64_t* address, uint32_t* plane) {
    switch (rule) {
        case StepRule::linear:
            *address += hrc::line_words;
            break;
        case StepRule::pairs:
            *plane = (*plane + 1) % 2;
            if (*plane == 0) *address += hrc::line_words;
            break;
        case StepRule::triples:
            *plane = (*plane + 1) % 3;
            if (*plane == 0) *address += hrc::line_words;
            break;
        case StepRule::wrap:
            *address = (*address + hrc::line_words) % hrc::wrap_plane_words;
            if (*address == 0 || *address == 1) *plane += 1;
            break;
    }
}

// Reads element 0, so that a tensor of the wrong element type fails before anything else is read.
template <class T>
void check_type(Dense const& tensor) {
    (void)tensor_read<T>(tensor, size_t{0});
}

// Stores v (within [-32, 31]) as a 6-bit two's-complement field value.
uint32_t six_bit(int8_t v) { return static_cast<uint32_t>(static_cast<uint8_t>(v)) & 0x3Fu; }

void check_signed6(int8_t v) { to_signed_field(v, 6); }

}  // namespace

uint32_t hrc_weight_filters(Dense const& weights) {
    // Layout 1 holds (filters, channels, height, width); the other (width, height, channels, filters).
    return weights.layout() == Layout::reversed ? weights.dimensions()[0] : weights.dimensions()[3];
}

std::vector<std::vector<uint32_t>> format_hrc_weights(Dense const& weights) {
    check_type<int8_t>(weights);
    Shape const& dims = weights.dimensions();
    bool const filters_first = weights.layout() == Layout::reversed;
    uint32_t const filters = hrc_weight_filters(weights);
    uint32_t const channels = filters_first ? dims[1] : dims[2];
    uint32_t const k = filters_first ? dims[2] : dims[1];

    uint64_t const kernel_weights = uint64_t{k} * k;
    uint64_t const lines = ceil_div(kernel_weights, hrc::line_weights) * filters;
    uint64_t const lw = hrc::line_words;

    std::vector<std::vector<uint32_t>> planes(3);
    StepRule rule = StepRule::linear;
    if (channels == 3) {
        for (auto& plane : planes) plane.resize(lw * lines);
    } else if (channels == 1 && k == 3) {
        uint64_t const lines_per_plane = hrc::wrap_plane_words / lw;
        if (lines >= 3 * lines_per_plane)
            throw std::runtime_error("Too many lines on HRC weight formatting with the 3-kernel.");
        uint64_t const full = lines / lines_per_plane;
        for (uint64_t p = 0; p < full; ++p) planes[p].resize(hrc::wrap_plane_words);
        planes[full].resize(lw * (lines % lines_per_plane));
        rule = StepRule::wrap;
    } else if (channels == 1 && k == 4) {
        planes[0].resize(lw * ceil_div(lines, 2));
        planes[1].resize(lw * (lines / 2));
        rule = StepRule::pairs;
    } else if (channels == 1 && (k == 5 || k == 7 || k == 16)) {
        uint64_t const q = lines / 3;
        uint64_t const r = lines % 3;
        planes[0].resize(lw * q + (r > 0 ? lw : 0));
        planes[1].resize(lw * q + (r == 2 ? lw : 0));
        planes[2].resize(lw * q);
        rule = StepRule::triples;
    } else if (channels == 1) {
        throw std::runtime_error("Wrong kernel_size at HRC recording.");
    } else {
        throw std::runtime_error("Wrong number of channels at HRC recording.");
    }

    for (uint32_t c = 0; c < channels; ++c) {
        uint32_t plane = c;
        uint64_t address = 0;
        uint32_t n = 0;  // weights in the current line
        for (uint32_t f = 0; f < filters; ++f) {
            for (uint32_t y = 0; y < k; ++y) {
                for (uint32_t x = 0; x < k; ++x) {
                    int8_t const w = filters_first ? tensor_read<int8_t>(weights, {f, c, y, x})
                                                   : tensor_read<int8_t>(weights, {x, y, c, f});
                    uint32_t& word = planes.at(plane).at(address + n / 4);
                    set_field(&word, RegDetail{8 * (n % 4), 8}, static_cast<uint8_t>(w));
                    if (++n == hrc::line_weights) {
                        step(rule, &address, &plane);
                        n = 0;
                    }
                }
            }
            // Every filter starts on a new line.
            if (n > 0) {
                step(rule, &address, &plane);
                n = 0;
            }
        }
    }
    return planes;
}

std::vector<uint32_t> format_hrc_activations(Dense const& output_shift, Dense const& output_scales,
                                             Dense const* max_value_shift, Dense const* max_value,
                                             Dense const& bias_shift, Dense const& bias) {
    check_type<int8_t>(output_shift);
    check_type<uint8_t>(output_scales);
    if (max_value_shift != nullptr) check_type<uint8_t>(*max_value_shift);
    if (max_value != nullptr) check_type<uint8_t>(*max_value);
    check_type<uint8_t>(bias_shift);
    check_type<uint8_t>(bias);

    std::vector<uint32_t> words;
    words.reserve(2 * bias.size());
    for (size_t i = 0; i < bias.size(); ++i) {
        int8_t const shift = tensor_read<int8_t>(output_shift, i);
        uint8_t const scale = tensor_read<uint8_t>(output_scales, i);
        uint8_t const max_shift = max_value_shift != nullptr ? tensor_read<uint8_t>(*max_value_shift, i) : 0;
        uint8_t const maximum = max_value != nullptr ? tensor_read<uint8_t>(*max_value, i) : 0;
        uint8_t const b_shift = tensor_read<uint8_t>(bias_shift, i);
        uint8_t const bias_value = tensor_read<uint8_t>(bias, i);
        check_signed6(shift);
        to_unsigned_field(max_shift, hrc::ACT_MAX_VALUE_SHIFT.bits.width);
        to_unsigned_field(b_shift, hrc::ACT_BIAS_SHIFT.bits.width);

        uint32_t record[hrc::filter_record_words] = {};
        set(record, hrc::ACT_MAX_VALUE_LOW, maximum & 1u);
        set(record, hrc::ACT_MAX_VALUE_SHIFT, max_shift);
        set(record, hrc::ACT_OUTPUT_SCALE, scale);
        set(record, hrc::ACT_OUTPUT_SHIFT, six_bit(shift));
        set(record, hrc::ACT_BIAS, bias_value);
        set(record, hrc::ACT_BIAS_SHIFT, b_shift);
        set(record, hrc::ACT_MAX_VALUE_HIGH, maximum >> 1);
        words.insert(words.end(), std::begin(record), std::end(record));
    }
    return words;
}

std::vector<uint32_t> format_hrc_lut_variables(Dense const& output_scales, Dense const& bias,
                                               Dense const& bias_shift, Dense const& output_shift,
                                               Dense const& activation_shift, Dense const& activation_scales) {
    check_type<uint8_t>(output_scales);
    check_type<uint8_t>(bias);
    check_type<uint8_t>(bias_shift);
    check_type<int8_t>(output_shift);
    check_type<int8_t>(activation_shift);
    check_type<uint8_t>(activation_scales);

    std::vector<uint32_t> words;
    words.reserve(2 * bias.size());
    for (size_t i = 0; i < bias.size(); ++i) {
        uint8_t const scale = tensor_read<uint8_t>(output_scales, i);
        uint8_t const bias_value = tensor_read<uint8_t>(bias, i);
        uint8_t const b_shift = tensor_read<uint8_t>(bias_shift, i);
        int8_t const shift = tensor_read<int8_t>(output_shift, i);
        int8_t const act_shift = tensor_read<int8_t>(activation_shift, i);
        uint8_t const act_scale = tensor_read<uint8_t>(activation_scales, i);
        to_unsigned_field(b_shift >> 4, hrc::LUT_BIAS_SHIFT_HIGH.bits.width);
        check_signed6(shift);
        check_signed6(act_shift);

        uint32_t record[hrc::filter_record_words] = {};
        set(record, hrc::LUT_BIAS_SHIFT_LOW, b_shift & 0xFu);
        set(record, hrc::LUT_BIAS, bias_value);
        set(record, hrc::LUT_OUTPUT_SCALE, scale);
        set(record, hrc::LUT_ACTIVATION_SCALE, act_scale);
        set(record, hrc::LUT_ACTIVATION_SHIFT, six_bit(act_shift));
        set(record, hrc::LUT_OUTPUT_SHIFT, six_bit(shift));
        set(record, hrc::LUT_BIAS_SHIFT_HIGH, b_shift >> 4u);
        words.insert(words.end(), std::begin(record), std::end(record));
    }
    return words;
}

void record_hrc_sram(program::Record* record, RegDetail const& select, std::vector<uint32_t> const& data) {
    if (record == nullptr) throw std::invalid_argument("No record to add the HRC memory blocks to.");
    if (data.empty()) return;
    std::vector<uint32_t> select_words(2, 0u);
    set_field(&select_words[0], select, 1);
    hw::Ident const hrc_ident{};
    record->add_np_track(hrc_ident, dma::Target::HrcConfig, hrc::select_address, select_words);
    record->add_np_track(hrc_ident, dma::Target::HrcSram, hrc::data_address, data);
}

void record_hrc_sram(program::Record* record, Field const& select, std::vector<uint32_t> const& data) {
    if (select.word != 0) throw std::logic_error("An HRC memory select field lies in the first word of its block.");
    record_hrc_sram(record, select.bits, data);
}

void record_hrc_closing(program::Record* record, uint32_t first_register_word) {
    if (record == nullptr) throw std::invalid_argument("No record to add the HRC closing blocks to.");
    hw::Ident const hrc_ident{};
    uint32_t registers[1] = {first_register_word};
    set(registers, hrc::REGISTERS_ENABLE, 0);
    record->add_np_track(hrc_ident, dma::Target::HrcConfig, hrc::registers_address, {registers[0]});
    record->add_np_track(hrc_ident, dma::Target::HrcConfig, hrc::control_address, {1});
    record->add_np_track(hrc_ident, dma::Target::HrcConfig, hrc::control_address, {0});
}

}  // namespace nuvra
