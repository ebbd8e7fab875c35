#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/error_text.h"
#include "engine/sim/board.h"
#include "engine/soc_driver.h"

namespace nuvra {
namespace {

using Writes = std::vector<std::pair<uint32_t, uint32_t>>;

// The clock functions, now through a board's SoC driver.
TEST(SocDriver, ClockModeThroughTheBoardsRegisters) {
    sim::SocBoard board(sim::vexa_v2());
    HardwareDriver* const driver = &board;
    SocDriver* const soc = dynamic_cast<SocDriver*>(driver);
    ASSERT_NE(soc, nullptr);
    soc->set_clock_mode(soc::ClockMode::LowPower);
    EXPECT_EQ(board.writes, (Writes{{0xF00011A0, 239}, {0xF0001190, 119}, {0xF00011B0, 119}, {0xF0001030, 1}}));
    EXPECT_EQ(soc->clock_mode(), soc::ClockMode::LowPower);

    board.setup.registers[0xF0001030] = 1;  // a change in progress
    EXPECT_EQ(testing::error_text<std::runtime_error>([&] { soc->set_clock_mode(soc::ClockMode::Economy); }),
              "Clock mode is already changing.");
    board.setup.registers[0xF0001030] = 0;
    board.clock_stuck = true;
    EXPECT_EQ(testing::error_text<std::runtime_error>([&] { soc->set_clock_mode(soc::ClockMode::Economy); }),
              "Failed to apply clock mode.");
}

TEST(SocDriver, PowerMeterOnlyWhileMeasuring) {
    sim::SocBoard board(sim::vexa_v2());
    EXPECT_EQ(board.power_meter(), nullptr);
    board.set_power_measurement_enabled(true);
    std::shared_ptr<PowerMeter> const meter = board.power_meter();
    ASSERT_NE(meter, nullptr);
    EXPECT_FALSE(meter->has_events());
    board.set_power_measurement_enabled(false);
    EXPECT_EQ(board.power_meter(), nullptr);
}

TEST(SocDriver, OnlyBoardsThatHaveThemOfferASocOrAFlash) {
    sim::Board plain(sim::tolmar_v2());
    sim::FlashBoard flash(sim::tolmar_v2());
    HardwareDriver* const plain_driver = &plain;
    HardwareDriver* const flash_driver = &flash;
    EXPECT_EQ(dynamic_cast<SocDriver*>(plain_driver), nullptr);
    EXPECT_EQ(dynamic_cast<FlashAccessDriver*>(plain_driver), nullptr);
    auto* const access = dynamic_cast<FlashAccessDriver*>(flash_driver);
    ASSERT_NE(access, nullptr);
    std::shared_ptr<SpiFlashController> const controller = access->flash_controller();
    EXPECT_EQ(testing::error_text<std::runtime_error>([&] { controller->get_id(); }),
              "get_id function is not yet implemented");
}

}  // namespace
}  // namespace nuvra
