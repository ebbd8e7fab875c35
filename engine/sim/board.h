// A simulated accelerator board for the tests, reached only through the engine's driver list: a
// driver that is also its own engine device. It holds a register file (the mesh description at
// top_level_reg_base + 0x50 .. 0x7C, the SoC clock registers), one configuration word per NP
// position, a program slot that takes only what ProgramInfo accepts, a scriptable clock counter,
// memory figures and a learning memory; runs give deterministic outputs; failures can be injected.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/driver.h"
#include "engine/hardware_device.h"
#include "engine/soc_driver.h"
#include "hw/ident.h"

namespace nuvra::sim {

struct BoardSetup {
    // `mesh_words`: mesh-description words by offset from reg_base.
    BoardSetup(HwVersion version, std::string desc, std::map<uint32_t, uint32_t> const& mesh_words,
               uint32_t np_word = 0);

    HwVersion version;
    std::string desc;
    uint32_t reg_base = 0xFCC00000;
    std::map<uint32_t, uint32_t> registers;  // by bus address; an address not held reads 0
    uint32_t np_word;                        // configuration word of the positions not in np_words
    std::map<hw::Ident, uint32_t> np_words;

    uint32_t& mesh_word(uint32_t offset) { return registers[reg_base + offset]; }
};

// Vexa_v2 (v1): 5 columns of 4 rows, 4 NPs per position (ids 0 and 1 of column 1, row 1 are the
// DMA engines); its R58 says the last row ends at column 2.
BoardSetup vexa_v2();
// Tolmar_v2 (v2): 4 columns of 2 rows as above, skip DMAs in columns 1 and 2 on channel 1, an HRC
// with look-up table, 65536 and 51200 bytes of SRAM.
BoardSetup tolmar_v2();
// Wisp_Tolmar (wisp): the default third-generation SRAM sizes.
BoardSetup wisp_tolmar();

// A non-empty text makes that step throw std::runtime_error with it.
struct Failures {
    std::string create, register_read, program, run;
};

class Board : public HardwareDriver,
              public HardwareDevice,
              public DeviceSourceDriver,
              public std::enable_shared_from_this<Board> {
public:
    explicit Board(BoardSetup initial) : setup(std::move(initial)) {}

    BoardSetup setup;
    Failures failures;
    int clock_busy_reads = 0;  // reads a started clock change stays busy for (negative: for ever)
    uint64_t clock_counter = 0, clock_step = 0;  // each reading adds the step
    uint32_t program_clocks = 0;
    uint32_t memory_used = 0, memory_top = 0;  // programming uses the program's size
    std::vector<uint32_t> learn_mem;
    bool counting = false;    // the clock counter runs
    std::vector<int> labels;  // of the last fit

    // Outputs given whatever the program (none needed): `count` tensors (one per sample when
    // negative) of this type and shape.
    struct Outputs {
        TensorType type;
        Shape shape;
        int count = -1;
    };
    std::optional<Outputs> outputs;

    // What the board was asked, in order: "program", "program_external <address>", "unprogram",
    // "batch <n>", "learn on|off", "forward <n>", "predict <n>", "fit <n>".
    std::vector<std::string> calls;
    std::vector<BatchDelivery> deliveries;  // of the "batch" calls, in order
    std::vector<std::pair<uint32_t, uint32_t>> writes;  // (address, word)
    std::map<hw::Ident, int> np_reads;
    int creates = 0;

    void read(uint32_t address, uint32_t* buffer, size_t bytes) override;
    void write(uint32_t address, uint32_t const* buffer, size_t bytes) override;
    uint32_t top_level_reg_base() const override { return setup.reg_base; }
    std::shared_ptr<HardwareDevice> make_device() override;

    HwVersion version() const override { return setup.version; }
    const char* desc() const override { return setup.desc.c_str(); }
    void program(const uint8_t* data, size_t size) override;
    std::span<const uint8_t> program() const override {
        return has_program_ ? std::span<const uint8_t>(program_) : std::span<const uint8_t>();
    }
    void read_np_registers(uint32_t* words, hw::Ident const& ident, uint32_t count) override;
    void set_batch_size(uint32_t count, BatchDelivery delivery) override {
        calls.push_back("batch " + std::to_string(count));
        deliveries.push_back(delivery);
    }
    bool learn_enabled() const override { return learning_; }
    void set_learn_enabled(bool enabled) override {
        learning_ = enabled;
        calls.push_back(enabled ? "learn on" : "learn off");
    }
    // One tensor per sample of the program's output shape, element k = the sample's byte sum + k
    // (int32; float32 for predict; scripted `outputs` of other types are zeros). With measurement on, one event of 0.8 V, 100 + samples mA.
    std::vector<std::unique_ptr<Tensor>> fit(std::vector<std::shared_ptr<const Tensor>> const& inputs,
                                             std::vector<int> const& given) override {
        labels = given;
        return run(inputs, "fit");
    }
    std::vector<std::unique_ptr<Tensor>> forward(std::vector<std::shared_ptr<const Tensor>> const& inputs) override {
        return run(inputs, "forward");
    }
    std::vector<std::unique_ptr<Tensor>> predict(std::vector<std::shared_ptr<const Tensor>> const& inputs) override {
        return run(inputs, "predict");
    }
    HardwareDriver* driver() const override { return const_cast<Board*>(this); }
    void toggle_clock_counter(bool enable) override { counting = enable; }
    uint64_t read_clock_counter() override { return std::exchange(clock_counter, clock_counter + clock_step); }
    uint32_t program_clock_count() const override { return program_clocks; }
    uint64_t memory() const override { return uint64_t{memory_top} << 32 | memory_used; }
    void reset_top_memory() override { memory_top = memory_used; }
    // The program data is taken to sit at `address` already; only the information is kept.
    void program_external(const uint8_t* data, size_t size, uint32_t address) override;
    void unprogram() override;
    uint32_t learn_mem_size() const override { return static_cast<uint32_t>(learn_mem.size()); }
    void read_learn_mem(uint32_t* words) override { std::copy(learn_mem.begin(), learn_mem.end(), words); }
    void write_learn_mem(uint32_t const* words) override { std::copy_n(words, learn_mem.size(), learn_mem.begin()); }

protected:
    std::shared_ptr<PowerMeter> meter_;  // null while measurement is off

private:
    void load(const uint8_t* data, size_t size, Shape output, std::string call);
    std::vector<std::unique_ptr<Tensor>> run(std::vector<std::shared_ptr<const Tensor>> const& inputs,
                                             std::string const& call);

    std::vector<uint8_t> program_;
    bool has_program_ = false;
    Shape output_;
    bool learning_ = false;
    int busy_left_ = 0;
};

// A system-on-chip board: a clock and a power meter.
class SocBoard : public Board, public SocDriver {
public:
    using Board::Board;
    void set_power_measurement_enabled(bool enabled) override {
        if (!enabled) meter_.reset();
        else if (!meter_) meter_ = std::make_shared<PowerMeter>();
    }
    std::shared_ptr<PowerMeter> power_meter() override { return meter_; }
};

// A board with an SPI flash.
class FlashBoard : public Board, public FlashAccessDriver {
public:
    using Board::Board;
    std::shared_ptr<SpiFlashController> flash_controller() override { return std::make_shared<SpiFlashController>(); }
};

// Puts boards at the end of the engine's driver list while it lives; the list is as it was after.
class InstalledBoards {
public:
    explicit InstalledBoards(std::vector<std::shared_ptr<Board>> const& boards);
    ~InstalledBoards() { detail::driver_list() = std::move(saved_); }
    InstalledBoards(InstalledBoards const&) = delete;
    InstalledBoards& operator=(InstalledBoards const&) = delete;

private:
    std::vector<std::shared_ptr<HardwareDriver>> saved_;
};

}  // namespace nuvra::sim
