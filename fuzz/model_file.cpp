// The model file codec (.fbz) on arbitrary bytes: a file that decodes is a serialization that
// encodes back to a file decoding to the same bytes; the model it holds loads and runs as in the
// model buffer target.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "engine/model.h"
#include "fuzz_support.h"
#include "python/model_file.h"
#include "tiny_input.h"

using namespace nuvra;

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    std::vector<uint8_t> serialization;
    if (fuzz::refused([&] { serialization = python::decode_model_file(std::span<uint8_t const>(data, size)); }))
        return 0;
    fuzz::require(python::decode_model_file(python::encode_model_file(serialization)) == serialization,
                  "an encoded model file decodes to its serialization");

    std::unique_ptr<Model> model;
    if (fuzz::refused([&] { model = Model::from_buffer(serialization.data(), serialization.size()); })) return 0;
    fuzz::refused([&] { fuzz::forward_tiny(*model); });
    return 0;
}
