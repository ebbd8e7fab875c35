#include "program/format_support.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "hw/format.h"
#include "hw/panic.h"

namespace nuvra {

WordImage::WordImage(uint64_t words) : words_(words, 0u) {}

void WordImage::check(uint64_t index) const {
    if (index >= words_.size())
        throw std::runtime_error(format("Write outside a memory image: word {} of {}.", index, words_.size()));
}

uint32_t WordImage::word(uint64_t index) const {
    check(index);
    return words_[index];
}

void WordImage::set(uint64_t record, Field const& field, uint32_t value) {
    set_bits(add_sat(record, field.word), field.bits, value);
}

void WordImage::set_byte(uint64_t byte, uint8_t value) {
    set_bits(byte / 4, RegDetail{8 * uint32_t(byte % 4), 8}, value);
}

void WordImage::set_bits(uint64_t index, RegDetail const& bits, uint32_t value) {
    check(index);
    set_field(&words_[index], bits, value);
}

void WordImage::copy_in(uint64_t index, std::vector<uint32_t> const& words) {
    if (words.empty()) return;
    check(index);
    check(index + words.size() - 1);
    for (size_t i = 0; i < words.size(); ++i) words_[index + i] = words[i];
}

uint32_t to_signed_field(int32_t value, uint32_t bits) {
    int64_t const half = bits >= 1 && bits <= 32 ? int64_t{1} << (bits - 1) : 0;
    if (half == 0 || value < -half || value > half - 1) signed_field_overflow(value, bits);
    uint32_t const mask = bits == 32 ? 0xFFFFFFFFu : (uint32_t{1} << bits) - 1;
    return uint32_t(value) & mask;
}

void signed_field_overflow(int32_t value, uint32_t bits) { panic("%s", signed_field_misfit(value, bits).c_str()); }

std::string signed_field_misfit(int32_t value, uint32_t bits) {
    return format("{} cannot fit in a {}-bit signed integer", value, bits);
}

uint32_t to_unsigned_field(uint32_t value, uint32_t bits) {
    if (bits < 32 && value >> bits != 0) panic("%u cannot fit in a %u-bit unsigned integer", value, unsigned(bits));
    return value;
}

uint32_t narrow_layer_bytes(Layer const& layer, uint64_t bytes) {
    if (!fits_in<uint32_t>(bytes))
        throw std::runtime_error(format("The memory size of layer '{}' does not fit 32 bits.", layer.get_name()));
    return uint32_t(bytes);
}

void require_rank(Tensor const& tensor, size_t rank, const char* name) {
    size_t const actual = tensor.dimensions().rank();
    if (actual != rank)
        throw std::invalid_argument(format("Tensor {} must have rank {}, not {}.", name, rank, actual));
}

void require_dimension(Tensor const& tensor, size_t dim, uint64_t needed, const char* name) {
    uint64_t const have = tensor.dimensions()[dim];
    if (have < needed)
        throw std::invalid_argument(
            format("Tensor {} has {} elements along dimension {}, {} are needed.", name, have, dim, needed));
}

void require_vector(Tensor const& tensor, uint64_t needed, const char* name) {
    require_rank(tensor, 1, name);
    require_dimension(tensor, 0, needed, name);
}

template <class T>
ByteElements<T>::ByteElements(Tensor const& tensor) {
    // Reading the first element checks the element type.
    (void)tensor_read<T>(tensor, size_t{0});
    Shape const& shape = tensor.dimensions();
    Strides const& strides = tensor.strides();
    if (strides.size() != shape.rank() || shape.rank() > strides_.size())
        throw std::invalid_argument(
            format("A tensor of {} dimensions has {} strides.", shape.rank(), strides.size()));
    uint64_t last = 0;  // the element farthest into the buffer
    for (size_t k = 0; k < shape.rank(); ++k) {
        strides_[k] = strides[k];
        last += uint64_t{shape[k] - 1} * strides[k];
    }
    Buffer const buffer = tensor.buffer();
    if (last >= buffer.bytes)
        throw std::invalid_argument(
            format("Tensor element {} lies outside its buffer of {} bytes.", last, buffer.bytes));
    data_ = static_cast<T const*>(buffer.data);
}

template class ByteElements<int8_t>;
template class ByteElements<uint8_t>;

std::optional<int> first_int8_outside(Tensor const& tensor, int64_t low, int64_t high) {
    if (tensor.size() == 0) return std::nullopt;
    ByteElements<int8_t> const elements(tensor);
    Shape const& shape = tensor.dimensions();
    if (tensor.strides() == Dense::eval_strides(shape, Layout::c_order)) {
        // Row-major elements are the tensor's first bytes: one pass that the compiler vectorizes
        // tells whether any lies outside; only then is the first one looked for.
        int8_t const* const data = elements.address(0, 0, 0, 0);
        size_t const count = tensor.size();
        int8_t least = data[0], most = data[0];
        for (size_t i = 1; i < count; ++i) {
            least = std::min(least, data[i]);
            most = std::max(most, data[i]);
        }
        if (least >= low && most <= high) return std::nullopt;
    }
    std::array<uint64_t, 4> extent{1, 1, 1, 1};
    for (size_t k = 0; k < shape.rank(); ++k) extent[k] = shape[k];
    for (uint64_t a = 0; a < extent[0]; ++a)
        for (uint64_t b = 0; b < extent[1]; ++b)
            for (uint64_t c = 0; c < extent[2]; ++c)
                for (uint64_t d = 0; d < extent[3]; ++d) {
                    int const value = elements.at(a, b, c, d);
                    if (value < low || value > high) return value;
                }
    return std::nullopt;
}

namespace {

std::string too_few_elements(Tensor const& tensor, uint64_t needed, const char* name) {
    return format("Tensor {} holds {} elements, {} are needed.", name, tensor.size(), needed);
}

}  // namespace

void require_elements(Tensor const& tensor, uint64_t needed, const char* name) {
    if (tensor.size() < needed) throw std::runtime_error(too_few_elements(tensor, needed, name));
}

void require_flat_elements(Tensor const& tensor, uint64_t needed, const char* name) {
    if (tensor.size() < needed) throw std::invalid_argument(too_few_elements(tensor, needed, name));
}

}  // namespace nuvra
