// On-chip learning on a first-generation FNP: set-up, learning words and read-back.
#include "backends/v1/learning.h"

#include <gtest/gtest.h>

#include "backends/v1/format_fnp.h"
#include "backends/v1/record_dense.h"
#include "backends/v1/registers.h"
#include "backends/v1/sizes.h"
#include "support/error_text.h"
#include "support/fake_hardware_device.h"
#include "support/record_test_util.h"
#include "support/v1_mapped_layer.h"
#include "support/v2_checks.h"

namespace nuvra::v1 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::filled;
using nuvra::testing::overflow;
using Words = std::vector<uint32_t>;

// A FullyConnected layer of 10 neurons over 4 x 4 x 2 inputs (32 per neuron), learning with
// `learning` unless it is empty.
struct Learner {
    explicit Learner(std::map<std::string, double> const& learning, int bits = 1)
        : built(testing::build_after_input(LayerType::FullyConnected, {{"units", 10}, {"weights_bits", bits}},
                                           {4, 4, 2, 1})) {
        if (learning.empty()) return;
        params = LearningParams::create(LearningType::NuvraUnsupervised, learning);
        dynamic_cast<FullyConnected&>(*built.layer).set_learning(params);
    }
    testing::BuiltLayer built;
    std::shared_ptr<LearningParams> params;
};

// The set-up fnp_learning_of reads ("units num_classes num_weights"), or the text of its failure.
std::string set_up(Layer const& layer) {
    try {
        FnpLearning const got = fnp_learning_of(layer);
        return std::to_string(got.units) + " " + std::to_string(got.num_classes) + " " + std::to_string(got.num_weights);
    } catch (std::exception const& e) {
        return e.what();
    }
}

TEST(V1Learning, SetUpOfALayer) {
    std::string const fnp = "Backend hardware(FullyConnected): ";
    struct { std::map<std::string, double> learning; int bits; std::string expected; } const rows[] = {
        {{{"num_classes", 5.9}, {"num_weights", 65535.9}}, 1, "10 5 65535"},  // truncated
        {{}, 1, "Layer 'layer' has no learning parameters."},
        {{{"num_classes", 1}, {"num_weights", 8}}, 2, fnp + "Learning needs 1-bit weights. Receives weights_bits 2."},
        // The class of a neuron once divided by num_classes, and by units / num_classes.
        {{{"num_classes", 0}, {"num_weights", 8}}, 1,
         fnp + "num_classes should be between 1 and 10. Receives num_classes 0."},
        // Checked against 20 bits, 65536 once wrote its bit 16 into the threshold's bits.
        {{{"num_classes", 1}, {"num_weights", 65536}}, 1, overflow(65536, 16)},
        {{{"num_classes", 1}, {"num_weights", -3}}, 1,
         "Attempted to write value -3 into a 16-bit field, which will cause an overflow."},
    };
    for (auto const& row : rows) EXPECT_EQ(set_up(*Learner(row.learning, row.bits).built.layer), row.expected);
    // Units that the weights do not have once gave learning words for neurons the image lacks.
    Learner const short_weights({{"num_classes", 1}, {"num_weights", 8}});
    short_weights.built.layer->variables().set("weights", Dense::create(TensorType::int8, Shape{8, 32, 1, 1}, Layout::c_order));
    EXPECT_EQ(set_up(*short_weights.built.layer), "Layer layer has 10 units but weights for 8 neurons.");
}

