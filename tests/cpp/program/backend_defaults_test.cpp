// The NP queries that the shared checker of the NP generations answers from what a generation
// says of a chunk and of a layer's FNP memory.
#include "program/backend.h"

#include <gtest/gtest.h>

#include <tuple>

#include "support/fake_device.h"
#include "support/fake_layer.h"

namespace nuvra {
namespace {

// A checker of a generation with NPs that passes every layer check and reports what the shared
// queries asked it.
class RecordingNpChecker final : public NpCompatibilityChecker {
public:
    using NpCompatibilityChecker::NpCompatibilityChecker;

    MappingStatus check_layer_compatibility(Layer const&, Layer const*, HwVersion) const override { return {}; }
    MappingStatus check_layer_sequence(LayerList::const_iterator, LayerList::const_iterator,
                                       HwVersion) const override {
        return {};
    }
    MappingStatus check_layer_mappings(Layer const&, std::vector<hw::Component> const&, bool) const override {
        return {};
    }

    mutable InputChunk chunk;
    mutable uint32_t buffer_words = 0;
    uint64_t fnp_words = 0;

private:
    bool input_fits(InputChunk const& asked, uint32_t words) const override {
        chunk = asked;
        buffer_words = words;
        return asked.height <= words;
    }
    uint64_t fnp_memory_words(Layer const&) const override { return fnp_words; }
};

// The two input queries hand the whole chunk over with their buffer's size; the FNP3 fit compares
// the generation's FNP memory with the FNP3's, an equal size fitting.
TEST(BackendDefaults, NpGenerationQueries) {
    auto const device = make_fake_device(HwVersion{});
    HardwareConstraints limits;
    limits.input_sram_single_buffer_words = 100;
    limits.input_sram_dual_buffer_words = 50;
    limits.fnp3_sram_words = 1000;
    RecordingNpChecker checker(*device, limits);

    EXPECT_TRUE(checker.is_sram_input_fit_single_buffer(hw::Type::TNP_B, 60, 2, 3, 4, 8, 7));
    EXPECT_EQ(checker.buffer_words, 100u);
    InputChunk const& c = checker.chunk;
    EXPECT_EQ(std::tuple(c.type, c.height, c.width, c.channels, c.fifo_size, c.bits, c.reserved),
              std::tuple(hw::Type::TNP_B, 60u, 2u, 3u, 4u, uint8_t{8}, 7u));
    EXPECT_FALSE(checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 60, 1, 1, 0, 4, 0));
    EXPECT_EQ(checker.buffer_words, 50u);
    EXPECT_EQ(checker.chunk.type, hw::Type::CNP1);

    auto const layer = testing::FakeLayer::make("fc");
    struct { uint64_t fnp_words; bool fits; } const rows[] = {{999, true}, {1000, true}, {1001, false}};
    for (auto const& row : rows) {
        checker.fnp_words = row.fnp_words;
        EXPECT_EQ(checker.is_fnp3_compatible(*layer), row.fits) << row.fnp_words;
    }
    // The FNP3 memory of the constraints it is given, not of its own.
    checker.fnp_words = 999;
    HardwareConstraints smaller = limits;
    smaller.fnp3_sram_words = 10;
    EXPECT_FALSE(checker.check_fnp3_sram_size(smaller, *layer));
}

}  // namespace
}  // namespace nuvra
