// Skip-DMA programming of a second-generation layer: the store engine that writes a layer's output
// (a skip connection, a dual output, or a TNP-B frame buffer) to external memory, and the load
// engine that reads it back for the merging layer. Each engine is configured by blocks of words
// sent with dma::Target::SkipDma to the engine's own ident, one block per DMA address, in
// ascending address order.
//
// A per-channel block sits at (engine channel << 8) + offset; an address that does not fit the
// 16-bit DMA address (channels 0xF0 and above for the 0x10xx offsets) fails through panic with
// "Attempted to write value V into a 16-bit field, which will cause an overflow." instead of
// wrapping onto another channel's blocks.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "engine/layer.h"
#include "hw/ident.h"
#include "mapping/layer_mapping.h"
#include "program/record.h"

namespace nuvra::v2 {

// Blocks of one skip-DMA engine: DMA address -> words. The first value given for an address is
// kept; the blocks are recorded in ascending address order.
using SkipDmaRegisters = std::map<uint16_t, std::vector<uint32_t>>;

// Fixed blocks of the skip-DMA engines.
namespace skipdma {
inline constexpr uint16_t COMMON_ADDRESS = 0x1001;        // the engine's common block: {0}
inline constexpr uint32_t LOAD_MODE_OFFSET = 0x3;         // load mode, FIFO length of a TNP-B
inline constexpr uint32_t LOAD_FIFO_OFFSET = 0x28;        // load without frame buffer: {2}
inline constexpr uint32_t LOAD_NPS_OFFSET = 0x1004;       // NP range, source and store channel
inline constexpr uint32_t LOAD_DEPTH_GAP_OFFSET = 0x102B; // layers (or frames) between store and load
inline constexpr uint32_t STORE_BURST_OFFSET = 0x1C;      // {0x20}
inline constexpr uint32_t STORE_REPEAT_OFFSET = 0x22;     // {2, repeat}
inline constexpr uint32_t STORE_SIZE_OFFSET = 0x3C;       // FIFO length, line words, frame words
inline constexpr uint32_t STORE_ROUTE_NPS_OFFSET = 0x1024;// NP range of a store routed to NPs
inline constexpr uint32_t STORE_MODE_OFFSET = 0x1026;     // routing on, count

inline constexpr uint32_t LOAD_PLAIN_FIFO_WORD = 0x2;
inline constexpr uint32_t LOAD_PLAIN_MODE_WORD = 0x20002;
inline constexpr uint32_t LOAD_BUFFERED_MODE = 0x2;       // low half of the TNP-B load mode word
inline constexpr uint32_t FRAME_BUFFER_WORD = 0x83000601; // sent twice to a TNP-B's load engine
inline constexpr uint32_t STORE_BURST_WORD = 0x20;
inline constexpr uint32_t STORE_REPEAT_FIRST_WORD = 2;
inline constexpr uint32_t STORE_PLAIN_REPEAT = 2;
}  // namespace skipdma

// The address of the per-channel block at `offset` of an engine on `channel`; above 16 bits it
// fails through panic (16-bit overflow message).
uint16_t skipdma_address(uint8_t channel, uint32_t offset);

// The NP range word of the NPs a skip DMA serves. One NP: bits 0-3 = 2, bits 4-7 its one-hot id,
// bits 16-23 its row, bits 24-31 its column. Several: bits 0-3 = 1, bits 16-23 and 24-31 the
// lowest and highest column (skip-DMA engines in the list count like NPs). A list without any
// component carrying an NP part is std::invalid_argument "Merging layer has no CNPs.".
uint32_t skipdma_np_range_word(std::vector<hw::Component> const& nps);

// The load blocks: the common block, the NP range / source / store channel block, and the depth
// gap (at most 4095). `source` must fit 8 bits.
void format_skipdma_load_registers(SkipDmaRegisters* out, uint8_t channel, uint8_t store_channel,
                                   uint32_t source, std::vector<hw::Component> const& nps,
                                   uint32_t depth_gap);

// The store blocks that depend on routing: the common block, the mode block (bits 0-7 = 1 when
// `buffered` or `route_to_nps`, bits 8-15 = `count`, below 256) and, when `route_to_nps`, the NP
// range of `nps`.
void format_skipdma_store_registers(SkipDmaRegisters* out, uint8_t channel, uint32_t count,
                                    bool route_to_nps, bool buffered, std::vector<hw::Component> const& nps);

// Records the blocks of the layer's plain store (or, with `dual_output`, of the store carrying its
// second output). `buffered` marks a TNP-B frame buffer of `fifo_size` frames. A layer without
// that store is std::runtime_error "Skip DMA store should not be null.".
void record_skipdma_store(program::Record* record, Layer const& layer, bool dual_output, bool buffered,
                          uint32_t fifo_size);

// Records every skip-DMA block of the layer: the frame-buffer words of a TNP-B layer, its plain
// store, its dual-output store and its load, in that order. A layer without skip DMAs leaves the
// record unchanged. Tracks added before a failure stay in the record; the caller drops it.
void record_skipdma(program::Record* record, Layer const& layer);

}  // namespace nuvra::v2
