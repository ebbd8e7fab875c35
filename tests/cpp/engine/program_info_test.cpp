#include "engine/program_info.h"

#include <gtest/gtest.h>

#include <flatbuffers/flatbuffers.h>

#include "engine/program_generated.h"
#include "program/serializer.h"
#include "support/error_text.h"
#include "support/fake_layer.h"
#include "support/recorder_doubles.h"

namespace nuvra {
namespace {

using namespace testing;

struct ProgramShape { Shape in{4, 4, 3}, out{1, 1, 10}; uint8_t in_bits = 8, out_bits = 8; bool activation = true;
                      uint8_t descriptors = 3; };

// A program of two passes: an SCC record of one one-word block, then per pass one layer with a
// three-word block and an empty block, the second layer also with FNP2 filters of 5 words.
std::vector<uint8_t> sample_program(ProgramShape const& shape = {}) {
    testing::LayerRecorderDouble layers;
    testing::IoRecorderDouble io;
    layers.on_record = [](Layer const& layer) {
        auto record = record_with_tracks({3, 0});
        if (layer.get_name() == "b") record->add_fnp2_filters_track(hw::Ident{1, 1, 0, 0}, {1, 2, 3, 4, 5});
        return record;
    };
    testing::FakeLayer const a("a"), b("b");
    SequenceSerializer serializer(layers, io);
    serializer.serialize_version(HwVersion{0xBC, 0xA2, 1, 0});
    serializer.serialize_scc_program({.input_type_is_zero = true, .output_type_is_zero = true, .narrow_output = true},
                                     shape.in, shape.out);
    serializer.serialize_layer_program({.layer = a, .sequence_first = a, .mesh_flag = true, .skipped_nps = {}});
    serializer.finalize_pass();
    serializer.serialize_layer_program({.layer = b, .sequence_first = a, .set_spikes = true, .skipped_nps = {}});
    serializer.finalize_pass();
    serializer.record_dummy_desc_hdr(true);
    program::ProgramHeader header;
    header.version = "2.0.0";
    header.input_dims = shape.in;
    header.output_dims = shape.out;
    header.output_bits = shape.out_bits;
    header.output_activation = shape.activation;
    header.num_descriptors = shape.descriptors;
    header.passes.resize(2);
    header.input_bits = shape.in_bits;
    header.input_signed = true;
    return serializer.finalize(header);
}

void put_le32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
uint32_t le32(std::vector<uint8_t> const& bytes, size_t at) {
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

TEST(ProgramInfoReader, MemoryQueries) {
    struct Row { ProgramShape shape; uint64_t input, output, descriptors; };
    const Row rows[] = {
        // 4 x 4 x 3 bytes = 48; 10 bytes rounded to 12; 16 x 3 descriptors x 2 passes.
        {{}, 48, 12, 96},
        // 5 values of 4 bits round up to one word; 10 potentials of 32 bits.
        {{Shape{5, 1, 1}, Shape{1, 1, 10}, 4, 8, false, 1}, 4, 40, 32},
    };
    for (Row const& row : rows) {
        std::vector<uint8_t> const program = sample_program(row.shape);
        ProgramInfo const info(program.data(), program.size());
        EXPECT_EQ(info.info_bytes().size(), 4u + le32(program, 0));
        EXPECT_EQ(input_memory_required(info), row.input);
        EXPECT_EQ(input_descriptor_memory_required(info), 16u);
        EXPECT_EQ(output_memory_required(info), row.output);
        // SCC 3 words, per pass 5 + 2 words, and the 2 words of the dummy descriptor.
        EXPECT_EQ(program_data_memory_required(info), 4u * (3 + 7 + 7 + 2));
        EXPECT_EQ(extra_program_memory_required(info), 4u * 5);
        EXPECT_EQ(program_descriptors_memory_required(info), row.descriptors);
    }
}

TEST(ProgramInfoReader, RefusesBadBytes) {
    std::vector<uint8_t> const good = sample_program();
    size_t const data_at = 4 + le32(good, 0);
    auto changed = [&](size_t at, uint32_t value) {
        auto bytes = good;
        put_le32(&bytes, at, value);
        return bytes;
    };
    std::string const past_end = "Invalid program: the length of program_info passes the end of the program.";
    std::string const data_length = "Invalid program: the length of program_data does not match the program's size.";
    auto longer = good;
    longer.push_back(0);
    std::pair<std::vector<uint8_t>, std::string> const rows[] = {
        {{1, 0, 0}, "Invalid program: shorter than the length of program_info."},
        {changed(0, 0xFFFFFFFF), past_end},
        {std::vector<uint8_t>(good.begin(), good.begin() + std::ptrdiff_t(data_at)), past_end},
        {longer, data_length},
        {changed(data_at, le32(good, data_at) - 4), data_length},
        {changed(4, 0x7FFFFFF0), "Invalid program: program_info does not verify."},  // root offsets far outside
        {changed(data_at + 4, 0x7FFFFFF0), "Invalid program: program_data does not verify."},
    };
    for (auto const& [bytes, error] : rows)
        EXPECT_EQ(error_text<std::invalid_argument>([&bytes = bytes] { ProgramInfo(bytes.data(), bytes.size()); }),
                  error);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { ProgramInfo(nullptr, 8); }), "Invalid program: no bytes.");
}

// A program whose info buffer is built by hand around a valid program_data: `passes` passes of
// one record with one track at `span`.
std::vector<uint8_t> with_info(std::vector<uint8_t> const& data_buffer, fb::TrackSpan span, size_t pass_count) {
    flatbuffers::FlatBufferBuilder builder;
    std::vector<fb::TrackSpan> const tracks{span};
    std::vector<flatbuffers::Offset<fb::PassSpans>> passes;
    for (size_t i = 0; i < pass_count; ++i) {
        std::vector<flatbuffers::Offset<fb::RecordSpans>> const records{fb::CreateRecordSpansDirect(builder, &tracks)};
        passes.push_back(fb::CreatePassSpansDirect(builder, &records));
    }
    std::vector<uint32_t> const dims{1};
    std::vector<float> const none_f;
    std::vector<int32_t> const none_i;
    std::vector<uint8_t> const none_u;
    fb::TrackSpan const dummy(4, 0);
    builder.FinishSizePrefixed(fb::CreateProgramInfoDirect(
        builder, "x", 0, &dims, &dims, fb::IoType::Type0, fb::IoType::Type0, 8, true, 0, 0, &none_i, &none_f, 1,
        nullptr, &passes, 0, &dummy, 8, false, false, &none_f, &none_u, false));
    std::vector<uint8_t> bytes(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
    bytes.insert(bytes.end(), data_buffer.begin(), data_buffer.end());
    return bytes;
}

TEST(ProgramInfoReader, RefusesSpansOutsideProgramData) {
    std::vector<uint8_t> const good = sample_program();
    std::vector<uint8_t> const data(good.begin() + 4 + le32(good, 0), good.end());  // two passes
    uint32_t const size = static_cast<uint32_t>(data.size());
    std::string const outside = "Invalid program: a word span lies outside program_data.";
    struct Row { fb::TrackSpan span; size_t passes; std::string error; };
    const Row rows[] = {
        {fb::TrackSpan(size, 0), 2, ""},      // empty at the end
        {fb::TrackSpan(size - 4, 2), 2, outside},
        {fb::TrackSpan(4, 0xFFFFFFFF), 2, outside},
        {fb::TrackSpan(6, 1), 2, outside},  // not on a word
        {fb::TrackSpan(0, 1), 2, outside},  // in the size prefix
        {fb::TrackSpan(4, 0), 1, "Invalid program: the two buffers do not hold the same passes."},
    };
    for (Row const& row : rows) {
        std::vector<uint8_t> const bytes = with_info(data, row.span, row.passes);
        EXPECT_EQ(error_text<std::invalid_argument>([&] { ProgramInfo(bytes.data(), bytes.size()); }), row.error)
            << row.span.offset() << " " << row.span.size();
    }
    ProgramInfo const info(good.data(), good.size());
    auto const* span = info.info().passes()->Get(0)->records()->Get(1)->tracks()->Get(0);
    EXPECT_EQ(info.words(span->offset(), span->size()), record_with_tracks({3})->tracks[0].words());
    EXPECT_EQ(error_text<std::invalid_argument>([&] { info.words(size - 4, 2); }), outside);
}

}  // namespace
}  // namespace nuvra
