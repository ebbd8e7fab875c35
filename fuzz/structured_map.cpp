// A small random model mapped on a small random virtual device: the program of every sequence
// reads back through the program reader, and the model runs one sample.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>

#include "backends/ip_version_backend.h"
#include "engine/program_info.h"
#include "engine/sequence.h"
#include "fuzz_support.h"
#include "program_walk.h"
#include "random_model.h"
#include "tiny_input.h"

using namespace nuvra;

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    static bool const registered = (register_mapping_backend(), true);
    (void)registered;
    FuzzedDataProvider in(data, size);
    std::unique_ptr<Model> const model = fuzz::random_model(in);
    std::shared_ptr<Device> const device = fuzz::random_device(in);
    bool const hw_only = in.ConsumeBool();
    std::shared_ptr<MapConstraints> constraints;
    if (!fuzz::refused([&] { constraints = fuzz::random_constraints(in, device); }) &&
        !fuzz::refused([&] { model->map(device, hw_only, constraints); })) {
        // What the mapper wrote, the reader takes: a refusal here is a fault.
        for (auto const& sequence : model->sequences()) {
            std::span<uint8_t const> const program = sequence->program();
            if (program.empty()) continue;
            fuzz::read_program(ProgramInfo(program.data(), program.size()));
        }
    }
    fuzz::refused([&] { fuzz::forward_tiny(*model); });
    return 0;
}
