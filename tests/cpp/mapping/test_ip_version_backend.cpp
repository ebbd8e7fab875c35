#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backends/ip_version_backend.h"
#include "hw/presets.h"
#include "tests/cpp/support/fake_device.h"
#include "tests/cpp/support/stub_checker.h"
#include "tests/cpp/support/stub_layer.h"

namespace nuvra {
namespace {

std::string runtime_error_text(auto&& action) {
    try {
        action();
    } catch (std::runtime_error const& e) {
        return e.what();
    }
    return "";
}

constexpr char kUnsupported[] = "Unsupported IP version in IpVersionSpecificHardwareBackend.";

TEST(IpVersionBackend, GenerationFromProductId) {
    struct Row {
        uint8_t product;
        IpVersion expected;  // none: refused
    };
    Row const rows[] = {
        {0x00, IpVersion::v1},   {0xA1, IpVersion::v1},   {0xA2, IpVersion::v2},
        {0xB1, IpVersion::wisp}, {0x42, IpVersion::none}, {0x01, IpVersion::none},
        {0xA0, IpVersion::none}, {0xA3, IpVersion::none}, {0xB2, IpVersion::none},
        {0xFF, IpVersion::none},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(int(row.product));
        HwVersion const version{0xBC, row.product, 1, 0};
        if (row.expected == IpVersion::none)
            EXPECT_EQ(runtime_error_text([&] { select_generation(version); }), kUnsupported);
        else
            EXPECT_EQ(select_generation(version), row.expected);
    }
}

// Fields 2 to 10 and 14 of the two byte-counted generations.
HardwareConstraints with_sram_words(IpVersion ip, uint32_t f0, uint32_t f1, uint32_t f11,
                                    uint32_t f12, uint32_t f13) {
    bool const v1 = ip == IpVersion::v1;
    return {f0, f1, 4096, 4096, 2048, 2048, v1 ? 32u : 64u, 256, v1 ? 2048u : 1536u, 512,
            v1 ? 504u : 0u, f11, f12, f13, v1 ? 0u : 256u, 0, 0, 0, 0};
}

TEST(IpVersionBackend, ConstraintsPerGeneration) {
    struct Row {
        char const* name;
        IpVersion ip;
        SramSize sram;
        HardwareConstraints expected;
    };
    uint32_t const max = std::numeric_limits<uint32_t>::max();
    uint32_t const mib512 = 512u << 20;
    Row const rows[] = {
        {"v1 defaults", IpVersion::v1, SramSize_v1,
         with_sram_words(IpVersion::v1, 10752, 7168, 5376, 10752, 10752)},
        {"v2 defaults", IpVersion::v2, SramSize_v2,
         with_sram_words(IpVersion::v2, 12288, 4096, 8192, 16384, 16384)},
        // The weight word count differs only by its divisor.
        {"v1 on v2 sizes", IpVersion::v1, SramSize_v2,
         with_sram_words(IpVersion::v1, 12288, 8192, 8192, 16384, 16384)},
        {"no SRAM", IpVersion::v2, {}, with_sram_words(IpVersion::v2, 0, 0, 0, 0, 0)},
        // Third-generation sizes are ignored by the byte-counted generations and vice versa.
        {"v2 ignores wisp sizes", IpVersion::v2, {65536, 51200, 1, 2, 3, 4},
         with_sram_words(IpVersion::v2, 12288, 4096, 8192, 16384, 16384)},
        {"wisp defaults", IpVersion::wisp, SramSize_wisp,
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 448, 8192, 892, 256}},
        {"wisp ignores bytes", IpVersion::wisp, {65536, 51200, 1, 2, 3, 4},
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4}},
        // 12 * W passes 32 bits from about 341 MiB on: the FNP3 words are kept exact.
        {"v2 400 MiB weights", IpVersion::v2, {0, 400u << 20, 0, 0, 0, 0, },
         with_sram_words(IpVersion::v2, 100663296, 33554432, 0, 0, 0)},
        // W * 8 and I * 8 pass 32 bits at 512 MiB.
        {"v2 512 MiB", IpVersion::v2, {mib512, mib512, 0, 0, 0, 0},
         with_sram_words(IpVersion::v2, 128849018, 42949672, 67108864, 134217728, 134217728)},
        {"v1 largest", IpVersion::v1, {max, max, 0, 0, 0, 0},
         with_sram_words(IpVersion::v1, 1030792150, 687194767, 536870911, 1073741823,
                         1073741823)},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        Mesh mesh = fake_mesh(row.ip);
        mesh.np_sram_size = row.sram;
        EXPECT_EQ(make_hardware_constraints(row.ip, mesh), row.expected);
    }
    Mesh const v1_mesh = fake_mesh(IpVersion::v1);
    EXPECT_EQ(runtime_error_text([&] { make_hardware_constraints(IpVersion::none, v1_mesh); }),
              kUnsupported);
}

