// What the memory formatters of every generation share: a word image written field by field with
// every index checked, the argument checks of the tensors they read, signed field encoding and
// the one narrowing of a 64-bit word count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/tensor.h"
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
    // Replaces `field` of word `index` through set_field (a value too wide for it panics).
    void set(uint64_t index, RegDetail const& field, uint32_t value);
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

// `words` as 32 bits; above, std::runtime_error "<what>: <words> words do not fit in 32 bits.".
uint32_t narrow_words(uint64_t words, const char* what);

// The tensor has exactly `rank` dimensions; otherwise std::invalid_argument "Tensor <name> must
// have rank <rank>, not <actual>.".
void require_rank(Tensor const& tensor, size_t rank, const char* name);
// Dimension `dim` of the tensor holds at least `needed` elements; otherwise std::invalid_argument
// "Tensor <name> has <n> elements along dimension <dim>, <needed> are needed.".
void require_dimension(Tensor const& tensor, size_t dim, uint64_t needed, const char* name);
// A one-dimensional tensor of at least `needed` elements.
void require_vector(Tensor const& tensor, uint64_t needed, const char* name);

}  // namespace nuvra
