#include "backends/v2/record_conv2d.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "backends/v2/record_conv2d_transpose.h"
#include "engine/error_text.h"
#include "hw/presets.h"
#include "support/fake_device.h"
#include "support/v2_fake_layer.h"
#include "v2/record_test_util.h"

namespace nuvra::v2 {
namespace {

using nuvra::testing::error_text;
using nuvra::testing::V2FakeLayer;
using namespace nuvra::v2::testing;

std::shared_ptr<Dense> tensor(TensorType type, Shape const& shape) { return Dense::create(type, shape, Layout::c_order); }

constexpr uint32_t C = 4;  // input channels of every test layer (8 x 8 x 4 input)

// A convolution layer on CNPs: one NP per entry of `filters` (NP i in column 3 - 2i, so the
// mapping's order is not the ident order), each over the whole input; fed by the pass's DMA, feeding
// one CNP in column 5.
struct ConvFixture {
    std::shared_ptr<V2FakeLayer> layer = V2FakeLayer::make("conv", {ComponentKind::CNP});
    std::shared_ptr<LayerMapping> mapping = std::make_shared<LayerMapping>(2);
    std::shared_ptr<FakeDevice> device = make_fake_device(hw::Tolmar_v2);
    uint32_t total = 0;

    ConvFixture(LayerType type, int kernel, int bits, std::vector<uint32_t> const& filters,
                ActivationType activation = ActivationType::ReLU) {
        for (uint32_t n : filters) total += n;
        if (type == LayerType::Conv2D)
            layer->set_params(type, {{"kernel_size", kernel}, {"kernel_stride", 1}, {"filters", int(total)},
                                     {"weights_bits", bits}, {"activation", int(activation)},
                                     {"pool_type", 0}, {"pool_size", 1}});
        else
            layer->set_params(type, {{"kernel_size", kernel}, {"kernel_stride", 2}, {"filters", int(total)},
                                     {"weights_bits", bits}, {"activation", int(activation)}});
        layer->set_activation(activation);
        layer->set_input_dims({Shape{8, 8, C}});
        layer->set_output_dims(Shape{8, 8, total});
        uint32_t const pad = uint32_t(kernel) / 2;
        layer->set_conv_block({1, 1, 8, 8, {pad, pad, pad, pad}});
        layer->set_pool_block({1, 1, 8, 8, {}, false});

        auto weights = tensor(TensorType::int8, Shape{uint32_t(kernel), uint32_t(kernel), C, total});
        for (size_t i = 0; i < weights->size(); ++i) tensor_write<int8_t>(*weights, i, int8_t(i % 7) - 3);
        layer->vars().set("weights", weights);
        layer->vars().set("input_shift", tensor(TensorType::uint8, Shape{C}));
        layer->vars().set("bias", tensor(TensorType::int8, Shape{total}));
        layer->vars().set("output_scales", tensor(TensorType::uint8, Shape{total}));
        if (activation == ActivationType::LUT) layer->vars().set("lut_values", tensor(TensorType::int32, Shape{2048}));

        uint32_t first = 0;
        uint8_t col = 3;
        for (uint32_t n : filters) {
            mapping->components->push_back(cnp({col, 0, 0, 0}, np_part(first, n, 0, 0, 8, 8, C)));
            first += n;
            col = uint8_t(col - 2);
        }
        mapping->inputs.push_back(std::make_shared<LayerMapping::ComponentList>(
            LayerMapping::ComponentList{make_component(hw::Type::DMA, {0, 0, 1, 0})}));
        mapping->outputs.push_back(
            std::make_shared<LayerMapping::ComponentList>(LayerMapping::ComponentList{cnp({5, 0, 0, 0})}));
        layer->set_mapping(mapping);
    }

    // A plain skip-DMA store on channel 1.
    void add_store() {
        mapping->skipdma_stores.push_back(make_component(hw::Type::SKIP_DMA_STORE, {6, 0, 1, 1}));
        mapping->skipdma_store_info = std::make_unique<SkipDmaStoreInfo>(SkipDmaStoreInfo{1, 0, 1});
    }

