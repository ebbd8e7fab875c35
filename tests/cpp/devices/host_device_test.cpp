#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "devices/host_device.h"
#include "devices/hrc_probe.h"
#include "engine/model.h"
#include "engine/program_generated.h"
#include "engine/program_info.h"
#include "engine/sequence.h"
#include "engine/sim/board.h"
#include "hw/presets.h"
#include "support/error_text.h"
#include "support/model_builder.h"

namespace nuvra {
namespace {

using Boards = std::vector<std::shared_ptr<sim::Board>>;
using Devices = std::vector<std::shared_ptr<Device>>;

std::shared_ptr<sim::Board> board(sim::BoardSetup setup) { return std::make_shared<sim::Board>(std::move(setup)); }

// populate_devices() over `boards` (installed for the call), and what it printed.
Devices populate(Boards const& boards, std::string* printed, TimeoutProbe const& probe = nullptr) {
    sim::InstalledBoards const installed(boards);
    ::testing::internal::CaptureStdout();
    Devices devices = probe ? populate_devices(probe) : populate_devices();
    *printed = ::testing::internal::GetCapturedStdout();
    return devices;
}

TEST(HostDevices, NoDriversNoDevicesNothingPrinted) {
    std::string printed;
    EXPECT_TRUE(populate({}, &printed).empty());
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(get_devices().empty());
    EXPECT_TRUE(get_devices().empty());
    printed += ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(get_drivers().empty());
    EXPECT_EQ(testing::error_text<std::runtime_error>([] { HardwareDevice::create(nullptr); }),
              "No engine device for this driver.");
}

TEST(HostDevices, FailingBoardsArePrintedAndSkippedInDriverOrder) {
    sim::BoardSetup no_sram = sim::tolmar_v2();
    no_sram.mesh_word(0x70) = 0;
    sim::BoardSetup unknown = sim::tolmar_v2();
    unknown.version.product_id = 0x42;
    Boards const boards{board(sim::tolmar_v2()), board(no_sram),          board(sim::tolmar_v2()),
                        board(sim::tolmar_v2()), board(sim::wisp_tolmar()), board(unknown)};
    boards[2]->failures.create = "The board does not answer.";
    boards[3]->failures.register_read = "Bus read failed.";
    std::string printed;
    Devices const devices = populate(boards, &printed);
    EXPECT_EQ(printed, "The mesh has no SRAM.\nThe board does not answer.\nBus read failed.\nUnknown IP version.\n");
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]->hardware(), boards[0].get());
    EXPECT_EQ(devices[1]->hardware(), boards[4].get());
    EXPECT_STREQ(devices[0]->desc(), "Tolmar v2 (simulated)");
}

TEST(HostDevices, ProbeRunsOnVexaV2OnlyAndATimeOutMakesTheDeviceAgainOnce) {
    struct Row {
        sim::BoardSetup setup;
        bool timed_out;
        int probes, creates;
    };
    Row const rows[] = {
        {sim::vexa_v2(), true, 1, 2},
        {sim::vexa_v2(), false, 1, 1},
        {sim::tolmar_v2(), true, 0, 1},
    };
    for (auto const& row : rows) {
        auto const made = board(row.setup);
        int probes = 0;
        std::string printed;
        Devices const devices = populate({made}, &printed, [&](std::shared_ptr<Device> const& device) {
            EXPECT_EQ(device->hardware(), made.get());
            ++probes;
            return row.timed_out;
        });
        ASSERT_EQ(devices.size(), 1u) << printed;
        EXPECT_EQ(probes, row.probes) << row.setup.desc;
        EXPECT_EQ(made->creates, row.creates) << row.setup.desc;
    }
}

// The real probe maps its InputConvolutional layer through the first-generation back end and runs
// it on the simulated board; a run that fails counts as a time-out.
TEST(HostDevices, ProbeMapsAndRunsOnASimulatedVexaV2) {
    register_mapping_backend();
    struct { const char* run_failure; int creates; } const rows[] = {{"", 1}, {"The HRC does not answer.", 2}};
    for (auto const& row : rows) {
        auto const made = board(sim::vexa_v2());
        made->failures.run = row.run_failure;
        std::string printed;
        EXPECT_EQ(populate({made}, &printed).size(), 1u);
        EXPECT_EQ(printed, "");
        EXPECT_EQ(made->creates, row.creates) << row.run_failure;
        EXPECT_EQ(std::vector<std::string>(made->calls.begin(), made->calls.begin() + 3),
                  (std::vector<std::string>{"program", "batch 1", "forward 1"}));
    }
}

