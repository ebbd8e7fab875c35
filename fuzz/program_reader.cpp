// The program reader on arbitrary bytes: a program it accepts answers every memory question and
// gives the words of every span it lists.
#include <cstddef>
#include <cstdint>

#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "fuzz_support.h"
#include "program_walk.h"

using namespace nuvra;

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    fuzz::refused([&] { fuzz::read_program(ProgramInfo(data, size)); });
    return 0;
}
