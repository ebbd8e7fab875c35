// Value types at the very bottom of the tree: the dimensions of a tensor or a layer shape, and the
// padding around an input. No project header is included here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace nuvra {

// The largest number of elements a tensor or a layer shape may hold.
inline constexpr uint64_t max_shape_size = 4294967295u;

// Up to four unsigned 32-bit dimensions. A layer's shapes are (width, height, channels).
// No dimension is 0; a shape without dimensions holds one element.
class Shape {
public:
    static constexpr size_t max_rank = 4;

    Shape() = default;
    // Panics "Cannot have a shape with dimension %zu set to 0" (0-based index) on the first zero
    // dimension, and refuses more than four dimensions.
    Shape(std::initializer_list<uint32_t> dims);
    explicit Shape(std::vector<uint32_t> const& dims);

    // Number of dimensions.
    size_t rank() const { return rank_; }
    // Dimension i; an index at or past rank() panics.
    uint32_t operator[](size_t i) const;
    uint32_t const* begin() const { return dims_.data(); }
    uint32_t const* end() const { return dims_.data() + rank_; }
    std::vector<uint32_t> to_vector() const { return {begin(), end()}; }

    // Product of the dimensions (1 without dimensions), saturated at UINT64_MAX.
    uint64_t product() const;
    // The product, which must not exceed max_shape_size: above it, panics "Tensor shape size %lu
    // exceeds maximum shape size (%zu)" with the product and 4294967295.
    uint32_t checked_size() const;

    // Whether the two shapes are the same once their trailing dimensions of 1 are set aside, as
    // (3, 3, 4) and (3, 3, 4, 1): their elements then come in the same order in either layout.
    bool same_but_trailing_ones(Shape const& other) const;

    friend bool operator==(Shape const& a, Shape const& b) {
        if (a.rank_ != b.rank_) return false;
        for (size_t i = 0; i < a.rank_; ++i)
            if (a.dims_[i] != b.dims_[i]) return false;
        return true;
    }

private:
    void assign(uint32_t const* dims, size_t count);

    std::array<uint32_t, max_rank> dims_{};
    size_t rank_ = 0;
};

// Padding amounts around an input, in elements.
struct PaddingParams {
    uint32_t top = 0;
    uint32_t bottom = 0;
    uint32_t left = 0;
    uint32_t right = 0;

    friend bool operator==(PaddingParams const&, PaddingParams const&) = default;
};

}  // namespace nuvra
