// The serializer writes program_data straight into the page region the program keeps: its bytes
// must be those a plain FlatBufferBuilder gives for the same records, whatever the stale content
// of reused pages, and the program must reach the sequence without a copy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "mapping/hardware_sequence.h"
#include "mapping/layer_mapping.h"
#include "program/serializer.h"
#include "program/serializer_buffer.h"
#include "support/fake_layer.h"
#include "support/recorder_doubles.h"

namespace nuvra {
namespace {

using testing::FakeLayer;

// A scripted sequence: per pass, the word counts of the blocks of each record (one track per
// block list, so a block that needs XL opens a track of its own), whether the record has an FNP2
// filters track, and where a learning layer sits.
struct Script {
    char const* name;
    unsigned seed;
    std::vector<std::vector<std::vector<uint32_t>>> passes;  // pass -> record -> block sizes
    int learning_pass = -1;                                  // the pass holding the learning layer
    size_t learning_at = 0;                                  // records of that pass before it
    uint32_t fnp2_words = 0;                                 // > 0: every third record has an FNP2 track
    bool dummy_header = false;
};

std::unique_ptr<program::Record> make_record(std::mt19937& random, std::vector<uint32_t> const& blocks, bool fnp2,
                                             uint32_t fnp2_words) {
    auto const random_words = [&random](uint32_t count) {
        std::vector<uint32_t> words(count);
        for (uint32_t& word : words) word = uint32_t(random());
        return words;
    };
    auto record = program::new_record(HwVersion{});
    for (uint32_t words : blocks)
        record->add_np_track(hw::Ident{uint8_t(random() % 8), 0, uint8_t(random() % 4), 0}, dma::Target::Weights, 0,
                             random_words(words));
    if (fnp2) record->add_fnp2_filters_track(hw::Ident{1, 2, 3, 0}, random_words(fnp2_words));
    return record;
}

// The record in `builder`, written with the generated Create functions.
flatbuffers::Offset<fb::Record> reference_record(flatbuffers::FlatBufferBuilder& builder,
                                                 program::Record const& record) {
    std::vector<flatbuffers::Offset<fb::NpTrack>> tracks;
    for (program::NpTrack const& track : record.tracks)
        tracks.push_back(fb::CreateNpTrack(builder, builder.CreateVector(track.words())));
    flatbuffers::Offset<fb::Fnp2FiltersTrack> filters;
    if (record.fnp2_filters_track) {
        auto const& t = *record.fnp2_filters_track;
        fb::Ident const ident(t.ident.col, t.ident.row, t.ident.id);
        auto const words = builder.CreateVector(t.words);
        filters = fb::CreateFnp2FiltersTrack(builder, &ident, words);
    }
    auto const vector = builder.CreateVector(tracks);
    return fb::CreateRecord(builder, vector, filters);
}

// Each script through a SequenceSerializer and, beside it, program_data built the plain way: a heap
// FlatBufferBuilder from 1 KiB, fed the same records in the same order.
TEST(SerializerInPlace, ProgramDataMatchesAPlainBuilder) {
    Script const scripts[] = {
        {"no record at all", 1, {{}}},
        {"empty tracks and one-word blocks", 2, {{{0}, {1}, {0, 1, 0}}}},
        {"odd and even lengths, an XL block (17 words), three passes", 3,
         {{{2, 17, 3}, {5}}, {{16}, {1, 1, 1}}, {{33}}}, -1, 0, 0, true},
        {"learning layer between the records of the second pass", 4, {{{4}}, {{6}, {7}}}, 1, 1},
        {"learning layer first, FNP2 filters tracks", 5, {{{3}, {3}, {3}, {3}}}, 0, 0, 11},
        {"blocks at the XL bound (4095, 4096 words) and tracks nearly full (65520 words)", 6,
         {{{4095, 4096}, {65520}, {65520, 1}}}},
        {"a program of many huge pages (about 12 MB)", 7, {std::vector<std::vector<uint32_t>>(48, {60000}), {{1}}},
         0, 20, 5, true},
        {"a small program after a large one: the reused pages hold stale bytes", 8, {{{9, 10}}}},
    };
    for (Script const& script : scripts) {
        SCOPED_TRACE(script.name);
        std::mt19937 serializer_random(script.seed), reference_random(script.seed);
        testing::LayerRecorderDouble layers;
        testing::IoRecorderDouble io;
        auto layer = FakeLayer::make("l");
        auto learner = FakeLayer::make("learn");
        auto mapping = std::make_shared<LayerMapping>(0);
        mapping->components = std::make_shared<LayerMapping::ComponentList>(
            LayerMapping::ComponentList{hw::Component{hw::Type::FNP3, hw::Ident{2, 1, 0, 0}, {}, {}}});
        learner->set_mapping(mapping);
        auto learning_records = [&](std::mt19937& random) {
            return program::LearnRecordsPtr{make_record(random, {3}, false, 0), make_record(random, {5, 40}, false, 0),
                                            make_record(random, {7}, true, 9), 77};
        };
        layers.on_learning = [&](Layer const&, bool) { return learning_records(serializer_random); };

        SequenceSerializer serializer(layers, io);
        serializer.serialize_version(HwVersion{0xBC, 0xA2, 1, 0});
        flatbuffers::FlatBufferBuilder builder(1024);
        std::vector<flatbuffers::Offset<fb::Pass>> passes;
        flatbuffers::Offset<fb::LearningRecords> learning;
        program::ProgramHeader header;
        size_t count = 0;
        for (size_t p = 0; p < script.passes.size(); ++p) {
            std::vector<flatbuffers::Offset<fb::Record>> records;
            auto const& pass = script.passes[p];
            for (size_t r = 0; r <= pass.size(); ++r) {
                if (int(p) == script.learning_pass && r == script.learning_at) {
                    serializer.serialize_learning_layer_program(*learner, false);
                    program::LearnRecordsPtr const l = learning_records(reference_random);
                    auto const first = reference_record(builder, *l.first);
                    auto const second = reference_record(builder, *l.second);
                    fb::Ident const ident(2, 1, 0);
                    learning = fb::CreateLearningRecords(builder, &ident, first, second,
                                                         reference_record(builder, *l.third), l.value);
                }
                if (r == pass.size()) break;
                bool const fnp2 = script.fnp2_words > 0 && count++ % 3 == 0;
                layers.on_record = [&](Layer const&) {
                    return make_record(serializer_random, pass[r], fnp2, script.fnp2_words);
                };
                serializer.serialize_layer_program({.layer = *layer, .sequence_first = *layer, .skipped_nps = {}});
                auto const record = make_record(reference_random, pass[r], fnp2, script.fnp2_words);
                records.push_back(reference_record(builder, *record));
            }
            serializer.finalize_pass();
            passes.push_back(fb::CreatePass(builder, builder.CreateVector(records)));
            header.passes.emplace_back();
        }
        serializer.record_dummy_desc_hdr(script.dummy_header);
        uint64_t const dummy =
            script.dummy_header ? format_config_header_fb(hw::Ident{}, dma::Target::HrcConfig, 1, 0) : 0;
        fb::DescHeader const desc(uint32_t(dummy), uint32_t(dummy >> 32));
        auto const pass_vector = builder.CreateVector(passes);
        builder.FinishSizePrefixed(fb::CreateProgramData(builder, pass_vector, learning, &desc));

        header.version = "2.0.0";
        header.input_dims = Shape{4, 4, 3};
        header.output_dims = Shape{1, 1, 10};
        program::ProgramBuffer const result = serializer.finalize_in_place(header);

        std::span<const uint8_t> const program = result.bytes();
        ASSERT_GE(program.size(), 4u);
        uint32_t info_size = 0;
        std::memcpy(&info_size, program.data(), 4);
        ASSERT_EQ(program.size(), 4 + info_size + builder.GetSize());
        EXPECT_TRUE(std::equal(program.begin() + 4 + info_size, program.end(), builder.GetBufferPointer()));
        // The program reads back: every span lies inside program_data.
        ProgramInfo const info(program.data(), program.size());
        EXPECT_EQ(info.info().passes()->size(), script.passes.size());
    }
}

TEST(ProgramBuffer, TakesItsBytesOverWithoutACopy) {
    std::vector<uint8_t> bytes{1, 2, 3, 4, 5};
    uint8_t const* const data = bytes.data();
    program::ProgramBuffer buffer(std::move(bytes));
    program::ProgramBuffer moved(std::move(buffer));
    EXPECT_EQ(moved.data(), data);
    EXPECT_EQ(buffer.size(), 0u);
    HardwareSequence const sequence(nullptr, {}, {}, {}, std::move(moved));
    EXPECT_EQ(sequence.program().data(), data);
    EXPECT_EQ(sequence.program().size(), 5u);

    program::PageRegion region(1 << 20);
    uint8_t* const start = region.end() - 100;
    std::memset(start, 7, 100);
    region.release_below(start);
    program::ProgramBuffer const in_region(std::move(region), {start, 100});
    EXPECT_EQ(in_region.data(), start);
    EXPECT_EQ(in_region.to_vector(), std::vector<uint8_t>(100, 7));
}

TEST(ProgramBuffer, RefusesBytesOutsideItsRegion) {
    program::PageRegion region(1 << 20);
    uint8_t* const end = region.end();
    EXPECT_THROW(region.release_below(end + 1), std::logic_error);
    std::vector<uint8_t> outside(8);
    EXPECT_THROW(program::ProgramBuffer(std::move(region), {outside.data(), outside.size()}), std::logic_error);
}

}  // namespace
}  // namespace nuvra
