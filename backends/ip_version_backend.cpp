#include "backends/ip_version_backend.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "backends/v2/checker.h"
#include "backends/v2/recorders.h"
#include "backends/wisp/checker.h"
#include "backends/wisp/recorders.h"
#include "hw/format.h"

namespace nuvra {

namespace {

[[noreturn]] void throw_unsupported() {
    throw std::runtime_error("Unsupported IP version in IpVersionSpecificHardwareBackend.");
}

uint32_t clamp_to_32(uint64_t value) {
    return static_cast<uint32_t>(std::min<uint64_t>(value, std::numeric_limits<uint32_t>::max()));
}

// Limits of the two generations whose NPs share input and weight SRAMs counted in bytes.
HardwareConstraints sram_byte_constraints(IpVersion ip, SramSize const& sram) {
    bool const v1 = ip == IpVersion::v1;
    uint64_t const weight_bits = uint64_t{sram.weight_bytes} * 8;
    uint64_t const input_bits = uint64_t{sram.input_bytes} * 8;

    HardwareConstraints c;
    // The FNP3 can use 48 of every 50 words of the weight SRAM.
    c.fnp3_sram_words = clamp_to_32((weight_bits >> 5) * 48 / 50);
    // v1 weight words are 50 bits wide, v2 words 100 bits.
    c.weight_sram_words = clamp_to_32(weight_bits / (v1 ? 50 : 100));
    c.max_input_width = 4096;
    c.max_input_height = 4096;
    c.max_input_channels = 2048;
    c.max_filters = 2048;
    c.np_max_input_width = v1 ? 32 : 64;
    c.np_max_input_height = 256;
    c.np_channel_limit = v1 ? 2048 : 1536;
    c.np_max_filters = 512;
    c.np_max_filters_reduced = v1 ? 504 : 0;
    c.input_sram_dual_buffer_words = clamp_to_32(input_bits >> 6);
    c.input_sram_single_buffer_words = clamp_to_32(input_bits >> 5);
    c.fnp_input_sram_words = clamp_to_32(input_bits >> 5);
    c.input_shift_memory_size = v1 ? 0 : 256;
    return c;
}

// The back ends compiled into this library, one entry per generation, built with
// generation_factory<CheckerImpl, MemorySizerImpl, IoRecorderImpl, LayerRecorderImpl>(ip).
// A generation without an entry is refused at construction.
std::vector<GenerationFactory> const& generation_table() {
    static std::vector<GenerationFactory> const table{
        generation_factory<v2::CompatibilityCheckerImpl, v2::MemorySizerImpl, v2::IoRecorderImpl,
                           v2::LayerRecorderImpl>(IpVersion::v2),
        generation_factory<wisp::CompatibilityCheckerImpl, wisp::MemorySizerImpl, wisp::IoRecorderImpl,
                           wisp::LayerRecorderImpl>(IpVersion::wisp),
    };
    return table;
}

}  // namespace

IpVersion select_generation(HwVersion const& version) {
    IpVersion const ip = ip_version_of_product(version.product_id);
    if (ip == IpVersion::none) throw_unsupported();
    return ip;
}

HardwareConstraints make_hardware_constraints(IpVersion ip, Mesh const& mesh) {
    SramSize const& sram = mesh.np_sram_size;
    switch (ip) {
    case IpVersion::v1:
    case IpVersion::v2: return sram_byte_constraints(ip, sram);
    case IpVersion::wisp: {
        HardwareConstraints c;
        c.stsram_32b_size = sram.stsram_32b_size;
        c.fsram_64b_size = sram.fsram_64b_size;
        c.tsram_51b_size = sram.tsram_51b_size;
        c.evsram_32b_size = sram.evsram_32b_size;
        return c;
    }
    default: throw_unsupported();
    }
}

std::span<GenerationFactory const> built_generations() { return generation_table(); }

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(Device const& device)
    : IpVersionSpecificHardwareBackend(device, built_generations()) {}

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(
    Device const& device, std::span<GenerationFactory const> generations) {
    ip_ = select_generation(device.version());
    constraints_ = make_hardware_constraints(ip_, device.mesh());

    // An entry missing one of its makers counts as no entry.
    auto const factory = std::find_if(generations.begin(), generations.end(),
                                      [this](GenerationFactory const& f) { return f.ip == ip_; });
    if (factory == generations.end() || !factory->make_checker || !factory->make_memory_sizer ||
        !factory->make_io_recorder || !factory->make_layer_recorder)
        throw std::runtime_error(
            format("The {} back end is not available in this build.", ip_version_name(ip_)));

    checker_ = factory->make_checker(device, constraints_);
    memory_sizer_ = factory->make_memory_sizer();
    io_recorder_ = factory->make_io_recorder(device);
    layer_recorder_ = factory->make_layer_recorder(device, constraints_);
}

}  // namespace nuvra
