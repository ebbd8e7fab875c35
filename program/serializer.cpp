#include "program/serializer.h"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "hw/arith.h"
#include "hw/format.h"

namespace nuvra {

namespace program {

MappingStatus check_num_descriptors(Layer const& layer, uint64_t multiplier, uint64_t count) {
    uint64_t const needed = mul_sat(multiplier, count);
    if (needed <= max_descriptors) return MappingStatus::success();
    return MappingStatus(layer, format("Model is too big. The maximum number of descriptors is more than allowed. "
                                       "{} are needed but {} are available.",
                                       needed, max_descriptors));
}

}  // namespace program

namespace {

// The builders of program_info and of the layout pass start at this size and grow as needed.
constexpr size_t initial_buffer_size = 1024;

// The largest buffer the program format can address.
constexpr uint64_t max_buffer_bytes = FLATBUFFERS_MAX_BUFFER_SIZE;

// The words of the dummy descriptor: one config word for the zero ident at the HRC config bank.
constexpr uint32_t dummy_desc_words = 1;

// Turns a failure of a recorder, or of writing what it returned, into a mapping failure of the
// layer: "Cannot map layer '<name>'. Error: <text>.", where a text that ends a sentence keeps its
// own period.
[[noreturn]] void fail_layer(Layer const& layer, std::exception const& e) {
    std::string_view const text = e.what();
    std::string message = format("Error: {}", text);
    if (!text.ends_with('.')) message += '.';
    MappingStatus(layer, std::move(message)).throw_exception();
}

fb::Ident fb_ident(hw::Ident const& ident) { return fb::Ident(ident.col, ident.row, ident.id); }

// Locates runs of words inside the finished, size-prefixed program_data bytes.
class SpanLocator {
public:
    explicit SpanLocator(std::span<const uint8_t> bytes) : begin_(bytes.data()), size_(bytes.size()) {}

    // The byte offset of `p`, which points inside the buffer.
    uint32_t offset_of(void const* p) const {
        auto const* byte = static_cast<uint8_t const*>(p);
        if (byte < begin_ || byte > begin_ + size_)
            throw std::logic_error("A program span points outside program_data.");
        return static_cast<uint32_t>(byte - begin_);
    }

    fb::TrackSpan span(flatbuffers::Vector<uint32_t> const* words) const {
        if (words == nullptr) throw std::logic_error("A program track has no word vector.");
        return fb::TrackSpan(offset_of(words->data()), words->size());
    }

    fb::TrackSpan first_track_span(fb::Record const* record, char const* which) const {
        if (record == nullptr || record->tracks() == nullptr || record->tracks()->size() == 0)
            throw std::runtime_error(format("The {} learning record has no track.", which));
        return span(record->tracks()->Get(0)->words());
    }

private:
    uint8_t const* begin_;
    size_t size_;
};

// Hands a FlatBufferBuilder one region laid out beforehand, so that it writes the program_data
// bytes where they stay. Asking for any other memory means the layout was wrong.
class InPlaceAllocator : public flatbuffers::Allocator {
public:
    InPlaceAllocator(uint8_t* region, size_t size) : region_(region), size_(size) {}

