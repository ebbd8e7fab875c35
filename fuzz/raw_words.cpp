// The parsers of raw 32-bit words: the DMA config header (read, and written back to the same
// words), register fields, and a mesh description read from a simulated board's registers.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

#include "engine/dma.h"
#include "engine/sim/board.h"
#include "fuzz_support.h"
#include "hw/mesh.h"
#include "hw/presets.h"
#include "hw/register.h"

using namespace nuvra;

namespace {

// A header that parses is written back to the very words it came from.
void dma_header_words(FuzzedDataProvider& in) {
    uint32_t const words[dma::header_words] = {in.ConsumeIntegral<uint32_t>(), in.ConsumeIntegral<uint32_t>()};
    dma::ConfigHeader header;
    if (fuzz::refused([&] { header = dma::parse_config_header(words); })) return;
    uint32_t written[dma::header_words] = {};
    dma::format_config_header(written, header.ident, header.target, header.size, header.address, header.xl);
    fuzz::require(written[0] == words[0] && written[1] == words[1], "a parsed DMA header writes back the same words");
}

// A header written from any values either is refused or parses back to those values.
void dma_header_values(FuzzedDataProvider& in) {
    dma::ConfigHeader header;
    header.ident = {in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>(),
                    in.ConsumeIntegral<uint8_t>()};
    header.target = static_cast<dma::Target>(in.ConsumeIntegral<uint8_t>());
    header.size = in.ConsumeIntegral<uint32_t>();
    header.address = in.ConsumeIntegral<uint16_t>();
    header.xl = in.ConsumeBool();
    uint32_t words[dma::header_words] = {0xDEADBEEF, 0xDEADBEEF};
    if (fuzz::refused([&] {
            dma::format_config_header(words, header.ident, header.target, header.size, header.address, header.xl);
        })) {
        fuzz::require(words[0] == 0xDEADBEEF && words[1] == 0xDEADBEEF, "a refused DMA header writes nothing");
        return;
    }
    dma::ConfigHeader const back = dma::parse_config_header(words);
    // The header stores the id, not the channel.
    fuzz::require(back.ident.col == header.ident.col && back.ident.row == header.ident.row &&
                      back.ident.channel == header.ident.channel && back.ident.id == header.ident.id &&
                      back.target == header.target && back.size == header.size && back.address == header.address &&
                      back.xl == header.xl,
                  "a written DMA header parses back to its values");
}

// A field write either is refused and leaves the word, or reads back and keeps the other bits.
void register_field(FuzzedDataProvider& in) {
    uint32_t const before = in.ConsumeIntegral<uint32_t>();
    RegDetail const field{in.ConsumeIntegralInRange<uint32_t>(0, 40), in.ConsumeIntegralInRange<uint32_t>(0, 40)};
    uint32_t const value = in.ConsumeIntegral<uint32_t>();
    uint32_t word = before;
    if (fuzz::refused([&] { set_field(&word, field, value); })) {
        fuzz::require(word == before, "a refused field write leaves the word");
        return;
    }
    fuzz::require(is_valid(field) && get_field(word, field) == value, "a written field reads back");
    uint32_t const mask = field.width == 32 ? 0xFFFFFFFFu : ((uint32_t{1} << field.width) - 1) << field.offset;
    fuzz::require((word & ~mask) == (before & ~mask), "a field write keeps the other bits");
}

// The mesh a board describes with arbitrary register words.
void mesh_registers(FuzzedDataProvider& in) {
    HwVersion const versions[] = {hw::Vexa_v1, hw::Vexa_v2, hw::Dorvel_v1, hw::Tolmar_v2, hw::Wisp_Tolmar};
    HwVersion const version = versions[in.ConsumeIntegralInRange<size_t>(0, std::size(versions) - 1)];
    std::map<uint32_t, uint32_t> words;
    for (uint32_t offset = 0x50; offset <= 0x7C; offset += 4) words[offset] = in.ConsumeIntegral<uint32_t>();
    // A mesh of at most 15 x 15 positions, so that the fuzzer spends its time on the word fields
    // rather than on walking the largest meshes (the unit tests walk a 255-column mesh once).
    words[0x50] &= 0xFFFF0F0Fu;
    auto board = std::make_shared<sim::Board>(sim::BoardSetup(version, "fuzzed", words, in.ConsumeIntegral<uint32_t>()));
    fuzz::refused([&] { Mesh::discover(board.get()); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    FuzzedDataProvider in(data, size);
    // One parser per input: a mesh of up to 255 x 255 positions takes far longer than a word.
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: dma_header_words(in); break;
    case 1: dma_header_values(in); break;
    case 2: register_field(in); break;
    default: mesh_registers(in);
    }
    return 0;
}
