#include "program/serializer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/error_text.h"
#include "engine/program_info.h"
#include "engine/stub_layer.h"
#include "mapping/layer_mapping.h"
#include "engine/program_generated.h"
#include "support/recorder_doubles.h"

namespace nuvra {
namespace {

using testing::error_text;
using testing::IoRecorderDouble;
using testing::LayerRecorderDouble;
using testing::record_with_tracks;
using testing::StubLayer;

std::shared_ptr<StubLayer> layer_named(std::string name) { return std::make_shared<StubLayer>(std::move(name)); }

std::shared_ptr<Sequence::Pass> pass_of(std::vector<std::shared_ptr<Layer>> layers) {
    auto pass = std::make_shared<Sequence::Pass>();
    pass->layers = std::move(layers);
    return pass;
}

// Drives a serializer over scripted recorders and reads the finished program back.
struct Fixture {
    LayerRecorderDouble layers;
    IoRecorderDouble io;
    std::unique_ptr<SequenceSerializer> serializer = std::make_unique<SequenceSerializer>(layers, io);
    std::vector<uint8_t> program;

    ProgramInfo finish(std::vector<std::shared_ptr<Sequence::Pass>> const& passes, uint8_t descriptors = 2) {
        serializer->finalize("2.0.0", Shape{4, 4, 3}, Shape{1, 1, 10}, 0, 0, 8, true, 2, 1, {}, {}, descriptors,
                             &program, passes, 8, false, false, {}, {}, false);
        return ProgramInfo(program.data(), program.size());
    }
};

// The words that a span of program_info locates.
std::vector<uint32_t> span_words(ProgramInfo const& info, fb::TrackSpan const& span) {
    return info.words(span.offset(), span.size());
}

TEST(SequenceSerializer, RecorderFailureNamesTheLayer) {
    struct Row {
        const char* thrown;
        std::string expected;
    };
    const Row rows[] = {
        {"boom", "Cannot map layer 'L'. Error: boom."},
        {"Unsupported layer type: 3.", "Cannot map layer 'L'. Error: Unsupported layer type: 3.."},
    };
    for (Row const& row : rows) {
        Fixture f;
        f.layers.on_record = [&](Layer const&) -> std::unique_ptr<program::Record> {
            throw std::invalid_argument(row.thrown);
        };
        auto layer = layer_named("L");
        EXPECT_EQ(error_text<std::runtime_error>(
                      [&] { f.serializer->serialize_layer_program(*layer, *layer, nullptr, false, false, {}, false, false); }),
                  row.expected);
    }
}

TEST(SequenceSerializer, AFailedLayerLeavesThePassAsItWas) {
    Fixture f;
    auto good = layer_named("good");
    auto bad = layer_named("bad");
    f.layers.on_record = [&](Layer const& layer) {
        if (layer.get_name() == "bad") throw std::runtime_error("boom");
        return record_with_tracks({3});
    };
    f.serializer->serialize_version(HwVersion{0xBC, 0xA2, 1, 0});
    EXPECT_EQ(f.serializer->serialize_layer_program(*good, *good, nullptr, false, false, {}, false, false), 1u);
    EXPECT_THROW(f.serializer->serialize_layer_program(*bad, *good, nullptr, false, false, {}, false, false),
                 std::runtime_error);
    f.serializer->finalize_pass();
    ProgramInfo const info = f.finish({pass_of({good, bad})});
    ASSERT_EQ(info.data().passes()->size(), 1u);
    EXPECT_EQ(info.data().passes()->Get(0)->records()->size(), 1u);
}

TEST(SequenceSerializer, CountsReturnTheTrueNumberOfTracks) {
    // 300 tracks must not come back as 44.
    const std::vector<uint32_t> rows[] = {{}, {1}, {1, 1, 1}, std::vector<uint32_t>(300, 1)};
    for (auto const& tracks : rows) {
        Fixture f;
        f.layers.on_record = [&](Layer const&) { return record_with_tracks(tracks); };
        auto layer = layer_named("L");
        EXPECT_EQ(f.serializer->serialize_layer_program(*layer, *layer, nullptr, false, false, {}, false, false),
                  tracks.size());
    }
    Fixture f;
    f.io.on_scc = [] { return record_with_tracks({1, 1, 1, 1}); };
    EXPECT_EQ(f.serializer->serialize_scc_program(true, true, false, true, true, Shape{4, 4, 3}, Shape{1, 1, 2}), 1u);
}

TEST(SequenceSerializer, PassesArgumentsToTheRecorders) {
    Fixture f;
    auto layer = layer_named("L");
    auto other = layer_named("first");
    auto link = layer_named("next");
    std::vector<hw::Ident> const nps{{1, 2, 0, 0}, {3, 4, 1, 0}};
    f.serializer->serialize_layer_program(*layer, *other, link, true, false, nps, false, true);
    ASSERT_EQ(f.layers.calls.size(), 1u);
    auto const& call = f.layers.calls[0];
    EXPECT_EQ(call.layer, "L");
    EXPECT_EQ(call.other, "first");
    EXPECT_EQ(call.link, link);
    EXPECT_EQ((std::vector<bool>{call.a, call.b, call.c, call.d}), (std::vector<bool>{true, false, false, true}));
    EXPECT_EQ(call.nps, nps);

    f.serializer->serialize_scc_program(true, false, true, false, true, Shape{8, 8, 1}, Shape{2, 2, 4});
    ASSERT_EQ(f.io.scc_calls.size(), 1u);
    EXPECT_EQ(f.io.scc_calls[0].input, (Shape{8, 8, 1}));
    EXPECT_EQ(f.io.scc_calls[0].output, (Shape{2, 2, 4}));
    EXPECT_TRUE(f.io.scc_calls[0].flags[0] && !f.io.scc_calls[0].flags[1] && f.io.scc_calls[0].flags[2] &&
                !f.io.scc_calls[0].flags[3] && f.io.scc_calls[0].flags[4]);

    f.serializer->serialize_epg_tracks(*other, 2, 5, 1, true, false, true);
    ASSERT_EQ(f.io.epg_calls.size(), 1u);
    EXPECT_EQ(f.io.epg_calls[0].layer, "first");
    EXPECT_EQ((std::vector<int>{f.io.epg_calls[0].a, f.io.epg_calls[0].b, f.io.epg_calls[0].c}),
              (std::vector<int>{2, 5, 1}));
    EXPECT_TRUE(f.io.epg_calls[0].d && !f.io.epg_calls[0].e && f.io.epg_calls[0].f);
}

TEST(SequenceSerializer, ProgramWithoutLearningOrRegisters) {
    Fixture f;
    auto conv = layer_named("conv");
    f.io.on_scc = [] { return record_with_tracks({2}); };
    f.layers.on_record = [](Layer const&) { return record_with_tracks({3, 0}, hw::Ident{1, 2, 0, 0}); };
    f.serializer->serialize_version(HwVersion{0xBC, 0xA2, 1, 0});
    f.serializer->serialize_scc_program(false, true, false, true, true, Shape{4, 4, 3}, Shape{1, 1, 10});
    f.serializer->serialize_layer_program(*conv, *conv, nullptr, false, false, {}, false, false);
    f.serializer->finalize_pass();
    f.serializer->serialize_epg_tracks(*conv, 1, 1, 1, false, false, true);  // no register writes
    ProgramInfo const info = f.finish({pass_of({conv})}, 3);

    fb::ProgramInfo const& header = info.info();
    EXPECT_STREQ(header.version()->c_str(), "2.0.0");
    ASSERT_NE(header.device_version(), nullptr);
    EXPECT_EQ(header.device_version()->vendor_id(), 0xBC);
    EXPECT_EQ(header.device_version()->product_id(), 0xA2);
    EXPECT_EQ(header.device_version()->major_rev(), 1);
    EXPECT_EQ(header.device_version()->minor_rev(), 0);
    EXPECT_EQ(std::vector<uint32_t>(header.input_dims()->begin(), header.input_dims()->end()),
              (std::vector<uint32_t>{4, 4, 3}));
    EXPECT_EQ(std::vector<uint32_t>(header.output_dims()->begin(), header.output_dims()->end()),
              (std::vector<uint32_t>{1, 1, 10}));
    EXPECT_EQ(header.num_descriptors(), 3);
    EXPECT_EQ(header.input_param_a(), 1u);
    EXPECT_EQ(header.input_param_b(), 2u);
    EXPECT_EQ(header.epg_registers(), nullptr);
    ASSERT_NE(header.input_scales(), nullptr);
    ASSERT_NE(header.input_zero_points(), nullptr);
    ASSERT_NE(header.output_scales(), nullptr);
    ASSERT_NE(header.output_shift(), nullptr);
    EXPECT_EQ(header.input_scales()->size(), 0u);
    EXPECT_EQ(header.output_shift()->size(), 0u);
    EXPECT_EQ(header.learning_layer(), nullptr);
    EXPECT_EQ(info.data().learning_records(), nullptr);

    // The dummy header is there, zero, with a span of two words.
    ASSERT_NE(header.dummy_desc_header(), nullptr);
    EXPECT_EQ(header.dummy_desc_header()->size(), 2u);
    EXPECT_EQ(span_words(info, *header.dummy_desc_header()), (std::vector<uint32_t>{0, 0}));

    // One pass: the SCC record, then the layer's record with a 5-word and an empty track.
    ASSERT_EQ(header.passes()->size(), 1u);
    fb::PassSpans const* pass = header.passes()->Get(0);
    EXPECT_EQ(pass->skipdma_stores(), nullptr);
    EXPECT_EQ(pass->skipdma_loads(), nullptr);
    ASSERT_EQ(pass->records()->size(), 2u);
    auto const expected_scc = record_with_tracks({2});
    auto const expected_layer = record_with_tracks({3, 0}, hw::Ident{1, 2, 0, 0});
    ASSERT_EQ(pass->records()->Get(0)->tracks()->size(), 1u);
    EXPECT_EQ(span_words(info, *pass->records()->Get(0)->tracks()->Get(0)), expected_scc->tracks[0].words());
    fb::RecordSpans const* layer_spans = pass->records()->Get(1);
    ASSERT_EQ(layer_spans->tracks()->size(), 2u);
    EXPECT_EQ(span_words(info, *layer_spans->tracks()->Get(0)), expected_layer->tracks[0].words());
    EXPECT_EQ(span_words(info, *layer_spans->tracks()->Get(1)), expected_layer->tracks[1].words());
    EXPECT_EQ(layer_spans->fnp2_filters(), nullptr);
    // The words of each span are those of the matching program_data vector.
    fb::NpTrack const* data_track = info.data().passes()->Get(0)->records()->Get(1)->tracks()->Get(1);
    EXPECT_EQ(layer_spans->tracks()->Get(1)->offset(),
              static_cast<uint32_t>(reinterpret_cast<uint8_t const*>(data_track->words()->data()) -
                                    info.data_bytes().data()));
}

TEST(SequenceSerializer, ProgramPartsAreTwoSizePrefixedBuffers) {
    Fixture f;
    f.serializer->serialize_version(HwVersion{});
    f.serializer->finalize_pass();
    f.program = {1, 2, 3};  // replaced by finalize
    ProgramInfo const info = f.finish({pass_of({})});
    ASSERT_GE(f.program.size(), 8u);
    uint32_t const info_length = f.program[0] | f.program[1] << 8 | f.program[2] << 16 | uint32_t{f.program[3]} << 24;
    EXPECT_EQ(info.info_bytes().size(), 4u + info_length);
    EXPECT_EQ(info.info_bytes().size() + info.data_bytes().size(), f.program.size());
    EXPECT_TRUE(std::equal(info.info_bytes().begin(), info.info_bytes().end(), f.program.begin()));
    // A pass with no records is still written, with an empty record list.
    ASSERT_EQ(info.data().passes()->size(), 1u);
    EXPECT_EQ(info.data().passes()->Get(0)->records()->size(), 0u);
    EXPECT_EQ(info.info().passes()->Get(0)->records()->size(), 0u);
}

TEST(SequenceSerializer, EpgRegistersAndDummyHeader) {
    Fixture f;
    auto first = layer_named("first");
    f.io.epg = {{0x10, 7}, {0x14, 0xFFFFFFFF}};
    f.serializer->serialize_version(HwVersion{});
    f.serializer->finalize_pass();
    f.serializer->finalize_pass();
    f.serializer->serialize_epg_tracks(*first, 0, 3, 1, false, true, true);
    f.serializer->record_dummy_desc_hdr(true);
    ProgramInfo const info = f.finish({pass_of({first}), pass_of({})});

    auto const* registers = info.info().epg_registers();
    ASSERT_NE(registers, nullptr);
    ASSERT_EQ(registers->size(), 2u);
    EXPECT_EQ(registers->Get(0)->reg(), 0x10u);
    EXPECT_EQ(registers->Get(0)->value(), 7u);
    EXPECT_EQ(registers->Get(1)->reg(), 0x14u);
    EXPECT_EQ(registers->Get(1)->value(), 0xFFFFFFFFu);

    uint64_t const header = format_config_header_fb(hw::Ident{}, dma::Target::HrcConfig, 1, 0);
    EXPECT_EQ(span_words(info, *info.info().dummy_desc_header()),
              (std::vector<uint32_t>{static_cast<uint32_t>(header), static_cast<uint32_t>(header >> 32)}));
    EXPECT_EQ(info.data().dummy_desc_header()->first(), static_cast<uint32_t>(header));
    EXPECT_EQ(info.info().passes()->size(), 2u);
}

// A learning layer on one FNP at (2, 1, 0).
std::shared_ptr<StubLayer> learning_layer() {
    auto layer = layer_named("learn");
    auto mapping = std::make_shared<LayerMapping>(0);
    mapping->components = std::make_shared<LayerMapping::ComponentList>(
        LayerMapping::ComponentList{hw::Component{hw::Type::FNP3, hw::Ident{2, 1, 0, 0}, {}, {}}});
    layer->layer_mapping = mapping;
    return layer;
}

TEST(SequenceSerializer, LearningRecordsStayOutOfThePass) {
    Fixture f;
    auto layer = learning_layer();
    f.layers.on_learning = [](Layer const&, bool) {
        program::LearnRecordsPtr records;
        records.first = record_with_tracks({4});
        records.second = record_with_tracks({5, 6});
        records.third = record_with_tracks({7, 8, 9});
        records.value = 1234;
        return records;
    };
    f.serializer->serialize_version(HwVersion{});
    EXPECT_EQ(f.serializer->serialize_learning_layer_program(*layer, true), 5u);
    EXPECT_EQ(f.layers.learning_calls, std::vector<bool>{true});
    f.serializer->finalize_pass();
    ProgramInfo const info = f.finish({pass_of({layer})});

    EXPECT_EQ(info.data().passes()->Get(0)->records()->size(), 0u);
    fb::LearningRecords const* records = info.data().learning_records();
    ASSERT_NE(records, nullptr);
    EXPECT_EQ(records->value(), 1234u);
    EXPECT_EQ(records->ident()->col(), 2);
    EXPECT_EQ(records->ident()->row(), 1);
    EXPECT_EQ(records->third()->tracks()->size(), 3u);

    fb::LearningLayerInfo const* learning = info.info().learning_layer();
    ASSERT_NE(learning, nullptr);
    EXPECT_EQ(span_words(info, *learning->first_track()), record_with_tracks({4})->tracks[0].words());
    EXPECT_EQ(span_words(info, *learning->second_track()), record_with_tracks({5})->tracks[0].words());
    ASSERT_EQ(learning->third()->tracks()->size(), 1u);
    EXPECT_EQ(span_words(info, *learning->third()->tracks()->Get(0)), record_with_tracks({7})->tracks[0].words());
    EXPECT_EQ(learning->third()->fnp2_filters(), nullptr);
    EXPECT_EQ(learning->ident()->col(), 2);
}

TEST(SequenceSerializer, ThirdLearningRecordWithFnp2FiltersKeepsOnlyThem) {
    Fixture f;
    auto layer = learning_layer();
    f.layers.on_learning = [](Layer const&, bool) {
        program::LearnRecordsPtr records;
        records.first = record_with_tracks({1});
        records.second = record_with_tracks({1});
        records.third = record_with_tracks({2});
        records.third->add_fnp2_filters_track(hw::Ident{3, 4, 1, 0}, {0xAA, 0xBB, 0xCC});
        return records;
    };
    f.serializer->serialize_version(HwVersion{});
    f.serializer->serialize_learning_layer_program(*layer, false);
    f.serializer->finalize_pass();
    ProgramInfo const info = f.finish({pass_of({layer})});
    fb::RecordSpans const* third = info.info().learning_layer()->third();
    EXPECT_EQ(third->tracks(), nullptr);
    ASSERT_NE(third->fnp2_filters(), nullptr);
    EXPECT_EQ(info.words(third->fnp2_filters()->offset(), third->fnp2_filters()->size()),
              (std::vector<uint32_t>{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(third->fnp2_filters()->ident().col(), 3);
    EXPECT_EQ(third->fnp2_filters()->ident().row(), 4);
    EXPECT_EQ(third->fnp2_filters()->ident().id(), 1);
}

TEST(SequenceSerializer, LearningRecordsMustHaveTheirTracks) {
    struct Row {
        const char* name;
        std::vector<uint32_t> first, second, third;
        bool third_filters;
        bool missing_third;
        std::string expected;
    };
    const Row rows[] = {
        {"first without track", {}, {1}, {1}, false, false,
         "Cannot map layer 'learn'. Error: The first learning record has no track."},
        {"second without track", {1}, {}, {1}, false, false,
         "Cannot map layer 'learn'. Error: The second learning record has no track."},
        {"third without anything", {1}, {1}, {}, false, false,
         "Cannot map layer 'learn'. Error: The third learning record has neither a track nor an FNP2 filters "
         "track."},
        {"third with filters only", {1}, {1}, {}, true, false, ""},
        {"no third record", {1}, {1}, {}, false, true,
         "Cannot map layer 'learn'. Error: The learning recorder gave fewer than three records."},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        Fixture f;
        auto layer = learning_layer();
        f.layers.on_learning = [&](Layer const&, bool) {
            program::LearnRecordsPtr records;
            records.first = record_with_tracks(row.first);
            records.second = record_with_tracks(row.second);
            if (!row.missing_third) records.third = record_with_tracks(row.third);
            if (row.third_filters) records.third->add_fnp2_filters_track(hw::Ident{}, {1});
            return records;
        };
        EXPECT_EQ(error_text<std::runtime_error>([&] { f.serializer->serialize_learning_layer_program(*layer, true); }),
                  row.expected);
    }
}

TEST(SequenceSerializer, LearningLayerWithoutComponentFails) {
    Fixture f;
    auto layer = layer_named("learn");
    layer->layer_mapping = std::make_shared<LayerMapping>(0);
    std::dynamic_pointer_cast<LayerMapping>(layer->layer_mapping)->components =
        std::make_shared<LayerMapping::ComponentList>();
    std::string const text =
        error_text<std::runtime_error>([&] { f.serializer->serialize_learning_layer_program(*layer, true); });
    EXPECT_EQ(text.rfind("Cannot map layer 'learn'. Error: ", 0), 0u) << text;
    EXPECT_NE(text.find("range"), std::string::npos) << text;
}

TEST(SequenceSerializer, UnusedNpsRecordAtTheLinkIndexAndRestoreIt) {
    for (bool fails : {false, true}) {
        SCOPED_TRACE(fails);
        Fixture f;
        auto layer = layer_named("next");
        auto first = layer_named("first");
        auto mapping = std::make_shared<LayerMapping>(4);
        mapping->input_link_index = 9;
        layer->layer_mapping = mapping;
        f.layers.on_record = [&](Layer const&) {
            if (fails) throw std::runtime_error("boom");
            return record_with_tracks({1, 1});
        };
        std::vector<hw::Ident> const nps{{1, 1, 0, 0}, {2, 1, 0, 0}};
        std::string const error = error_text<std::runtime_error>([&] {
            EXPECT_EQ(f.serializer->serialize_unused_nps_program(layer, first, nps), 2u);
        });
        EXPECT_EQ(error, fails ? "Cannot map layer 'next'. Error: boom." : "");
        EXPECT_EQ(mapping->index, 4);
        ASSERT_EQ(f.layers.calls.size(), 1u);
        auto const& call = f.layers.calls[0];
        EXPECT_EQ(call.index, 9);
        EXPECT_EQ(call.other, "first");
        EXPECT_EQ(call.link, layer);
        EXPECT_EQ((std::vector<bool>{call.a, call.b, call.c, call.d}), (std::vector<bool>{false, false, true, false}));
        EXPECT_EQ(call.nps, nps);
    }
}

TEST(SequenceSerializer, SkipDmaEntriesOfAPass) {
    Fixture f;
    auto plain = layer_named("plain");  // no skip DMA: nothing listed
    plain->layer_mapping = std::make_shared<LayerMapping>(0);

    // A CNP layer storing its 5 x 3 x 10 output of 4 bits, with a dual output and a load.
    auto cnp = layer_named("cnp");
    cnp->inputs = {Shape{6, 7, 33}};
    cnp->output = Shape{5, 3, 10};
    cnp->in_bits = 8;
    cnp->out_bits = 4;
    auto cnp_mapping = std::make_shared<LayerMapping>(1);
    cnp_mapping->merge_info = std::make_unique<MergeLayerInfo>();
    cnp_mapping->merge_info->dual_output = true;
    cnp_mapping->skipdma_stores = {hw::Component{hw::Type::SKIP_DMA_STORE, hw::Ident{0, 0, 1, 2}, {}, {}},
                                   hw::Component{hw::Type::SKIP_DMA_STORE, hw::Ident{0, 0, 1, 3}, {}, {}}};
    cnp_mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{3, 0, 6});
    cnp_mapping->skipdma_store_dual_output_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{2, 0, 4});
    cnp_mapping->skipdma_loads = {hw::Component{hw::Type::SKIP_DMA_LOAD, hw::Ident{0, 0, 2, 5}, {}, {}}};
    cnp_mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{1, 7, 6, 0});
    cnp->layer_mapping = cnp_mapping;

    // A TNP-B layer storing its 2 x 4 x 40 input of 8 bits.
    auto tnp = layer_named("tnp");
    tnp->kinds = {ComponentKind::TNP_B};
    tnp->inputs = {Shape{2, 4, 40}};
    tnp->output = Shape{2, 4, 16};
    auto tnp_mapping = std::make_shared<LayerMapping>(2);
    tnp_mapping->skipdma_stores = {hw::Component{hw::Type::SKIP_DMA_STORE, hw::Ident{1, 0, 1, 8}, {}, {}}};
    tnp_mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{4, 1, 8});
    tnp->layer_mapping = tnp_mapping;

