#include <gtest/gtest.h>

#include "devices/host_device.h"
#include "engine/sim/board.h"
#include "mapping/hardware_backend.h"
#include "python/device_support.h"
#include "python/model_support.h"
#include "support/error_text.h"
#include "support/model_builder.h"

namespace nuvra::python {
namespace {

using nuvra::testing::error_text;

std::vector<std::unique_ptr<Tensor>> outputs_of(std::vector<std::pair<TensorType, Shape>> const& specs) {
    std::vector<std::unique_ptr<Tensor>> outputs;
    for (auto const& [type, shape] : specs)
        outputs.push_back(std::make_unique<Dense>(*Dense::create(type, shape, Layout::c_order)));
    return outputs;
}

TEST(OutputArray, OneArrayOfOutputZerosTypeAndExtents) {
    using T = TensorType;
    struct Row { std::vector<std::pair<TensorType, Shape>> outputs; std::string dtype;
                 std::vector<int64_t> shape, strides; std::string error; };
    Row const rows[] = {
        {{}, "float64", {0}, {8}, ""},
        {{{T::int32, {1, 1, 10}}, {T::int32, {1, 1, 10}}}, "int32", {2, 1, 1, 10}, {40, 40, 40, 4}, ""},
        {{{T::bit, {1, 1, 2}}}, "uint8", {1, 1, 1, 2}, {2, 2, 2, 1}, ""},
        {{{T::float32, {2, 2, 1, 1}}}, "float32", {1, 2, 2, 1}, {16, 8, 4, 4}, ""},
        {{{T::uint16, {1, 1, 10}}}, "", {}, {}, "Unexpected output type."},
        // A fourth extent, or a later output larger or of another type, would not fit the array.
        {{{T::int32, {1, 1, 10, 2}}}, "", {}, {}, "Unexpected output shape."},
        {{{T::int32, {1, 1, 10}}, {T::int32, {1, 1, 11}}}, "", {}, {}, "Unexpected output shape."},
        {{{T::int32, {1, 1, 10}}, {T::float32, {1, 1, 10}}}, "", {}, {}, "Unexpected output shape."},
    };
    for (auto const& row : rows) {
        auto const outputs = outputs_of(row.outputs);
        OutputArray array{};
        EXPECT_EQ(error_text<std::runtime_error>([&] { array = output_array(outputs); }), row.error) << row.dtype;
        if (!row.error.empty()) continue;
        EXPECT_EQ(array.dtype, row.dtype);
        EXPECT_EQ(array.shape, row.shape) << row.dtype;
        EXPECT_EQ(array.strides, row.strides) << row.dtype;
    }
}

TEST(OutputArray, EachOutputGoesToItsOwnSlice) {
    auto outputs = outputs_of({{TensorType::int32, {1, 1, 2}}, {TensorType::int32, {1, 1, 2}}});
    for (int32_t k = 0; k < 4; ++k) tensor_write<int32_t>(*outputs[size_t(k / 2)], size_t(k % 2), 10 + k);
    OutputArray const layout = output_array(outputs);
    std::vector<int32_t> array(4);
    copy_outputs(outputs, layout, {reinterpret_cast<uint8_t*>(array.data()), 16});
    EXPECT_EQ(array, (std::vector<int32_t>{10, 11, 12, 13}));
    EXPECT_EQ(outputs[1], nullptr);
}

// A PyHardwareDevice over a simulated second-generation SoC board whose runs give int32 (1, 1, 2)
// outputs.
struct OnBoard {
    OnBoard() { board->outputs = sim::Board::Outputs{TensorType::int32, {1, 1, 2}}; }

