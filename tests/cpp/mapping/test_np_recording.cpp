// The per-NP loops both NP generations record their layers with: the order of an image's steps,
// the NPs a call leaves out, the linked layer's component on an NP, and what a left-out NP gets.
#include "mapping/np_recording.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program/register_fields.h"
#include "support/fake_layer.h"
#include "support/mapping_fixtures.h"
#include "support/record_test_util.h"

namespace nuvra {
namespace {

using testing::FakeLayer;

hw::Component np_at(uint8_t col, uint8_t id = 0, hw::Type type = hw::Type::CNP1) {
    return testing::component(type, {col, 0, id, 0});
}

std::shared_ptr<FakeLayer> linked_layer(std::vector<hw::Component> const& components) {
    auto layer = FakeLayer::make("linked");
    auto mapping = std::make_shared<Layer::Mapping>();
    mapping->components = std::make_shared<std::vector<hw::Component>>(components);
    layer->set_mapping(mapping);
    return layer;
}

TEST(NpRecording, LinkedComponentOnAnNp) {
    std::vector<hw::Component> const two_on_3{np_at(3, 0, hw::Type::CNP1), np_at(3, 0, hw::Type::CNP2)};
    auto const without_components = FakeLayer::make("bare");
    without_components->set_mapping(std::make_shared<Layer::Mapping>());
    struct { char const* what; std::shared_ptr<Layer> layer; hw::Ident ident; hw::Type found; } const rows[] = {
        {"no layer", nullptr, {3, 0, 0, 0}, hw::Type::None},
        {"no mapping", FakeLayer::make("linked"), {3, 0, 0, 0}, hw::Type::None},
        {"no component list", without_components, {3, 0, 0, 0}, hw::Type::None},
        {"elsewhere", linked_layer(two_on_3), {4, 0, 0, 0}, hw::Type::None},
        {"another id", linked_layer(two_on_3), {3, 0, 1, 0}, hw::Type::None},
        {"the first of two", linked_layer(two_on_3), {3, 0, 0, 0}, hw::Type::CNP1},
    };
    for (auto const& row : rows) {
        hw::Component const* found = linked_component(row.layer, row.ident);
        EXPECT_EQ(found ? found->type : hw::Type::None, row.found) << row.what;
    }
}

TEST(NpRecording, ImageStepsInOrderForTheNpsNotLeftOut) {
    std::vector<hw::Component> const nps{np_at(1), np_at(2), np_at(3)};
    std::vector<hw::Component> const linked_on{np_at(3), np_at(7)};
    std::vector<hw::Ident> const skipped{np_at(2).ident};
    auto const linked = linked_layer(linked_on);
    // skip: the second NP is left out; link: the linked layer has a component on the third.
    struct { char const* what; bool skip, link, spikes; std::vector<std::string> calls; std::vector<uint8_t> images; }
    const rows[] = {
        {"plain", false, false, false, {"words 1", "routing 1", "words 2", "routing 2", "words 3", "routing 3"},
         {1, 2, 3}},
        {"one left out, spikes", true, false, true, {"words 1", "routing 1", "words 3", "routing 3"}, {1, 3}},
        {"linked on the third", false, true, false,
         {"words 1", "routing 1", "words 2", "routing 2", "words 3", "routing 3", "linked linked 3"}, {1, 2, 3}},
    };
    for (auto const& row : rows) {
        std::vector<std::string> calls;
        NpImageSteps const steps{
            .layer_words = [&](hw::Component const& np) {
                calls.push_back("words " + std::to_string(np.ident.col));
                return std::vector<uint32_t>(50, np.ident.col);
            },
            .routing = [&](std::vector<uint32_t>* regs) { calls.push_back("routing " + std::to_string((*regs)[0])); },
            .linked_layer = [&](std::vector<uint32_t>*, Layer const& next, hw::Component const& c) {
                calls.push_back("linked " + next.get_name() + " " + std::to_string(c.ident.col));
            }};
        NpImageArgs args{.set_spikes = row.spikes};
        if (row.skip) args.skipped_nps = skipped;
        if (row.link) args.next_layer = linked;
        NpRegisterMap const images = format_np_images(nps, args, steps);
        EXPECT_EQ(calls, row.calls) << row.what;
        std::vector<uint8_t> columns;
        for (auto const& [ident, image] : images) {
            columns.push_back(ident.col);
            // The spike bit is the only word the loop writes itself.
            EXPECT_EQ(get(image, fields::INPUT_BUFFER_SPIKES), row.spikes ? 1u : 0u) << row.what;
            EXPECT_EQ(image[0], ident.col) << row.what;
        }
        EXPECT_EQ(columns, row.images) << row.what;
    }
}

TEST(NpRecording, RecordedBlocksPerSkippedNpPolicy) {
    std::vector<hw::Component> const nps{np_at(1), np_at(2)};
    NpRegisterMap const images{{np_at(1).ident, {11, 12}}};  // the NP in column 2 was left out
    // targets: of the blocks in order; blocks: the columns whose other blocks were asked for.
    struct { char const* what; SkippedNp skipped; bool registers_only; std::vector<int> targets;
             std::vector<uint8_t> blocks; } const rows[] = {
        {"left out", SkippedNp::left_out, false, {7, 0}, {1}},
        {"empty registers", SkippedNp::empty_registers, false, {7, 0, 7, 0}, {1, 2}},
        {"empty registers, registers only", SkippedNp::empty_registers, true, {7, 7}, {}},
    };
    for (auto const& row : rows) {
        auto record = program::new_record(HwVersion{});
        std::vector<uint8_t> asked;
        record_np_blocks(*record, nps, images, row.skipped, row.registers_only, [&](hw::Component const& np) {
            asked.push_back(np.ident.col);
            record->add_np_track(np.ident, dma::Target::Weights, 0, {np.ident.col});
        });
        auto const blocks = testing::decode_blocks(*record);
        EXPECT_EQ(testing::targets_of(blocks), row.targets) << row.what;
        EXPECT_EQ(asked, row.blocks) << row.what;
        EXPECT_EQ(blocks.front().words, (std::vector<uint32_t>{11, 12})) << row.what;
        if (row.skipped == SkippedNp::empty_registers) {
            EXPECT_TRUE(blocks.at(row.registers_only ? 1 : 2).words.empty()) << row.what;
        }
    }
}

// The call's mesh flag is the images' pass end.
TEST(NpRecording, ArgumentsOfARecordingCall) {
    auto const layer = FakeLayer::make("layer");
    std::vector<hw::Ident> const skipped{np_at(4).ident};
    NpImageArgs const args = np_image_args({.layer = *layer, .sequence_first = *layer, .next_layer = layer,
                                            .set_spikes = true, .mesh_flag = true, .skipped_nps = skipped});
    EXPECT_EQ(args.next_layer, layer);
    EXPECT_TRUE(args.set_spikes && args.ends_pass);
    EXPECT_EQ(args.skipped_nps.data(), skipped.data());
}

}  // namespace
}  // namespace nuvra