    // An Add merged into the layer, read back by a skip-DMA load on channel 2.
    void add_merge() {
        mapping->merge_info = std::make_unique<MergeLayerInfo>();
        mapping->merge_info->add = true;
        mapping->merge_info->channel = 3;
        mapping->merge_info->a_shift = tensor(TensorType::uint8, Shape{total});
        mapping->merge_info->b_shift = tensor(TensorType::uint8, Shape{total});
        mapping->merge_info->output_shift = tensor(TensorType::int8, Shape{total});
        mapping->skipdma_loads.push_back(make_component(hw::Type::SKIP_DMA_LOAD, {6, 0, 2, 2}));
        mapping->skipdma_load_info = std::make_unique<SkipDmaLoadInfo>(SkipDmaLoadInfo{2, 1, 1, 0});
    }

    std::unique_ptr<program::Record> record(bool flag_c = false, std::vector<hw::Ident> const& idents = {}) const {
        if (layer->params()->layer_type() == LayerType::Conv2DTranspose)
            return record_program_transposed_conv2d_layer(*device, *layer, nullptr, false, false, idents, flag_c,
                                                          false);
        return record_program_conv2d_layer(*device, *layer, nullptr, false, false, idents, flag_c, false);
    }

    NpRegisterMap registers(std::shared_ptr<Layer> link = nullptr, bool flag_a = false, bool flag_c = false,
                            bool flag_d = false) const {
        if (layer->params()->layer_type() == LayerType::Conv2DTranspose)
            return format_transposed_conv2d_np_registers(*layer, link, flag_a, false, {}, flag_c, flag_d);
        return format_conv2d_np_registers(*layer, link, flag_a, false, {}, flag_c, flag_d);
    }
};

std::vector<int> with_skip(std::vector<int> targets, size_t skip_blocks) {
    targets.insert(targets.end(), skip_blocks, 11);
    return targets;
}

TEST(RecordConv2d, TwoNpsBlocksInMappingOrderThenSkipDma) {
    ConvFixture f(LayerType::Conv2D, 3, 8, {8, 8});
    f.add_store();
    auto const rec = f.record();
    EXPECT_EQ(rec->hw_version, hw::Tolmar_v2);
    auto const blocks = decode_blocks(*rec);
    // Five store blocks follow the NPs' blocks.
    ASSERT_EQ(targets_of(blocks), with_skip({7, 1, 2, 5, 7, 1, 2, 5}, 5));
    hw::Ident const first{3, 0, 0, 0}, second{1, 0, 0, 0};
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(blocks[i].header.ident, i < 4 ? first : second);
        EXPECT_EQ(blocks[i].header.address, 0);
    }
    EXPECT_EQ(blocks[8].header.ident, (hw::Ident{6, 0, 1, 1}));

