// The answers of the back-end interfaces that a generation does not override, and the NP queries
// answered from what a generation says of a chunk and of a layer.
#include "program/backend.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <tuple>

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
}

// A checker of a generation with NPs that reports what the shared queries asked it.
class RecordingNpChecker final : public PassingChecks<NpCompatibilityChecker> {
public:
    using PassingChecks::PassingChecks;

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

class BareLayerRecorder final : public LayerRecorder {
public:
    using LayerRecorder::LayerRecorder;
    std::unique_ptr<program::Record> record_layer(LayerRecordArgs const&) const override { return nullptr; }
};

// Learning is refused with the generation's text, or the interface's.
TEST(BackendDefaults, LearningIsRefused) {
    std::shared_ptr<Layer> const layer = testing::FakeLayer::make("conv");
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
