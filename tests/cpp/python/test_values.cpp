#include <gtest/gtest.h>

#include "python/metrics.h"
#include "python/program_memory.h"
#include "support/error_text.h"

namespace nuvra::python {
namespace {

TEST(PythonMetrics, ReadsWrittenNamesAndNamesTheMissingOne) {
    PyMetrics metrics;
    metrics.set("inference_clk", -3);
    metrics.set("inference_clk", 1LL << 40);  // assigned again, not added
    EXPECT_EQ(metrics.get("inference_clk"), 1LL << 40);
    EXPECT_EQ(metrics.names(), std::vector<std::string>{"inference_clk"});
    EXPECT_EQ(nuvra::testing::error_text<std::invalid_argument>([&] { metrics.get("inference_fps"); }),
              "inference_fps : no such metrics");
}

TEST(PythonMetrics, FloorPowerOnlyWithEvents) {
    PowerMeter meter;
    EXPECT_EQ(floor_power(meter), std::nullopt);
    meter.log_event({5, 800000, 250});
    EXPECT_EQ(floor_power(meter), std::optional<float>(200.0f));
    meter.reset(6);  // the event stays, the floor is forgotten
    EXPECT_EQ(floor_power(meter), std::optional<float>(0.0f));
}

TEST(PythonProgramMemory, Text) {
    EXPECT_EQ(to_string(ProgramMemoryRequired{1, 2, 3, 4, 5, 6}),
              "<nuvra.ProgramMemoryRequired(input_memory=1B, input_descriptor_memory=2B, output_memory=3B, "
              "program_memory=4B, extra_program_memory=5B, program_descriptors_memory=6B)>");
}

}  // namespace
}  // namespace nuvra::python