    uint8_t* allocate(size_t size) override {
        if (handed_out_ || size != size_)
            throw std::logic_error("The program_data does not fit the room laid out for it.");
        handed_out_ = true;
        return region_;
    }
    void deallocate(uint8_t*, size_t) override {}  // the region belongs to the program
    uint8_t* reallocate_downward(uint8_t*, size_t, size_t, size_t, size_t) override {
        throw std::logic_error("The program_data outgrew the room laid out for it.");
    }

private:
    uint8_t* region_;
    size_t size_;
    bool handed_out_ = false;
};

// program_info's form of the skip-DMA entries of a pass.
std::vector<fb::SKipDmaInfoTrack> skipdma_tracks(std::vector<program::SkipDmaEntry> const& entries) {
    std::vector<fb::SKipDmaInfoTrack> tracks;
    tracks.reserve(entries.size());
    for (program::SkipDmaEntry const& e : entries)
        tracks.emplace_back(e.ident.col, e.ident.row, e.ident.id, e.ident.channel, e.on_tnp_b ? 1 : 0, e.delay,
                            e.channel, e.size);
    return tracks;
}

// Where every track of a record sits.
flatbuffers::Offset<fb::RecordSpans> record_spans(flatbuffers::FlatBufferBuilder& builder,
                                                  SpanLocator const& locate, fb::Record const* record) {
    std::vector<fb::TrackSpan> tracks;
    if (record->tracks() != nullptr)
        for (fb::NpTrack const* track : *record->tracks()) tracks.push_back(locate.span(track->words()));
    fb::Fnp2FiltersSpan fnp2;
    fb::Fnp2FiltersSpan const* fnp2_ptr = nullptr;
    if (fb::Fnp2FiltersTrack const* filters = record->fnp2_filters_track()) {
        fb::TrackSpan const words = locate.span(filters->words());
        fnp2 = fb::Fnp2FiltersSpan(words.offset(), words.size(),
                                   filters->ident() != nullptr ? *filters->ident() : fb::Ident());
        fnp2_ptr = &fnp2;
    }
    return fb::CreateRecordSpansDirect(builder, &tracks, fnp2_ptr);
}

flatbuffers::Offset<fb::LearningLayerInfo> learning_layer_info(flatbuffers::FlatBufferBuilder& builder,
                                                               SpanLocator const& locate,
                                                               fb::LearningRecords const& learning) {
    fb::TrackSpan const first = locate.first_track_span(learning.first(), "first");
    fb::TrackSpan const second = locate.first_track_span(learning.second(), "second");
    fb::Record const* third = learning.third();
    if (third == nullptr) throw std::runtime_error("The third learning record is missing.");
    flatbuffers::Offset<fb::RecordSpans> third_spans;
    if (fb::Fnp2FiltersTrack const* filters = third->fnp2_filters_track()) {
        fb::TrackSpan const words = locate.span(filters->words());
        fb::Fnp2FiltersSpan const fnp2(words.offset(), words.size(),
                                       filters->ident() != nullptr ? *filters->ident() : fb::Ident());
        third_spans = fb::CreateRecordSpansDirect(builder, nullptr, &fnp2);
    } else {
        std::vector<fb::TrackSpan> const tracks{locate.first_track_span(third, "third")};
        third_spans = fb::CreateRecordSpansDirect(builder, &tracks, nullptr);
    }
    fb::Ident const ident = learning.ident() != nullptr ? *learning.ident() : fb::Ident();
    return fb::CreateLearningLayerInfo(builder, &first, &second, third_spans, &ident);
}

}  // namespace

SequenceSerializer::SequenceSerializer(LayerRecorder const& layer_recorder, IoRecorder const& io_recorder)
    : layer_recorder_(layer_recorder), io_recorder_(io_recorder) {}

SequenceSerializer::~SequenceSerializer() = default;

void SequenceSerializer::ensure_open() const {
    if (finalized) throw std::runtime_error("The program of this sequence is already finalized.");
}

void SequenceSerializer::serialize_version(HwVersion const& version) {
    ensure_open();
    device_versions.push_back(version);
}

namespace {

// The words of one track or FNP2 filters track; in a layout pass only their length's parity, so
// that every padding after them is that of the full buffer (no alignment here exceeds 8 bytes).
flatbuffers::Offset<flatbuffers::Vector<uint32_t>> words_vector(flatbuffers::FlatBufferBuilder& builder,
                                                                std::vector<uint32_t> const& words,
                                                                bool layout_only, uint64_t* elided_words) {
    if (!layout_only) return builder.CreateVector(words);
    size_t const kept = words.size() % 2;
    *elided_words += words.size() - kept;
    return builder.CreateVector(words.data(), kept);
}

}  // namespace

flatbuffers::Offset<fb::Record> SequenceSerializer::serialize_record(flatbuffers::FlatBufferBuilder& builder,
                                                                     program::Record const& record,
                                                                     bool layout_only,
                                                                     uint64_t* elided_words) const {
    std::vector<flatbuffers::Offset<fb::NpTrack>> tracks;
    tracks.reserve(record.tracks.size());
    for (program::NpTrack const& track : record.tracks)
        tracks.push_back(fb::CreateNpTrack(builder, words_vector(builder, track.words(), layout_only, elided_words)));
    flatbuffers::Offset<fb::Fnp2FiltersTrack> filters;
    if (record.fnp2_filters_track) {
        fb::Ident const ident = fb_ident(record.fnp2_filters_track->ident);
        auto const words = words_vector(builder, record.fnp2_filters_track->words, layout_only, elided_words);
        filters = fb::CreateFnp2FiltersTrack(builder, &ident, words);
    }
    auto const track_vector = builder.CreateVector(tracks);
    return fb::CreateRecord(builder, track_vector, filters);
}

size_t SequenceSerializer::serialize_scc_program(SccFlags const& flags, Shape in, Shape out) {
    ensure_open();
    std::unique_ptr<program::Record> record = io_recorder_.record_scc(flags, in, out);
    if (!record) throw std::runtime_error("The IO recorder gave no system-configuration record.");
    steps.emplace_back().record = std::move(record);
    return 1;
}

size_t SequenceSerializer::serialize_scc_program(bool first_on_hrc, bool input_type_is_zero, bool last_on_hrc,
                                                 bool output_type_is_zero, bool narrow_output, Shape in, Shape out) {
    return serialize_scc_program(
        {first_on_hrc, input_type_is_zero, last_on_hrc, output_type_is_zero, narrow_output}, in, out);
}

size_t SequenceSerializer::serialize_layer_program(LayerRecordArgs const& args) {
    ensure_open();
    try {
        std::unique_ptr<program::Record> record = layer_recorder_.record_layer(args);
        if (!record) throw std::runtime_error("The layer recorder gave no record");
        size_t const count = record->tracks.size();
        steps.emplace_back().record = std::move(record);
        return count;
    } catch (std::exception const& e) {
        fail_layer(args.layer, e);
    }
}

size_t SequenceSerializer::serialize_layer_program(Layer const& layer, Layer const& other,
                                                   std::shared_ptr<Layer> link, bool a, bool b,
                                                   std::vector<hw::Ident> const& nps, bool c, bool d) {
    return serialize_layer_program({.layer = layer,
                                    .sequence_first = other,
                                    .next_layer = std::move(link),
                                    .set_spikes = a,
                                    .mesh_flag = b,
                                    .skipped_nps = nps,
                                    .registers_only = c,
                                    .fnp_padding = d});
}

size_t SequenceSerializer::serialize_learning_layer_program(Layer const& layer, bool set_spikes) {
    ensure_open();
    try {
        program::LearnRecordsPtr learning = layer_recorder_.record_learning_layer(layer, set_spikes);
        if (!learning.first || !learning.second || !learning.third)
            throw std::runtime_error("The learning recorder gave fewer than three records");
        if (learning.first->tracks.empty()) throw std::runtime_error("The first learning record has no track");
        if (learning.second->tracks.empty()) throw std::runtime_error("The second learning record has no track");
        if (learning.third->tracks.empty() && !learning.third->fnp2_filters_track)
            throw std::runtime_error("The third learning record has neither a track nor an FNP2 filters track");

        std::shared_ptr<Layer::Mapping> const mapping = layer.mapping();
        if (!mapping || !mapping->components) throw std::runtime_error("The learning layer has no hardware mapping");
        fb::Ident const ident = fb_ident(mapping->components->at(0).ident);

        size_t const count = learning.second->tracks.size() + learning.third->tracks.size();
        DataStep& step = steps.emplace_back();
        step.kind = DataStep::Kind::learning;
        step.learning = std::move(learning);
        step.learning_ident = ident;
        return count;
    } catch (std::exception const& e) {
        fail_layer(layer, e);
    }
}

void SequenceSerializer::finalize_pass() {
    ensure_open();
    steps.emplace_back().kind = DataStep::Kind::end_pass;
    ++pass_count;
}

void SequenceSerializer::serialize_epg_tracks(EpgArgs const& args) {
    ensure_open();
    for (auto const& [reg, value] : io_recorder_.record_epg(args)) epg_registers.emplace_back(reg, value);
}

void SequenceSerializer::serialize_epg_tracks(Layer const& first, uint8_t lowest_col, uint8_t highest_col, uint8_t c,
                                              bool last_on_hrc, bool several_passes, bool input_type_is_zero) {
    serialize_epg_tracks({.first = first,
                          .lowest_col = lowest_col,
                          .highest_col = highest_col,
                          .row_code = c,
                          .last_on_hrc = last_on_hrc,
                          .several_passes = several_passes,
                          .input_type_is_zero = input_type_is_zero});
}

void SequenceSerializer::record_dummy_desc_hdr(bool enabled) {
    ensure_open();
    if (enabled) dummy_desc_header = format_config_header_fb(hw::Ident{}, dma::Target::HrcConfig, dummy_desc_words, 0);
}

void SequenceSerializer::write_program_data(flatbuffers::FlatBufferBuilder& builder, bool layout_only,
                                            uint64_t* elided_words) const {
    // The tables go in the order the calls came: a record as it came, a pass when it closed.
    std::vector<flatbuffers::Offset<fb::Pass>> passes;
    std::vector<flatbuffers::Offset<fb::Record>> records;
    flatbuffers::Offset<fb::LearningRecords> learning_records;
    for (DataStep const& step : steps) {
        switch (step.kind) {
        case DataStep::Kind::record:
            records.push_back(serialize_record(builder, *step.record, layout_only, elided_words));
            break;
        case DataStep::Kind::end_pass:
            passes.push_back(fb::CreatePass(builder, builder.CreateVector(records)));
            records.clear();
            break;
        case DataStep::Kind::learning: {
            auto const first = serialize_record(builder, *step.learning.first, layout_only, elided_words);
            auto const second = serialize_record(builder, *step.learning.second, layout_only, elided_words);
            auto const third = serialize_record(builder, *step.learning.third, layout_only, elided_words);
            learning_records = fb::CreateLearningRecords(builder, &step.learning_ident, first, second, third,
                                                         step.learning.value);
            break;
        }
        }
    }
    fb::DescHeader const dummy(static_cast<uint32_t>(dummy_desc_header), static_cast<uint32_t>(dummy_desc_header >> 32));
    auto const pass_vector = builder.CreateVector(passes);
    builder.FinishSizePrefixed(fb::CreateProgramData(builder, pass_vector, learning_records, &dummy));
}

void SequenceSerializer::write_program_info(flatbuffers::FlatBufferBuilder& builder,
                                            std::span<const uint8_t> data_bytes,
                                            program::ProgramHeader const& header) const {
    flatbuffers::Offset<fb::DeviceVersion> device_version;
    for (HwVersion const& version : device_versions)
        device_version = fb::CreateDeviceVersion(builder, version.vendor_id, version.product_id, version.major_rev,
                                                 version.minor_rev);

    auto const* data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(data_bytes.data());
    SpanLocator const locate(data_bytes);

    std::vector<flatbuffers::Offset<fb::PassSpans>> pass_spans;
    for (size_t i = 0; i < pass_count; ++i) {
        fb::Pass const* pass = data->passes()->Get(static_cast<flatbuffers::uoffset_t>(i));
        std::vector<flatbuffers::Offset<fb::RecordSpans>> record_offsets;
        if (pass->records() != nullptr)
            for (fb::Record const* record : *pass->records()) record_offsets.push_back(record_spans(builder, locate, record));
        std::vector<fb::SKipDmaInfoTrack> const stores = skipdma_tracks(header.passes[i].stores);
        std::vector<fb::SKipDmaInfoTrack> const loads = skipdma_tracks(header.passes[i].loads);
        pass_spans.push_back(fb::CreatePassSpansDirect(builder, &record_offsets, stores.empty() ? nullptr : &stores,
                                                       loads.empty() ? nullptr : &loads));
    }

    flatbuffers::Offset<fb::LearningLayerInfo> learning_layer;
    if (data->learning_records() != nullptr) learning_layer = learning_layer_info(builder, locate, *data->learning_records());

    fb::TrackSpan const dummy_span(locate.offset_of(data->dummy_desc_header()), dma::header_words);
    std::vector<uint32_t> const input_dims = header.input_dims.to_vector();
    std::vector<uint32_t> const output_dims = header.output_dims.to_vector();

    builder.FinishSizePrefixed(fb::CreateProgramInfoDirect(
        builder, header.version.c_str(), device_version, &input_dims, &output_dims,
        static_cast<fb::IoType>(header.input_type), static_cast<fb::IoType>(header.output_type), header.output_bits,
        header.output_activation, header.input_param_b, header.input_param_a, &header.output_shift,
        &header.output_scales, header.num_descriptors, epg_registers.empty() ? nullptr : &epg_registers, &pass_spans,
        learning_layer, &dummy_span, header.input_bits, header.input_signed, header.input_channels_first,
        &header.input_scales, &header.input_zero_points, header.post_processing));
}

std::vector<uint8_t> SequenceSerializer::finalize(program::ProgramHeader const& header) {
    ensure_open();
    if (device_versions.empty())
        throw std::runtime_error("The device version must be serialized before the program is finalized.");
    if (header.passes.size() != pass_count)
        throw std::runtime_error(format("The program has {} passes but the sequence has {}.", pass_count,
                                        header.passes.size()));
    finalized = true;

    // Layout: program_data without its words gives both sizes, since the words change neither the
    // tables nor the size of program_info.
    uint64_t elided_words = 0;
    size_t info_size = 0;
    uint64_t data_size = 0;
    {
        flatbuffers::FlatBufferBuilder layout(initial_buffer_size);
        write_program_data(layout, true, &elided_words);
        data_size = uint64_t{layout.GetSize()} + elided_words * sizeof(uint32_t);
        if (data_size > max_buffer_bytes)
            throw std::runtime_error(format("The program_data of {} bytes passes the largest program of {} bytes.",
                                            data_size, max_buffer_bytes));
        flatbuffers::FlatBufferBuilder info(initial_buffer_size);
        write_program_info(info, {layout.GetBufferPointer(), layout.GetSize()}, header);
        info_size = info.GetSize();
    }

    // The words go once, straight to their place in the program; program_info goes in front.
    std::vector<uint8_t> program(info_size + size_t(data_size));
    {
        InPlaceAllocator room(program.data(), program.size());
        // Buffer alignment 1: the builder takes exactly the room it is given.
        flatbuffers::FlatBufferBuilder data(program.size(), &room, false, 1);
        write_program_data(data, false, nullptr);
        if (data.GetSize() != data_size || data.GetBufferPointer() != program.data() + info_size)
            throw std::logic_error("The program_data does not fill the room laid out for it.");
    }
    std::span<const uint8_t> const data_bytes(program.data() + info_size, size_t(data_size));
    flatbuffers::FlatBufferBuilder info(info_size);
    write_program_info(info, data_bytes, header);
    if (info.GetSize() != info_size) throw std::logic_error("The program_info does not fill the room laid out for it.");
    std::memcpy(program.data(), info.GetBufferPointer(), info_size);
    return program;
}

}  // namespace nuvra
