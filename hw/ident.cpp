#include "hw/ident.h"

#include "hw/format.h"

namespace nuvra {

std::string hw::to_string(Type type) {
    switch (type) {
    case Type::None: return "None";
    case Type::HRC: return "HRC";
    case Type::CNP1: return "CNP1";
    case Type::CNP2: return "CNP2";
    case Type::FNP2: return "FNP2";
    case Type::FNP3: return "FNP3";
    case Type::SKIP_DMA_STORE: return "SKIP_DMA_STORE";
    case Type::TNP_B: return "TNP_B";
    case Type::TNP_R: return "TNP_R";
    case Type::SKIP_DMA_LOAD: return "SKIP_DMA_LOAD";
    case Type::DMA: return "DMA";
    }
    return "Unknown";
}

char const* hw::description(Type type) {
    switch (type) {
    case Type::HRC: return "High Resolution Convolution";
    case Type::CNP1: return "Convolutional Neural Processor Type 1";
    case Type::CNP2: return "Convolutional Neural Processor Type 2";
    case Type::FNP2: return "FullyConnected Neural Processor (external memory)";
    case Type::FNP3: return "FullyConnected Neural Processor (internal memory)";
    case Type::TNP_B: return "Temporal Neural Processor Buffered";
    case Type::TNP_R: return "Temporal Neural Processor Recurrent";
    case Type::SKIP_DMA_STORE: return "Skip DMA store engine";
    case Type::SKIP_DMA_LOAD: return "Skip DMA load engine";
    case Type::None:
    case Type::DMA: return "";
    }
    return "";
}

std::string hw::to_string(Ident const& ident) { return format("({}, {}, {})", ident.col, ident.row, ident.id); }

bool hw::same_work(Component const& a, Component const& b) {
    if (a.type != b.type || a.ident != b.ident || a.np_part.has_value() != b.np_part.has_value()) return false;
    if (a.np_part) {
        NpPart const& x = *a.np_part;
        NpPart const& y = *b.np_part;
        if (x.start_neuron != y.start_neuron || x.filters != y.filters ||
            x.spatial_partition != y.spatial_partition || x.halo_partition != y.halo_partition)
            return false;
    }
    return a.mem_info == b.mem_info;
}

std::string HwVersion::to_string() const {
    return format("{}.{}.{}.{}.", vendor_id, product_id, major_rev, minor_rev);
}

hw::Product const* hw::find_product(uint8_t product_id) {
    for (Product const& product : products)
        if (product.id == product_id) return &product;
    return nullptr;
}

IpVersion ip_version_of_product(uint8_t product_id) {
    hw::Product const* product = hw::find_product(product_id);
    return product == nullptr ? IpVersion::none : product->ip;
}

IpVersion HwVersion::get_ip_version() const { return ip_version_of_product(product_id); }

std::string format_hw_version(HwVersion const& version) {
    return format("{:02X}.{:02X}.{:03}.{:03}", version.vendor_id, version.product_id, version.major_rev,
                  version.minor_rev);
}

}  // namespace nuvra
