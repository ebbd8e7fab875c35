#include "hw/shape.h"

#include <algorithm>
#include <limits>
#include <span>

#include "hw/arith.h"
#include "hw/panic.h"

namespace nuvra {

namespace {

// Product of up to four 32-bit values, saturated at UINT64_MAX.
uint64_t saturating_product(uint32_t const* dims, size_t count) { return mul_sat(std::span(dims, count)); }

}  // namespace

Shape::Shape(std::initializer_list<uint32_t> dims) { assign(dims.begin(), dims.size()); }

Shape::Shape(std::vector<uint32_t> const& dims) { assign(dims.data(), dims.size()); }

void Shape::assign(uint32_t const* dims, size_t count) {
    if (count > max_rank) panic("Cannot have a shape with %zu dimensions (at most %zu)", count, max_rank);
    for (size_t i = 0; i < count; ++i) {
        if (dims[i] == 0) panic("Cannot have a shape with dimension %zu set to 0", i);
        dims_[i] = dims[i];
    }
    rank_ = count;
}

uint32_t Shape::operator[](size_t i) const {
    if (i >= rank_) panic("Shape dimension %zu is out of range (the shape has %zu dimensions)", i, rank_);
    return dims_[i];
}

bool Shape::same_but_trailing_ones(Shape const& other) const {
    size_t a = rank_, b = other.rank_;
    while (a > 0 && dims_[a - 1] == 1) --a;
    while (b > 0 && other.dims_[b - 1] == 1) --b;
    return a == b && std::equal(begin(), begin() + a, other.begin());
}

uint64_t Shape::product() const { return saturating_product(dims_.data(), rank_); }

uint32_t Shape::checked_size() const {
    uint64_t const product = this->product();
    if (product > max_shape_size)
        panic("Tensor shape size %lu exceeds maximum shape size (%zu)", static_cast<unsigned long>(product),
              static_cast<size_t>(max_shape_size));
    return static_cast<uint32_t>(product);
}

}  // namespace nuvra