    // Sizes: 64 registers; 8 filters of k3 over 4 channels = 6 x 4 100-bit words of 3 words;
    // 4 shifts in one group of 8 bytes; two words per filter.
    std::vector<size_t> const sizes{64, 72, 2, 16};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(blocks[i].words.size(), sizes[i]);
    EXPECT_EQ(blocks[0].words, f.registers().at(first));
    EXPECT_EQ(blocks[4].words, f.registers().at(second));
    // Register image: the layer index 2, two NPs, ReLU, each NP's filters.
    for (auto const& [ident, regs] : f.registers()) {
        EXPECT_EQ(field_of(regs[3], 24, 8), 2u);
        EXPECT_EQ(field_of(regs[3], 16, 8), 2u);
        EXPECT_EQ(field_of(regs[3], 15, 1), 1u);
        EXPECT_EQ(field_of(regs[26], 0, 11), ident == first ? 0u : 8u);
        EXPECT_EQ(field_of(regs[26], 16, 10), 8u);
        EXPECT_EQ(field_of(regs[21], 0, 11), 8u);
        EXPECT_EQ(field_of(regs[11], 12, 18), 6u);
        // Destinations: the next layer's NP in column 5 and the store in column 6; the source: the
        // pass DMA in column 0.
        EXPECT_EQ(field_of(regs[45], 0, 16), 0x0605u);
        EXPECT_EQ(field_of(regs[46], 0, 16), 0x0000u);
    }
}

TEST(RecordConv2d, OptionalBlocksFollowTheVariables) {
    struct Row {
        const char* name;
        ActivationType activation;
        bool merge;
        std::vector<int> targets;
    };
    const Row rows[] = {
        {"ReLU", ActivationType::ReLU, false, {7, 1, 2, 5}},
        {"LUT", ActivationType::LUT, false, {7, 1, 2, 5, 12}},
        // The merge's load adds five blocks.
        {"Add merge", ActivationType::ReLU, true, with_skip({7, 1, 2, 5, 10}, 5)},
        {"LUT and Add merge", ActivationType::LUT, true, with_skip({7, 1, 2, 5, 12, 10}, 5)},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        ConvFixture f(LayerType::Conv2D, 3, 8, {8}, row.activation);
        if (row.merge) f.add_merge();
        auto const blocks = decode_blocks(*f.record());
        EXPECT_EQ(targets_of(blocks), row.targets);
        if (row.activation == ActivationType::LUT) {
            EXPECT_EQ(blocks.at(4).words.size(), 1024u);
        }
        if (row.merge) {
            EXPECT_EQ(blocks.at(row.targets.size() - 6).words, (std::vector<uint32_t>(2, 0x80808080)));
        }
    }
}

TEST(RecordConv2d, WeightTarget) {
    struct Row {
        int kernel;
        int bits;
        int target;
    };
    const Row rows[] = {{7, 8, 0}, {3, 4, 0}, {7, 4, 0}, {1, 8, 1}, {3, 8, 1}, {5, 8, 1}};
    for (auto const& row : rows) {
        SCOPED_TRACE(::testing::Message() << "kernel " << row.kernel << ", " << row.bits << "-bit");
        ConvFixture f(LayerType::Conv2D, row.kernel, row.bits, {8});
        EXPECT_EQ(targets_of(decode_blocks(*f.record())), (std::vector<int>{7, row.target, 2, 5}));
    }
}

TEST(RecordConv2d, RegistersOnlyForUnusedNps) {
    ConvFixture f(LayerType::Conv2D, 3, 8, {8, 8});
    f.add_store();
    // No variable is read for them.
    f.layer->vars() = nuvra::testing::AnyVariables{};
    auto const blocks = decode_blocks(*f.record(true));
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, 7}));
    for (auto const& block : blocks) EXPECT_EQ(field_of(block.words[3], 24, 8), 0xFEu);
}

TEST(RecordConv2d, ListedNpsGetNothing) {
    ConvFixture f(LayerType::Conv2D, 3, 8, {8, 8});
    auto const blocks = decode_blocks(*f.record(false, {{3, 0, 0, 0}}));
    ASSERT_EQ(targets_of(blocks), (std::vector<int>{7, 1, 2, 5}));
    for (auto const& block : blocks) EXPECT_EQ(block.header.ident, (hw::Ident{1, 0, 0, 0}));
    EXPECT_EQ(format_conv2d_np_registers(*f.layer, nullptr, false, false, {{1, 0, 0, 0}}, false, false).size(), 1u);
}

TEST(RecordConv2d, SeventeenFiltersOnOneNp) {
    ConvFixture f(LayerType::Conv2D, 3, 8, {17});
    auto const regs = f.registers().at({3, 0, 0, 0});
    EXPECT_EQ(field_of(regs[21], 0, 11), 17u);
    EXPECT_EQ(field_of(regs[29], 16, 8), 3u);
}