    f.serializer->serialize_version(HwVersion{});
    f.serializer->finalize_pass();
    ProgramInfo const info = f.finish({pass_of({plain, cnp, tnp})});
    fb::PassSpans const* pass = info.info().passes()->Get(0);

    struct Entry {
        uint8_t col, row, id, channel, on_tnp_b, delay, skip_channel;
        uint32_t size;
        bool operator==(Entry const&) const = default;
    };
    auto entries = [](auto const* vector) {
        std::vector<Entry> out;
        for (auto const* e : *vector)
            out.push_back({e->col(), e->row(), e->id(), e->channel(), e->on_tnp_b(), e->delay(), e->skip_channel(),
                           e->size()});
        return out;
    };
    ASSERT_NE(pass->skipdma_stores(), nullptr);
    ASSERT_NE(pass->skipdma_loads(), nullptr);
    EXPECT_EQ(entries(pass->skipdma_stores()), (std::vector<Entry>{
                                                   // 5 x 3 x ceil(10 x 4 / 32)
                                                   {0, 0, 1, 2, 0, 3, 6, 30},
                                                   // dual output, from the input: 7 x 33 x ceil(6 x 8 / 32)
                                                   {0, 0, 1, 3, 0, 2, 4, 462},
                                                   // TNP-B, from the input: 2 x 4 x ceil(40 x 8 / 32)
                                                   {1, 0, 1, 8, 1, 4, 8, 80},
                                               }));
    EXPECT_EQ(entries(pass->skipdma_loads()), (std::vector<Entry>{{0, 0, 2, 5, 0, 7, 6, 0}}));
}

TEST(SequenceSerializer, SkipDmaWithoutItsChannelRecordFails) {
    Fixture f;
    auto layer = layer_named("cnp");
    auto mapping = std::make_shared<LayerMapping>(0);
    mapping->skipdma_loads = {hw::Component{hw::Type::SKIP_DMA_LOAD, hw::Ident{}, {}, {}}};
    layer->layer_mapping = mapping;
    f.serializer->serialize_version(HwVersion{});
    f.serializer->finalize_pass();
    EXPECT_EQ(error_text<std::runtime_error>([&] { f.finish({pass_of({layer})}); }),
              "Layer 'cnp' has a skip-DMA load without its channel information.");
}

TEST(SequenceSerializer, FinalizeRefusesMisuse) {
    {
        Fixture f;
        f.serializer->finalize_pass();
        EXPECT_EQ(error_text<std::runtime_error>([&] { f.finish({pass_of({})}); }),
                  "The device version must be serialized before the program is finalized.");
    }
    {
        Fixture f;
        f.serializer->serialize_version(HwVersion{});
        f.serializer->finalize_pass();
        EXPECT_EQ(error_text<std::runtime_error>([&] { f.finish({pass_of({}), pass_of({})}); }),
                  "The program has 1 passes but the sequence has 2.");
        // Still open after a refused call.
        f.finish({pass_of({})});
        EXPECT_EQ(error_text<std::runtime_error>([&] { f.finish({pass_of({})}); }),
                  "The program of this sequence is already finalized.");
        EXPECT_EQ(error_text<std::runtime_error>([&] { f.serializer->finalize_pass(); }),
                  "The program of this sequence is already finalized.");
    }
}

TEST(DescriptorLimit, CheckNumDescriptors) {
    struct Row {
        uint64_t multiplier;
        uint64_t count;
        std::string expected;  // "" for success
    };
    std::string const head = "Cannot map layer 'l'. Model is too big. The maximum number of descriptors is more than "
                             "allowed. ";
    const Row rows[] = {
        {2, 127, ""},
        {1, 254, ""},
        {0, 1000, ""},
        {1, 255, head + "255 are needed but 254 are available."},
        {2, 128, head + "256 are needed but 254 are available."},
        // 250 + 10 descriptors wrap to 4 in eight bits; counted wide they fail.
        {1, 260, head + "260 are needed but 254 are available."},
        {std::numeric_limits<uint64_t>::max(), 2, head + "18446744073709551615 are needed but 254 are available."},
    };
    StubLayer const layer("l");
    for (Row const& row : rows) {
        MappingStatus const status = program::check_num_descriptors(layer, row.multiplier, row.count);
        EXPECT_EQ(status.failed, !row.expected.empty());
        EXPECT_EQ(status.failed ? status.to_string() : "", row.expected);
    }
}

}  // namespace
}  // namespace nuvra
