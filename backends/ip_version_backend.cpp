#include "backends/ip_version_backend.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

#include "backends/v1/checker.h"
#include "backends/v1/recorders.h"
#include "backends/v2/checker.h"
#include "backends/v2/recorders.h"
#include "backends/wisp/checker.h"
#include "backends/wisp/recorders.h"
#include "engine/backend.h"
#include "hw/arith.h"
#include "hw/format.h"
#include "hw/presets.h"
#include "mapping/hardware_backend.h"

namespace nuvra {

namespace {

[[noreturn]] void throw_unsupported() {
    throw std::runtime_error("Unsupported IP version in IpVersionSpecificHardwareBackend.");
}

std::string not_available_message(IpVersion ip) {
    return format("The {} back end is not available in this build.", ip_version_name(ip));
}

// What differs between the two generations whose NPs share input and weight SRAMs counted in
// bytes.
struct SramByteGeneration {
    uint32_t weight_word_bits;  // width of a weight word
    uint32_t np_max_input_width;
    uint32_t np_channel_limit;
    uint32_t np_max_filters_reduced;
    uint32_t input_shift_memory_size;
};

HardwareConstraints sram_byte_constraints(SramByteGeneration const& g, SramSize const& sram) {
    uint64_t const weight_bits = uint64_t{sram.weight_bytes} * 8;
    uint64_t const input_bits = uint64_t{sram.input_bytes} * 8;

    HardwareConstraints c;
    // The FNP3 can use 48 of every 50 words of the weight SRAM.
    c.fnp3_sram_words = clamp_to<uint32_t>((weight_bits >> 5) * 48 / 50);
    c.weight_sram_words = clamp_to<uint32_t>(weight_bits / g.weight_word_bits);
    c.max_input_width = 4096;
    c.max_input_height = 4096;
    c.max_input_channels = 2048;
    c.max_filters = 2048;
    c.np_max_input_width = g.np_max_input_width;
    c.np_max_input_height = 256;
    c.np_channel_limit = g.np_channel_limit;
    c.np_max_filters = 512;
    c.np_max_filters_reduced = g.np_max_filters_reduced;
    c.input_sram_dual_buffer_words = clamp_to<uint32_t>(input_bits >> 6);
    c.input_sram_single_buffer_words = clamp_to<uint32_t>(input_bits >> 5);
    c.fnp_input_sram_words = clamp_to<uint32_t>(input_bits >> 5);
    c.input_shift_memory_size = g.input_shift_memory_size;
    return c;
}

// ---- v1 ----

GenerationDefaults v1_map_defaults(HwVersion const& version) {
    // The Vexa_v2 board takes fewer filters per CNP.
    return {.ip = IpVersion::v1,
            .cnp_max_width = 32,
            .cnp_max_height = 256,
            .cnp_max_filters = version == hw::Vexa_v2 ? 504u : 512u,
            .hwpr_loopitself = false};
}

HardwareConstraints v1_constraints(Mesh const& mesh) {
    return sram_byte_constraints({.weight_word_bits = 50,
                                  .np_max_input_width = 32,
                                  .np_channel_limit = 2048,
                                  .np_max_filters_reduced = 504,
                                  .input_shift_memory_size = 0},
                                 mesh.np_sram_size);
}

// ---- v2 ----

GenerationDefaults v2_map_defaults(HwVersion const&) {
    return {.ip = IpVersion::v2,
            .cnp_max_width = 64,
            .cnp_max_height = 256,
            .cnp_max_filters = 512,
            .hwpr_loopitself = true};
}

HardwareConstraints v2_constraints(Mesh const& mesh) {
    return sram_byte_constraints({.weight_word_bits = 100,
                                  .np_max_input_width = 64,
                                  .np_channel_limit = 1536,
                                  .np_max_filters_reduced = 0,
                                  .input_shift_memory_size = 256},
                                 mesh.np_sram_size);
}

// ---- wisp ----

// No CNP: every CNP limit 0.
GenerationDefaults wisp_map_defaults(HwVersion const&) {
    return {.ip = IpVersion::wisp,
            .cnp_max_width = 0,
            .cnp_max_height = 0,
            .cnp_max_filters = 0,
            .hwpr_loopitself = false};
}

// The four SRAMs of the mesh, in their own word sizes; every other limit 0.
HardwareConstraints wisp_constraints(Mesh const& mesh) {
    SramSize const& sram = mesh.np_sram_size;
    HardwareConstraints c;
    c.stsram_32b_size = sram.stsram_32b_size;
    c.fsram_64b_size = sram.fsram_64b_size;
    c.tsram_51b_size = sram.tsram_51b_size;
    c.evsram_32b_size = sram.evsram_32b_size;
    return c;
}

// The generation table. A back end joins the build by giving its row makers_of<CheckerImpl,
// MemorySizerImpl, IoRecorderImpl, LayerRecorderImpl>().
constexpr Generation generation_table[] = {
    {.ip = IpVersion::v1,
     .map_defaults = v1_map_defaults,
     .hardware_constraints = v1_constraints,
     .learning_recorder = IpVersion::v1,
     .makers = makers_of<v1::CompatibilityCheckerImpl, v1::MemorySizerImpl, v1::IoRecorderImpl,
                         v1::LayerRecorderImpl>()},
    {.ip = IpVersion::v2,
     .map_defaults = v2_map_defaults,
     .hardware_constraints = v2_constraints,
     .learning_recorder = IpVersion::v2,
     .makers = makers_of<v2::CompatibilityCheckerImpl, v2::MemorySizerImpl, v2::IoRecorderImpl,
                         v2::LayerRecorderImpl>()},
    {.ip = IpVersion::wisp,
     .map_defaults = wisp_map_defaults,
     .hardware_constraints = wisp_constraints,
     .learning_recorder = IpVersion::v2,  // read back like the second generation
     .makers = makers_of<wisp::CompatibilityCheckerImpl, wisp::MemorySizerImpl, wisp::IoRecorderImpl,
                         wisp::LayerRecorderImpl>()},
};

Generation const* find_ip(std::span<Generation const> generations, IpVersion ip) {
    auto const row = std::find_if(generations.begin(), generations.end(),
                                  [ip](Generation const& g) { return g.ip == ip; });
    return row == generations.end() ? nullptr : &*row;
}

// The row of the generation of `version`'s product; null for an unknown product or a generation
// without a row in `generations`.
Generation const* find_row(std::span<Generation const> generations, HwVersion const& version) {
    IpVersion const ip = version.get_ip_version();
    return ip == IpVersion::none ? nullptr : find_ip(generations, ip);
}

// A reader that always fails with `message`.
LearningReader failing_reader(std::string message) {
    return [message = std::move(message)](Device const&, HardwareConstraints const&, std::shared_ptr<Layer> const&) {
        throw std::runtime_error(message);
    };
}

std::optional<GenerationDefaults> build_map_defaults(HwVersion const& version) {
    Generation const* row = find_row(generation_table, version);
    if (row == nullptr) return std::nullopt;
    return row->map_defaults(version);
}

}  // namespace

std::span<Generation const> built_generations() { return generation_table; }

Generation const& generation_row(IpVersion ip) {
    Generation const* row = find_ip(generation_table, ip);
    if (row == nullptr) throw_unsupported();
    return *row;
}

HardwareConstraints make_hardware_constraints(IpVersion ip, Mesh const& mesh) {
    return generation_row(ip).hardware_constraints(mesh);
}

LearningReader learning_reader(HwVersion const& version, std::span<Generation const> generations) {
    Generation const* row = find_row(generations, version);
    if (row == nullptr) row = find_row(generation_table, version);
    if (row == nullptr) return failing_reader("Unsupported IP version in sync_learning_vars.");
    Generation const* reader = find_ip(generations, row->learning_recorder);
    if (reader == nullptr || reader->makers.make_layer_recorder == nullptr)
        return failing_reader(not_available_message(row->learning_recorder));
    auto const make = reader->makers.make_layer_recorder;
    return [make](Device const& device, HardwareConstraints const& constraints, std::shared_ptr<Layer> const& layer) {
        make(device, constraints)->sync_learning_vars(layer);
    };
}

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(Device const& device)
    : IpVersionSpecificHardwareBackend(device, built_generations()) {}

IpVersionSpecificHardwareBackend::IpVersionSpecificHardwareBackend(Device const& device,
                                                                   std::span<Generation const> generations) {
    HwVersion const version = device.version();
    hw::Product const* product = hw::find_product(version.product_id);
    Generation const* row = find_row(generations, version);
    if (row == nullptr) {
        if (product == nullptr) throw_unsupported();
        // A known product whose generation `generations` leaves out: not available, like a row
        // without makers.
        throw std::runtime_error(not_available_message(product->ip));
    }
    ip_ = row->ip;
    multi_pass_ = product->multi_pass;
    constraints_ = row->hardware_constraints(device.mesh());
    if (!row->makers.complete()) throw std::runtime_error(not_available_message(row->ip));
    learning_ = nuvra::learning_reader(version, generations);

    checker_ = row->makers.make_checker(device, constraints_);
    memory_sizer_ = row->makers.make_memory_sizer();
    io_recorder_ = row->makers.make_io_recorder(device);
    layer_recorder_ = row->makers.make_layer_recorder(device, constraints_);
}

GenerationSelector generation_selector(std::span<Generation const> generations) {
    return [generations](Device const& device) -> std::unique_ptr<GenerationBackend> {
        return std::make_unique<IpVersionSpecificHardwareBackend>(device, generations);
    };
}

void register_mapping_backend() {
    register_generation_defaults(build_map_defaults);
    HardwareBackendHooks hooks;
    hooks.make_backend = []() -> std::unique_ptr<Backend> {
        return std::make_unique<HardwareBackend>(generation_selector());
    };
    hooks.make_default_constraints = [](std::shared_ptr<Device> const& device) {
        return std::make_shared<MapConstraints>(device);
    };
    register_hardware_backend(hooks);
}

}  // namespace nuvra