TEST(RecordConv2d, InputAndFilterWords) {
    struct Row {
        const char* name;
        uint32_t channels, width, height;
        uint8_t bits;
        uint32_t ch_cont, filters;
        uint32_t word4, word11, word21, word28, word29;
        std::string error;
    };
    const Row rows[] = {
        {"8-bit, X 5, C 3, Y 5", 3, 5, 5, 8, 6, 17, 30, 6u << 12, 17, 8u << 16 | 6, 3u << 16, ""},
        {"4-bit rows round up to a word", 2, 9, 3, 4, 1, 8, 12, 1u << 12, 8, 8u << 16 | 4, 1u << 16, ""},
        {"packet memory of 65536 words", 256, 256, 4, 8, 1, 1, 0, 0, 0, 0, 0, overflow(65536, 16)},
        {"row of 65540 bytes", 1, 65537, 1, 8, 1, 1, 0, 0, 0, 0, 0, overflow(65540, 16)},
        {"2047 filters make 256 groups", 1, 4, 1, 8, 1, 2047, 0, 0, 0, 0, 0, overflow(256, 8)},
        {"2048 filters", 1, 4, 1, 8, 1, 2048, 0, 0, 0, 0, 0, overflow(2048, 11)},
        {"row of all channels of 16384 words", 16, 4096, 1, 8, 1, 1, 0, 0, 0, 0, 0, overflow(16384, 14)},
        // In 32 bits 8 x 2^31 would wrap to 0 and pass every check.
        {"no wrap of the row bits", 1, 0x80000000u, 1, 8, 1, 1, 0, 0, 0, 0, 0, overflow(536870912, 16)},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<uint32_t> regs(64, 0);
        std::string const error = error_text<std::runtime_error>([&] {
            format_cnp_input_and_filter_words(&regs, row.channels, row.width, row.height, row.bits, row.ch_cont,
                                              row.filters);
        });
        EXPECT_EQ(error, row.error);
        if (!row.error.empty()) continue;
        EXPECT_EQ(regs[4], row.word4);
        EXPECT_EQ(regs[11], row.word11);
        EXPECT_EQ(regs[21], row.word21);
        EXPECT_EQ(regs[28], row.word28);
        EXPECT_EQ(regs[29], row.word29);
    }
}

TEST(RecordConv2d, PoolValue) {
    struct Row {
        int pool_type;
        int pool_size;
        uint32_t pool_field;    // word 27 bits 0-2
        uint32_t factor_field;  // word 27 bits 4-6
    };
    const Row rows[] = {{0, 3, 1, 1}, {2, -1, 1, 2}, {2, 3, 3, 2}, {1, 2, 2, 2}};
    for (auto const& row : rows) {
        SCOPED_TRACE(::testing::Message() << "pool_type " << row.pool_type << ", pool_size " << row.pool_size);
        ConvFixture f(LayerType::Conv2D, 3, 8, {8});
        f.layer->set_params(LayerType::Conv2D, {{"kernel_size", 3}, {"kernel_stride", 1}, {"filters", 8},
                                                {"weights_bits", 8}, {"activation", 1},
                                                {"pool_type", row.pool_type}, {"pool_size", row.pool_size}});
        f.layer->set_pool_block({2, 2, 4, 4, {}, false});
        auto const regs = f.registers().at({3, 0, 0, 0});
        EXPECT_EQ(field_of(regs[27], 0, 3), row.pool_field);
        EXPECT_EQ(field_of(regs[27], 4, 3), row.factor_field);
    }
}

TEST(RecordConv2d, RegisterFlags) {
    ConvFixture f(LayerType::Conv2D, 3, 8, {8, 8});
    f.mapping->sram_output_shift = 16;
    auto const plain = f.registers();
    auto const flagged = f.registers(nullptr, true, false, true);
    for (auto const& [ident, regs] : plain) {
        EXPECT_EQ(field_of(regs[2], 7, 1), 0u);
        EXPECT_EQ(field_of(regs[1], 29, 1), 0u);
        // The output offset moves the NP's first channel.
        EXPECT_EQ(field_of(regs[26], 0, 11), ident.col == 3 ? 16u : 24u);
        EXPECT_EQ(field_of(flagged.at(ident)[2], 7, 1), 1u);
        EXPECT_EQ(field_of(flagged.at(ident)[1], 29, 1), 1u);
    }
}

