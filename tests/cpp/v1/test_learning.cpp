// On-chip learning on a first-generation FNP: the learning set-up of a layer, the learning words
// of its memory image and the read-back of a learned image; one row per mended fault.
#include "backends/v1/learning.h"

#include <gtest/gtest.h>

#include <tuple>

#include "backends/v1/format_fnp.h"
#include "backends/v1/sizes.h"
#include "engine/error_text.h"
#include "backends/v1/record_dense.h"
#include "backends/v1/registers.h"
#include "support/fake_hardware_device.h"
#include "support/v1_mapped_layer.h"
#include "support/v2_checks.h"
#include "v2/record_test_util.h"

namespace nuvra::v1 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::filled;
using Words = std::vector<uint32_t>;

// A FullyConnected layer of `units` neurons over 4 x 4 x 2 inputs (32 per neuron), learning with
// `learning` unless it is empty.
struct Learner {
    Learner(std::map<std::string, double> const& learning, int units = 10, int bits = 1)
        : built(testing::build_after_input(LayerType::FullyConnected, {{"units", units}, {"weights_bits", bits}},
                                           {4, 4, 2, 1})) {
        if (learning.empty()) return;
        params = LearningParams::create(LearningType::NuvraUnsupervised, learning);
        dynamic_cast<FullyConnected&>(*built.layer).set_learning(params);
    }
    testing::BuiltLayer built;
    std::shared_ptr<LearningParams> params;
};

TEST(V1Learning, SetUpOfALayer) {
    std::string const overflow_65536 =
        "Attempted to write value 65536 into a 16-bit field, which will cause an overflow.";
    struct {
        char const* what;
        std::map<std::string, double> learning;
        int bits;
        FnpLearning expected;
        std::string failure = {};
    } const rows[] = {
        {"fractions truncated", {{"num_classes", 5.9}, {"num_weights", 65535.9}}, 1, {10, 5, 65535}, ""},
        {"no learning", {}, 1, {}, "Layer 'layer' has no learning parameters."},
        {"2-bit weights", {{"num_classes", 1}, {"num_weights", 8}}, 2, {},
         "Backend hardware(FullyConnected): Learning needs 1-bit weights. Receives weights_bits 2."},
        // The class of a neuron once divided by num_classes, and by units / num_classes.
        {"no class", {{"num_classes", 0}, {"num_weights", 8}}, 1, {},
         "Backend hardware(FullyConnected): num_classes should be between 1 and 10. Receives num_classes 0."},
        {"more classes than units", {{"num_classes", 11}, {"num_weights", 8}}, 1, {},
         "Backend hardware(FullyConnected): num_classes should be between 1 and 10. Receives num_classes 11."},
        // Checked against 20 bits, 65536 once wrote its bit 16 into the threshold's bits.
        {"num_weights 65536", {{"num_classes", 1}, {"num_weights", 65536}}, 1, {}, overflow_65536},
        {"num_weights negative", {{"num_classes", 1}, {"num_weights", -3}}, 1, {},
         "Attempted to write value -3 into a 16-bit field, which will cause an overflow."},
    };
    for (auto const& row : rows) {
        Learner const learner(row.learning, 10, row.bits);
        if (row.failure.empty()) {
            FnpLearning const got = fnp_learning_of(*learner.built.layer);
            EXPECT_EQ(std::tie(got.units, got.num_classes, got.num_weights),
                      std::tie(row.expected.units, row.expected.num_classes, row.expected.num_weights))
                << row.what;
            continue;
        }
        std::string text = error_text<std::exception>([&] { fnp_learning_of(*learner.built.layer); });
        EXPECT_EQ(text, row.failure) << row.what;
    }
    // Units that the weights do not have: learning words for neurons the image lacks.
    Learner const short_weights({{"num_classes", 1}, {"num_weights", 8}});
    short_weights.built.layer->variables().set("weights", Dense::create(TensorType::int8, Shape{8, 32, 1, 1}, Layout::c_order));
    EXPECT_EQ(error_text<std::invalid_argument>([&] { fnp_learning_of(*short_weights.built.layer); }),
              "Layer layer has 10 units but weights for 8 neurons.");
}

// Words b + 1 to b + 3 of each neuron of a 1-bit image of 32 inputs (blocks of 5 words).
std::vector<Words> learning_words(Words const& image, uint32_t units) {
    std::vector<Words> words;
    for (uint32_t n = 0; n < units; ++n) words.push_back({image[5 * n + 1], image[5 * n + 2], image[5 * n + 3]});
    return words;
}

