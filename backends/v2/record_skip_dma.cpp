#include "backends/v2/record_skip_dma.h"

#include <algorithm>
#include <span>
#include <stdexcept>

#include "backends/v2/np_registers.h"
#include "backends/v2/registers.h"
#include "backends/v2/routing.h"
#include "hw/format.h"
#include "hw/register.h"

namespace nuvra::v2 {

namespace {

using namespace skipdma;

// The widths a value is checked against before it is used: the DMA address of a block, and the
// bits of one stored line plus 31 (before they are divided into words).
constexpr uint32_t dma_address_bits = 16;
constexpr uint32_t store_line_bits_width = 15;

void add_block(SkipDmaRegisters* out, uint16_t address, std::vector<uint32_t> words) {
    out->emplace(address, std::move(words));
}

void record_blocks(program::Record* record, hw::Ident const& ident, SkipDmaRegisters const& blocks) {
    for (auto const& [address, words] : blocks)
        record->add_np_track(ident, dma::Target::SkipDma, address, words);
}

SkipDmaStoreInfo const& store_info(Layer const& layer, LayerMapping const& mapping) {
    if (!mapping.skipdma_store_info)
        throw std::runtime_error(
            format("The skip DMA store of layer {} has no channel information.", layer.get_name()));
    return *mapping.skipdma_store_info;
}

SkipDmaLoadInfo const& load_info(Layer const& layer, LayerMapping const& mapping) {
    if (!mapping.skipdma_load_info)
        throw std::runtime_error(
            format("The skip DMA load of layer {} has no channel information.", layer.get_name()));
    return *mapping.skipdma_load_info;
}

// The first three dimensions (width, height, channels) of a layer shape.
struct Extent {
    uint64_t d0, d1, d2;
};

Extent extent_of(Shape const& shape) { return {shape[0], shape[1], shape[2]}; }

void require(bool present, const char* message) {
    if (!present) throw std::runtime_error(message);
}

}  // namespace

uint16_t skipdma_address(uint8_t channel, uint32_t offset) {
    return static_cast<uint16_t>(fitting_value(dma_address_bits, (uint64_t{channel} << 8) + offset));
}

uint32_t skipdma_np_range_word(std::vector<hw::Component> const& nps) {
    // The skip-DMA engines of a frame buffer join the span of the NPs they serve; a list without
    // any NP has nothing to serve.
    bool const has_np = std::any_of(nps.begin(), nps.end(), [](hw::Component const& c) { return c.np_part.has_value(); });
    if (!has_np) throw std::invalid_argument("Merging layer has no CNPs.");

    uint32_t word = 0;
    std::span<uint32_t> const range(&word, 1);
    if (nps.size() == 1) {
        hw::Ident const& np = nps.front().ident;
        set(range, SKIPDMA_RANGE_MODE, SKIPDMA_RANGE_ONE_NP);
        set(range, SKIPDMA_RANGE_SELECT, np_select(np.id));
        set(range, SKIPDMA_RANGE_LOW, np.row);
        set(range, SKIPDMA_RANGE_HIGH, np.col);
        return word;
    }
    auto const [low, high] = std::minmax_element(
        nps.begin(), nps.end(), [](hw::Component const& a, hw::Component const& b) { return a.ident.col < b.ident.col; });
    set(range, SKIPDMA_RANGE_MODE, SKIPDMA_RANGE_SPAN);
    set(range, SKIPDMA_RANGE_LOW, low->ident.col);
    set(range, SKIPDMA_RANGE_HIGH, high->ident.col);
    return word;
}

void format_skipdma_load_registers(SkipDmaRegisters* out, uint8_t channel, uint8_t store_channel,
                                   uint32_t source, std::vector<hw::Component> const& nps,
                                   uint32_t depth_gap) {
    if (out == nullptr) throw std::invalid_argument("No skip-DMA block map to fill.");
    add_block(out, COMMON_ADDRESS, {0});

    std::vector<uint32_t> np_block(SKIPDMA_LOAD_NPS_WORDS, 0);
    np_block[0] = skipdma_np_range_word(nps);
    set(np_block, SKIPDMA_LOAD_SOURCE, source);
    set(np_block, SKIPDMA_LOAD_ON, 1);
    set(np_block, SKIPDMA_LOAD_STORE_CHANNEL, store_channel);
    set(np_block, SKIPDMA_LOAD_SOURCE_A, source);
    set(np_block, SKIPDMA_LOAD_SOURCE_B, source);
    add_block(out, skipdma_address(channel, LOAD_NPS_OFFSET), std::move(np_block));

    std::vector<uint32_t> gap(1, 0);
    set(gap, SKIPDMA_LOAD_DEPTH_GAP, depth_gap);
    add_block(out, skipdma_address(channel, LOAD_DEPTH_GAP_OFFSET), std::move(gap));
}

void format_skipdma_store_registers(SkipDmaRegisters* out, uint8_t channel, uint32_t count,
                                    bool route_to_nps, bool buffered, std::vector<hw::Component> const& nps) {
    if (out == nullptr) throw std::invalid_argument("No skip-DMA block map to fill.");
    add_block(out, COMMON_ADDRESS, {0});

    std::vector<uint32_t> mode(1, 0);
    set_flag(mode, SKIPDMA_STORE_ROUTED, buffered || route_to_nps);
    set(mode, SKIPDMA_STORE_COUNT, count);
    add_block(out, skipdma_address(channel, STORE_MODE_OFFSET), std::move(mode));

    if (route_to_nps) add_block(out, skipdma_address(channel, STORE_ROUTE_NPS_OFFSET), {skipdma_np_range_word(nps)});
}

void record_skipdma_store(program::Record* record, Layer const& layer, bool dual_output, bool buffered,
                          uint32_t fifo_size) {
    if (record == nullptr) throw std::invalid_argument("No record to add the skip-DMA tracks to.");
    LayerMapping const& mapping = recorded_layer_mapping(layer);
    hw::Component const* store = dual_output ? mapping.skipdma_store_dual_output() : mapping.skipdma_store();
    require(store != nullptr, "Skip DMA store should not be null.");
    uint8_t const channel = store->ident.channel;

    // What the store counts, whether it also routes to NPs, and the NPs it serves. A buffered
    // store serves the NPs that feed the layer; its count is the index of the layer before it
    // (an index of 0 gives 4294967295, which the count field refuses).
    uint32_t count = 0;
    bool route_to_nps = false;
    std::vector<hw::Component> nps = buffered ? routing_sources(mapping) : mapping.mapped_components();
    if (buffered) count = uint32_t{mapping.index} - 1;
    if (!dual_output) {
        SkipDmaStoreInfo const& info = store_info(layer, mapping);
        route_to_nps = info.store_flag != 0;
        if (!buffered) count = info.delay;
    } else if (!buffered) {
        // A dual-output store exists only with the merge record that describes it.
        count = mapping.merge_info->dual_output_target;
    }

    SkipDmaRegisters blocks;
    format_skipdma_store_registers(&blocks, channel, count, route_to_nps, buffered, nps);

    // The stored data: the layer's input for a dual output or a frame buffer, else its output.
    uint64_t bits = 0;
    Extent size{};
    if (dual_output || buffered) {
        bits = layer.input_bits();
        size = extent_of(layer.first_input());
    } else {
        bits = layer.output_bits();
        size = extent_of(layer.output_dimensions());
    }
    uint64_t const repeat = buffered ? uint64_t{fifo_size} + 1 : STORE_PLAIN_REPEAT;
    std::vector<uint32_t> repeat_block(SKIPDMA_STORE_REPEAT_WORDS, 0);
    repeat_block[0] = STORE_REPEAT_FIRST_WORD;
    set(repeat_block, SKIPDMA_STORE_REPEAT, repeat);
    add_block(&blocks, skipdma_address(channel, STORE_REPEAT_OFFSET), std::move(repeat_block));
    add_block(&blocks, skipdma_address(channel, STORE_BURST_OFFSET), {STORE_BURST_WORD});

    // A frame buffer stores one line per pixel (all channels); other stores one line per row.
    std::vector<uint32_t> sizes(SKIPDMA_STORE_SIZE_WORDS, 0);
    set(sizes, SKIPDMA_STORE_FIFO_SIZE, fifo_size);
    set(sizes, SKIPDMA_STORE_SIZE_CLEAR_28, 0);
    uint64_t const line_bits = bits * (buffered ? size.d2 : size.d0) + 31;
    uint64_t const line_words = fitting_value(store_line_bits_width, line_bits) / 32;
    set(sizes, SKIPDMA_STORE_LINE_WORDS, line_words);
    set(sizes, SKIPDMA_STORE_FRAME_WORDS, line_words * (buffered ? size.d0 : size.d1));
    add_block(&blocks, skipdma_address(channel, STORE_SIZE_OFFSET), std::move(sizes));

    record_blocks(record, store->ident, blocks);
}

void record_skipdma(program::Record* record, Layer const& layer) {
    if (record == nullptr) throw std::invalid_argument("No record to add the skip-DMA tracks to.");
    LayerMapping const& mapping = recorded_layer_mapping(layer);

    // A TNP-B layer keeps its last frames in external memory, through its own store and load.
    bool const buffered = layer.is_target_component(ComponentKind::TNP_B);
    uint32_t fifo_size = 0;
    if (buffered && layer.required_params().has("fifo_size"))
        fifo_size = static_cast<uint32_t>(layer.required_params().get("fifo_size"));

    hw::Component const* load = mapping.skipdma_load();
    if (buffered) {
        require(load != nullptr, "Skip DMA load should not be null.");
        uint16_t const address = skipdma_address(load->ident.channel, 0);
        record->add_np_track(load->ident, dma::Target::SkipDma, address, {FRAME_BUFFER_WORD});
        record->add_np_track(load->ident, dma::Target::SkipDma, address, {FRAME_BUFFER_WORD});
    }

    if (mapping.skipdma_store() != nullptr) record_skipdma_store(record, layer, false, buffered, fifo_size);
    if (mapping.skipdma_store_dual_output() != nullptr) record_skipdma_store(record, layer, true, buffered, fifo_size);

    if (load == nullptr) return;
    uint8_t const channel = load->ident.channel;
    SkipDmaLoadInfo const& info = load_info(layer, mapping);
    // The merge reads the channel of its skip input; any other load reads the layer's own.
    uint32_t const source = mapping.merge_info ? mapping.merge_info->channel : uint32_t{mapping.index};

    SkipDmaRegisters blocks;
    format_skipdma_load_registers(&blocks, channel, info.store_channel, source, mapping.mapped_components(), info.delay);
    if (!buffered) {
        add_block(&blocks, skipdma_address(channel, LOAD_FIFO_OFFSET), {LOAD_PLAIN_FIFO_WORD});
        add_block(&blocks, skipdma_address(channel, LOAD_MODE_OFFSET), {LOAD_PLAIN_MODE_WORD});
    } else {
        std::vector<uint32_t> mode(1, LOAD_BUFFERED_MODE);
        set(mode, SKIPDMA_LOAD_FIFO_SIZE, fifo_size);
        add_block(&blocks, skipdma_address(channel, LOAD_MODE_OFFSET), std::move(mode));
    }
    record_blocks(record, load->ident, blocks);
}

}  // namespace nuvra::v2