TEST(RecordConv2d, LinkedLayerDescribedOnSharedNpsOnly) {
    ConvFixture f(LayerType::Conv2D, 3, 8, {8, 8});
    auto linked = V2FakeLayer::make("linked", {ComponentKind::CNP});
    linked->set_params(LayerType::Conv2D, {{"kernel_size", 1}, {"filters", 8}});
    linked->set_input_dims({Shape{8, 8, 8}});
    auto linked_mapping = std::make_shared<LayerMapping>(0);
    linked_mapping->input_link_index = 7;
    linked_mapping->components->push_back(cnp({1, 0, 0, 0}, np_part(0, 8, 0, 0, 8, 8, 8)));
    linked_mapping->inputs.push_back(std::make_shared<LayerMapping::ComponentList>(
        LayerMapping::ComponentList{make_component(hw::Type::DMA, {0, 0, 1, 0})}));
    linked->set_mapping(linked_mapping);

    auto const regs = f.registers(linked);
    EXPECT_EQ(regs.at({3, 0, 0, 0})[32], 0u);
    uint32_t const word32 = regs.at({1, 0, 0, 0})[32];
    EXPECT_EQ(field_of(word32, 0, 1), 1u);
    EXPECT_EQ(field_of(word32, 2, 1), 1u);
    EXPECT_EQ(field_of(word32, 24, 8), 7u);
}

TEST(RecordConv2d, Failures) {
    struct Row {
        const char* name;
        void (*edit)(ConvFixture&);
        std::string error;
        bool invalid_argument = false;
    };
    const Row rows[] = {
        {"another layer type",
         [](ConvFixture& f) { f.layer->set_params(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}); },
         "Invalid layer type for CNP recording."},
        {"not built",
         [](ConvFixture& f) {
             auto fresh = V2FakeLayer::make("conv", {ComponentKind::CNP});
             fresh->set_params(LayerType::Conv2D, {{"kernel_size", 3}, {"pool_type", 0}, {"pool_size", 1}});
             fresh->set_mapping(f.mapping);
             f.layer = fresh;
         },
         "The layer conv is not built."},
        {"no input dimensions", [](ConvFixture& f) { f.layer->set_input_dims({}); },
         "Cannot get input size before it is set."},
        {"no mapping", [](ConvFixture& f) { f.layer->set_mapping(nullptr); }, "The layer conv has no hardware mapping."},
        {"LUT without a table",
         [](ConvFixture& f) { f.layer->set_activation(ActivationType::LUT); }, "Wrong size for LUT."},
        {"no weights",
         [](ConvFixture& f) {
             f.layer->vars() = nuvra::testing::AnyVariables{};
             f.layer->vars().set("input_shift", tensor(TensorType::uint8, Shape{C}));
         },
         "Variable weights not found", true},
        {"no input shifts", [](ConvFixture& f) { f.layer->vars() = nuvra::testing::AnyVariables{}; },
         "Variable input_shift not found", true},
        {"weights of rank 3",
         [](ConvFixture& f) { f.layer->vars().set("weights", tensor(TensorType::int8, Shape{3, 3, 32})); },
         "Tensor weights must have rank 4, not 3.", true},
        {"NP without its NP part", [](ConvFixture& f) { f.mapping->components->at(0).np_part.reset(); },
         "An NP of layer conv has no NP part.", true},
        {"Add merge without a load",
         [](ConvFixture& f) {
             f.add_merge();
             f.mapping->skipdma_loads.clear();
         },
         "Skip DMA load should not be null."},
        {"pool size 256",
         [](ConvFixture& f) {
             f.layer->set_params(LayerType::Conv2D, {{"kernel_size", 3}, {"kernel_stride", 1}, {"filters", 8},
                                                     {"weights_bits", 8}, {"activation", 1}, {"pool_type", 1},
                                                     {"pool_size", 256}});
         },
         overflow(256, 8)},
        {"weights_bits 264 does not wrap to 8",
         [](ConvFixture& f) {
             f.layer->set_params(LayerType::Conv2D, {{"kernel_size", 3}, {"kernel_stride", 1}, {"filters", 8},
                                                     {"weights_bits", 264}, {"activation", 1}, {"pool_type", 0},
                                                     {"pool_size", 1}});
         },
         overflow(264, 8)},
        {"output offset past the first-channel field", [](ConvFixture& f) { f.mapping->sram_output_shift = 2048; },
         overflow(2048, 11)},
    };
    for (auto const& row : rows) {
        SCOPED_TRACE(row.name);
        ConvFixture f(LayerType::Conv2D, 3, 8, {8});
        row.edit(f);
        EXPECT_EQ(error_text<std::exception>([&] { f.record(); }), row.error);
        if (row.invalid_argument) {
            EXPECT_EQ(error_text<std::invalid_argument>([&] { f.record(); }), row.error);
        }
    }
}