TEST(V1Learning, LearningWords) {
    // classes: bits 20-29 of word b + 1 of each neuron
    // last: words b + 2 and b + 3 of the last neuron
    struct { FnpLearning learning; int32_t threshold, thswap; std::vector<uint32_t> classes; Words last;
             std::string failure = {}; } const rows[] = {
        {{10, 5, 0x1234}, 0x7BCDE, 0x4321, {1, 1, 2, 2, 3, 3, 4, 4, 5, 5}, {0x71234, 0xBCDE4321}},
        {{10, 1, 0}, -1, 0, {}, {}, "Backend hardware(FullyConnected): Negative value for threshold_learning not supported."},
        {{10, 1, 0}, 524288, 0, {}, {}, "524288 cannot fit in a 20-bit signed integer"},
        {{10, 1, 0}, 0, 65536, {}, {}, overflow(65536, 16)},
        {{2048, 2048, 0}, 0, 0, {}, {}, overflow(1024, 10)},
        {{10, 0, 0}, 0, 0, {}, {},
         "Backend hardware(FullyConnected): num_classes should be between 1 and 10. Receives num_classes 0."},
    };
    for (auto const& row : rows) {
        uint32_t const units = row.learning.units;
        Words image(5 * units, 0u);  // 32 inputs: blocks of 5 words
        auto const tl = filled<int32_t>(TensorType::int32, units, row.threshold);
        auto const ts = filled<int32_t>(TensorType::int32, units, row.thswap);
        auto const format = [&] { format_fnp_learning_words(image, 32, *tl, *ts, row.learning); };
        if (!row.failure.empty()) {
            EXPECT_EQ(error_text<std::runtime_error>(format), row.failure);
            continue;
        }
        format();
        std::vector<uint32_t> classes;
        for (uint32_t n = 0; n < units; ++n) classes.push_back(image[5 * n + 1] >> 20);
        EXPECT_EQ(classes, row.classes);
        EXPECT_EQ(Words(image.end() - 3, image.end() - 1), row.last);
    }
    Words too_short(49, 0u);
    auto const tl = filled<int32_t>(TensorType::int32, 10, 0);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_learning_words(too_short, 32, *tl, *tl, {10, 1, 0}); }),
              "An FNP image of 49 words cannot hold the learning words of 10 neurons.");
    // Per-neuron tensors of any shape are read element by element; too few still fail.
    Words image(50, 0u);
    auto const nine = Dense::create(TensorType::int32, Shape{9, 1, 1, 1}, Layout::c_order);
    EXPECT_EQ(error_text<std::invalid_argument>([&] { format_fnp_learning_words(image, 32, *tl, *nine, {10, 1, 0}); }),
              "Tensor thswap holds 9 elements, 10 are needed.");
}

TEST(V1Learning, Records) {
    using nuvra::testing::decode_blocks;
    using nuvra::testing::targets_of;
    Learner const with({{"num_classes", 5}, {"num_weights", 8}, {"initial_plasticity", 0.5},
                        {"learning_competition", 0.25}, {"min_plasticity", 0.1}, {"plasticity_decay", 0.5}});
    for (hw::Type type : {hw::Type::FNP3, hw::Type::FNP2}) {
        auto const mapped = testing::map_v1_fnp_layer({{"units", 10}, {"weights_bits", 1}}, {4, 4, 2, 1}, type);
        dynamic_cast<FullyConnected&>(mapped.layer()).set_learning(with.params);
        program::LearnRecordsPtr const records = record_program_learning_dense_layer(*mapped.device, mapped.layer(), true);
        auto const on = decode_blocks(*records.first);
        auto const off = decode_blocks(*records.second);
        ASSERT_EQ(targets_of(on), std::vector<int>{7});
        ASSERT_EQ(targets_of(off), std::vector<int>{7});
        EXPECT_EQ(get(on[0].words, LEARNING_ENABLE), 1u);
        EXPECT_EQ(get(off[0].words, LEARNING_ENABLE), 0u);
        EXPECT_EQ(records.value, get_fnp_sram_size(mapped.layer()));

        bool const fnp3 = type == hw::Type::FNP3;
        auto const memory = decode_blocks(*records.third);
        EXPECT_EQ(targets_of(memory), fnp3 ? std::vector<int>{6} : std::vector<int>{});
        ASSERT_EQ(records.third->fnp2_filters_track != nullptr, !fnp3);
        Words const& image = fnp3 ? memory[0].words : records.third->fnp2_filters_track->words;
        // 32 inputs: blocks of 5 words; the last neuron is in class 5 and learns with 8 weights.
        ASSERT_EQ(image.size(), 50u);
        EXPECT_EQ(Words(image.begin() + 46, image.begin() + 48), (Words{5u << 20, 8}));
    }
}

