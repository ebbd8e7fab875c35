// The device memory a program needs, as Python reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/program_info.h"
#include "hw/format.h"

namespace nuvra::python {

// Bytes of device memory, by use.
struct ProgramMemoryRequired {
    uint64_t input_memory = 0;                // one input
    uint64_t input_descriptor_memory = 0;     // one input descriptor
    uint64_t output_memory = 0;               // one output
    uint64_t program_memory = 0;              // the program data
    uint64_t extra_program_memory = 0;        // weights kept in external memory
    uint64_t program_descriptors_memory = 0;  // the program's descriptors
};

// The six sizes the engine gives for a program; bytes that are no program are
// std::invalid_argument "Invalid program: ...".
inline ProgramMemoryRequired program_memory_required(const unsigned char* data, size_t size) {
    ProgramInfo const info(data, size);
    return {input_memory_required(info),        input_descriptor_memory_required(info),
            output_memory_required(info),       program_data_memory_required(info),
            extra_program_memory_required(info), program_descriptors_memory_required(info)};
}

inline std::string to_string(ProgramMemoryRequired const& m) {
    return format("<nuvra.ProgramMemoryRequired(input_memory={}B, input_descriptor_memory={}B, output_memory={}B, "
                  "program_memory={}B, extra_program_memory={}B, program_descriptors_memory={}B)>",
                  m.input_memory, m.input_descriptor_memory, m.output_memory, m.program_memory,
                  m.extra_program_memory, m.program_descriptors_memory);
}

}  // namespace nuvra::python
