#include "engine/program_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <flatbuffers/flatbuffers.h>

#include "engine/error_text.h"
#include "engine/stub_layer.h"
#include "engine/program_generated.h"
#include "program/serializer.h"
#include "support/recorder_doubles.h"

namespace nuvra {
namespace {

using testing::error_text;
using testing::record_with_tracks;

struct ProgramShape {
    Shape in{4, 4, 3};
    Shape out{1, 1, 10};
    uint8_t in_bits = 8;
    uint8_t out_bits = 8;
    bool activation = true;
    uint8_t descriptors = 3;
};

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
    auto a = std::make_shared<testing::StubLayer>("a");
    auto b = std::make_shared<testing::StubLayer>("b");
    SequenceSerializer serializer(layers, io);
    serializer.serialize_version(HwVersion{0xBC, 0xA2, 1, 0});
    serializer.serialize_scc_program(false, true, false, true, true, shape.in, shape.out);
    serializer.serialize_layer_program(*a, *a, nullptr, false, true, {}, false, false);
    serializer.finalize_pass();
    serializer.serialize_layer_program(*b, *a, nullptr, true, false, {}, false, false);
    serializer.finalize_pass();
    serializer.record_dummy_desc_hdr(true);
    auto pa = std::make_shared<Sequence::Pass>();
    auto pb = std::make_shared<Sequence::Pass>();
    std::vector<uint8_t> program;
    serializer.finalize("2.0.0", shape.in, shape.out, 0, 0, shape.out_bits, shape.activation, 0, 0, {}, {},
                        shape.descriptors, &program, {pa, pb}, shape.in_bits, true, false, {}, {}, false);
    return program;
}

void put_le32(std::vector<uint8_t>* bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4; ++i) (*bytes)[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t le32(std::vector<uint8_t> const& bytes, size_t at) {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t{bytes[at + 3]} << 24;
}

TEST(ProgramInfoReader, ReadsAProgram) {
    std::vector<uint8_t> const program = sample_program();
    ProgramInfo const info(program.data(), program.size());
    EXPECT_EQ(info.info_bytes().size(), 4u + le32(program, 0));
    EXPECT_EQ(info.info().passes()->size(), 2u);
    EXPECT_EQ(info.data().passes()->size(), 2u);
    EXPECT_STREQ(info.info().version()->c_str(), "2.0.0");
}

TEST(ProgramInfoReader, RefusesBadBytes) {
    std::vector<uint8_t> const good = sample_program();
    uint32_t const info_length = le32(good, 0);
    size_t const data_at = 4 + info_length;

    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string error;
    };
    std::vector<Row> rows;
    rows.push_back({"empty", {}, "Invalid program: shorter than the length of program_info."});
    rows.push_back({"three bytes", {1, 0, 0}, "Invalid program: shorter than the length of program_info."});
    {
        auto bytes = good;
        put_le32(&bytes, 0, static_cast<uint32_t>(good.size()));
        rows.push_back({"info length past the end", bytes,
                        "Invalid program: the length of program_info passes the end of the program."});
    }
    {
        auto bytes = good;
        put_le32(&bytes, 0, 0xFFFFFFFF);
        rows.push_back({"info length of 2^32 - 1", bytes,
                        "Invalid program: the length of program_info passes the end of the program."});
    }
    {
        auto bytes = good;
        bytes.push_back(0);
        rows.push_back({"a trailing byte", bytes,
                        "Invalid program: the length of program_data does not match the program's size."});
    }
    {
        auto bytes = good;
        put_le32(&bytes, data_at, le32(good, data_at) - 4);
        rows.push_back({"data length too short", bytes,
                        "Invalid program: the length of program_data does not match the program's size."});
    }
    {
        std::vector<uint8_t> bytes(good.begin(), good.begin() + data_at);
        rows.push_back({"no program_data", bytes,
                        "Invalid program: the length of program_info passes the end of the program."});
    }
    {
        auto bytes = good;
        put_le32(&bytes, 4, 0x7FFFFFF0);  // root offset of program_info far outside
        rows.push_back({"info root outside", bytes, "Invalid program: program_info does not verify."});
    }
    {
        auto bytes = good;
        put_le32(&bytes, data_at + 4, 0x7FFFFFF0);  // root offset of program_data far outside
        rows.push_back({"data root outside", bytes, "Invalid program: program_data does not verify."});
    }
    {
        std::vector<uint8_t> bytes{4, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0};
        rows.push_back({"two empty roots", bytes, "Invalid program: program_info does not verify."});
    }
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(error_text<std::invalid_argument>([&] { ProgramInfo(row.bytes.data(), row.bytes.size()); }),
                  row.error);
    }
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
    size_t const data_at = 4 + le32(good, 0);
    std::vector<uint8_t> const data(good.begin() + data_at, good.end());  // two passes
    uint32_t const size = static_cast<uint32_t>(data.size());
    std::string const outside = "Invalid program: a word span lies outside program_data.";

