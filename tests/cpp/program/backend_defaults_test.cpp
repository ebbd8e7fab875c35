// The answers of the back-end interfaces that a generation does not override.
#include "program/backend.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>
#include <utility>

#include "program/record.h"
#include "support/error_text.h"
#include "support/fake_device.h"
#include "support/fake_layer.h"

namespace nuvra {
namespace {

using testing::error_text;

// A checker on `Base` that passes every layer check, the questions every generation must answer.
template <class Base>
class PassingChecks : public Base {
public:
    using Base::Base;

    MappingStatus check_layer_compatibility(Layer const&, Layer const*, HwVersion) const override { return {}; }
    MappingStatus check_layer_sequence(LayerList::const_iterator, LayerList::const_iterator,
                                       HwVersion) const override {
        return {};
    }
    MappingStatus check_layer_mappings(Layer const&, std::vector<hw::Component> const&, bool) const override {
        return {};
    }
};
using BareChecker = PassingChecks<CompatibilityChecker>;

// The texts of the five NP queries: a generation's own, or the interface's when it gives none.
TEST(BackendDefaults, NpQueriesAreRefusedWithTheGenerationsTexts) {
    auto const device = make_fake_device(HwVersion{});
    HardwareConstraints const limits;
    auto const layer = testing::FakeLayer::make("conv");
    layer->set_params(LayerType::Conv2D);
    NpQueryRefusals const own{.single_buffer = "a", .dual_buffer = "b", .weights = "c", .split = "d", .fnp3 = "e"};
    BareChecker const plain(*device, limits);
    BareChecker const texts(*device, limits, own);

    using Query = std::function<void(CompatibilityChecker const&)>;
    struct { Query query; std::string plain, own; } const rows[] = {
        {[](auto const& c) { c.is_sram_input_fit_single_buffer(hw::Type::CNP1, 1, 1, 1, 0, 8, 0); },
         "No single buffer mode on this generation.", "a"},
        {[](auto const& c) { c.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 1, 1, 1, 0, 8, 0); },
         "No dual buffer mode on this generation.", "b"},
        {[&](auto const& c) { c.is_weights_size_fit_np(*layer, 1); }, "No NP on this generation.", "c"},
        {[&](auto const& c) { c.np_split_params(hw::Type::CNP1, *layer->params()); },
         "No NP to split on this generation.", "d"},
        {[&](auto const& c) { c.is_fnp3_compatible(*layer); }, "No FNP3 on this generation.", "e"},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(error_text<std::runtime_error>([&] { row.query(plain); }), row.plain);
        EXPECT_EQ(error_text<std::runtime_error>([&] { row.query(texts); }), row.own);
    }
    // No input words kept aside unless a generation keeps some.
    EXPECT_EQ(plain.reserved_input_words(*layer), 0u);
}

// A checker of a generation with NPs that reports what the shared queries asked it.
class RecordingNpChecker final : public PassingChecks<NpCompatibilityChecker> {
public:
    using PassingChecks::PassingChecks;

    bool is_weights_size_fit_np(Layer const&, uint32_t) const override { return true; }
    NpSplitParams np_split_params(hw::Type, LayerParams const&) const override { return {}; }

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
        HardwareConstraints smaller = limits;
        smaller.fnp3_sram_words = 10;
        EXPECT_FALSE(checker.check_fnp3_sram_size(smaller, *layer)) << row.fnp_words;
    }
}

// A sizer that sizes only the three memories of the NP generations: the TNP-R memories keep 0.
class BareSizer final : public MemorySizer {
public:
    uint32_t get_input_memory_size(std::shared_ptr<Layer> const&, hw::Component const&,
                                   std::shared_ptr<Layer> const&) const override {
        return 1;
    }
    uint32_t get_weight_memory_size(std::shared_ptr<Layer> const&, hw::Component const&) const override { return 2; }
    uint32_t get_external_memory_size(std::shared_ptr<Layer> const&, hw::Component const&,
                                      ExternalMemoryArgs const&) const override {
        return 3;
    }
};

class BareIo final : public IoRecorder {
public:
    std::unique_ptr<program::Record> record_scc(SccFlags const&, Shape, Shape) const override { return nullptr; }
};

// A sizer of a generation without any of the memories.
class NoMemories final : public MemorySizer {};

class BareLayerRecorder final : public LayerRecorder {
public:
    using LayerRecorder::LayerRecorder;
    std::unique_ptr<program::Record> record_layer(LayerRecordArgs const&) const override { return nullptr; }
};

// The memories, the IO types, the EPG writes, the FNP row padding and the skip-DMA descriptors:
// nothing unless a generation says otherwise.
TEST(BackendDefaults, AnswersOfAGenerationWithoutThoseParts) {
    std::shared_ptr<Layer> const layer = testing::FakeLayer::make("conv");
    MemoryInfo expected;
    expected.input_size = 1;
    expected.weight_size = 2;
    expected.external_size = 3;
    EXPECT_EQ(BareSizer().get_memory_info(layer, hw::Component{}, layer, {}), expected);
    EXPECT_EQ(NoMemories().get_memory_info(layer, hw::Component{}, layer, {}), MemoryInfo{});

    EXPECT_EQ(BareIo().get_input_type(*layer), 0);
    EXPECT_EQ(BareIo().get_output_type(*layer, 2), 0);
    EXPECT_TRUE(BareIo().record_epg({.first = *layer}).empty());
    EXPECT_FALSE(BareLayerRecorder().records_fnp_padding(*layer));
    EXPECT_FALSE(BareLayerRecorder().fnp_input_rows_padded(*layer));
    EXPECT_EQ(BareLayerRecorder().skip_dma_descriptors(), SkipDmaDescriptors{});

    // Learning is refused with the generation's text, or the interface's.
    struct { BareLayerRecorder recorder; std::string text; } const rows[] = {
        {BareLayerRecorder(), "Learning not implemented on this generation."},
        {BareLayerRecorder("No learning here."), "No learning here."},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(error_text<std::runtime_error>([&] { row.recorder.record_learning_layer(*layer, true); }), row.text);
        EXPECT_EQ(error_text<std::runtime_error>([&] { row.recorder.sync_learning_vars(layer); }), row.text);
    }
}

}  // namespace
}  // namespace nuvra