// A learning memory of `leading` words, then a learned image of 3 neurons of 40 inputs (blocks of
// 6 words) less its last `missing` words: neuron n has weight 1 at inputs n, n + 32 and 39,
// learning threshold 0x12345 + n and swap value 100 + n.
Words learned_memory(uint32_t leading, uint32_t missing = 0) {
    Words memory(leading + 18, 0xDEAD);
    for (uint32_t n = 0; n < 3; ++n) {
        uint32_t* b = &memory[leading + 6 * n];
        b[2] = 0x10000 | 77;  // threshold bits 16-19 above num_weights
        b[3] = (0x2345 + n) << 16 | (100 + n);
        b[4] = 1u << n;
        b[5] = 1u << n | 1u << 7;
    }
    memory.resize(memory.size() - missing);
    return memory;
}

TEST(V1Learning, ReadBack) {
    struct { bool fnp3; Words memory; uint32_t tl_elements = 3; std::string failure = {}; } const rows[] = {
        {false, learned_memory(0)},
        {true, learned_memory(2)},  // an FNP3's memory starts with two words
        {true, learned_memory(2, 1), 3, "The learning memory holds 19 words; the layer's image needs 18 after 2."},
        {false, learned_memory(0), 2, "The learning layer has 3 neurons but threshold_learning has 2 elements."},
    };
    for (auto const& row : rows) {
        testing::FakeHardwareDevice hardware(HwVersion{});
        hardware.learn_mem = row.memory;
        VariablesImpl variables;
        auto const weights = Dense::create(TensorType::int8, Shape{3, 40, 1, 1}, Layout::c_order);
        variables.set("weights", weights);
        variables.set("threshold_learning", filled<int32_t>(TensorType::int32, row.tl_elements, 5));
        variables.set("thswap", filled<int32_t>(TensorType::int32, 3, 6));
        auto const thswap = variables.get("thswap");
        if (!row.failure.empty()) {
            EXPECT_EQ(error_text<std::runtime_error>([&] { fnp_update_learn_vars(&hardware, variables, row.fnp3); }),
                      row.failure);
            EXPECT_EQ(variables.get("weights"), weights);  // nothing replaced
            EXPECT_EQ(variables.get("thswap"), thswap);
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
    VariablesImpl variables;
    EXPECT_EQ(error_text<std::runtime_error>([&] { fnp_update_learn_vars(nullptr, variables, false); }),
              "An actual hardware device is required.");
}

// Read back into a layer, the variables are read in the layer's shape and each new tensor keeps the
// shape its variable was written in.
TEST(V1Learning, ReadBackIntoALayerKeepsTheWrittenShapes) {
    struct { Shape weights, thswap; } const rows[] = {{{3, 40}, {3, 1}}, {{3, 40, 1, 1}, {3}}};
    for (auto const& row : rows) {
        auto const built = testing::build_after_input(LayerType::FullyConnected, {{"units", 3}, {"weights_bits", 1}},
                                                      {40, 1, 1, 1});
        Layer& layer = *built.layer;
        layer.variables().set("weights", Dense::create(TensorType::int8, row.weights, Layout::c_order));
        layer.variables().set("thswap", Dense::create(TensorType::int32, row.thswap, Layout::c_order));
        testing::FakeHardwareDevice hardware(HwVersion{});
        hardware.learn_mem = learned_memory(0);
        fnp_update_learn_vars(&hardware, layer, false);
        Tensor const& w = *layer.variables().get("weights");
        EXPECT_EQ(w.dimensions(), row.weights);
        EXPECT_EQ(layer.variable("weights")->dimensions(), (Shape{3, 40, 1, 1}));
        for (uint32_t n = 0; n < 3; ++n) {
            for (uint32_t i = 0; i < 40; ++i)
                EXPECT_EQ(tensor_read<int8_t>(w, size_t{n * 40 + i}), i == n || i == n + 32 || i == 39 ? 1 : 0)
                    << n << " " << i;
            EXPECT_EQ(tensor_read<int32_t>(*layer.variables().get("thswap"), size_t{n}), int32_t(100 + n));
        }
        EXPECT_EQ(layer.variables().get("thswap")->dimensions(), row.thswap);
        EXPECT_EQ(layer.variables().get("threshold_learning")->dimensions(), (Shape{3}));  // as the layer made it
    }
}

}  // namespace
}  // namespace nuvra::v1
