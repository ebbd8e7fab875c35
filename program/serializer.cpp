#include "program/serializer.h"

#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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

// program_info's buffer starts at this size and grows as needed.
constexpr size_t initial_buffer_size = 1024;

// program_data's first region; it grows with the program (1.5 times at a time), in place while
// its pages have room below it, else by moving its pages to a larger mapping.
constexpr size_t data_initial_bytes = size_t{256} << 10;

// The words of the dummy descriptor: one config word for the zero ident at the HRC config bank.
constexpr uint32_t dummy_desc_words = 1;

// Turns a failure of a recorder, or of writing what it returned, into a mapping failure of the
// layer; one the recorder already named for the layer that holds what failed passes as it is.
[[noreturn]] void fail_layer(Layer const& layer, std::exception const& e) {
    if (auto const* named = dynamic_cast<MappingStatusError const*>(&e)) throw *named;
    recording_failure(layer, e).throw_exception();
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

// program_info's form of the skip-DMA entries of a pass.
std::vector<fb::SKipDmaInfoTrack> skipdma_tracks(std::vector<program::SkipDmaEntry> const& entries) {
    std::vector<fb::SKipDmaInfoTrack> tracks;
    tracks.reserve(entries.size());
    for (program::SkipDmaEntry const& e : entries)
        tracks.emplace_back(e.ident.col, e.ident.row, e.ident.id, e.ident.channel, e.on_tnp_b ? 1 : 0, e.delay,
                            e.channel, e.size);
    return tracks;
}

// Where an FNP2 filters track sits, with its NP.
fb::Fnp2FiltersSpan fnp2_filters_span(SpanLocator const& locate, fb::Fnp2FiltersTrack const& filters) {
    fb::TrackSpan const words = locate.span(filters.words());
    fb::Ident const ident = filters.ident() != nullptr ? *filters.ident() : fb::Ident();
    return fb::Fnp2FiltersSpan(words.offset(), words.size(), ident);
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
        fnp2 = fnp2_filters_span(locate, *filters);
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
        fb::Fnp2FiltersSpan const fnp2 = fnp2_filters_span(locate, *filters);
        third_spans = fb::CreateRecordSpansDirect(builder, nullptr, &fnp2);
    } else {
        std::vector<fb::TrackSpan> const tracks{locate.first_track_span(third, "third")};
        third_spans = fb::CreateRecordSpansDirect(builder, &tracks, nullptr);
    }
    fb::Ident const ident = learning.ident() != nullptr ? *learning.ident() : fb::Ident();
    return fb::CreateLearningLayerInfo(builder, &first, &second, third_spans, &ident);
}

}  // namespace

// Gives program_data's builder page regions instead of heap blocks, grows them without copying
// their bytes, and hands the one holding the finished program on to it.
class SequenceSerializer::RegionAllocator : public flatbuffers::Allocator {
public:
    uint8_t* allocate(size_t size) override {
        regions_.emplace_back(size);
        return regions_.back().begin();
    }
    uint8_t* reallocate_downward(uint8_t* old_p, size_t, size_t new_size, size_t in_use_back,
                                 size_t in_use_front) override {
        for (program::PageRegion& region : regions_) {
            if (region.begin() != old_p) continue;
            region.grow(new_size, in_use_front, in_use_back);
            return region.begin();
        }
        throw std::logic_error("program_data grows from memory it was not given.");
    }
    void deallocate(uint8_t* p, size_t) override {
        std::erase_if(regions_, [p](program::PageRegion const& region) { return region.begin() == p; });
    }
    // The region that holds `p`; the allocator keeps no claim on it.
    program::PageRegion take(uint8_t const* p) {
        for (auto it = regions_.begin(); it != regions_.end(); ++it) {
            if (p < it->begin() || p >= it->end()) continue;
            program::PageRegion region = std::move(*it);
            regions_.erase(it);
            return region;
        }
        throw std::logic_error("The program_data lies outside the regions it was written to.");
    }

private:
    std::vector<program::PageRegion> regions_;
};