TEST(RecordConv2dTranspose, KernelFourBlocks) {
    ConvFixture f(LayerType::Conv2DTranspose, 4, 8, {8});
    f.add_store();
    auto const blocks = decode_blocks(*f.record());
    EXPECT_EQ(targets_of(blocks), with_skip({7, 1, 2, 5}, 5));
    // 8 filters of k4 over 4 channels: 12 100-bit words of 3 words each per channel.
    EXPECT_EQ(blocks.at(1).words.size(), 144u);
}

TEST(RecordConv2dTranspose, RegisterWords) {
    struct Row {
        int kernel;
        uint32_t filters;
        uint32_t ch_cont;
    };
    const Row rows[] = {{3, 16, 12}, {4, 8, 12}, {3, 8, 6}};
    for (auto const& row : rows) {
        SCOPED_TRACE(::testing::Message() << "kernel " << row.kernel << ", " << row.filters << " filters");
        ConvFixture f(LayerType::Conv2DTranspose, row.kernel, 8, {row.filters});
        // Pooling and stride parameters of the layer are not read.
        f.layer->set_pool_block({2, 2, 4, 4, {1, 1, 1, 1}, true});
        auto const regs = f.registers().at({3, 0, 0, 0});
        EXPECT_EQ(field_of(regs[11], 12, 18), row.ch_cont);
        EXPECT_EQ(field_of(regs[27], 0, 16), 0x11u);
        EXPECT_EQ(field_of(regs[20], 8, 1), 0u);  // stride 1
        EXPECT_EQ(field_of(regs[20], 9, 1), 1u);
        EXPECT_EQ(field_of(regs[20], 28, 3), uint32_t(row.kernel));
        EXPECT_EQ(field_of(regs[3], 4, 2), 3u);   // 8-bit weights
        // The output window is twice the 8 x 8 part.
        EXPECT_EQ(field_of(regs[25], 0, 10), 16u);
        EXPECT_EQ(field_of(regs[25], 16, 8), 16u);
    }
}

TEST(RecordConv2dTranspose, RefusesOtherLayerTypes) {
    ConvFixture f(LayerType::Conv2D, 3, 8, {8});
    EXPECT_EQ(error_text<std::runtime_error>([&] {
                  record_program_transposed_conv2d_layer(*f.device, *f.layer, nullptr, false, false, {}, false, false);
              }),
              "Invalid layer type for CNP recording.");
    ConvFixture t(LayerType::Conv2DTranspose, 4, 8, {8});
    t.layer->set_input_dims({});
    EXPECT_EQ(error_text<std::runtime_error>([&] { t.record(); }), "Cannot get input size before it is set.");
}

}  // namespace
}  // namespace nuvra::v2
