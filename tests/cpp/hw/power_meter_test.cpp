#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "hw/power_meter.h"

namespace nuvra {
namespace {

using Event = PowerMeter::PowerEvent;

TEST(HwCircularQueue, KeepsNewestValuesOldestFirst) {
    struct Row {
        int pushes;                 // values 1..pushes are pushed into a ring of 3
        std::vector<int> expected;  // get(false) afterwards
    };
    Row const rows[] = {{0, {}}, {3, {1, 2, 3}}, {4, {2, 3, 4}}, {7, {5, 6, 7}}};
    for (auto const& row : rows) {
        CircularQueue<int> queue(3);
        for (int i = 1; i <= row.pushes; ++i) queue.push(i);
        EXPECT_EQ(queue.get(false), row.expected) << row.pushes;
        EXPECT_EQ(queue.get(true), row.expected) << "reading twice, " << row.pushes;
        EXPECT_TRUE(queue.empty());
        queue.push(9);
        EXPECT_EQ(queue.get(false), std::vector<int>{9});
    }
    EXPECT_THROW(CircularQueue<int>(0), std::invalid_argument);
}

TEST(HwPowerMeter, PowerOfAnEvent) {
    EXPECT_FLOAT_EQ((Event{1, 1500000, 2}).power(), 3.0f);
    EXPECT_EQ((Event{1, 999, 1000}).whole_milliwatts(), 0u);
    // The largest product is computed in 64 bits, not wrapped.
    EXPECT_EQ((Event{1, 0xFFFFFFFF, 0xFFFFFFFF}).whole_milliwatts(), 18446744065119ull);
}

TEST(HwPowerMeter, DropsEventsOfNoPowerOrNotAfterReset) {
    struct Row {
        Event event;
        bool kept;
    };
    Row const rows[] = {
        {{11, 0, 5}, false},        // zero voltage
        {{11, 1000000, 0}, false},  // zero current
        {{10, 1000000, 5}, false},  // stamped exactly at the reset time
        {{-5, 1000000, 5}, false},  // signed comparison
        {{11, 1000000, 5}, true},   // a tick later
    };
    for (auto const& row : rows) {
        PowerMeter meter;
        meter.reset(10);
        Event event = row.event;
        meter.log_event(std::move(event));
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
}

TEST(HwPowerMeter, FloorFollowsResets) {
    PowerMeter meter;
    EXPECT_EQ(meter.floor(), 0.0f);
    meter.log_event(Event{1, 1500000, 2});
    meter.log_event(Event{2, 1500000, 4});
    EXPECT_EQ(meter.floor(), 3.0f);
    meter.reset(3);
    EXPECT_EQ(meter.floor(), 0.0f);
    EXPECT_EQ(meter.events().size(), 2u);   // the held events stay
    meter.log_event(Event{3, 2000000, 1});  // not after the reset: ignored
    meter.log_event(Event{4, 2000000, 1});
    EXPECT_EQ(meter.floor(), 2.0f);
    EXPECT_EQ(meter.events().size(), 3u);
}

}  // namespace
}  // namespace nuvra