SequenceSerializer::SequenceSerializer(LayerRecorder const& layer_recorder, IoRecorder const& io_recorder)
    : data_memory(std::make_unique<RegionAllocator>()),
      data_builder(std::make_unique<flatbuffers::FlatBufferBuilder>(data_initial_bytes, data_memory.get(), false)),
      info_builder(std::make_unique<flatbuffers::FlatBufferBuilder>(initial_buffer_size)),
      layer_recorder_(layer_recorder),
      io_recorder_(io_recorder) {}

SequenceSerializer::~SequenceSerializer() = default;

void SequenceSerializer::ensure_open() const {
    if (finalized) throw std::runtime_error("The program of this sequence is already finalized.");
}

void SequenceSerializer::serialize_version(HwVersion const& version) {
    ensure_open();
    device_version = fb::CreateDeviceVersion(*info_builder, version.vendor_id, version.product_id,
                                             version.major_rev, version.minor_rev);
    has_device_version = true;
}

flatbuffers::Offset<fb::Record> SequenceSerializer::serialize_record(program::Record const& record) {
    flatbuffers::FlatBufferBuilder& builder = *data_builder;
    std::vector<flatbuffers::Offset<fb::NpTrack>> tracks;
    tracks.reserve(record.tracks.size());
    for (program::NpTrack const& track : record.tracks)
        tracks.push_back(fb::CreateNpTrack(builder, builder.CreateVector(track.words())));
    flatbuffers::Offset<fb::Fnp2FiltersTrack> filters;
    if (record.fnp2_filters_track) {
        fb::Ident const ident = fb_ident(record.fnp2_filters_track->ident);
        auto const words = builder.CreateVector(record.fnp2_filters_track->words);
        filters = fb::CreateFnp2FiltersTrack(builder, &ident, words);
    }
    auto const track_vector = builder.CreateVector(tracks);
    return fb::CreateRecord(builder, track_vector, filters);
}

size_t SequenceSerializer::serialize_scc_program(SccFlags const& flags, Shape in, Shape out) {
    ensure_open();
    std::unique_ptr<program::Record> record = io_recorder_.record_scc(flags, in, out);
    if (!record) throw std::runtime_error("The IO recorder gave no system-configuration record.");
    records.push_back(serialize_record(*record));
    return 1;
}

size_t SequenceSerializer::serialize_scc_program(bool first_on_hrc, bool input_type_is_zero, bool last_on_hrc,
                                                 bool output_type_is_zero, bool narrow_output, Shape in, Shape out) {
    return serialize_scc_program(
        SccFlags{first_on_hrc, input_type_is_zero, last_on_hrc, output_type_is_zero, narrow_output}, in, out);
}

size_t SequenceSerializer::serialize_layer_program(LayerRecordArgs const& args) {
    ensure_open();
    try {
        std::unique_ptr<program::Record> record = layer_recorder_.record_layer(args);
        if (!record) throw std::runtime_error("The layer recorder gave no record");
        size_t const count = record->tracks.size();
        records.push_back(serialize_record(*record));
        return count;
    } catch (std::exception const& e) {
        fail_layer(args.layer, e);
    }
}

size_t SequenceSerializer::serialize_layer_program(Layer const& layer, Layer const& sequence_first,
                                                   std::shared_ptr<Layer> next_layer, bool set_spikes, bool mesh_flag,
                                                   std::vector<hw::Ident> const& skipped_nps, bool registers_only,
                                                   bool fnp_padding) {
    return serialize_layer_program(layer_record_args(layer, sequence_first, std::move(next_layer), set_spikes,
                                                     mesh_flag, skipped_nps, registers_only, fnp_padding));
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

        auto const first = serialize_record(*learning.first);
        auto const second = serialize_record(*learning.second);
        auto const third = serialize_record(*learning.third);

        std::shared_ptr<Layer::Mapping> const mapping = layer.mapping();
        if (!mapping || !mapping->components) throw std::runtime_error("The learning layer has no hardware mapping");
        fb::Ident const ident = fb_ident(mapping->components->at(0).ident);

        learning_records = fb::CreateLearningRecords(*data_builder, &ident, first, second, third, learning.value);
        return learning.second->tracks.size() + learning.third->tracks.size();
    } catch (std::exception const& e) {
        fail_layer(layer, e);
    }
}

