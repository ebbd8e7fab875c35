#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/sim/board.h"
#include "hw/clock.h"
#include "support/error_text.h"

namespace nuvra {
namespace {

constexpr uint32_t CONTROL = 0xF0001030;
using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

std::string error_of(std::function<void()> const& call) { return testing::error_text<std::exception>(call); }

// Through the SoC driver of a simulated board whose change stays busy for a few reads.
TEST(HwClock, SetWritesDividersThenStart) {
    struct Row {
        soc::ClockMode mode;
        uint32_t twice_minus_one, minus_one;
    };
    Row const rows[] = {
        {soc::ClockMode::Performance, 3, 1}, {soc::ClockMode::Economy, 11, 5}, {soc::ClockMode::LowPower, 239, 119}};
    for (auto const& row : rows) {
        sim::SocBoard board(sim::vexa_v2());
        board.clock_busy_reads = 3;
        SocDriver& driver = board;
        driver.set_clock_mode(row.mode);
        Writes const expected = {
            {0xF00011A0, row.twice_minus_one}, {0xF0001190, row.minus_one}, {0xF00011B0, row.minus_one}, {CONTROL, 1}};
        EXPECT_EQ(board.writes, expected) << static_cast<uint32_t>(row.mode);
        EXPECT_EQ(driver.clock_mode(), row.mode);
    }
}

TEST(HwClock, SetRefusals) {
    sim::SocBoard busy(sim::vexa_v2());
    busy.setup.registers[CONTROL] = 1;
    EXPECT_EQ(error_of([&] { soc::set_clock_mode(&busy, soc::ClockMode::Economy); }),
              "Clock mode is already changing.");
    EXPECT_TRUE(busy.writes.empty());

    sim::SocBoard stuck(sim::vexa_v2());
    stuck.clock_busy_reads = -1;
    auto const started = std::chrono::steady_clock::now();
    EXPECT_EQ(error_of([&] { soc::set_clock_mode(&stuck, soc::ClockMode::LowPower); }), "Failed to apply clock mode.");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(10));
    EXPECT_EQ(stuck.writes.size(), 4u);

    for (uint32_t hz : {0u, 200000000u}) {
        sim::SocBoard driver(sim::vexa_v2());
        auto const mode = static_cast<soc::ClockMode>(hz);
        EXPECT_THROW(soc::set_clock_mode(&driver, mode), std::invalid_argument);
        EXPECT_EQ(error_of([&] { soc::set_clock_mode(&driver, mode); }), "Invalid clock mode") << hz;
        EXPECT_TRUE(driver.writes.empty());
    }
    EXPECT_THROW(soc::get_clock_mode(nullptr), std::invalid_argument);
    EXPECT_THROW(soc::set_clock_mode(nullptr, soc::ClockMode::Economy), std::invalid_argument);
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
        {120, "Unexpected frequency value detected: 4958677."},
        // All ones would make the divisor wrap to zero: reported as frequency 0, no division.
        {0xFFFFFFFF, "Unexpected frequency value detected: 0."},
    };
    for (auto const& row : rows) {
        sim::SocBoard driver(sim::vexa_v2());
        driver.setup.registers[0xF0001190] = row.divider_register;
        std::string got;
        std::string const error = error_of([&] { got = std::to_string(uint32_t(soc::get_clock_mode(&driver))); });
        EXPECT_EQ(error.empty() ? got : error, row.expected) << row.divider_register;
    }
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