TEST(HostDevices, GenerationOfTheVersionMustBeTheMeshs) {
    EXPECT_NO_THROW(check_ip_version(hw::Tolmar_v2, IpVersion::v2));
    EXPECT_EQ(testing::error_text<std::invalid_argument>([] { check_ip_version(hw::Tolmar_v2, IpVersion::v1); }),
              "Incompatible hardware and Ip versions: HW Version is 188.162.1.0. with product id = 162 while IP "
              "version is v1.");
}

TEST(HrcProbe, ConstantInputsOfTheModelsInputShape) {
    testing::ModelBuilder model;
    model.input("in", 1, 8, 8);
    std::shared_ptr<Tensor> const inputs = get_constant_inputs(model.model());
    EXPECT_EQ(inputs->type(), TensorType::uint8);
    EXPECT_EQ(inputs->dimensions(), (Shape{1, 8, 8, 1}));
    auto const* bytes = static_cast<uint8_t const*>(inputs->buffer().data);
    EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + inputs->buffer().bytes), std::vector<uint8_t>(64, 1));
    testing::ModelBuilder empty;
    EXPECT_EQ(testing::error_text<std::runtime_error>([&] { get_constant_inputs(empty.model()); }),
              "Cannot have a shape with dimension 1 set to 0");
}

// in (8 x 8 x 4) -> c1 -> c2 mapped on a simulated second-generation board and run on 3 samples;
// the board measures its power.
TEST(HostRun, ModelForwardRunsTheProgramOnTheBoard) {
    register_mapping_backend();
    auto const tolmar = std::make_shared<sim::SocBoard>(sim::tolmar_v2());
    EXPECT_EQ(tolmar->power_meter(), nullptr);
    tolmar->set_power_measurement_enabled(true);
    std::string printed;
    Devices const devices = populate({tolmar}, &printed);
    ASSERT_EQ(devices.size(), 1u) << printed;

    testing::ModelBuilder b;
    b.input("in");
    for (auto [name, inbound] : {std::pair{"c1", "in"}, std::pair{"c2", "c1"}})
        b.layer(LayerType::Conv2D, name, {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, {inbound});
    b.model().map(devices[0]);
    ASSERT_EQ(b.model().sequences().size(), 1u);
    std::span<const uint8_t> const program = b.model().sequences()[0]->program();

    std::shared_ptr<Dense> const inputs = Dense::create(TensorType::uint8, Shape{3, 8, 8, 4}, Layout::c_order);
    auto* bytes = static_cast<uint8_t*>(inputs->mutable_buffer().data);
    for (size_t i = 0; i < 3 * 256; ++i) bytes[i] = uint8_t(i / 256 + 1);  // sample s holds s + 1
    std::shared_ptr<Tensor> const outputs = b.model().forward(inputs);

    EXPECT_EQ(tolmar->calls, (std::vector<std::string>{"program", "batch 3", "forward 3"}));
    std::span<const uint8_t> const loaded = tolmar->program();
    EXPECT_EQ(std::vector<uint8_t>(loaded.begin(), loaded.end()), std::vector<uint8_t>(program.begin(), program.end()));
    ProgramInfo const info(program.data(), program.size());
    auto const* dims = info.info().output_dims();
    ASSERT_EQ(dims->size(), 3u);
    EXPECT_EQ(outputs->dimensions(), (Shape{3, dims->Get(0), dims->Get(1), dims->Get(2)}));
    for (uint32_t s = 0; s < 3; ++s) EXPECT_EQ(tensor_read<int32_t>(*outputs, {s, 0, 0, 0}), int32_t(256 * (s + 1)));
    std::vector<PowerMeter::PowerEvent> const events = tolmar->power_meter()->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].voltage, 800000u);
    EXPECT_EQ(events[0].current, 103u);

    b.model().forward(inputs);  // the board holds the program: no second load
    EXPECT_EQ(std::count(tolmar->calls.begin(), tolmar->calls.end(), "program"), 1);
}

TEST(HostDevices, OnlyBoardsThatHaveThemOfferASocOrAFlash) {
    sim::Board plain(sim::tolmar_v2());
    sim::FlashBoard flash(sim::tolmar_v2());
    HardwareDriver* const drivers[] = {&plain, &flash};
    EXPECT_EQ(dynamic_cast<SocDriver*>(drivers[0]), nullptr);
    EXPECT_EQ(dynamic_cast<FlashAccessDriver*>(drivers[0]), nullptr);
    std::shared_ptr<SpiFlashController> const controller =
        dynamic_cast<FlashAccessDriver&>(*drivers[1]).flash_controller();
    EXPECT_EQ(testing::error_text<std::runtime_error>([&] { controller->get_id(); }),
              "get_id function is not yet implemented");
}

}  // namespace
}  // namespace nuvra