TEST(V1Learning, LearningWords) {
    struct {
        char const* what;
        FnpLearning learning;
        int32_t threshold, thswap;
        Words first, last;  // words b + 1 .. b + 3 of neurons 0 and units - 1
        uint32_t class_of_2 = 0;
        std::string failure = {};
    } const rows[] = {
        {"5 classes of 2 neurons", {10, 5, 0x1234}, 0x7BCDE, 0x4321, {1u << 20, 0x71234, 0xBCDE4321},
         {5u << 20, 0x71234, 0xBCDE4321}, 2},
        {"one class", {10, 1, 7}, 0, 0xFFFF, {0, 7, 0xFFFF}, {0, 7, 0xFFFF}, 0},
        {"4 classes of 10: the last neuron gets class 5", {10, 4, 0}, 0, 0, {1u << 20, 0, 0}, {5u << 20, 0, 0}, 2},
        {"negative threshold", {10, 1, 0}, -1, 0, {}, {}, 0,
         "Backend hardware(FullyConnected): Negative value for threshold_learning not supported."},
        {"threshold past 19 bits", {10, 1, 0}, 524288, 0, {}, {}, 0, "524288 cannot fit in a 20-bit signed integer"},
        {"thswap past 16 bits", {10, 1, 0}, 0, 65536, {}, {}, 0,
         "Attempted to write value 65536 into a 16-bit field, which will cause an overflow."},
        {"class past 10 bits", {2048, 2048, 0}, 0, 0, {}, {}, 0,
         "Attempted to write value 1024 into a 10-bit field, which will cause an overflow."},
        {"no class", {10, 0, 0}, 0, 0, {}, {}, 0,
         "Backend hardware(FullyConnected): num_classes should be between 1 and 10. Receives num_classes 0."},
    };
    for (auto const& row : rows) {
        uint32_t const units = row.learning.units;
        Words image(5 * units, 0u);
        auto const tl = filled<int32_t>(TensorType::int32, units, row.threshold);
        auto const ts = filled<int32_t>(TensorType::int32, units, row.thswap);
        auto const format = [&] { format_fnp_learning_words(image, 32, *tl, *ts, row.learning); };
        if (!row.failure.empty()) {
            EXPECT_EQ(error_text<std::runtime_error>(format), row.failure) << row.what;
            continue;
        }
        format();
        auto const words = learning_words(image, units);
        EXPECT_EQ(words.front(), row.first) << row.what;
        EXPECT_EQ(words.back(), row.last) << row.what;
        EXPECT_EQ(words[2][0] >> 20, row.class_of_2) << row.what;
    }
    Words too_short(49, 0u);
    auto const tl = filled<int32_t>(TensorType::int32, 10, 0);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_learning_words(too_short, 32, *tl, *tl, {10, 1, 0}); }),
              "An FNP image of 49 words cannot hold the learning words of 10 neurons.");
}

TEST(V1Learning, Records) {
    using v2::testing::decode_blocks;
    using v2::testing::targets_of;
    auto const learning = LearningParams::create(
        LearningType::NuvraUnsupervised, {{"num_classes", 5}, {"num_weights", 8}, {"initial_plasticity", 0.5},
                                          {"learning_competition", 0.25}, {"min_plasticity", 0.1},
                                          {"plasticity_decay", 0.5}});
    for (hw::Type type : {hw::Type::FNP3, hw::Type::FNP2}) {
        auto const mapped = testing::map_v1_fnp_layer({{"units", 10}, {"weights_bits", 1}}, {4, 4, 2, 1}, type);
        dynamic_cast<FullyConnected&>(mapped.layer()).set_learning(learning);
        program::LearnRecordsPtr const records = record_program_learning_dense_layer(*mapped.device, mapped.layer(), true);
        auto const on = decode_blocks(*records.first);
        auto const off = decode_blocks(*records.second);
        ASSERT_EQ(targets_of(on), std::vector<int>{7});
        ASSERT_EQ(targets_of(off), std::vector<int>{7});
        EXPECT_EQ(get_field(on[0].words[np_word::LEARNING], LEARNING_ENABLE), 1u);
        EXPECT_EQ(get_field(off[0].words[np_word::LEARNING], LEARNING_ENABLE), 0u);
        EXPECT_EQ(records.value, get_fnp_sram_size(mapped.layer()));

        Words image;
        if (type == hw::Type::FNP3) {
            auto const memory = decode_blocks(*records.third);
            ASSERT_EQ(targets_of(memory), std::vector<int>{6});
            image = memory[0].words;
        } else {
            EXPECT_TRUE(records.third->tracks.empty());
            ASSERT_TRUE(records.third->fnp2_filters_track);
            image = records.third->fnp2_filters_track->words;
        }
        // 32 inputs: blocks of 5 words; the last neuron is in class 5.
        ASSERT_EQ(image.size(), 50u);
        EXPECT_EQ(image[45 + 1] >> 20, 5u);
        EXPECT_EQ(image[45 + 2], 8u);
    }
}

