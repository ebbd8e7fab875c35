// Everything a reader of a program may ask of it.
#pragma once

#include <vector>

#include "engine/dma.h"
#include "engine/program_generated.h"
#include "engine/program_info.h"

namespace nuvra::fuzz {

// The words of a span, and the DMA headers a track of them opens with, block after block.
inline void read_track(ProgramInfo const& program, fb::TrackSpan const& span) {
    std::vector<uint32_t> const words = program.words(span.offset(), span.size());
    for (size_t at = 0; at + dma::header_words <= words.size();) {
        dma::ConfigHeader const header = dma::parse_config_header(&words[at]);
        if (header.size == 0) break;
        at += dma::header_words + header.size;
    }
}

inline void read_record(ProgramInfo const& program, fb::RecordSpans const* record) {
    if (record == nullptr) return;
    if (record->tracks() != nullptr)
        for (fb::TrackSpan const* span : *record->tracks()) read_track(program, *span);
    if (fb::Fnp2FiltersSpan const* filters = record->fnp2_filters())
        program.words(filters->offset(), filters->size());
}

// The memory the program needs, and every span it lists.
inline void read_program(ProgramInfo const& program) {
    input_memory_required(program);
    input_descriptor_memory_required(program);
    output_memory_required(program);
    program_data_memory_required(program);
    extra_program_memory_required(program);
    program_descriptors_memory_required(program);
    fb::ProgramInfo const& info = program.info();
    for (fb::PassSpans const* pass : *info.passes())
        for (fb::RecordSpans const* record : *pass->records()) read_record(program, record);
    if (fb::LearningLayerInfo const* learning = info.learning_layer()) {
        if (learning->first_track() != nullptr) read_track(program, *learning->first_track());
        if (learning->second_track() != nullptr) read_track(program, *learning->second_track());
        read_record(program, learning->third());
    }
    read_track(program, *info.dummy_desc_header());
}

}  // namespace nuvra::fuzz
