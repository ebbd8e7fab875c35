// What the memory formatters of every generation share: a word image written field by field with
// every index checked, the argument checks of the tensors they read, signed field encoding and
// the one narrowing of a 64-bit word count.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/layer.h"
#include "engine/tensor.h"
#include "hw/arith.h"
#include "hw/register.h"

namespace nuvra {

// A zero-filled vector of 32-bit words written field by field. Byte i of the image is bits
// 8 x (i mod 4) to 8 x (i mod 4) + 7 of word i / 4. A write past the end is std::runtime_error
// "Write outside a memory image: word <index> of <size>." and changes nothing.
class WordImage {
public:
    explicit WordImage(uint64_t words);

    uint64_t size() const { return words_.size(); }
    uint32_t word(uint64_t index) const;
    // Replaces `field` of the record that starts at word `record` (the field's word counted from
    // there) through set_field (a value too wide for it panics).
    void set(uint64_t record, Field const& field, uint32_t value);
    // Replaces bits `bits` of word `index`, at a position worked out from a stream of packed
    // values rather than a named field (a value too wide for them panics).
    void set_bits(uint64_t index, RegDetail const& bits, uint32_t value);
    // Replaces byte `byte`.
    void set_byte(uint64_t byte, uint8_t value);
    // Replaces words `index` onwards with `words`; all of them must lie inside the image.
    void copy_in(uint64_t index, std::vector<uint32_t> const& words);

    std::vector<uint32_t> release() && { return std::move(words_); }

private:
    void check(uint64_t index) const;

    std::vector<uint32_t> words_;
};

// The low `bits` bits of `value` as a two's-complement field; a value outside the field's range
// panics "%d cannot fit in a %d-bit signed integer".
uint32_t to_signed_field(int32_t value, uint32_t bits);
// Panics "%d cannot fit in a %d-bit signed integer" for `value` and `bits`.
[[noreturn]] void signed_field_overflow(int32_t value, uint32_t bits);
// That text, for a check that refuses the value before any field is written.
std::string signed_field_misfit(int32_t value, uint32_t bits);
// `value` as an unsigned field of `bits` bits; a value too wide panics "%u cannot fit in a %u-bit
// unsigned integer".
uint32_t to_unsigned_field(uint32_t value, uint32_t bits);

// A memory sizer's answer for `layer` as 32 bits; above, std::runtime_error "The memory size of
// layer '<name>' does not fit 32 bits.".
uint32_t narrow_layer_bytes(Layer const& layer, uint64_t bytes);

// The tensor has exactly `rank` dimensions; otherwise std::invalid_argument "Tensor <name> must
// have rank <rank>, not <actual>.".
void require_rank(Tensor const& tensor, size_t rank, const char* name);
// Dimension `dim` of the tensor holds at least `needed` elements; otherwise std::invalid_argument
// "Tensor <name> has <n> elements along dimension <dim>, <needed> are needed.".
void require_dimension(Tensor const& tensor, size_t dim, uint64_t needed, const char* name);
// A one-dimensional tensor of at least `needed` elements.
void require_vector(Tensor const& tensor, uint64_t needed, const char* name);
// A tensor of at least `needed` elements in any shape, read by row-major index; otherwise
// std::runtime_error "Tensor <name> holds <n> elements, <needed> are needed.".
void require_elements(Tensor const& tensor, uint64_t needed, const char* name);
// The same, refused as bad input: std::invalid_argument with that text.
void require_flat_elements(Tensor const& tensor, uint64_t needed, const char* name);

// The one-byte elements of a tensor, read in a hot loop without per-element checks. The
// constructor checks once the element type (int8_t reads int8, int4, int2 and bit; uint8_t reads
// uint8, uint4 and uint2; another type panics "Wrong requested type %s for a tensor of type %s")
// and that every element inside the tensor's dimensions lies inside its buffer. The caller checks
// its coordinates against the dimensions first (require_rank, require_dimension) and keeps the
// tensor alive while the view is used.
template <class T>
class ByteElements {
public:
    explicit ByteElements(Tensor const& tensor);

    // Element (i0, i1, i2, i3); coordinates past the tensor's rank must be 0.
    T at(uint64_t i0, uint64_t i1, uint64_t i2, uint64_t i3) const { return *address(i0, i1, i2, i3); }
    T const* address(uint64_t i0, uint64_t i1, uint64_t i2, uint64_t i3) const {
        return data_ + i0 * strides_[0] + i1 * strides_[1] + i2 * strides_[2] + i3 * strides_[3];
    }
    // The element stride along dimension `dim` (0 past the rank).
    uint64_t stride(size_t dim) const { return strides_.at(dim); }

private:
    T const* data_ = nullptr;
    std::array<uint64_t, 4> strides_{};
};

// The first element of a one-byte tensor, read as int8 in row-major order, outside low..high;
// none when every element lies inside. A tensor with elements has its element type checked as
// ByteElements checks it; an empty one is none, whatever its type.
std::optional<int> first_int8_outside(Tensor const& tensor, int64_t low, int64_t high);

// Eight one-byte elements `stride` elements apart from `first`, element j in bits 8j to 8j + 7 of
// the result: one load when they are contiguous. The caller checks that all eight lie in the
// tensor.
template <class T>
uint64_t eight_elements(T const* first, uint64_t stride) {
    static_assert(sizeof(T) == 1);
    uint64_t result = 0;
    if (std::endian::native == std::endian::little && stride == 1) {
        std::memcpy(&result, first, sizeof result);
        return result;
    }
    for (uint32_t j = 0; j < 8; ++j) result |= uint64_t{static_cast<uint8_t>(first[j * stride])} << (8 * j);
    return result;
}

// Byte writes into a word image in a hot loop: byte i is bits 8 (i mod 4) .. of word i / 4. The
// caller checks once that every byte it writes is below bytes(), and does not resize the vector
// while the writer is in use.
class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint32_t>& words)
        : words_(words), bytes_(reinterpret_cast<uint8_t*>(words.data())), size_(uint64_t{words.size()} * 4) {}

    uint64_t bytes() const { return size_; }
    void put(uint64_t byte, uint8_t value) {
        if constexpr (std::endian::native == std::endian::little) {
            bytes_[byte] = value;
        } else {
            uint32_t& word = words_[byte / 4];
            uint32_t const shift = 8 * uint32_t(byte % 4);
            word = (word & ~(uint32_t{0xFF} << shift)) | uint32_t{value} << shift;
        }
    }
    // `count` bytes from `source` at byte `byte`.
    void put_run(uint64_t byte, void const* source, uint64_t count) {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(bytes_ + byte, source, count);
        } else {
            for (uint64_t i = 0; i < count; ++i) put(byte + i, static_cast<uint8_t const*>(source)[i]);
        }
    }

private:
    std::vector<uint32_t>& words_;
    uint8_t* bytes_;  // the words as bytes (read on little-endian hosts only)
    uint64_t size_;
};

extern template class ByteElements<int8_t>;
extern template class ByteElements<uint8_t>;

}  // namespace nuvra
