#include "program/serializer.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "engine/sequence.h"
#include "mapping/layer_mapping.h"
#include "mapping/program_builder.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/recorder_doubles.h"

namespace nuvra {
namespace {

using testing::error_text;
using testing::FakeLayer;
using testing::record_with_tracks;

std::shared_ptr<Sequence::Pass> pass_of(std::vector<std::shared_ptr<Layer>> layers) {
    auto pass = std::make_shared<Sequence::Pass>();
    pass->layers = std::move(layers);
    return pass;
}

// Drives a serializer over scripted recorders and reads the finished program back.
struct Fixture {
    testing::LayerRecorderDouble layers;
    testing::IoRecorderDouble io;
    std::unique_ptr<SequenceSerializer> serializer = std::make_unique<SequenceSerializer>(layers, io);
    std::vector<uint8_t> program;

    size_t layer(Layer const& l) {
        return serializer->serialize_layer_program({.layer = l, .sequence_first = l, .skipped_nps = {}});
    }
    // The skip-DMA entries of the passes are those program building lists.
    ProgramInfo finish(std::vector<std::shared_ptr<Sequence::Pass>> const& passes) {
        program::ProgramHeader header;
        header.version = "2.0.0";
        header.input_dims = Shape{4, 4, 3}, header.output_dims = Shape{1, 1, 10};
        header.output_bits = header.input_bits = 8, header.output_activation = true;
        header.input_param_a = 1, header.input_param_b = 2, header.num_descriptors = 3;
        for (auto const& pass : passes) header.passes.push_back(pass_skip_dma(*pass));
        program = serializer->finalize(header);
        return ProgramInfo(program.data(), program.size());
    }
};

std::vector<uint32_t> span_words(ProgramInfo const& info, fb::TrackSpan const& span) {
    return info.words(span.offset(), span.size());
}

TEST(SequenceSerializer, RecorderFailureNamesTheLayerAndLeavesThePassAsItWas) {
    Fixture f;
    auto good = FakeLayer::make("good");
    auto bad = FakeLayer::make("bad");
    f.layers.on_record = [&](Layer const& layer) {
        if (layer.get_name() == "bad") throw std::invalid_argument("Unsupported layer type: 3.");
        return record_with_tracks({3});
    };
    f.serializer->serialize_version(HwVersion{});
    EXPECT_EQ(f.layer(*good), 1u);
    EXPECT_EQ(error_text<std::runtime_error>([&] { f.layer(*bad); }),
              "Cannot map layer 'bad'. Error: Unsupported layer type: 3.");
    f.serializer->finalize_pass();
    EXPECT_EQ(f.finish({pass_of({good, bad})}).data().passes()->Get(0)->records()->size(), 1u);
}

// The recorder's text ends the sentence: a text with its own period gets no second one.
TEST(SequenceSerializer, RecorderFailureEndsWithOnePeriod) {
    struct Row { const char* thrown; const char* expected; };
    Row const rows[] = {
        {"Cannot route an NP without destinations.",
         "Cannot map layer 'l0'. Error: Cannot route an NP without destinations."},
        {"Cannot route an NP without sources.", "Cannot map layer 'l0'. Error: Cannot route an NP without sources."},
        {"boom", "Cannot map layer 'l0'. Error: boom."},
        {"", "Cannot map layer 'l0'. Error: ."},
    };
    for (Row const& row : rows) {
        Fixture f;
        f.layers.on_record = [&](Layer const&) -> std::unique_ptr<program::Record> {
            throw std::runtime_error(row.thrown);
        };
        EXPECT_EQ(error_text<std::runtime_error>([&] { f.layer(FakeLayer("l0")); }), row.expected) << row.thrown;
    }
}

TEST(SequenceSerializer, CountsReturnTheTrueNumberOfTracks) {
    // 300 tracks must not come back as 44.
    for (auto const& tracks : {std::vector<uint32_t>{}, std::vector<uint32_t>(300, 1)}) {
        Fixture f;
        f.layers.on_record = [&](Layer const&) { return record_with_tracks(tracks); };
        EXPECT_EQ(f.layer(FakeLayer("L")), tracks.size());
    }
    Fixture f;
    f.io.on_scc = [] { return record_with_tracks({1, 1, 1, 1}); };
    SccFlags const flags{
        .first_on_hrc = true, .input_type_is_zero = true, .output_type_is_zero = true, .narrow_output = true};
    EXPECT_EQ(f.serializer->serialize_scc_program(flags, Shape{4, 4, 3}, Shape{1, 1, 2}), 1u);
}

TEST(SequenceSerializer, ProgramWithoutLearningOrRegisters) {
    Fixture f;
    auto conv = FakeLayer::make("conv");
    f.io.on_scc = [] { return record_with_tracks({2}); };
    f.layers.on_record = [](Layer const&) { return record_with_tracks({3, 0}, hw::Ident{1, 2, 0, 0}); };
    f.serializer->serialize_version(HwVersion{0xBC, 0xA2, 1, 0});
    SccFlags const flags{.input_type_is_zero = true, .output_type_is_zero = true, .narrow_output = true};
    f.serializer->serialize_scc_program(flags, Shape{4, 4, 3}, Shape{1, 1, 10});
    f.layer(*conv);
    f.serializer->finalize_pass();
    f.serializer->serialize_epg_tracks(  // no register writes
        {.first = *conv, .lowest_col = 1, .highest_col = 1, .row_code = 1, .input_type_is_zero = true});
    ProgramInfo const info = f.finish({pass_of({conv})});

    fb::ProgramInfo const& header = info.info();
    EXPECT_STREQ(header.version()->c_str(), "2.0.0");
    auto const* v = header.device_version();
    EXPECT_EQ((std::vector<int>{v->vendor_id(), v->product_id(), v->major_rev(), v->minor_rev()}),
              (std::vector<int>{0xBC, 0xA2, 1, 0}));
    EXPECT_EQ((std::vector<uint32_t>{header.input_dims()->Get(2), header.output_dims()->Get(2),
                                     header.num_descriptors(), header.input_param_a(), header.input_param_b()}),
              (std::vector<uint32_t>{3, 10, 3, 1, 2}));
    EXPECT_EQ(header.epg_registers(), nullptr);  // absent, not empty
    ASSERT_TRUE(header.input_scales() && header.input_zero_points() && header.output_scales() && header.output_shift());
    EXPECT_EQ(header.input_scales()->size() + header.output_shift()->size(), 0u);
    EXPECT_EQ(header.learning_layer(), nullptr);
    EXPECT_EQ(info.data().learning_records(), nullptr);
    // The dummy header is there, zero, with a span of two words.
    EXPECT_EQ(header.dummy_desc_header()->size(), 2u);
    EXPECT_EQ(span_words(info, *header.dummy_desc_header()), (std::vector<uint32_t>{0, 0}));

    // One pass: the SCC record, then the layer's record with a 5-word and an empty track.
    ASSERT_EQ(header.passes()->size(), 1u);
    fb::PassSpans const* pass = header.passes()->Get(0);
    EXPECT_EQ(pass->skipdma_stores(), nullptr);
    EXPECT_EQ(pass->skipdma_loads(), nullptr);
    ASSERT_EQ(pass->records()->size(), 2u);
    EXPECT_EQ(span_words(info, *pass->records()->Get(0)->tracks()->Get(0)), record_with_tracks({2})->tracks[0].words());
    fb::RecordSpans const* spans = pass->records()->Get(1);
    auto const expected = record_with_tracks({3, 0}, hw::Ident{1, 2, 0, 0});
    ASSERT_EQ(spans->tracks()->size(), 2u);
    EXPECT_EQ(span_words(info, *spans->tracks()->Get(0)), expected->tracks[0].words());
    EXPECT_EQ(span_words(info, *spans->tracks()->Get(1)), expected->tracks[1].words());
    EXPECT_EQ(spans->fnp2_filters(), nullptr);
    // An empty track's span points just past its vector's length word.
    fb::NpTrack const* data_track = info.data().passes()->Get(0)->records()->Get(1)->tracks()->Get(1);
    EXPECT_EQ(spans->tracks()->Get(1)->offset(),
              uint32_t(reinterpret_cast<uint8_t const*>(data_track->words()->data()) - info.data_bytes().data()));
}

TEST(SequenceSerializer, EpgRegistersDummyHeaderAndEmptyPasses) {
    Fixture f;
    auto first = FakeLayer::make("first");
    f.io.epg = {{0x10, 7}, {0x14, 0xFFFFFFFF}};
    f.serializer->serialize_version(HwVersion{});
    f.serializer->finalize_pass();
    f.serializer->finalize_pass();
    f.serializer->serialize_epg_tracks(
        {.first = *first, .lowest_col = 0, .highest_col = 3, .row_code = 1, .several_passes = true,
         .input_type_is_zero = true});
    f.serializer->record_dummy_desc_hdr(true);
    ProgramInfo const info = f.finish({pass_of({first}), pass_of({})});

    auto const* registers = info.info().epg_registers();
    ASSERT_EQ(registers->size(), 2u);
    EXPECT_EQ((std::vector<uint32_t>{registers->Get(0)->reg(), registers->Get(0)->value(), registers->Get(1)->reg(),
                                     registers->Get(1)->value()}),
              (std::vector<uint32_t>{0x10, 7, 0x14, 0xFFFFFFFF}));
    uint64_t const header = format_config_header_fb(hw::Ident{}, dma::Target::HrcConfig, 1, 0);
    EXPECT_EQ(span_words(info, *info.info().dummy_desc_header()),
              (std::vector<uint32_t>{uint32_t(header), uint32_t(header >> 32)}));
    // A pass with no records is still written, with an empty record list.
    ASSERT_EQ(info.info().passes()->size(), 2u);
    EXPECT_EQ(info.data().passes()->Get(1)->records()->size(), 0u);
}

// A learning layer on one FNP at (2, 1, 0).
std::shared_ptr<FakeLayer> learning_layer() {
    auto layer = FakeLayer::make("learn");
    auto mapping = std::make_shared<LayerMapping>(0);
    mapping->components = std::make_shared<LayerMapping::ComponentList>(
        LayerMapping::ComponentList{hw::Component{hw::Type::FNP3, hw::Ident{2, 1, 0, 0}, {}, {}}});
    layer->set_mapping(mapping);
    return layer;
}

TEST(SequenceSerializer, LearningRecordsStayOutOfThePass) {
    for (bool third_filters : {false, true}) {
        Fixture f;
        auto layer = learning_layer();
        f.layers.on_learning = [&](Layer const&, bool) {
            program::LearnRecordsPtr records{record_with_tracks({4}), record_with_tracks({5, 6}),
                                             record_with_tracks({7, 8, 9}), 1234};
            if (third_filters) records.third->add_fnp2_filters_track(hw::Ident{3, 4, 1, 0}, {0xAA, 0xBB});
            return records;
        };
        f.serializer->serialize_version(HwVersion{});
        EXPECT_EQ(f.serializer->serialize_learning_layer_program(*layer, true), 5u);
        EXPECT_EQ(f.layers.learning_calls, std::vector<bool>{true});
        f.serializer->finalize_pass();
        ProgramInfo const info = f.finish({pass_of({layer})});

        EXPECT_EQ(info.data().passes()->Get(0)->records()->size(), 0u);
        fb::LearningRecords const* records = info.data().learning_records();
        EXPECT_EQ(records->value(), 1234u);
        EXPECT_EQ(records->ident()->col() * 10 + records->ident()->row(), 21);
        EXPECT_EQ(records->third()->tracks()->size(), 3u);
        fb::LearningLayerInfo const* learning = info.info().learning_layer();
        EXPECT_EQ(learning->ident()->col(), 2);
        EXPECT_EQ(span_words(info, *learning->first_track()), record_with_tracks({4})->tracks[0].words());
        EXPECT_EQ(span_words(info, *learning->second_track()), record_with_tracks({5})->tracks[0].words());
        fb::RecordSpans const* third = learning->third();
        if (third_filters) {  // only the filters are kept
            EXPECT_EQ(third->tracks(), nullptr);
            EXPECT_EQ(info.words(third->fnp2_filters()->offset(), third->fnp2_filters()->size()),
                      (std::vector<uint32_t>{0xAA, 0xBB}));
            auto const& ident = third->fnp2_filters()->ident();
            EXPECT_EQ((std::vector<int>{ident.col(), ident.row(), ident.id()}), (std::vector<int>{3, 4, 1}));
        } else {
            ASSERT_EQ(third->tracks()->size(), 1u);
            EXPECT_EQ(span_words(info, *third->tracks()->Get(0)), record_with_tracks({7})->tracks[0].words());
            EXPECT_EQ(third->fnp2_filters(), nullptr);
        }
    }
}

TEST(SequenceSerializer, LearningRecordsMustHaveTheirTracksAndComponent) {
    struct Row { std::vector<uint32_t> first, second, third; bool third_filters, missing_third; std::string expected; };
    const Row rows[] = {
        {{}, {1}, {1}, false, false, "Cannot map layer 'learn'. Error: The first learning record has no track."},
        {{1}, {}, {1}, false, false, "Cannot map layer 'learn'. Error: The second learning record has no track."},
        {{1}, {1}, {}, false, false,
         "Cannot map layer 'learn'. Error: The third learning record has neither a track nor an FNP2 filters track."},
        {{1}, {1}, {}, true, false, ""},
        {{1}, {1}, {}, false, true,
         "Cannot map layer 'learn'. Error: The learning recorder gave fewer than three records."},
    };
    for (Row const& row : rows) {
        Fixture f;
        auto layer = learning_layer();
        f.layers.on_learning = [&](Layer const&, bool) {
            program::LearnRecordsPtr records{record_with_tracks(row.first), record_with_tracks(row.second), nullptr, 0};
            if (!row.missing_third) records.third = record_with_tracks(row.third);
            if (row.third_filters) records.third->add_fnp2_filters_track(hw::Ident{}, {1});
            return records;
        };
        EXPECT_EQ(error_text<std::runtime_error>([&] { f.serializer->serialize_learning_layer_program(*layer, true); }),
                  row.expected);
    }
    Fixture f;
    auto layer = FakeLayer::make("learn");
    auto mapping = std::make_shared<LayerMapping>(0);
    mapping->components = std::make_shared<LayerMapping::ComponentList>();
    layer->set_mapping(mapping);
    // A mapping without components: the standard library's range message, whole.
    EXPECT_EQ(error_text<std::runtime_error>([&] { f.serializer->serialize_learning_layer_program(*layer, true); }),
              "Cannot map layer 'learn'. Error: vector::_M_range_check: __n (which is 0) >= this->size() (which is 0).");
}

TEST(SequenceSerializer, UnusedNpsRecordAtTheLinkIndexAndRestoreIt) {
    for (bool fails : {false, true}) {
        Fixture f;
        auto layer = FakeLayer::make("next");
        auto first = FakeLayer::make("first");
        auto mapping = std::make_shared<LayerMapping>(4);
        mapping->input_link_index = 9;
        layer->set_mapping(mapping);
        f.layers.on_record = [&](Layer const&) {
            if (fails) throw std::runtime_error("boom");
            return record_with_tracks({1, 1});
        };
        std::vector<hw::Ident> const nps{{1, 1, 0, 0}, {2, 1, 0, 0}};
        EXPECT_EQ(error_text<std::runtime_error>(
                      [&] { EXPECT_EQ(serialize_unused_nps_program(*f.serializer, layer, first, nps), 2u); }),
                  fails ? "Cannot map layer 'next'. Error: boom." : "");
        EXPECT_EQ(mapping->index, 4);
        auto const& call = f.layers.calls.at(0);
        EXPECT_EQ(call.index, 9);
        EXPECT_EQ(call.other, "first");
        EXPECT_EQ(call.link, layer);
        EXPECT_EQ((std::vector<bool>{call.set_spikes, call.mesh_flag, call.registers_only, call.fnp_padding}),
                  (std::vector<bool>{false, false, true, false}));
        EXPECT_EQ(call.nps, nps);
    }
}

hw::Component skip_dma(hw::Type type, hw::Ident ident) { return hw::Component{type, ident, {}, {}}; }

TEST(SequenceSerializer, SkipDmaEntriesOfAPass) {
    Fixture f;
    auto plain = FakeLayer::make("plain");  // no skip DMA: nothing listed
    plain->set_mapping(std::make_shared<LayerMapping>(0));

    // A CNP layer storing its 5 x 3 x 10 output of 4 bits, with a dual output and a load.
    auto cnp = FakeLayer::make("cnp");
    cnp->set_input_dims({Shape{6, 7, 33}}).set_output_dims(Shape{5, 3, 10}).set_bits(8, 4);
    auto cm = std::make_shared<LayerMapping>(1);
    cm->merge_info = std::make_unique<MergeLayerInfo>();
    cm->merge_info->dual_output = true;
    cm->skipdma_stores = {skip_dma(hw::Type::SKIP_DMA_STORE, {0, 0, 1, 2}),
                          skip_dma(hw::Type::SKIP_DMA_STORE, {0, 0, 1, 3})};
    cm->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{3, 0, 6});
    cm->skipdma_store_dual_output_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{2, 0, 4});
    cm->skipdma_loads = {skip_dma(hw::Type::SKIP_DMA_LOAD, {0, 0, 2, 5})};
    cm->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{1, 7, 6, 0});
    cnp->set_mapping(cm);

    // A TNP-B layer storing its 2 x 4 x 40 input of 8 bits.
    auto tnp = FakeLayer::make("tnp", {ComponentKind::TNP_B});
    tnp->set_input_dims({Shape{2, 4, 40}}).set_output_dims(Shape{2, 4, 16});
    auto tm = std::make_shared<LayerMapping>(2);
    tm->skipdma_stores = {skip_dma(hw::Type::SKIP_DMA_STORE, {1, 0, 1, 8})};
    tm->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{4, 1, 8});
    tnp->set_mapping(tm);

    f.serializer->serialize_version(HwVersion{});
    f.serializer->finalize_pass();
    ProgramInfo const info = f.finish({pass_of({plain, cnp, tnp})});
    fb::PassSpans const* pass = info.info().passes()->Get(0);

    // col, row, id, channel, on_tnp_b, delay, skip channel, size
    auto entries = [](auto const* vector) {
        std::vector<std::vector<uint32_t>> out;
        for (auto const* e : *vector)
            out.push_back({e->col(), e->row(), e->id(), e->channel(), e->on_tnp_b(), e->delay(), e->skip_channel(),
                           e->size()});
        return out;
    };
    EXPECT_EQ(entries(pass->skipdma_stores()), (std::vector<std::vector<uint32_t>>{
                                                   {0, 0, 1, 2, 0, 3, 6, 30},   // 5 x 3 x ceil(10 x 4 / 32)
                                                   {0, 0, 1, 3, 0, 2, 4, 462},  // dual: 7 x 33 x ceil(6 x 8 / 32)
                                                   {1, 0, 1, 8, 1, 4, 8, 80},   // TNP-B: 2 x 4 x ceil(40 x 8 / 32)
                                               }));
    EXPECT_EQ(entries(pass->skipdma_loads()), (std::vector<std::vector<uint32_t>>{{0, 0, 2, 5, 0, 7, 6, 0}}));
}

