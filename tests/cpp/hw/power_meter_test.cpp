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
        int pushes;                 // values 1..pushes are pushed
        std::vector<int> expected;  // get(false) afterwards
    };
    Row const rows[] = {
        {0, {}},
        {1, {1}},
        {2, {1, 2}},
        {3, {1, 2, 3}},           // exactly full
        {4, {2, 3, 4}},           // oldest overwritten
        {7, {5, 6, 7}},           // wrapped twice
    };
    for (auto const& row : rows) {
        CircularQueue<int> queue(3);
        for (int i = 1; i <= row.pushes; ++i) queue.push(i);
        EXPECT_EQ(queue.get(false), row.expected) << row.pushes;
        EXPECT_EQ(queue.get(false), row.expected) << "reading twice, " << row.pushes;
        EXPECT_EQ(queue.empty(), row.expected.empty());
        EXPECT_EQ(queue.size(), row.expected.size());
    }
}

TEST(HwCircularQueue, ClearEmptiesAndStartsOver) {
    CircularQueue<int> queue(3);
    for (int i = 1; i <= 5; ++i) queue.push(i);
    EXPECT_EQ(queue.get(true), (std::vector<int>{3, 4, 5}));
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.get(false), std::vector<int>{});
    queue.push(9);
    EXPECT_EQ(queue.get(false), std::vector<int>{9});
}

TEST(HwCircularQueue, CapacityOneKeepsLastValue) {
    CircularQueue<int> queue(1);
    queue.push(1);
    queue.push(2);
    EXPECT_EQ(queue.get(false), std::vector<int>{2});
}

TEST(HwCircularQueue, RefusesZeroCapacity) { EXPECT_THROW(CircularQueue<int>(0), std::invalid_argument); }

TEST(HwPowerMeter, PowerOfAnEvent) {
    struct Row {
        Event event;
        float power;
        uint64_t whole_mw;
    };
    Row const rows[] = {
        {{1, 1500000, 2}, 3.0f, 3},
        {{1, 800000, 250}, 200.0f, 200},
        {{1, 5000000, 1000}, 5000.0f, 5000},
        {{1, 999, 1000}, 0.999f, 0},
        {{1, 0, 7}, 0.0f, 0},
        {{1, 7, 0}, 0.0f, 0},
        {{1, 0xFFFFFFFF, 0xFFFFFFFF}, 4294967295.0f / 1e6f * 4294967295.0f, 18446744065119ull},
    };
    for (auto const& row : rows) {
        EXPECT_FLOAT_EQ(row.event.power(), row.power);
        EXPECT_EQ(row.event.whole_milliwatts(), row.whole_mw);
    }
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
        {{9, 1000000, 5}, false},   // before it
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
    EXPECT_EQ(meter.events(), events);  // reading does not empty the meter
    EXPECT_FLOAT_EQ(meter.floor(), 1.0f);  // the floor remembers the overwritten first event
}

TEST(HwPowerMeter, FloorFollowsResets) {
    PowerMeter meter;
    EXPECT_FALSE(meter.has_events());
    EXPECT_EQ(meter.floor(), 0.0f);
    meter.log_event(Event{1, 1500000, 2});
    EXPECT_EQ(meter.floor(), 3.0f);
    meter.log_event(Event{2, 1500000, 4});
    EXPECT_EQ(meter.floor(), 3.0f);
    meter.log_event(Event{3, 1000000, 1});
    EXPECT_EQ(meter.floor(), 1.0f);

    meter.reset(3);
    EXPECT_EQ(meter.floor(), 0.0f);
    EXPECT_TRUE(meter.has_events());  // the held events stay
    EXPECT_EQ(meter.events().size(), 3u);
    meter.log_event(Event{3, 2000000, 1});  // not after the reset: ignored
    EXPECT_EQ(meter.floor(), 0.0f);
    meter.log_event(Event{4, 2000000, 1});
    EXPECT_EQ(meter.floor(), 2.0f);
    EXPECT_EQ(meter.events().size(), 4u);
}

TEST(HwPowerMeter, SingleMeterPerProcess) { EXPECT_EQ(&PowerMeter::get(), &PowerMeter::get()); }

}  // namespace
}  // namespace nuvra
