#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/driver.h"
#include "hw/clock.h"

namespace nuvra {
namespace {

constexpr uint32_t CONTROL = 0xF0001030;
constexpr uint32_t DIVIDER_2X = 0xF00011A0;
constexpr uint32_t DIVIDER_A = 0xF0001190;
constexpr uint32_t DIVIDER_B = 0xF00011B0;

// A board whose clock control register stays busy for a number of reads after a change starts.
class FakeClockDriver : public HardwareDriver {
public:
    std::map<uint32_t, uint32_t> registers;
    std::vector<std::pair<uint32_t, uint32_t>> writes;  // (address, word) in order
    int busy_reads_after_start = 0;                     // -1: never clears
    int reads = 0;

    void read(uint32_t address, uint32_t* buffer, size_t bytes) override {
        ASSERT_EQ(bytes, 4u);
        ++reads;
        if (address == CONTROL && started_ && busy_reads_after_start >= 0) {
            if (busy_reads_after_start == 0)
                registers[CONTROL] &= ~1u;
            else
                --busy_reads_after_start;
        }
        *buffer = registers[address];
    }
    void write(uint32_t address, uint32_t const* buffer, size_t bytes) override {
        ASSERT_EQ(bytes, 4u);
        writes.emplace_back(address, *buffer);
        registers[address] = *buffer;
        if (address == CONTROL && (*buffer & 1u)) started_ = true;
    }
    uint32_t top_level_reg_base() const override { return 0; }

private:
    bool started_ = false;
};

template <class F>
std::string error_of(F&& call) {
    try {
        call();
    } catch (std::exception const& e) {
        return e.what();
    }
    return "";
}

TEST(HwClock, SetWritesDividersThenStart) {
    struct Row {
        soc::ClockMode mode;
        uint32_t twice_minus_one;
        uint32_t minus_one;
    };
    Row const rows[] = {
        {soc::ClockMode::Performance, 3, 1},
        {soc::ClockMode::Economy, 11, 5},
        {soc::ClockMode::LowPower, 239, 119},
    };
    for (auto const& row : rows) {
        FakeClockDriver driver;
        driver.busy_reads_after_start = 3;
        soc::set_clock_mode(&driver, row.mode);
        std::vector<std::pair<uint32_t, uint32_t>> const expected = {
            {DIVIDER_2X, row.twice_minus_one},
            {DIVIDER_A, row.minus_one},
            {DIVIDER_B, row.minus_one},
            {CONTROL, 1},
        };
        EXPECT_EQ(driver.writes, expected) << static_cast<uint32_t>(row.mode);
        EXPECT_EQ(soc::get_clock_mode(&driver), row.mode);
    }
}

TEST(HwClock, SetRefusesBusyBoardWithoutWriting) {
    FakeClockDriver driver;
    driver.registers[CONTROL] = 1;
    EXPECT_EQ(error_of([&] { soc::set_clock_mode(&driver, soc::ClockMode::Economy); }),
              "Clock mode is already changing.");
    EXPECT_TRUE(driver.writes.empty());
}

TEST(HwClock, SetFailsWhenChangeNeverCompletes) {
    FakeClockDriver driver;
    driver.busy_reads_after_start = -1;
    auto const started = std::chrono::steady_clock::now();
    EXPECT_EQ(error_of([&] { soc::set_clock_mode(&driver, soc::ClockMode::LowPower); }),
              "Failed to apply clock mode.");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(10));
    EXPECT_EQ(driver.writes.size(), 4u);
}

TEST(HwClock, SetRefusesValueOutsideModes) {
    for (uint32_t hz : {0u, 1u, 200000000u, 600000000u, 0xFFFFFFFFu}) {
        FakeClockDriver driver;
        auto const mode = static_cast<soc::ClockMode>(hz);
        EXPECT_THROW(soc::set_clock_mode(&driver, mode), std::invalid_argument) << hz;
        EXPECT_EQ(error_of([&] { soc::set_clock_mode(&driver, mode); }), "Invalid clock mode") << hz;
        EXPECT_TRUE(driver.writes.empty());
        EXPECT_EQ(driver.reads, 0);
    }
}

TEST(HwClock, GetReadsDividerBack) {
    struct Row {
        uint32_t divider_register;
        std::string expected;  // mode value, or the failure text
    };
    Row const rows[] = {
        {1, "300000000"},
        {5, "100000000"},
        {119, "5000000"},
        {0, "Unexpected frequency value detected: 600000000."},
        {2, "Unexpected frequency value detected: 200000000."},
        {120, "Unexpected frequency value detected: 4958677."},
        {0xFFFFFFFE, "Unexpected frequency value detected: 0."},
        // All ones would make the divisor wrap to zero: reported as frequency 0, no division.
        {0xFFFFFFFF, "Unexpected frequency value detected: 0."},
    };
    for (auto const& row : rows) {
        FakeClockDriver driver;
        driver.registers[DIVIDER_A] = row.divider_register;
        std::string got;
        try {
            got = std::to_string(static_cast<uint32_t>(soc::get_clock_mode(&driver)));
        } catch (std::runtime_error const& e) {
            got = e.what();
        }
        EXPECT_EQ(got, row.expected) << row.divider_register;
    }
}

TEST(HwClock, NeedsADriver) {
    EXPECT_THROW(soc::get_clock_mode(nullptr), std::invalid_argument);
    EXPECT_THROW(soc::set_clock_mode(nullptr, soc::ClockMode::Economy), std::invalid_argument);
}

TEST(HwTiming, HelpersKeepTime) {
    kick_watchdog();
    int64_t const before = time_ms();
    msleep(0);
    EXPECT_LE(time_ms() - before, 5);
    msleep(20);
    EXPECT_GE(time_ms() - before, 20);
}

}  // namespace
}  // namespace nuvra