TEST(SequenceSerializer, FinalizeRefusesMisuse) {
    Fixture unversioned;
    unversioned.serializer->finalize_pass();
    EXPECT_EQ(error_text<std::runtime_error>([&] { unversioned.finish({pass_of({})}); }),
              "The device version must be serialized before the program is finalized.");

    Fixture no_channel;
    auto layer = FakeLayer::make("cnp");
    auto mapping = std::make_shared<LayerMapping>(0);
    mapping->skipdma_loads = {skip_dma(hw::Type::SKIP_DMA_LOAD, {})};
    layer->set_mapping(mapping);
    no_channel.serializer->serialize_version(HwVersion{});
    no_channel.serializer->finalize_pass();
    EXPECT_EQ(error_text<std::runtime_error>([&] { no_channel.finish({pass_of({layer})}); }),
              "Layer 'cnp' has a skip-DMA load without its channel information.");

    Fixture f;
    f.serializer->serialize_version(HwVersion{});
    f.serializer->finalize_pass();
    EXPECT_EQ(error_text<std::runtime_error>([&] { f.finish({pass_of({}), pass_of({})}); }),
              "The program has 1 passes but the sequence has 2.");
    f.finish({pass_of({})});  // still open after a refused call
    EXPECT_EQ(error_text<std::runtime_error>([&] { f.finish({pass_of({})}); }),
              "The program of this sequence is already finalized.");
    EXPECT_EQ(error_text<std::runtime_error>([&] { f.serializer->finalize_pass(); }),
              "The program of this sequence is already finalized.");
}

TEST(DescriptorLimit, CheckNumDescriptors) {
    struct Row { uint64_t multiplier, count; std::string needed; };  // needed: "" for success
    const Row rows[] = {
        {1, 254, ""}, {2, 128, "256"}, {1, 260, "260"},  // would wrap to 4 in eight bits
        {std::numeric_limits<uint64_t>::max(), 2, "18446744073709551615"},
    };
    for (Row const& row : rows) {
        MappingStatus const status = program::check_num_descriptors(FakeLayer("l"), row.multiplier, row.count);
        EXPECT_EQ(status.failed ? status.to_string() : "",
                  row.needed.empty() ? ""
                                     : "Cannot map layer 'l'. Model is too big. The maximum number of descriptors "
                                       "is more than allowed. " +
                                           row.needed + " are needed but 254 are available.");
    }
}

}  // namespace
}  // namespace nuvra
