#include "engine/ops_support.h"

namespace nuvra::ops::detail {

namespace {

// Element position (through the strides) of each row-major index, walked with a running
// coordinate so that the whole walk costs one pass.
template <class Visit>
void walk_offsets(Tensor const& tensor, Visit visit) {
    Shape const& shape = tensor.dimensions();
    Strides const& strides = tensor.strides();
    size_t const rank = shape.rank();
    size_t const count = tensor.size();
    std::vector<uint32_t> coord(rank, 0);
    uint64_t element = 0;
    for (size_t index = 0; index < count; ++index) {
        visit(index, element);
        for (size_t k = rank; k-- > 0;) {
            element += strides[k];
            if (++coord[k] < shape[k]) break;
            element -= uint64_t{strides[k]} * shape[k];
            coord[k] = 0;
        }
    }
}

}  // namespace

bool is_c_ordered(Tensor const& tensor) {
    return tensor.strides() == Dense::eval_strides(tensor.dimensions(), Layout::c_order);
}

void check_extent(Tensor const& tensor, size_t item, size_t buffer_bytes) {
    Shape const& shape = tensor.dimensions();
    Strides const& strides = tensor.strides();
    if (item == 0) throw std::invalid_argument(format("Unknown tensor type {}", static_cast<int32_t>(tensor.type())));
    if (strides.size() != shape.rank())
        throw std::invalid_argument(
            format("A tensor of {} dimensions has {} strides", shape.rank(), strides.size()));
    if (tensor.size() != shape.product())
        throw std::invalid_argument(
            format("A tensor of {} elements has a shape of {} elements", tensor.size(), shape.product()));
    uint64_t last = 0;
    for (size_t k = 0; k < shape.rank(); ++k) last += uint64_t{shape[k] - 1} * strides[k];
    if ((last + 1) * item > buffer_bytes)
        throw std::invalid_argument(format("Tensor elements reach byte {} of a buffer of {} bytes", (last + 1) * item,
                                           buffer_bytes));
}

std::vector<uint8_t> row_major_bytes(Tensor const& tensor) {
    size_t const item = Tensor::item_size(tensor.type());
    Buffer const buf = tensor.buffer();
    check_extent(tensor, item, buf.bytes);
    std::vector<uint8_t> out(tensor.size() * item);
    auto const* src = static_cast<uint8_t const*>(buf.data);
    if (is_c_ordered(tensor)) {
        if (!out.empty()) std::memcpy(out.data(), src, out.size());
        return out;
    }
    walk_offsets(tensor, [&](size_t index, uint64_t element) {
        std::memcpy(out.data() + index * item, src + element * item, item);
    });
    return out;
}

void write_row_major_bytes(Tensor& tensor, uint8_t const* bytes) {
    size_t const item = Tensor::item_size(tensor.type());
    MutableBuffer const buf = tensor.mutable_buffer();
    check_extent(tensor, item, buf.bytes);
    auto* dst = static_cast<uint8_t*>(buf.data);
    if (is_c_ordered(tensor)) {
        if (tensor.size() != 0) std::memcpy(dst, bytes, tensor.size() * item);
        return;
    }
    walk_offsets(tensor, [&](size_t index, uint64_t element) {
        std::memcpy(dst + element * item, bytes + index * item, item);
    });
}

int32_t const* int32_elements(Dense const& tensor) {
    if (tensor.type() != TensorType::int32 || !is_c_ordered(tensor))
        throw std::logic_error(format("Expected c-ordered int32 elements, not a {} tensor in layout {}",
                                      Tensor::type_name(tensor.type()), static_cast<int32_t>(tensor.layout())));
    return static_cast<int32_t const*>(tensor.buffer().data);
}

int32_t* int32_elements(Dense& tensor) {
    (void)int32_elements(static_cast<Dense const&>(tensor));  // the same checks
    return static_cast<int32_t*>(tensor.mutable_buffer().data);
}

void check_bits(char const* kernel, int bits, int max_bits) {
    if (bits < 1 || bits > max_bits)
        throw std::invalid_argument(format("{}: bit width must be between 1 and {} (got {})", kernel, max_bits, bits));
}

Shape ImageDims::shape(size_t out_x, size_t out_y, size_t out_channels) const {
    auto narrow = [](size_t v) {
        if (v == 0 || v > 0xFFFFFFFFu)
            throw std::invalid_argument(format("Image dimension {} is out of range (1 to 4294967295)", v));
        return static_cast<uint32_t>(v);
    };
    if (batched) return Shape{narrow(samples), narrow(out_x), narrow(out_y), narrow(out_channels)};
    return Shape{narrow(out_x), narrow(out_y), narrow(out_channels)};
}

ImageDims image_dims(Tensor const& tensor, char const* kernel, char const* what) {
    Shape const& s = tensor.dimensions();
    ImageDims d;
    if (s.rank() == 3) {
        d.x = s[0];
        d.y = s[1];
        d.channels = s[2];
    } else if (s.rank() == 4) {
        d.batched = true;
        d.samples = s[0];
        d.x = s[1];
        d.y = s[2];
        d.channels = s[3];
    } else {
        throw std::invalid_argument(format("{}: {} must have 3 dimensions (x, y, channels) or 4 (samples, x, y, "
                                           "channels), not {}",
                                           kernel, what, s.rank()));
    }
    return d;
}

void check_stride(char const* kernel, int stride_x, int stride_y) {
    if (stride_x < 1 || stride_y < 1)
        throw std::invalid_argument(format("{}: strides must be positive (got {} and {})", kernel, stride_x, stride_y));
}

void check_output(char const* kernel, uint32_t out_x, uint32_t out_y) {
    if (out_x == 0 || out_y == 0)
        throw std::invalid_argument(format("{}: output size must be positive (got {} x {})", kernel, out_x, out_y));
}

void check_padding(char const* kernel, int32_t a, int32_t b, int32_t c, int32_t d) {
    if (a < 0 || b < 0 || c < 0 || d < 0)
        throw std::invalid_argument(format("{}: padding must not be negative", kernel));
}

}  // namespace nuvra::ops::detail