    struct Row {
        const char* name;
        fb::TrackSpan span;
        size_t passes;
        std::string error;
    };
    const Row rows[] = {
        {"the last word", fb::TrackSpan(size - 4, 1), 2, ""},
        {"empty at the end", fb::TrackSpan(size, 0), 2, ""},
        {"one word past the end", fb::TrackSpan(size - 4, 2), 2, outside},
        {"offset past the end", fb::TrackSpan(size + 4, 0), 2, outside},
        {"size of 2^32 - 1 words", fb::TrackSpan(4, 0xFFFFFFFF), 2, outside},
        {"not on a word", fb::TrackSpan(6, 1), 2, outside},
        {"in the size prefix", fb::TrackSpan(0, 1), 2, outside},
        {"pass counts differ", fb::TrackSpan(4, 0), 1, "Invalid program: the two buffers do not hold the same passes."},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> const bytes = with_info(data, row.span, row.passes);
        EXPECT_EQ(error_text<std::invalid_argument>([&] { ProgramInfo(bytes.data(), bytes.size()); }), row.error);
    }
}

TEST(ProgramInfoReader, WordsOfASpanAreRangeChecked) {
    std::vector<uint8_t> const program = sample_program();
    ProgramInfo const info(program.data(), program.size());
    auto const* span = info.info().passes()->Get(0)->records()->Get(1)->tracks()->Get(0);
    EXPECT_EQ(info.words(span->offset(), span->size()), record_with_tracks({3})->tracks[0].words());
    uint32_t const size = static_cast<uint32_t>(info.data_bytes().size());
    EXPECT_EQ(error_text<std::invalid_argument>([&] { info.words(size - 4, 2); }),
              "Invalid program: a word span lies outside program_data.");
}

TEST(ProgramInfoReader, MemoryQueries) {
    struct Row {
        const char* name;
        ProgramShape shape;
        uint64_t input, output, descriptors;
    };
    const Row rows[] = {
        // 4 x 4 x 3 bytes = 48; 10 bytes rounded to 12; 16 x 3 descriptors x 2 passes.
        {"bytes", {}, 48, 12, 96},
        // 5 values of 4 bits round up to one word; 10 potentials of 32 bits.
        {"nibbles and potentials", {Shape{5, 1, 1}, Shape{1, 1, 10}, 4, 8, false, 1}, 4, 40, 32},
        {"one bit", {Shape{33, 1, 1}, Shape{2, 2, 2}, 1, 1, true, 127}, 8, 4, 16 * 127 * 2},
    };
    for (Row const& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint8_t> const program = sample_program(row.shape);
        ProgramInfo const info(program.data(), program.size());
        EXPECT_EQ(input_memory_required(info), row.input);
        EXPECT_EQ(input_descriptor_memory_required(info), 16u);
        EXPECT_EQ(output_memory_required(info), row.output);
        // SCC 3 words, per pass 5 + 2 words, and the 2 words of the dummy descriptor.
        EXPECT_EQ(program_data_memory_required(info), 4u * (3 + 7 + 7 + 2));
        EXPECT_EQ(extra_program_memory_required(info), 4u * 5);
        EXPECT_EQ(program_descriptors_memory_required(info), row.descriptors);
    }
}

}  // namespace
}  // namespace nuvra
