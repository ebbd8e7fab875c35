#include "program/serializer.h"

#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "hw/format.h"
#include "mapping/layer_mapping.h"

namespace nuvra {

namespace program {

MappingStatus check_num_descriptors(Layer const& layer, uint64_t multiplier, uint64_t count) {
    uint64_t needed = 0;
    if (__builtin_mul_overflow(multiplier, count, &needed)) needed = std::numeric_limits<uint64_t>::max();
    if (needed <= max_descriptors) return MappingStatus::success();
    return MappingStatus(layer, format("Model is too big. The maximum number of descriptors is more than allowed. "
                                       "{} are needed but {} are available.",
                                       needed, max_descriptors));
}

}  // namespace program

namespace {

// Both buffers start at this size and grow as needed.
constexpr size_t initial_buffer_size = 1024;

// The words of the dummy descriptor: one config word for the zero ident at the HRC config bank.
constexpr uint32_t dummy_desc_words = 1;

// Turns a failure of a recorder, or of writing what it returned, into a mapping failure of the
// layer: "Cannot map layer '<name>'. Error: <text>.".
[[noreturn]] void fail_layer(Layer const& layer, std::exception const& e) {
    MappingStatus(layer, format("Error: {}.", e.what())).throw_exception();
}

fb::Ident fb_ident(hw::Ident const& ident) { return fb::Ident(ident.col, ident.row, ident.id); }

// Locates runs of words inside the finished, size-prefixed program_data bytes.
class SpanLocator {
public:
    explicit SpanLocator(std::vector<uint8_t> const& bytes) : begin_(bytes.data()), size_(bytes.size()) {}

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

// x * y * ceil(c * bits / 32): the 32-bit words of a frame of x by y pixels of c channels.
uint32_t frame_words(Layer const& layer, uint64_t x, uint64_t y, uint64_t c, uint64_t bits) {
    uint64_t const row_words = (c * bits + 31) / 32;  // c < 2^32 and bits < 2^8: no overflow
    uint64_t words = 0;
    if (__builtin_mul_overflow(x, y, &words) || __builtin_mul_overflow(words, row_words, &words) ||
        words > std::numeric_limits<uint32_t>::max())
        throw std::runtime_error(format("The skip-DMA store of layer '{}' is too large.", layer.get_name()));
    return static_cast<uint32_t>(words);
}

Shape const& first_input(Layer const& layer, std::vector<Shape> const& inputs) {
    if (inputs.empty()) throw std::runtime_error(format("Layer '{}' has no input shape.", layer.get_name()));
    return inputs.front();
}

// The skip-DMA engines that the layers of one pass use: stores and loads, in the order met.
void collect_skipdma(Sequence::Pass const& pass, std::vector<fb::SKipDmaInfoTrack>* stores,
                     std::vector<fb::SKipDmaInfoTrack>* loads) {
    for (std::shared_ptr<Layer> const& layer : pass.layers) {
        if (!layer) continue;
        std::shared_ptr<LayerMapping const> const mapping = layer_mapping(*layer);
        if (!mapping) continue;
        bool const on_tnp_b = layer->is_target_component(ComponentKind::TNP_B);

        if (hw::Component const* store = mapping->skipdma_store()) {
            SkipDmaStoreInfo const* info = mapping->skipdma_store_info.get();
            if (info == nullptr)
                throw std::runtime_error(
                    format("Layer '{}' has a skip-DMA store without its channel information.", layer->get_name()));
            uint32_t size = 0;
            if (on_tnp_b) {
                std::vector<Shape> const inputs = layer->input_dimensions();
                Shape const& in = first_input(*layer, inputs);
                size = frame_words(*layer, in[0], in[1], in[2], layer->input_bits());
            } else {
                Shape const out = layer->output_dimensions();
                size = frame_words(*layer, out[0], out[1], out[2], layer->output_bits());
            }
            hw::Ident const& id = store->ident;
            stores->emplace_back(id.col, id.row, id.id, id.channel, on_tnp_b ? 1 : 0, info->delay, info->channel,
                                 size);
        }

        if (hw::Component const* store = mapping->skipdma_store_dual_output()) {
            SkipDmaStoreInfo const* info = mapping->skipdma_store_dual_output_info.get();
            if (info == nullptr)
                throw std::runtime_error(format(
                    "Layer '{}' has a dual-output skip-DMA store without its channel information.", layer->get_name()));
            std::vector<Shape> const inputs = layer->input_dimensions();
            Shape const& in = first_input(*layer, inputs);
            uint32_t const size = on_tnp_b ? frame_words(*layer, in[0], in[1], in[2], layer->input_bits())
                                           : frame_words(*layer, in[1], in[2], in[0], layer->input_bits());
            hw::Ident const& id = store->ident;
            stores->emplace_back(id.col, id.row, id.id, id.channel, 0, info->delay, info->channel, size);
        }

        if (hw::Component const* load = mapping->skipdma_load()) {
            SkipDmaLoadInfo const* info = mapping->skipdma_load_info.get();
            if (info == nullptr)
                throw std::runtime_error(
                    format("Layer '{}' has a skip-DMA load without its channel information.", layer->get_name()));
            hw::Ident const& id = load->ident;
            loads->emplace_back(id.col, id.row, id.id, id.channel, on_tnp_b ? 1 : 0, info->delay, info->store_channel,
                                0);
        }
    }
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
    : data_builder(std::make_unique<flatbuffers::FlatBufferBuilder>(initial_buffer_size)),
      info_builder(std::make_unique<flatbuffers::FlatBufferBuilder>(initial_buffer_size)),
      layer_recorder(layer_recorder),
      io_recorder(io_recorder) {}

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

size_t SequenceSerializer::serialize_scc_program(bool first_on_hrc, bool input_type_is_zero, bool last_on_hrc,
                                                 bool output_type_is_zero, bool narrow_output, Shape in, Shape out) {
    ensure_open();
    std::unique_ptr<program::Record> record = io_recorder.record_scc(
        first_on_hrc, input_type_is_zero, last_on_hrc, output_type_is_zero, narrow_output, in, out);
    if (!record) throw std::runtime_error("The IO recorder gave no system-configuration record.");
    records.push_back(serialize_record(*record));
    return 1;
}

size_t SequenceSerializer::serialize_layer(Layer const& layer, Layer const& other, std::shared_ptr<Layer> link,
                                           bool a, bool b, std::vector<hw::Ident> const& nps, bool c, bool d) {
    try {
        std::unique_ptr<program::Record> record =
            layer_recorder.record_layer(layer, other, std::move(link), a, b, nps, c, d);
        if (!record) throw std::runtime_error("The layer recorder gave no record");
        size_t const count = record->tracks.size();
        records.push_back(serialize_record(*record));
        return count;
    } catch (std::exception const& e) {
        fail_layer(layer, e);
    }
}

size_t SequenceSerializer::serialize_layer_program(Layer const& layer, Layer const& other,
                                                   std::shared_ptr<Layer> link, bool a, bool b,
                                                   std::vector<hw::Ident> const& nps, bool c, bool d) {
    ensure_open();
    return serialize_layer(layer, other, std::move(link), a, b, nps, c, d);
}

size_t SequenceSerializer::serialize_learning_layer_program(Layer const& layer, bool learn) {
    ensure_open();
    try {
        program::LearnRecordsPtr learning = layer_recorder.record_learning_layer(layer, learn);
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

size_t SequenceSerializer::serialize_unused_nps_program(std::shared_ptr<Layer> layer, std::shared_ptr<Layer> other,
                                                        std::vector<hw::Ident> const& nps) {
    ensure_open();
    if (!layer || !other) throw std::invalid_argument("The unused NPs of a pass need both layers.");
    std::shared_ptr<LayerMapping> const mapping = layer_mapping(layer);
    if (!mapping) MappingStatus(*layer, "Error: The layer has no hardware mapping.").throw_exception();

    // The recorder sees the layer at the index it was linked with; its own index comes back
    // however the recording ends.
    struct IndexGuard {
        LayerMapping& mapping;
        uint8_t saved;
        ~IndexGuard() { mapping.index = saved; }
    } const guard{*mapping, mapping->index};
    mapping->index = mapping->input_link_index;

    Layer const& recorded = *layer;
    return serialize_layer(recorded, *other, std::move(layer), false, false, nps, true, false);
}

void SequenceSerializer::finalize_pass() {
    ensure_open();
    passes.push_back(fb::CreatePass(*data_builder, data_builder->CreateVector(records)));
    records.clear();
}

void SequenceSerializer::serialize_epg_tracks(Layer const& first, uint8_t lowest_col, uint8_t highest_col, uint8_t c,
                                              bool last_on_hrc, bool several_passes, bool input_type_is_zero) {
    ensure_open();
    for (auto const& [reg, value] :
         io_recorder.record_epg(first, lowest_col, highest_col, c, last_on_hrc, several_passes, input_type_is_zero))
        epg_registers.emplace_back(reg, value);
}

void SequenceSerializer::record_dummy_desc_hdr(bool enabled) {
    ensure_open();
    if (enabled) dummy_desc_header = format_config_header_fb(hw::Ident{}, dma::Target::HrcConfig, dummy_desc_words, 0);
}

void SequenceSerializer::finalize(const char* version, Shape const& in, Shape const& out, int8_t input_type,
                                  int8_t output_type, uint8_t output_bits, bool output_activation,
                                  uint32_t input_param_b, uint32_t input_param_a,
                                  std::vector<int32_t> const& output_shift, std::vector<float> const& output_scales,
                                  uint8_t num_descriptors, std::vector<uint8_t>* program,
                                  std::vector<std::shared_ptr<Sequence::Pass>> const& sequence_passes,
                                  uint8_t input_bits, bool input_signed, bool input_channels_first,
                                  std::vector<float> const& input_scales,
                                  std::vector<uint8_t> const& input_zero_points, bool post_processing) {
    ensure_open();
    if (program == nullptr) throw std::invalid_argument("The program needs an output buffer.");
    if (!has_device_version)
        throw std::runtime_error("The device version must be serialized before the program is finalized.");
    if (sequence_passes.size() != passes.size())
        throw std::runtime_error(format("The program has {} passes but the sequence has {}.", passes.size(),
                                        sequence_passes.size()));
    for (auto const& pass : sequence_passes)
        if (!pass) throw std::invalid_argument("A pass of the sequence is missing.");

    // program_data first: program_info locates its words.
    fb::DescHeader const dummy(static_cast<uint32_t>(dummy_desc_header), static_cast<uint32_t>(dummy_desc_header >> 32));
    auto const pass_vector = data_builder->CreateVector(passes);
    data_builder->FinishSizePrefixed(fb::CreateProgramData(*data_builder, pass_vector, learning_records, &dummy));
    finalized = true;
    std::vector<uint8_t> const data_bytes(data_builder->GetBufferPointer(),
                                          data_builder->GetBufferPointer() + data_builder->GetSize());
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
        std::vector<fb::SKipDmaInfoTrack> stores;
        std::vector<fb::SKipDmaInfoTrack> loads;
        collect_skipdma(*sequence_passes[i], &stores, &loads);
        pass_spans.push_back(fb::CreatePassSpansDirect(builder, &record_offsets, stores.empty() ? nullptr : &stores,
                                                       loads.empty() ? nullptr : &loads));
    }

    flatbuffers::Offset<fb::LearningLayerInfo> learning_layer;
    if (data->learning_records() != nullptr) learning_layer = learning_layer_info(builder, locate, *data->learning_records());

    fb::TrackSpan const dummy_span(locate.offset_of(data->dummy_desc_header()), dma::header_words);
    std::vector<uint32_t> const input_dims = in.to_vector();
    std::vector<uint32_t> const output_dims = out.to_vector();

    builder.FinishSizePrefixed(fb::CreateProgramInfoDirect(
        builder, version, device_version, &input_dims, &output_dims, static_cast<fb::IoType>(input_type),
        static_cast<fb::IoType>(output_type), output_bits, output_activation, input_param_b, input_param_a,
        &output_shift, &output_scales, num_descriptors, epg_registers.empty() ? nullptr : &epg_registers, &pass_spans,
        learning_layer, &dummy_span, input_bits, input_signed, input_channels_first, &input_scales,
        &input_zero_points, post_processing));

    program->assign(builder.GetBufferPointer(), builder.GetBufferPointer() + builder.GetSize());
    program->insert(program->end(), data_bytes.begin(), data_bytes.end());
    info_builder.reset();
}

}  // namespace nuvra