void SequenceSerializer::finalize_pass() {
    ensure_open();
    passes.push_back(fb::CreatePass(*data_builder, data_builder->CreateVector(records)));
    records.clear();
}

void SequenceSerializer::serialize_epg_tracks(EpgArgs const& args) {
    ensure_open();
    for (auto const& [reg, value] : io_recorder_.record_epg(args)) epg_registers.emplace_back(reg, value);
}

void SequenceSerializer::serialize_epg_tracks(Layer const& first, uint8_t lowest_col, uint8_t highest_col,
                                              uint8_t row_code, bool last_on_hrc, bool several_passes,
                                              bool input_type_is_zero) {
    serialize_epg_tracks(
        EpgArgs{first, lowest_col, highest_col, row_code, last_on_hrc, several_passes, input_type_is_zero});
}

void SequenceSerializer::record_dummy_desc_hdr(bool enabled) {
    ensure_open();
    if (enabled) dummy_desc_header = format_config_header_fb(hw::Ident{}, dma::Target::HrcConfig, dummy_desc_words, 0);
}

program::ProgramBuffer SequenceSerializer::finalize_in_place(program::ProgramHeader const& header) {
    ensure_open();
    if (!has_device_version)
        throw std::runtime_error("The device version must be serialized before the program is finalized.");
    if (header.passes.size() != passes.size())
        throw std::runtime_error(format("The program has {} passes but the sequence has {}.", passes.size(),
                                        header.passes.size()));

    // program_data first: program_info locates its words.
    fb::DescHeader const dummy(static_cast<uint32_t>(dummy_desc_header), static_cast<uint32_t>(dummy_desc_header >> 32));
    auto const pass_vector = data_builder->CreateVector(passes);
    data_builder->FinishSizePrefixed(fb::CreateProgramData(*data_builder, pass_vector, learning_records, &dummy));
    finalized = true;
    // The builder lets go of its buffer; the region around it is the program's from now on.
    size_t reserved = 0, offset = 0;
    uint8_t* const buffer = data_builder->ReleaseRaw(reserved, offset);
    std::span<const uint8_t> const data_bytes(buffer + offset, reserved - offset);
    program::PageRegion region = data_memory->take(buffer);
    data_builder.reset();

    auto const* data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(data_bytes.data());
    SpanLocator const locate(data_bytes);
    flatbuffers::FlatBufferBuilder& builder = *info_builder;

    std::vector<flatbuffers::Offset<fb::PassSpans>> pass_spans;
    for (size_t i = 0; i < passes.size(); ++i) {
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

    // program_info goes in front of program_data, in the room the region has below it (made when
    // there is too little: the spans count from program_data's start, wherever it lies).
    size_t const info_size = builder.GetSize();
    size_t const data_size = data_bytes.size();
    if (data_bytes.data() + data_size != region.end()) throw std::logic_error("program_data does not end its region.");
    if (size_t const room = size_t(data_bytes.data() - region.begin()); room < info_size)
        region.grow(region.size() + (info_size - room), 0, data_size);
    uint8_t* const start = region.end() - data_size - info_size;
    std::memcpy(start, builder.GetBufferPointer(), info_size);
    info_builder.reset();
    region.release_below(start);
    return program::ProgramBuffer(std::move(region), {start, info_size + data_size});
}

std::vector<uint8_t> SequenceSerializer::finalize(program::ProgramHeader const& header) {
    return finalize_in_place(header).to_vector();
}

}  // namespace nuvra
