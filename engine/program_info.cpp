#include "engine/program_info.h"

#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include <flatbuffers/flatbuffers.h>

// The generated description of the program format, shared with the module's serializer.
#include "engine/program_generated.h"
#include "hw/arith.h"

namespace nuvra {

namespace {

constexpr uint64_t prefix_bytes = sizeof(flatbuffers::uoffset_t);
constexpr uint64_t word_bytes = 4;

[[noreturn]] void invalid(std::string const& what) { throw std::invalid_argument("Invalid program: " + what); }

uint32_t read_le32(const unsigned char* p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

uint64_t checked_mul(uint64_t a, uint64_t b) {
    if (auto const product = try_mul(a, b)) return *product;
    invalid("a memory size does not fit 64 bits.");
}

// Bytes of `elements` values of `bits` bits, rounded up to whole 32-bit words.
uint64_t packed_bytes(uint64_t elements, uint64_t bits) {
    uint64_t const total_bits = checked_mul(elements, bits);
    return (total_bits / 32 + (total_bits % 32 != 0 ? 1 : 0)) * word_bytes;
}

uint64_t product(flatbuffers::Vector<uint32_t> const* dims) {
    uint64_t p = 1;
    for (uint32_t d : *dims) p = checked_mul(p, d);
    return p;
}

void verify(std::vector<uint8_t> const& bytes, bool is_info) {
    if (bytes.size() >= FLATBUFFERS_MAX_BUFFER_SIZE) invalid("a buffer is larger than FlatBuffers allows.");
    flatbuffers::Verifier verifier(bytes.data(), bytes.size());
    bool const ok = is_info ? verifier.VerifySizePrefixedBuffer<fb::ProgramInfo>(nullptr)
                            : verifier.VerifySizePrefixedBuffer<fb::ProgramData>(nullptr);
    if (!ok) invalid(is_info ? "program_info does not verify." : "program_data does not verify.");
}

// Checks that every span of program_info lies on whole words inside program_data, and that the
// fields every program carries are there.
class SpanChecker {
public:
    explicit SpanChecker(uint64_t data_size) : data_size_(data_size) {}

    void check(uint64_t offset, uint64_t size) const {
        if (offset % word_bytes != 0 || offset < prefix_bytes || offset + size * word_bytes > data_size_)
            invalid("a word span lies outside program_data.");
    }
    void check(fb::TrackSpan const* span) const {
        if (span != nullptr) check(span->offset(), span->size());
    }
    void check(fb::RecordSpans const* record) const {
        if (record == nullptr) invalid("a record has no spans.");
        if (record->tracks() != nullptr)
            for (fb::TrackSpan const* span : *record->tracks()) check(span);
        if (fb::Fnp2FiltersSpan const* filters = record->fnp2_filters()) check(filters->offset(), filters->size());
    }

private:
    uint64_t data_size_;
};

void check_contents(fb::ProgramInfo const& info, fb::ProgramData const& data, uint64_t data_size) {
    if (info.input_dims() == nullptr || info.output_dims() == nullptr) invalid("the input or output shape is missing.");
    if (info.passes() == nullptr || info.dummy_desc_header() == nullptr || info.output_shift() == nullptr ||
        info.output_scales() == nullptr || info.input_scales() == nullptr || info.input_zero_points() == nullptr)
        invalid("program_info lacks a field every program has.");
    if (data.passes() == nullptr || data.dummy_desc_header() == nullptr)
        invalid("program_data lacks a field every program has.");
    if (data.passes()->size() != info.passes()->size()) invalid("the two buffers do not hold the same passes.");

    SpanChecker const checker(data_size);
    for (fb::PassSpans const* pass : *info.passes()) {
        if (pass->records() == nullptr) invalid("a pass has no record spans.");
        for (fb::RecordSpans const* record : *pass->records()) checker.check(record);
    }
    if (fb::LearningLayerInfo const* learning = info.learning_layer()) {
        checker.check(learning->first_track());
        checker.check(learning->second_track());
        checker.check(learning->third());
    }
    checker.check(info.dummy_desc_header());
}

// Sum of the words of a record's spans: its tracks, or its FNP2 filters.
uint64_t track_words(fb::RecordSpans const* record) {
    uint64_t words = 0;
    if (record != nullptr && record->tracks() != nullptr)
        for (fb::TrackSpan const* span : *record->tracks()) words += span->size();
    return words;
}

uint64_t filter_words(fb::RecordSpans const* record) {
    return record != nullptr && record->fnp2_filters() != nullptr ? record->fnp2_filters()->size() : 0;
}

}  // namespace

ProgramInfo::ProgramInfo(const unsigned char* data, size_t size) {
    if (data == nullptr && size != 0) invalid("no bytes.");
    if (size < prefix_bytes) invalid("shorter than the length of program_info.");
    uint64_t const info_size = prefix_bytes + read_le32(data);
    if (info_size + prefix_bytes > size) invalid("the length of program_info passes the end of the program.");
    uint64_t const data_size = prefix_bytes + read_le32(data + info_size);
    if (info_size + data_size != size) invalid("the length of program_data does not match the program's size.");

    info_bytes_.assign(data, data + info_size);
    data_bytes_.assign(data + info_size, data + size);
    verify(info_bytes_, true);
    verify(data_bytes_, false);
    check_contents(info(), this->data(), data_bytes_.size());
}

fb::ProgramInfo const& ProgramInfo::info() const {
    return *flatbuffers::GetSizePrefixedRoot<fb::ProgramInfo>(info_bytes_.data());
}

fb::ProgramData const& ProgramInfo::data() const {
    return *flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(data_bytes_.data());
}

std::vector<uint32_t> ProgramInfo::words(uint32_t offset, uint32_t size) const {
    SpanChecker(data_bytes_.size()).check(offset, size);
    std::vector<uint32_t> out(size);
    for (uint32_t i = 0; i < size; ++i) out[i] = read_le32(data_bytes_.data() + offset + uint64_t{i} * word_bytes);
    return out;
}

uint64_t input_memory_required(ProgramInfo const& info) {
    return packed_bytes(product(info.info().input_dims()), info.info().input_bits());
}

uint64_t input_descriptor_memory_required(ProgramInfo const&) { return ProgramInfo::dma_descriptor_bytes; }

uint64_t output_memory_required(ProgramInfo const& info) {
    fb::ProgramInfo const& header = info.info();
    uint64_t const bits = header.output_activation() ? header.output_bits() : 32;
    return packed_bytes(product(header.output_dims()), bits);
}

uint64_t program_data_memory_required(ProgramInfo const& info) {
    fb::ProgramInfo const& header = info.info();
    uint64_t words = header.dummy_desc_header()->size();
    for (fb::PassSpans const* pass : *header.passes())
        for (fb::RecordSpans const* record : *pass->records()) words += track_words(record);
    if (fb::LearningLayerInfo const* learning = header.learning_layer()) {
        if (learning->first_track() != nullptr) words += learning->first_track()->size();
        if (learning->second_track() != nullptr) words += learning->second_track()->size();
        words += track_words(learning->third());
    }
    return checked_mul(words, word_bytes);
}

uint64_t extra_program_memory_required(ProgramInfo const& info) {
    fb::ProgramInfo const& header = info.info();
    uint64_t words = 0;
    for (fb::PassSpans const* pass : *header.passes())
        for (fb::RecordSpans const* record : *pass->records()) words += filter_words(record);
    if (fb::LearningLayerInfo const* learning = header.learning_layer()) words += filter_words(learning->third());
    return checked_mul(words, word_bytes);
}

uint64_t program_descriptors_memory_required(ProgramInfo const& info) {
    fb::ProgramInfo const& header = info.info();
    return checked_mul(checked_mul(ProgramInfo::dma_descriptor_bytes, header.num_descriptors()), header.passes()->size());
}

}  // namespace nuvra