    std::shared_ptr<sim::SocBoard> board = std::make_shared<sim::SocBoard>(sim::tolmar_v2());
    std::shared_ptr<PyHardwareDevice> device = std::make_shared<PyHardwareDevice>(make_host_device(board.get()));
};

std::shared_ptr<Dense> frames(Shape const& shape) { return Dense::create(TensorType::uint8, shape, Layout::c_order); }

TEST(HardwareRun, OneBatchTimedByTheWrappingCounter) {
    OnBoard on;
    on.board->clock_counter = (uint64_t{7} << 32) + 0xFFFFFFF0u;
    on.board->clock_step = 32;
    on.board->set_power_measurement_enabled(true);
    auto const outputs = on.device->run(*frames({3, 2, 2, 1}), {5}, InferenceMode::fit);
    EXPECT_EQ(outputs.size(), 3u);
    EXPECT_EQ(on.board->calls, (std::vector<std::string>{"batch 3", "fit 3"}));
    EXPECT_EQ(on.board->deliveries, std::vector{HardwareDevice::BatchDelivery::in_one_call});
    EXPECT_EQ(on.board->labels, std::vector<int>{5});
    EXPECT_FALSE(on.board->counting);
    EXPECT_EQ(on.device->metrics.get("inference_frames"), 3);
    EXPECT_EQ(on.device->metrics.get("inference_clk"), 32);
    EXPECT_LE(on.device->metrics.get("inference_start"), on.device->metrics.get("inference_end"));
    ASSERT_EQ(on.device->power_events.size(), 1u);
    EXPECT_EQ(on.device->power_events[0].current, 103u);

    // Without a meter the events of the last run that had one stay.
    on.board->set_power_measurement_enabled(false);
    on.device->run(*frames({2, 4}), {}, InferenceMode::predict);
    EXPECT_EQ(on.device->power_events.size(), 1u);
    EXPECT_EQ(on.device->metrics.get("inference_frames"), 2);
}

TEST(HardwareRun, RefusedBatchesNeverReachTheDeviceAndTheCounterStops) {
    struct Row { Shape inputs; size_t labels; std::string engine_failure, error; std::vector<std::string> calls; };
    Row const rows[] = {
        {{2, 8, 8}, 0, "", "Input dimensions are not correct (Should be 4 or 2).", {}},
        {{4, 2, 2, 1}, 5, "", "Number of labels should be the same as number of inputs.", {}},
        {{4, 2, 2, 1}, 4, "The board stalled.", "The board stalled.", {"batch 4", "fit 4"}},
    };
    for (auto const& row : rows) {
        OnBoard on;
        on.board->failures.run = row.engine_failure;
        std::vector<int32_t> const labels(row.labels, 1);
        EXPECT_EQ(error_text<std::exception>([&] { on.device->run(*frames(row.inputs), labels, InferenceMode::fit); }),
                  row.error);
        EXPECT_EQ(on.board->calls, row.calls) << row.error;
        EXPECT_FALSE(on.board->counting) << row.error;
        EXPECT_TRUE(on.device->metrics.names().empty()) << row.error;
    }
}

// Bytes the engine's reader refuses never reach the board: it keeps the program it holds, and
// the device object its bytes and "program_clk".
TEST(HardwareProgram, ARefusedProgramLeavesTheBoardProgrammed) {
    OnBoard on;
    testing::ModelBuilder b;
    b.input("in");
    b.layer(LayerType::Conv2D, "c1", {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, {"in"});
    b.model().map(on.device);
    std::vector<uint8_t> const good(b.model().sequences()[0]->program().begin(),
                                    b.model().sequences()[0]->program().end());
    on.board->program_clocks = 7;
    on.device->set_program(good);
    on.board->program_clocks = 9;
    struct Row { std::vector<uint8_t> bytes; std::string error; };
    Row const rows[] = {
        {{'g', 'a', 'r', 'b', 'a', 'g', 'e'},
         "Invalid program: the length of program_info passes the end of the program."},
        {{}, "Invalid program: shorter than the length of program_info."},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(error_text<std::invalid_argument>([&] { on.device->set_program(row.bytes); }), row.error);
        EXPECT_EQ(on.board->calls, (std::vector<std::string>{"unprogram", "program"})) << row.error;
        std::span<const uint8_t> const held = on.device->program();
        EXPECT_EQ(std::vector<uint8_t>(held.begin(), held.end()), good) << row.error;
        EXPECT_EQ(on.device->metrics.get("program_clk"), 7) << row.error;
    }
}

// in (8 x 8 x 4) -> c1 -> c2 mapped on the board and run through the model runner.
TEST(ModelRunOnHardware, ClockMetricsAndPowerEventsOfTheBoard) {
    OnBoard on;
    on.board->outputs.reset();
    on.board->program_clocks = 1234;
    on.board->clock_step = 9;
    on.board->set_power_measurement_enabled(true);
    testing::ModelBuilder b;
    b.input("in");
    for (auto [name, inbound] : {std::pair{"c1", "in"}, std::pair{"c2", "c1"}})
        b.layer(LayerType::Conv2D, name, {{"kernel_size", 3}, {"filters", 4}, {"padding", 1}}, {inbound});
    b.model().map(on.device);

    std::map<std::string, int64_t> metrics;
    std::vector<PowerMeter::PowerEvent> events;
    auto const sink = [&](std::string const& name, int64_t value) { metrics[name] = value; };
    auto const forward = [&](std::shared_ptr<const Tensor> const& in) { return b.model().forward(in); };
    run_inference(b.model(), frames({2, 8, 8, 4}), forward, events, sink);
    EXPECT_EQ(metrics.at("inference_clk"), 9);
    EXPECT_EQ(metrics.at("program_clk"), 1234);
    EXPECT_EQ(metrics.at("inference_frames"), 2);
    EXPECT_EQ(events.size(), 1u);

    // A failing step leaves the counter stopped, the clock metrics as they were, and no events.
    on.board->failures.run = "The board stalled.";
    metrics.clear();
    EXPECT_EQ(error_text<std::runtime_error>([&] { run_inference(b.model(), frames({2, 8, 8, 4}), forward, events, sink); }),
              "The board stalled.");
    EXPECT_FALSE(on.board->counting);
    EXPECT_TRUE(metrics.empty());
    EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace nuvra::python
