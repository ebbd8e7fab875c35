#include "devices/mesh_discovery.h"

#include <limits>
#include <optional>
#include <stdexcept>

#include "engine/driver.h"
#include "engine/hardware_device.h"
#include "hw/presets.h"
#include "hw/register.h"

namespace nuvra {

namespace {

// Mesh-description words, as offsets from the top-level register base.
constexpr uint32_t MESH_SIZE = 0x50;     // rows, columns, first NP columns of rows 1 and 2
constexpr uint32_t DMA_POSITION = 0x54;  // NPs per position and the DMA position
constexpr uint32_t EXTRA_NP = 0x58;      // the extra NP position and the last row's last column
constexpr uint32_t SKIP_DMAS = 0x64;     // v2
constexpr uint32_t HRC_INFO = 0x68;      // v2
constexpr uint32_t SRAM_0 = 0x70;        // v2: input SRAM; wisp: STSRAM
constexpr uint32_t SRAM_1 = 0x74;        // v2: weight SRAM; wisp: FSRAM
constexpr uint32_t SRAM_2 = 0x78;        // wisp: TSRAM
constexpr uint32_t SRAM_3 = 0x7C;        // wisp: event SRAM

constexpr RegDetail ROWS{0, 8}, COLS{8, 8}, ROW1_FIRST_COL{16, 8}, ROW2_FIRST_COL{24, 8};
constexpr RegDetail NPS_PER_NODE{0, 3}, DMA_NODE_NO_NP{4, 1}, DMA_ROW{8, 8}, DMA_COL{16, 8}, DMA_CONF_ID{24, 2},
    DMA_EVENT_ID{28, 2};
constexpr RegDetail EXTRA_NP_ROW{0, 8}, EXTRA_NP_COL{8, 8}, LAST_ROW_COLS{24, 8};
constexpr RegDetail SKIPDMA_MASK{0, 16}, SKIPDMA_CHANNEL{24, 8};
constexpr RegDetail HRC_INSTALLED{4, 1}, HRC_HAS_LUT{6, 1};
constexpr RegDetail INPUT_SRAM_HALVES{0, 27};  // input SRAM in units of 2 bytes

// An NP's configuration word.
constexpr RegDetail FNP_KIND{4, 2}, CNP_KIND{6, 2}, NP_TNP_B{8, 1}, NP_TNP_R{9, 1}, NP_HAS_LUT{10, 1};

uint8_t field8(uint32_t word, RegDetail const& field) { return static_cast<uint8_t>(get_field(word, field)); }

class MeshRegisters {
public:
    explicit MeshRegisters(HardwareDevice& device) : driver_(device.driver()) {
        if (driver_ == nullptr) throw std::runtime_error("The device has no driver to read its mesh from.");
        base_ = driver_->top_level_reg_base();
    }
    uint32_t operator()(uint32_t offset) const {
        uint32_t word = 0;
        driver_->read(base_ + offset, &word, sizeof word);
        return word;
    }

private:
    HardwareDriver* driver_;
    uint32_t base_ = 0;
};

MeshInfo read_mesh_info(MeshRegisters const& reg, HwVersion version) {
    MeshInfo info;
    uint32_t const size = reg(MESH_SIZE);
    uint32_t const dma = reg(DMA_POSITION);
    uint32_t const extra = reg(EXTRA_NP);
    info.rows = field8(size, ROWS);
    info.cols = field8(size, COLS);
    info.row1_first_col = field8(size, ROW1_FIRST_COL);
    info.row2_first_col = field8(size, ROW2_FIRST_COL);
    info.nps_per_node = field8(dma, NPS_PER_NODE);
    info.dma_node_no_np = field8(dma, DMA_NODE_NO_NP);
    info.dma_row = field8(dma, DMA_ROW);
    info.dma_col = field8(dma, DMA_COL);
    info.dma_conf_id = field8(dma, DMA_CONF_ID);
    info.dma_event_id = field8(dma, DMA_EVENT_ID);
    info.extra_np_row = field8(extra, EXTRA_NP_ROW);
    info.extra_np_col = field8(extra, EXTRA_NP_COL);
    // Vexa_v2 does not report its last row: every column of it holds NPs.
    info.last_row_cols = version == hw::Vexa_v2 ? info.cols : field8(extra, LAST_ROW_COLS);

    switch (version.get_ip_version()) {
    case IpVersion::v2: {
        uint32_t const hrc = reg(HRC_INFO);
        info.hrc_installed = field8(hrc, HRC_INSTALLED);
        info.hrc_has_lut = field8(hrc, HRC_HAS_LUT);
        uint32_t const skip = reg(SKIP_DMAS);
        info.skipdma_mask = static_cast<uint16_t>(get_field(skip, SKIPDMA_MASK));
        info.skipdma_channel = field8(skip, SKIPDMA_CHANNEL);
        uint32_t const input = reg(SRAM_0);
        uint32_t const weight = reg(SRAM_1);
        reg(HRC_INFO);  // read once more, as the board expects; the value is not used
        if (input == 0 || weight == 0) throw std::runtime_error("The mesh has no SRAM.");
        info.sram.input_bytes = get_field(input, INPUT_SRAM_HALVES) * 2;
        // Weight SRAM is R74 x 100 / 16 bytes, counted in 64 bits: a large R74 must not wrap.
        uint64_t const weight_bytes = uint64_t{weight} * 100 >> 4;
        if (weight_bytes > std::numeric_limits<uint32_t>::max())
            throw std::runtime_error("The mesh reports an SRAM size that does not fit 32 bits.");
        info.sram.weight_bytes = static_cast<uint32_t>(weight_bytes);
        break;
    }
    case IpVersion::wisp:
        info.hrc_installed = 0;
        info.sram.stsram_32b_size = reg(SRAM_0);
        info.sram.fsram_64b_size = reg(SRAM_1);
        info.sram.tsram_51b_size = reg(SRAM_2);
        info.sram.evsram_32b_size = reg(SRAM_3);
        break;
    case IpVersion::v1:    // reports nothing more
    case IpVersion::none:  // refused once the words are read
        break;
    }
    return info;
}

// Whether position (column c, row r) holds NP id i.
bool holds_np(MeshInfo const& info, uint32_t c, uint32_t r, uint32_t i) {
    if (r == info.dma_row && c == info.dma_col)
        return !info.dma_node_no_np && i != info.dma_conf_id && i != info.dma_event_id;
    if (r == info.extra_np_row && c == info.extra_np_col) return true;
    auto const below = [c](uint8_t first) { return c < (first == 0 ? 1u : uint32_t{first}); };
    if (r == 1 && below(info.row1_first_col)) return false;
    if (r == 2 && below(info.row2_first_col)) return false;
    return !(r == info.rows && c > info.last_row_cols);
}

np::Info read_np(HardwareDevice& device, hw::Ident const& ident, bool v2) {
    uint32_t word = 0;
    device.read_np_registers(&word, ident, 1);
    np::Info np{ident, {}, get_field(word, NP_HAS_LUT) != 0};
    switch (get_field(word, FNP_KIND)) {
    case 2: np.types.insert(hw::Type::FNP2); break;
    case 3: np.types.insert(hw::Type::FNP3); break;
    }
    switch (get_field(word, CNP_KIND)) {
    case 1: np.types.insert(hw::Type::CNP1); break;
    case 2: np.types.insert({hw::Type::CNP1, hw::Type::CNP2}); break;
    }
    if (v2 && get_field(word, NP_TNP_B)) np.types.insert(hw::Type::TNP_B);
    if (v2 && get_field(word, NP_TNP_R)) np.types.insert(hw::Type::TNP_R);
    return np;
}

}  // namespace

std::vector<np::Info> add_nps(MeshInfo const& info, HardwareDevice* device) {
    if (device == nullptr) throw std::invalid_argument("Mesh discovery needs a hardware device.");
    bool const v2 = device->version().get_ip_version() == IpVersion::v2;
    std::vector<np::Info> nps;
    // Counters wider than the 8-bit counts, so that a count of 255 ends the loop.
    for (uint32_t c = 1; c <= info.cols; ++c)
        for (uint32_t r = 1; r <= info.rows; ++r)
            for (uint32_t i = 0; i < info.nps_per_node; ++i)
                if (holds_np(info, c, r, i))
                    nps.push_back(read_np(*device, {uint8_t(c), uint8_t(r), uint8_t(i), 0}, v2));
    return nps;
}

std::unique_ptr<Mesh> Mesh::discover(HardwareDevice* device) {
    if (device == nullptr) throw std::invalid_argument("Mesh discovery needs a hardware device.");
    HwVersion const version = device->version();
    MeshInfo const info = read_mesh_info(MeshRegisters(*device), version);

    hw::Ident const dma_conf{info.dma_col, info.dma_row, info.dma_conf_id, 0};
    hw::Ident const dma_event{info.dma_col, info.dma_row, info.dma_event_id, 0};
    std::optional<np::Info> hrc;
    if (info.hrc_installed) hrc = np::Info{{0, 0, 0, 0}, {hw::Type::HRC}, info.hrc_has_lut != 0};

    switch (version.get_ip_version()) {
    case IpVersion::wisp: {
        auto mesh = std::make_unique<Mesh>(IpVersion::wisp, dma_conf, dma_event, std::nullopt,
                                           std::vector<np::Info>{{{0, 0, 0, 0}, {hw::Type::TNP_R}, false}},
                                           std::vector<np::Info>{});
        mesh->np_sram_size = info.sram;
        return mesh;
    }
    case IpVersion::v2: {
        std::vector<np::Info> skip_dmas;
        for (uint8_t c = 1; c <= 15; ++c)
            if ((info.skipdma_mask >> c) & 1u)
                skip_dmas.push_back(
                    {{c, 1, 3, info.skipdma_channel}, {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, false});
        auto mesh = std::make_unique<Mesh>(IpVersion::v2, dma_conf, dma_event, hrc, add_nps(info, device),
                                           std::move(skip_dmas));
        mesh->np_sram_size.input_bytes = info.sram.input_bytes;
        mesh->np_sram_size.weight_bytes = info.sram.weight_bytes;
        return mesh;
    }
    case IpVersion::v1:
        return std::make_unique<Mesh>(IpVersion::v1, dma_conf, dma_event, hrc, add_nps(info, device),
                                      std::vector<np::Info>{});
    default: throw std::runtime_error("Unknown IP version.");
    }
}

}  // namespace nuvra
