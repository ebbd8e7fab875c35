// Model::from_buffer on arbitrary bytes; a model that loads is written again, read again, and run
// on one small sample.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/model.h"
#include "fuzz_support.h"
#include "tiny_input.h"

using namespace nuvra;

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    std::unique_ptr<Model> model;
    if (fuzz::refused([&] { model = Model::from_buffer(data, size); })) return 0;

    // What the engine writes it reads back, and writes the same bytes again.
    std::vector<uint8_t> const written = model->to_buffer();
    std::unique_ptr<Model> const again = Model::from_buffer(written.data(), written.size());
    fuzz::require(again->to_buffer() == written, "a written model reads back to the same bytes");

    fuzz::refused([&] { fuzz::forward_tiny(*model); });
    return 0;
}
