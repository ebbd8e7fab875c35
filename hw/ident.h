// Value types that name hardware: components of a mesh, their kinds, the share of a layer an NP
// computes, its memory use, and the chip version.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

#include "hw/shape.h"
#include "hw/types.h"

namespace nuvra {

namespace hw {

// One component of a mesh: column, row, index at that position, and channel (skip DMAs only).
// Ordered column first, then row, id and channel, so per-NP maps walk the mesh column by column.
struct Ident {
    uint8_t col = 0;
    uint8_t row = 0;
    uint8_t id = 0;
    uint8_t channel = 0;

    friend bool operator==(Ident const&, Ident const&) = default;
    friend std::strong_ordering operator<=>(Ident const&, Ident const&) = default;
    // Column, then row, id and channel (the order of every per-NP map).
    constexpr bool operator<(Ident const& other) const { return (*this <=> other) < 0; }
};

// Kinds of hardware component; the numbers travel between subsystems as plain integers.
enum class Type : uint8_t {
    None = 0,
    HRC = 1,             // high-resolution convolution input unit
    CNP1 = 2,            // convolutional NP, type 1
    CNP2 = 3,            // convolutional NP, type 2
    FNP2 = 4,            // fully-connected NP, weights in external memory
    FNP3 = 5,            // fully-connected NP, weights in its own memory
    SKIP_DMA_STORE = 6,  // skip-DMA store engine
    TNP_B = 7,           // temporal NP, buffered
    TNP_R = 8,           // temporal NP, recurrent
    SKIP_DMA_LOAD = 9,   // skip-DMA load engine
    DMA = 10,            // configuration or event DMA endpoint
};

// The name of a type; "Unknown" for a value outside the enumeration.
std::string to_string(Type type);
// What a type of NP or engine is, as Python describes it ("" for None, DMA and other values).
char const* description(Type type);

// "(col, row, id)": how Python prints an identifier; the channel is not shown.
std::string to_string(Ident const& ident);

}  // namespace hw

namespace np {

// What one mesh position offers.
struct Info {
    hw::Ident ident;
    std::set<hw::Type> types;
    bool has_lut = false;

    friend bool operator==(Info const&, Info const&) = default;
};

}  // namespace np

// The part of a layer's input handled by one NP: origin (x, y) and extent.
struct NpSpace {
    uint32_t x = 0;
    uint32_t y = 0;
    Shape shape;

    friend bool operator==(NpSpace const&, NpSpace const&) = default;
};

// Memory needs of one component.
struct MemoryInfo {
    uint32_t input_size = 0;       // bytes
    uint32_t weight_size = 0;      // bytes
    uint32_t external_size = 0;    // bytes, buffers outside the NP
    uint32_t stsram_32b_size = 0;  // 32-bit words of state SRAM
    uint32_t fsram_64b_size = 0;   // 64-bit words of FSRAM
    uint32_t tsram_51b_size = 0;   // 51-bit words of TSRAM
    uint32_t evsram_32b_size = 0;  // 32-bit words of event SRAM

    friend bool operator==(MemoryInfo const&, MemoryInfo const&) = default;
};

namespace hw {

// The share of a layer computed by one NP.
struct NpPart {
    uint32_t start_neuron = 0;  // first filter computed here
    uint32_t filters = 0;       // number of filters computed here
    NpSpace spatial_partition;  // input window of this NP
    NpSpace halo_partition;     // the window widened by the halo the NP reads as well
    bool single_buffer = false; // single input buffer (false: dual)

    friend bool operator==(NpPart const&, NpPart const&) = default;
};

// One hardware component given to a layer, or to one part of a split layer.
struct Component {
    Type type = Type::None;
    Ident ident;
    std::optional<NpPart> np_part;  // present only for an NP computing a share of the layer
    MemoryInfo mem_info;

    // Readers of the NP part: without one, 0 filters from neuron 0, an empty window, single buffer.
    uint32_t start_neuron() const { return np_part ? np_part->start_neuron : 0; }
    uint32_t filters() const { return np_part ? np_part->filters : 0; }
    NpSpace spatial_partition() const { return np_part ? np_part->spatial_partition : NpSpace{}; }
    NpSpace halo_partition() const { return np_part ? np_part->halo_partition : NpSpace{}; }
    bool single_buffer() const { return np_part ? np_part->single_buffer : true; }

    friend bool operator==(Component const&, Component const&) = default;
};

// Whether two components do the same work: as ==, but single or dual buffering is not compared.
bool same_work(Component const& a, Component const& b);

}  // namespace hw

// The version register of a chip; the product id selects the IP generation (hw::products).
struct HwVersion {
    uint8_t vendor_id = 0;
    uint8_t product_id = 0;
    uint8_t major_rev = 0;
    uint8_t minor_rev = 0;

    // "188.162.1.0.": each field in decimal, each followed by a dot.
    std::string to_string() const;
    IpVersion get_ip_version() const;

    friend bool operator==(HwVersion const&, HwVersion const&) = default;
};

namespace hw {

// One product of the accelerator family, named by the product id of its version register.
struct Product {
    uint8_t id = 0;
    IpVersion ip = IpVersion::none;  // the generation its chips implement
    bool multi_pass = false;         // it can cut a mapping into passes (partial reconfiguration)
};

// The product ids of the products the system knows.
inline constexpr uint8_t first_boards_product_id = 0x00;  // the first boards (Vexa_v1, Vexa_v2)
inline constexpr uint8_t v1_chip_product_id = 0xA1;       // the first-generation chips
inline constexpr uint8_t v2_chip_product_id = 0xA2;
inline constexpr uint8_t wisp_chip_product_id = 0xB1;

// Every product the system knows: the one list that gives a product id its generation.
inline constexpr Product products[] = {
    {.id = first_boards_product_id, .ip = IpVersion::v1, .multi_pass = false},
    {.id = v1_chip_product_id, .ip = IpVersion::v1, .multi_pass = true},
    {.id = v2_chip_product_id, .ip = IpVersion::v2, .multi_pass = true},
    {.id = wisp_chip_product_id, .ip = IpVersion::wisp, .multi_pass = true},
};

// The entry of `product_id` in `products`; null for a product the system does not know.
Product const* find_product(uint8_t product_id);

}  // namespace hw

// The generation of a product id in hw::products; none for a product not listed there.
IpVersion ip_version_of_product(uint8_t product_id);

// "BC.A2.001.000": vendor and product in upper-case hexadecimal, the revisions in three decimals.
std::string format_hw_version(HwVersion const& version);

}  // namespace nuvra
