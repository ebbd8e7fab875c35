#include "engine/sim/board.h"

#include <stdexcept>

#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "hw/presets.h"

namespace nuvra::sim {

namespace {

constexpr uint32_t CLOCK_CONTROL = 0xF0001030;
// 4 NPs per position; the DMA position is column 1, row 1, configuration id 0, event id 1.
constexpr uint32_t FOUR_PER_NODE = 4u | 1u << 8 | 1u << 16 | 1u << 28;

void fail_if(std::string const& text) {
    if (!text.empty()) throw std::runtime_error(text);
}

}  // namespace

BoardSetup::BoardSetup(HwVersion version_, std::string desc_, std::map<uint32_t, uint32_t> const& mesh_words,
                       uint32_t np_word_)
    : version(version_), desc(std::move(desc_)), np_word(np_word_) {
    for (auto const& [offset, word] : mesh_words) mesh_word(offset) = word;
}

// NP words: FNP2 or FNP3 (bits 5:4), CNP1 and CNP2 (7:6), TNP-B (8), look-up table (10).
BoardSetup vexa_v2() {
    return {hw::Vexa_v2, "Vexa v2 (simulated)", {{0x50, 4u | 5u << 8}, {0x54, FOUR_PER_NODE}, {0x58, 2u << 24}},
            2u << 4 | 2u << 6 | 1u << 10};
}

BoardSetup tolmar_v2() {
    return {hw::Tolmar_v2,
            "Tolmar v2 (simulated)",
            {{0x50, 2u | 4u << 8}, {0x54, FOUR_PER_NODE}, {0x58, 4u << 24}, {0x64, 1u << 24 | 0x6u},
             {0x68, 1u << 4 | 1u << 6}, {0x70, 32768}, {0x74, 8192}},
            3u << 4 | 2u << 6 | 1u << 8 | 1u << 10};
}

BoardSetup wisp_tolmar() {
    return {hw::Wisp_Tolmar, "Wisp Tolmar (simulated)", {{0x70, 448}, {0x74, 8192}, {0x78, 892}, {0x7C, 256}}};
}

void Board::read(uint32_t address, uint32_t* buffer, size_t) {
    fail_if(failures.register_read);
    uint32_t& word = setup.registers[address];
    if (address == CLOCK_CONTROL && busy_left_ > 0 && --busy_left_ == 0) word &= ~1u;
    *buffer = word;
}

void Board::write(uint32_t address, uint32_t const* buffer, size_t) {
    writes.emplace_back(address, *buffer);
    uint32_t& word = setup.registers[address] = *buffer;
    if (address != CLOCK_CONTROL || !(word & 1u)) return;
    busy_left_ = clock_busy_reads;
    if (busy_left_ == 0) word &= ~1u;
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
    std::fill_n(words, count, 0u);
    if (count > 0) words[0] = found == setup.np_words.end() ? setup.np_word : found->second;
}

void Board::load(const uint8_t* data, size_t size, Shape output, std::string call) {
    program_.assign(data, data + size);
    has_program_ = true;
    output_ = output;
    memory_used = static_cast<uint32_t>(size);
    memory_top = std::max(memory_top, memory_used);
    calls.push_back(std::move(call));
}

void Board::program(const uint8_t* data, size_t size) {
    fail_if(failures.program);
    ProgramInfo const info(data, size);
    auto const* dims = info.info().output_dims();
    load(data, size, Shape(std::vector<uint32_t>(dims->begin(), dims->end())), "program");
}

void Board::program_external(const uint8_t* data, size_t size, uint32_t address) {
    fail_if(failures.program);
    load(data, size, Shape{}, "program_external " + std::to_string(address));
}

void Board::unprogram() {
    program_.clear();
    has_program_ = false;
    memory_used = 0;
    calls.push_back("unprogram");
}

std::vector<std::unique_ptr<Tensor>> Board::run(std::vector<std::shared_ptr<const Tensor>> const& inputs,
                                                std::string const& call) {
    calls.push_back(call + " " + std::to_string(inputs.size()));
    fail_if(failures.run);
    if (!has_program_ && !outputs) throw std::runtime_error("The board holds no program.");
    TensorType const type = outputs ? outputs->type : call == "predict" ? TensorType::float32 : TensorType::int32;
    Shape const shape = outputs ? outputs->shape : output_;
    size_t const count = outputs && outputs->count >= 0 ? size_t(outputs->count) : inputs.size();
    std::vector<std::unique_ptr<Tensor>> results;
    for (size_t i = 0; i < count; ++i) {
        int32_t sum = 0;
        if (i < inputs.size()) {
            auto const* bytes = static_cast<uint8_t const*>(inputs[i]->buffer().data);
            for (size_t b = 0; b < inputs[i]->buffer().bytes; ++b) sum += bytes[b];
        }
        auto output = std::make_unique<Dense>(*Dense::create(type, shape, Layout::c_order));
        for (size_t k = 0; k < output->size(); ++k) {
            int32_t const value = sum + static_cast<int32_t>(k);
            if (type == TensorType::float32) tensor_write<float>(*output, k, static_cast<float>(value));
            else if (type == TensorType::int32) tensor_write<int32_t>(*output, k, value);
        }
        results.push_back(std::move(output));
    }
    if (meter_) meter_->log_event({time_ms(), 800000, static_cast<uint32_t>(100 + inputs.size())});
    return results;
}

InstalledBoards::InstalledBoards(std::vector<std::shared_ptr<Board>> const& boards) : saved_(detail::driver_list()) {
    detail::driver_list().insert(detail::driver_list().end(), boards.begin(), boards.end());
}

}  // namespace nuvra::sim
