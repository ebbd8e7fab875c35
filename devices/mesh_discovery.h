// Reading a device's mesh from its registers. The mesh-description words sit at the driver's
// top-level register base + 0x50 .. 0x7C (RN below is the word at base + 0xN); each NP position
// has one configuration word, read with the device's read_np_registers.
#pragma once

#include <cstdint>
#include <vector>

#include "hw/ident.h"
#include "hw/mesh.h"

namespace nuvra {

class HardwareDevice;

// The decoded mesh description.
struct MeshInfo {
    uint8_t rows = 0;            // R50[7:0]
    uint8_t cols = 0;            // R50[15:8]
    uint8_t nps_per_node = 0;    // R54[2:0]: NP ids 0 .. nps_per_node - 1 per position
    uint8_t dma_node_no_np = 0;  // R54[4]: the DMA position holds no NP
    uint8_t dma_row = 0;         // R54[15:8]
    uint8_t dma_col = 0;         // R54[23:16]
    uint8_t dma_conf_id = 0;     // R54[25:24]
    uint8_t dma_event_id = 0;    // R54[29:28]
    uint8_t row1_first_col = 0;  // R50[23:16]: first column of row 1 with NPs (0 counts as 1)
    uint8_t row2_first_col = 0;  // R50[31:24]: the same for row 2
    uint8_t extra_np_row = 0;    // R58[7:0]: a position that always holds NPs
    uint8_t extra_np_col = 0;    // R58[15:8]
    uint8_t last_row_cols = 0;   // R58[31:24] (the column count on Vexa_v2): last column of the last row with NPs
    uint8_t skipdma_channel = 0; // R64[31:24] (v2)
    uint16_t skipdma_mask = 0;   // R64[15:0] (v2): bit c, a skip DMA in column c
    uint8_t hrc_installed = 1;   // R68[4] on v2, 0 on wisp
    uint8_t hrc_has_lut = 0;     // R68[6] on v2
    SramSize sram = {};          // sizes read from R70 .. R7C
};

// The NPs of the mesh, column by column, row by row, id by id, with the types and look-up table of
// each position's configuration word; positions the description leaves empty are skipped.
std::vector<np::Info> add_nps(MeshInfo const& info, HardwareDevice* device);

}  // namespace nuvra
