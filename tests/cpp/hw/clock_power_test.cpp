#include <gtest/gtest.h>

#include <functional>

#include "engine/sim/board.h"
#include "hw/clock.h"
#include "hw/power_meter.h"
#include "support/error_text.h"

namespace nuvra {
namespace {

constexpr uint32_t CONTROL = 0xF0001030;
using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

std::string error_of(std::function<void()> const& call) { return testing::error_text<std::exception>(call); }

// Through the SoC driver of a simulated board whose change stays busy for a few reads.
TEST(HwClock, SetWritesDividersThenStart) {
    sim::SocBoard board(sim::vexa_v2());
    board.clock_busy_reads = 3;
    SocDriver& driver = board;
    driver.set_clock_mode(soc::ClockMode::Economy);
    EXPECT_EQ(board.writes, (Writes{{0xF00011A0, 11}, {0xF0001190, 5}, {0xF00011B0, 5}, {CONTROL, 1}}));
    EXPECT_EQ(driver.clock_mode(), soc::ClockMode::Economy);
}

TEST(HwClock, SetRefusals) {
    sim::SocBoard busy(sim::vexa_v2());
    busy.setup.registers[CONTROL] = 1;
    EXPECT_EQ(error_of([&] { soc::set_clock_mode(&busy, soc::ClockMode::Economy); }),
              "Clock mode is already changing.");
    EXPECT_TRUE(busy.writes.empty());

    sim::SocBoard stuck(sim::vexa_v2());
    stuck.clock_busy_reads = -1;
    EXPECT_EQ(error_of([&] { soc::set_clock_mode(&stuck, soc::ClockMode::LowPower); }), "Failed to apply clock mode.");
    EXPECT_EQ(stuck.writes.size(), 4u);

    sim::SocBoard driver(sim::vexa_v2());
    EXPECT_EQ(testing::error_text<std::invalid_argument>(
                  [&] { soc::set_clock_mode(&driver, static_cast<soc::ClockMode>(200000000u)); }),
              "Invalid clock mode");
    EXPECT_TRUE(driver.writes.empty());
    EXPECT_THROW(soc::get_clock_mode(nullptr), std::invalid_argument);
    EXPECT_THROW(soc::set_clock_mode(nullptr, soc::ClockMode::Economy), std::invalid_argument);
}

TEST(HwClock, GetReadsDividerBack) {
    struct Row { uint32_t divider_register; std::string expected; };
    Row const rows[] = {
        {1, "300000000"}, {119, "5000000"}, {120, "Unexpected frequency value detected: 4958677."},
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

using Event = PowerMeter::PowerEvent;

TEST(HwPowerMeter, PowerOfAnEvent) {
    EXPECT_FLOAT_EQ((Event{1, 1500000, 2}).power(), 3.0f);
    EXPECT_EQ((Event{1, 999, 1000}).whole_milliwatts(), 0u);
    // The largest product is computed in 64 bits, not wrapped.
    EXPECT_EQ((Event{1, 0xFFFFFFFF, 0xFFFFFFFF}).whole_milliwatts(), 18446744065119ull);
}

TEST(HwPowerMeter, DropsEventsOfNoPowerOrNotAfterReset) {
    struct Row { Event event; bool kept; };
    Row const rows[] = {
        {{11, 0, 5}, false},        // zero voltage
        {{10, 1000000, 5}, false}, {{-5, 1000000, 5}, false},  // at the reset time; a signed comparison
        {{11, 1000000, 5}, true},   // a tick later
    };
    for (auto const& row : rows) {
        PowerMeter meter;
        meter.reset(10);
        meter.log_event(Event(row.event));
        EXPECT_EQ(meter.has_events(), row.kept) << row.event.ts;
        EXPECT_FLOAT_EQ(meter.floor(), row.kept ? 5.0f : 0.0f) << row.event.ts;
    }
}

TEST(HwPowerMeter, KeepsNewestHundredOldestFirst) {
    PowerMeter meter;
    for (int64_t ts = 1; ts <= 101; ++ts) meter.log_event(Event{ts, 1000000, static_cast<uint32_t>(ts)});
    auto const events = meter.events();
    ASSERT_EQ(events.size(), 100u);
    EXPECT_EQ(events.front(), (Event{2, 1000000, 2}));  // the second event logged
    EXPECT_EQ(events.back(), (Event{101, 1000000, 101}));
    EXPECT_EQ(meter.events(), events);     // reading does not empty the meter
    EXPECT_FLOAT_EQ(meter.floor(), 1.0f);  // the floor remembers the overwritten first event
    meter.reset(200);
    EXPECT_EQ(meter.floor(), 0.0f);
    EXPECT_EQ(meter.events().size(), 100u);  // the held events stay
    EXPECT_THROW(CircularQueue<int>(0), std::invalid_argument);
}

}  // namespace
}  // namespace nuvra