// A learned image of 3 neurons of 40 inputs (blocks of 6 words): neuron n has weight 1 at inputs
// n, n + 32 and 39, learning threshold 0x12345 + n and swap value 100 + n.
Words learned_image() {
    Words image(18, 0u);
    for (uint32_t n = 0; n < 3; ++n) {
        uint32_t* b = &image[6 * n];
        b[2] = 0x10000 | 77;  // threshold bits 16-19 above num_weights
        b[3] = (0x2345 + n) << 16 | (100 + n);
        b[4] = 1u << n;
        b[5] = 1u << n | 1u << 7;
    }
    return image;
}

TEST(V1Learning, ReadBack) {
    struct {
        char const* what;
        bool fnp3;
        Words memory;
        std::string failure;
    } rows[] = {
        {"FNP2", false, learned_image(), ""},
        {"FNP3 drops two words", true, {}, ""},
        {"one word short", false, {}, "The learning memory holds 17 words; the layer's image needs 18 after 0."},
        {"FNP3, one word short", true, {}, "The learning memory holds 19 words; the layer's image needs 18 after 2."},
    };
    rows[1].memory = learned_image();
    rows[1].memory.insert(rows[1].memory.begin(), {0xDEAD, 0xBEEF});
    rows[2].memory = learned_image();
    rows[2].memory.pop_back();
    rows[3].memory = rows[1].memory;
    rows[3].memory.pop_back();
    for (auto const& row : rows) {
        testing::FakeHardwareDevice hardware(HwVersion{});
        hardware.learn_mem = row.memory;
        VariablesImpl variables;
        auto const weights = Dense::create(TensorType::int8, Shape{3, 40, 1, 1}, Layout::c_order);
        variables.set("weights", weights);
        variables.set("threshold_learning", filled<int32_t>(TensorType::int32, 3, 5));
        variables.set("thswap", filled<int32_t>(TensorType::int32, 3, 6));
        auto const before = variables.get("thswap");
        if (!row.failure.empty()) {
            EXPECT_EQ(error_text<std::runtime_error>([&] { fnp_update_learn_vars(&hardware, variables, row.fnp3); }),
                      row.failure) << row.what;
            EXPECT_EQ(variables.get("weights"), weights);
            EXPECT_EQ(variables.get("thswap"), before);
            continue;
        }
        fnp_update_learn_vars(&hardware, variables, row.fnp3);
        Tensor const& w = *variables.get("weights");
        EXPECT_EQ(w.dimensions(), (Shape{3, 40, 1, 1}));
        for (uint32_t n = 0; n < 3; ++n) {
            for (uint32_t i = 0; i < 40; ++i)
                EXPECT_EQ(tensor_read<int8_t>(w, {n, i, 0, 0}), i == n || i == n + 32 || i == 39 ? 1 : 0) << n << " " << i;
            EXPECT_EQ(tensor_read<int32_t>(*variables.get("threshold_learning"), size_t{n}), int32_t(0x12345 + n));
            EXPECT_EQ(tensor_read<int32_t>(*variables.get("thswap"), size_t{n}), int32_t(100 + n));
        }
    }

    // Learning variables of another neuron count, and a device without hardware, replace nothing.
    testing::FakeHardwareDevice hardware(HwVersion{});
    hardware.learn_mem = learned_image();
    VariablesImpl variables;
    variables.set("weights", Dense::create(TensorType::int8, Shape{3, 40, 1, 1}, Layout::c_order));
    variables.set("threshold_learning", filled<int32_t>(TensorType::int32, 2, 5));
    variables.set("thswap", filled<int32_t>(TensorType::int32, 3, 6));
    EXPECT_EQ(error_text<std::runtime_error>([&] { fnp_update_learn_vars(&hardware, variables, false); }),
              "The learning layer has 3 neurons but threshold_learning has 2 elements.");
    EXPECT_EQ(error_text<std::runtime_error>([&] { fnp_update_learn_vars(nullptr, variables, false); }),
              "An actual hardware device is required.");
}

}  // namespace
}  // namespace nuvra::v1
