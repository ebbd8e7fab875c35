#include "engine/sim/board.h"

#include <algorithm>
#include <stdexcept>

#include <flatbuffers/flatbuffers.h>

#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "hw/presets.h"

namespace nuvra::sim {

namespace {

constexpr uint32_t CLOCK_CONTROL = 0xF0001030;

void fail_if(std::string const& text) {
    if (!text.empty()) throw std::runtime_error(text);
}

std::vector<uint32_t> dims_of(flatbuffers::Vector<uint32_t> const* dims) {
    return dims ? std::vector<uint32_t>(dims->begin(), dims->end()) : std::vector<uint32_t>{};
}

// The mesh words of a board whose positions hold 4 NPs, the DMA engines being ids 0 (conf) and 1
// (events) of position (column 1, row 1).
BoardSetup four_per_node(HwVersion version, std::string desc, uint32_t rows, uint32_t cols, uint32_t last_row_cols,
                         uint32_t np_word) {
    BoardSetup setup;
    setup.version = version;
    setup.desc = std::move(desc);
    setup.mesh_word(0x50) = rows | cols << 8;
    setup.mesh_word(0x54) = 4u | 1u << 8 | 1u << 16 | 0u << 24 | 1u << 28;
    setup.mesh_word(0x58) = last_row_cols << 24;
    setup.np_word = np_word;
    return setup;
}

}  // namespace

BoardSetup vexa_v2() {
    // CNP1 and CNP2, FNP2, look-up table.
    BoardSetup setup = four_per_node(hw::Vexa_v2, "Vexa v2 (simulated)", 4, 5, 2, 2u << 4 | 2u << 6 | 1u << 10);
    setup.learn_mem_words = 16;
    return setup;
}

BoardSetup tolmar_v2() {
    // CNP1 and CNP2, FNP3, TNP-B, look-up table.
    BoardSetup setup =
        four_per_node(hw::Tolmar_v2, "Tolmar v2 (simulated)", 2, 4, 4, 3u << 4 | 2u << 6 | 1u << 8 | 1u << 10);
    setup.mesh_word(0x64) = 1u << 24 | 0x6u;
    setup.mesh_word(0x68) = 1u << 4 | 1u << 6;
    setup.mesh_word(0x70) = 32768;  // 65536 bytes
    setup.mesh_word(0x74) = 8192;   // 51200 bytes
    return setup;
}

BoardSetup wisp_tolmar() {
    BoardSetup setup;
    setup.version = hw::Wisp_Tolmar;
    setup.desc = "Wisp Tolmar (simulated)";
    setup.mesh_word(0x50) = 1u | 1u << 8;
    setup.mesh_word(0x54) = 1u | 1u << 8 | 1u << 16;
    setup.mesh_word(0x70) = 448;
    setup.mesh_word(0x74) = 8192;
    setup.mesh_word(0x78) = 892;
    setup.mesh_word(0x7C) = 256;
    return setup;
}

void Board::read(uint32_t address, uint32_t* buffer, size_t bytes) {
    fail_if(failures.register_read);
    if (bytes != 4) throw std::invalid_argument("The board moves one 32-bit register at a time.");
    auto const found = setup.registers.find(address);
    *buffer = found == setup.registers.end() ? 0 : found->second;
}

void Board::write(uint32_t address, uint32_t const* buffer, size_t bytes) {
    if (bytes != 4) throw std::invalid_argument("The board moves one 32-bit register at a time.");
    writes.emplace_back(address, *buffer);
    uint32_t& word = setup.registers[address];
    word = *buffer;
    // A clock change completes at once unless the board is told it is stuck.
    if (address == CLOCK_CONTROL && !clock_stuck) word &= ~1u;
}

std::shared_ptr<HardwareDevice> Board::make_device() {
    ++creates;
    fail_if(failures.create);
    return shared_from_this();
}

void Board::read_np_registers(uint32_t* words, hw::Ident const& ident, uint32_t count) {
    fail_if(failures.register_read);
    ++np_reads[ident];
    auto const found = setup.np_words.find(ident);
    std::fill(words, words + count, 0u);
    if (count > 0) words[0] = found == setup.np_words.end() ? setup.np_word : found->second;
}

void Board::load(const uint8_t* data, size_t size, std::vector<uint32_t> output_dims, std::string call) {
    program_.assign(data, data + size);
    has_program_ = true;
    output_dims_ = std::move(output_dims);
    memory_used = static_cast<uint32_t>(size);
    memory_top = std::max(memory_top, memory_used);
    calls.push_back(std::move(call));
}

void Board::program(const uint8_t* data, size_t size) {
    fail_if(failures.program);
    ProgramInfo const info(data, size);
    load(data, size, dims_of(info.info().output_dims()), "program");
}

void Board::program_external(const uint8_t* data, size_t size, uint32_t address) {
    fail_if(failures.program);
    flatbuffers::Verifier verifier(data, size);
    if (data == nullptr || !verifier.VerifySizePrefixedBuffer<fb::ProgramInfo>(nullptr))
        throw std::invalid_argument("The program information does not verify.");
    auto const* info = flatbuffers::GetSizePrefixedRoot<fb::ProgramInfo>(data);
    load(data, size, dims_of(info->output_dims()), "program_external " + std::to_string(address));
}

std::span<const uint8_t> Board::program() const {
    if (!has_program_) return {};
    static uint8_t const empty = 0;
    return program_.empty() ? std::span<const uint8_t>(&empty, 0) : std::span<const uint8_t>(program_);
}

void Board::unprogram() {
    program_.clear();
    has_program_ = false;
    output_dims_.clear();
    memory_used = 0;
    calls.push_back("unprogram");
}

void Board::set_learn_enabled(bool enabled) {
    learning_ = enabled;
    calls.push_back(enabled ? "learn on" : "learn off");
}

std::vector<std::unique_ptr<Tensor>> Board::run(std::vector<std::shared_ptr<const Tensor>> const& inputs, bool floats,
                                                std::string call) {
    calls.push_back(std::move(call) + " " + std::to_string(inputs.size()));
    fail_if(failures.run);
    if (!has_program_) throw std::runtime_error("The board holds no program.");
    Shape const shape(output_dims_);
    std::vector<std::unique_ptr<Tensor>> outputs;
    for (auto const& input : inputs) {
        Buffer const bytes = input->buffer();
        int32_t sum = 0;
        for (size_t i = 0; i < bytes.bytes; ++i) sum += static_cast<uint8_t const*>(bytes.data)[i];
        TensorType const type = floats ? TensorType::float32 : TensorType::int32;
        auto output = std::make_unique<Dense>(*Dense::create(type, shape, Layout::c_order));
        for (size_t k = 0; k < output->size(); ++k) {
            int32_t const value = sum + static_cast<int32_t>(k);
            if (floats)
                tensor_write<float>(*output, k, static_cast<float>(value));
            else
                tensor_write<int32_t>(*output, k, value);
        }
        outputs.push_back(std::move(output));
    }
    if (meter_) meter_->log_event({time_ms(), 800000, static_cast<uint32_t>(100 + inputs.size())});
    return outputs;
}

std::vector<std::unique_ptr<Tensor>> Board::fit(std::vector<std::shared_ptr<const Tensor>> const& inputs,
                                                std::vector<int> const& given) {
    labels = given;
    return run(inputs, false, "fit");
}

std::vector<std::unique_ptr<Tensor>> Board::forward(std::vector<std::shared_ptr<const Tensor>> const& inputs) {
    return run(inputs, false, "forward");
}

std::vector<std::unique_ptr<Tensor>> Board::predict(std::vector<std::shared_ptr<const Tensor>> const& inputs) {
    return run(inputs, true, "predict");
}

void SocBoard::set_power_measurement_enabled(bool enabled) {
    if (!enabled)
        meter_.reset();
    else if (!meter_)
        meter_ = std::make_shared<PowerMeter>();
}

InstalledBoards::InstalledBoards(std::vector<std::shared_ptr<Board>> boards) : saved_(detail::driver_list()) {
    for (auto& board : boards) detail::driver_list().push_back(std::move(board));
}

InstalledBoards::~InstalledBoards() { detail::driver_list() = std::move(saved_); }

}  // namespace nuvra::sim