TEST(IpVersionBackend, BuildRefusesGenerationsItLacks) {
    struct Row {
        HwVersion version;
        IpVersion ip;  // none: unsupported
        char const* missing;
    };
    Row const rows[] = {
        {hw::Vexa_v2, IpVersion::v1, "The v1 back end is not available in this build."},
        {hw::ZR62_v1, IpVersion::v1, "The v1 back end is not available in this build."},
        {hw::Tolmar_v2, IpVersion::v2, "The v2 back end is not available in this build."},
        {hw::Wisp_Tolmar, IpVersion::wisp, "The wisp back end is not available in this build."},
        {{0xBC, 0x42, 1, 0}, IpVersion::none, kUnsupported},
    };
    auto const built = built_generations();
    for (auto const& row : rows) {
        SCOPED_TRACE(row.version.to_string());
        auto const device = make_fake_device(row.version);
        bool const available = std::any_of(built.begin(), built.end(),
                                           [&](GenerationFactory const& f) { return f.ip == row.ip; });
        if (available) {
            IpVersionSpecificHardwareBackend const backend(*device);
            EXPECT_EQ(backend.ip_version(), row.ip);
            EXPECT_EQ(backend.constraints(), make_hardware_constraints(row.ip, device->mesh()));
        } else {
            EXPECT_EQ(runtime_error_text([&] { IpVersionSpecificHardwareBackend b(*device); }),
                      row.missing);
        }
    }
}

// Records what the back end asks of a generation's factory, and in which order things end.
struct Journal {
    std::vector<std::string> events;
    Device const* device = nullptr;
    HardwareConstraints const* constraints = nullptr;  // as given to the checker
    HardwareConstraints constraints_at_creation;
    IpVersion generation = IpVersion::none;
};
Journal* journal = nullptr;

struct JournalChecker : StubChecker {
    JournalChecker(Device const& device, HardwareConstraints const& constraints)
        : StubChecker(device, constraints) {}
    ~JournalChecker() override { journal->events.push_back("~checker"); }
};

struct JournalSizer : MemorySizer {
    ~JournalSizer() override { journal->events.push_back("~memory_sizer"); }
    uint32_t get_input_memory_size(std::shared_ptr<Layer> const&, hw::Component const&,
                                   std::shared_ptr<Layer> const&) const override { return 0; }
    uint32_t get_weight_memory_size(std::shared_ptr<Layer> const&,
                                    hw::Component const&) const override { return 0; }
    uint32_t get_external_memory_size(std::shared_ptr<Layer> const&, hw::Component const&, bool,
                                      bool) const override { return 0; }
    uint32_t get_fsram_64b_memory_size(std::shared_ptr<Layer> const&) const override { return 0; }
    uint32_t get_tsram_51b_memory_size(std::shared_ptr<Layer> const&) const override { return 0; }
    uint32_t get_evsram_32b_memory_size(std::shared_ptr<Layer> const&) const override { return 0; }
    uint32_t get_stsram_32b_memory_size(std::shared_ptr<Layer> const&) const override { return 0; }
};

// The recorders stay empty here: the program records they produce are not part of this test.
template <IpVersion Ip>
GenerationFactory journal_factory() {
    return {
        Ip,
        [](Device const& device,
           HardwareConstraints const& constraints) -> std::unique_ptr<CompatibilityChecker> {
            journal->events.push_back("checker");
            journal->device = &device;
            journal->constraints = &constraints;
            journal->constraints_at_creation = constraints;
            journal->generation = Ip;
            return std::make_unique<JournalChecker>(device, constraints);
        },
        []() -> std::unique_ptr<MemorySizer> {
            journal->events.push_back("memory_sizer");
            return std::make_unique<JournalSizer>();
        },
        [](Device const&) -> std::unique_ptr<IoRecorder> {
            journal->events.push_back("io_recorder");
            return nullptr;
        },
        [](Device const&, HardwareConstraints const&) -> std::unique_ptr<LayerRecorder> {
            journal->events.push_back("layer_recorder");
            return nullptr;
        },
    };
}

class IpVersionBackendWithDoubles : public ::testing::Test {
protected:
    void SetUp() override { journal = &log; }
    void TearDown() override { journal = nullptr; }
    Journal log;
    std::vector<GenerationFactory> const all{journal_factory<IpVersion::v1>(),
                                             journal_factory<IpVersion::v2>(),
                                             journal_factory<IpVersion::wisp>()};
};

TEST_F(IpVersionBackendWithDoubles, SelectsByProductId) {
    struct Row {
        uint8_t product;
        IpVersion expected;
    };
    Row const rows[] = {{0x00, IpVersion::v1}, {0xA1, IpVersion::v1}, {0xA2, IpVersion::v2},
                        {0xB1, IpVersion::wisp}};
    for (auto const& row : rows) {
        SCOPED_TRACE(int(row.product));
        log = {};
        auto const device = make_fake_device({0xBC, row.product, 0, 2});
        IpVersionSpecificHardwareBackend const backend(*device, all);
        EXPECT_EQ(backend.ip_version(), row.expected);
        EXPECT_EQ(log.generation, row.expected);
        EXPECT_EQ(log.device, device.get());
        EXPECT_EQ(&backend.checker().device(), device.get());
    }
    log = {};
    auto const unknown = make_fake_device({0xBC, 0x42, 0, 0}, fake_mesh(IpVersion::v2));
    EXPECT_EQ(runtime_error_text([&] { IpVersionSpecificHardwareBackend b(*unknown, all); }),
              kUnsupported);
    EXPECT_TRUE(log.events.empty());
}

TEST_F(IpVersionBackendWithDoubles, CreatesInOrderAndReleasesInReverse) {
    auto const device = make_fake_device(hw::Tolmar_v2);
    {
        IpVersionSpecificHardwareBackend const backend(*device, all);
        EXPECT_EQ(log.events, (std::vector<std::string>{"checker", "memory_sizer", "io_recorder",
                                                        "layer_recorder"}));
    }
    EXPECT_EQ(log.events, (std::vector<std::string>{"checker", "memory_sizer", "io_recorder",
                                                    "layer_recorder", "~memory_sizer", "~checker"}));
}

TEST_F(IpVersionBackendWithDoubles, ConstraintsFilledBeforeTheCheckerAndSharedWithIt) {
    auto const device = make_fake_device(hw::Tolmar_v2);
    device->mutable_mesh().np_sram_size = {1024, 2048, 0, 0, 0, 0};
    IpVersionSpecificHardwareBackend const backend(*device, all);
    EXPECT_EQ(log.constraints, &backend.constraints());
    EXPECT_EQ(log.constraints_at_creation, make_hardware_constraints(IpVersion::v2, device->mesh()));
    EXPECT_EQ(backend.constraints().weight_sram_words, 163u);  // 2048 * 8 / 100

    // is_fnp3_compatible reads the constraints of the back end that built the checker.
    auto const& checker = static_cast<StubChecker const&>(backend.checker());
    StubLayer const layer("dense");
    EXPECT_TRUE(checker.is_fnp3_compatible(layer));
    ASSERT_EQ(checker.fnp3_queries.size(), 1u);
    EXPECT_EQ(checker.fnp3_queries[0].constraints, &backend.constraints());
    EXPECT_EQ(checker.fnp3_queries[0].layer, &layer);
}

TEST_F(IpVersionBackendWithDoubles, MissingOrIncompleteEntryIsRefused) {
    auto const device = make_fake_device(hw::Wisp_Tolmar);
    std::vector<GenerationFactory> const without_wisp{all[0], all[1]};
    EXPECT_EQ(runtime_error_text([&] { IpVersionSpecificHardwareBackend b(*device, without_wisp); }),
              "The wisp back end is not available in this build.");
    GenerationFactory incomplete = all[2];
    incomplete.make_io_recorder = nullptr;
    std::vector<GenerationFactory> const with_incomplete{incomplete};
    EXPECT_EQ(runtime_error_text([&] { IpVersionSpecificHardwareBackend b(*device, with_incomplete); }),
              "The wisp back end is not available in this build.");
    EXPECT_TRUE(log.events.empty());
}

TEST_F(IpVersionBackendWithDoubles, FailedCreationReleasesWhatWasBuilt) {
    GenerationFactory failing = all[1];
    failing.make_io_recorder = [](Device const&) -> std::unique_ptr<IoRecorder> {
        throw std::runtime_error("io recorder failed");
    };
    std::vector<GenerationFactory> const table{failing};
    auto const device = make_fake_device(hw::Tolmar_v2);
    EXPECT_EQ(runtime_error_text([&] { IpVersionSpecificHardwareBackend b(*device, table); }),
              "io recorder failed");
    EXPECT_EQ(log.events,
              (std::vector<std::string>{"checker", "memory_sizer", "~memory_sizer", "~checker"}));
}

}  // namespace
}  // namespace nuvra
