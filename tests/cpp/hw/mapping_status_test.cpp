#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "engine/layer.h"
#include "hw/mapping_status.h"

namespace nuvra {
namespace {

MappingStatus failure(std::string layer, std::string message) {
    MappingStatus status;
    status.failed = true;
    status.message = std::move(message);
    status.layer_name = std::move(layer);
    return status;
}

TEST(HwMappingStatus, DefaultsToSuccess) {
    MappingStatus const status;
    EXPECT_FALSE(status.failed);
    EXPECT_EQ(status.message, "Success.");
    EXPECT_EQ(status.layer_name, "");
    EXPECT_EQ(status.to_string(), "Success.");
    EXPECT_EQ(MappingStatus::success(), status);
    MappingStatusGroup const group;
    EXPECT_FALSE(group.failed);
    EXPECT_EQ(group.to_string(), "Success.");
}

// A layer that only has a name.
class NamedLayer final : public Layer {
public:
    explicit NamedLayer(std::string name) : name_(std::move(name)) {}
    std::string get_name() const override { return name_; }
    std::vector<Shape> input_dimensions() const override { return {}; }
    Shape output_dimensions() const override { return {}; }
    uint8_t input_bits() const override { return 0; }
    uint8_t output_bits() const override { return 0; }
    bool output_signed() const override { return false; }
    int format_code() const override { return 0; }
    int value_mode() const override { return 0; }
    bool is_target_component(ComponentKind) const override { return false; }
    bool splittable() const override { return false; }
    bool is_depthwise() const override { return false; }
    bool is_separable() const override { return false; }
    bool is_input_layer() const override { return false; }
    LayerParams const* params() const override { return nullptr; }
    std::shared_ptr<LearningParams> learning() const override { return nullptr; }
    bool can_learn() const override { return false; }
    Variables& variables() override { return variables_; }
    Variables const& variables() const override { return variables_; }
    bool has_activation() const override { return false; }
    bool has_activation_type(ActivationType) const override { return false; }
    bool has_pooling_type(PoolType) const override { return false; }
    std::vector<std::shared_ptr<Layer>> inbound_layers() const override { return {}; }
    std::vector<std::shared_ptr<Layer>> inbound_layers() override { return {}; }
    std::vector<std::shared_ptr<Layer>> outbound_layers() const override { return {}; }
    std::vector<std::shared_ptr<Layer>> outbound_layers() override { return {}; }
    std::shared_ptr<Mapping> mapping() const override { return nullptr; }
    std::shared_ptr<Mapping> mapping() override { return nullptr; }
    uint64_t macs() const override { return 0; }

private:
    std::string name_;
    VariablesImpl variables_;
};

TEST(HwMappingStatus, FailureOfALayerTakesItsName) {
    MappingStatus const status(NamedLayer("dense_3"), "Too many neurons.");
    EXPECT_TRUE(status.failed);
    EXPECT_EQ(status.message, "Too many neurons.");
    EXPECT_EQ(status.layer_name, "dense_3");
    EXPECT_EQ(status.to_string(), "Cannot map layer 'dense_3'. Too many neurons.");
}

TEST(HwMappingStatus, Text) {
    struct Row {
        MappingStatus status;
        const char* text;
    };
    Row const rows[] = {
        {failure("conv_1", "Too many filters."), "Cannot map layer 'conv_1'. Too many filters."},
        {failure("", "Too many filters."), "Too many filters."},
        {failure("x", ""), "Cannot map layer 'x'. "},
    };
    for (auto const& row : rows) EXPECT_EQ(row.status.to_string(), row.text);
}

TEST(HwMappingStatus, GathersFailures) {
    struct Row {
        MappingStatus first;
        MappingStatus second;
        MappingStatus expected;
    };
    Row const rows[] = {
        // A success added to a failure changes nothing.
        {failure("a", "A."), MappingStatus::success(), failure("a", "A.")},
        // A failure added to a success is copied whole.
        {MappingStatus::success(), failure("a", "A."), failure("a", "A.")},
        // A second failure appends its message; the first layer name stays.
        {failure("a", "A."), failure("b", "B."), failure("a", "A. B.")},
        {failure("", "A."), failure("b", "B."), failure("", "A. B.")},
        {MappingStatus::success(), MappingStatus::success(), MappingStatus::success()},
    };
    for (auto const& row : rows) {
        MappingStatus status = row.first;
        status += row.second;
        EXPECT_EQ(status, row.expected) << row.expected.to_string();
    }

    MappingStatus status;
    status += failure("a", "A.");
    status += failure("b", "B.");
    status += failure("c", "C.");
    EXPECT_EQ(status.to_string(), "Cannot map layer 'a'. A. B. C.");
    status += status;
    EXPECT_EQ(status.message, "A. B. C. A. B. C.");
}

TEST(HwMappingStatus, ThrowsItsText) {
    try {
        failure("conv", "No NP.").throw_exception();
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Cannot map layer 'conv'. No NP.");
    }
}

MappingStatusGroup group_of(std::vector<MappingStatus> statuses, bool failed = true, std::string message = "Failed.") {
    MappingStatusGroup group;
    group.failed = failed;
    group.message = std::move(message);
    group.statuses = std::move(statuses);
    return group;
}

TEST(HwMappingStatusGroup, Text) {
    struct Row {
        MappingStatusGroup group;
        const char* text;
    };
    Row const rows[] = {
        {group_of({}, true, "Model is too big."), "Model is too big."},
        {group_of({failure("a", "A.")}), "Cannot map layer 'a'. A."},
        {group_of({failure("", "A.")}), "A."},
        {group_of({failure("a", "A."), failure("", "B.")}), "Cannot map layer 'a':\n  * Layer 'a': A.\n  * B."},
        {group_of({failure("a", "A."), failure("b", "B."), failure("c", "C.")}),
         "Cannot map layer 'a':\n  * Layer 'a': A.\n  * Layer 'b': B.\n  * Layer 'c': C."},
        {group_of({failure("", "A."), failure("b", "B.")}), "Cannot map layer '':\n  * A.\n  * Layer 'b': B."},
    };
    for (auto const& row : rows) EXPECT_EQ(row.group.to_string(), row.text);
}

TEST(HwMappingStatusGroup, ThrowsGroupText) {
    try {
        group_of({failure("a", "A."), failure("", "B.")}).throw_exception();
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Cannot map layer 'a':\n  * Layer 'a': A.\n  * B.");
    }
}

TEST(HwMappingStatusGroup, GathersOtherGroups) {
    struct Row {
        MappingStatusGroup first;
        MappingStatusGroup second;
        bool failed;
        std::string message;
        size_t statuses;
    };
    Row const rows[] = {
        // A successful group is ignored, statuses included.
        {group_of({}, false, "Success."), group_of({failure("a", "A.")}, false, "Success."), false, "Success.", 0},
        // Into a successful group: flag, message and statuses taken.
        {group_of({}, false, "Success."), group_of({failure("a", "A.")}, true, "One."), true, "One.", 1},
        // Into a failed group: the message stays, nothing appended to it; statuses appended.
        {group_of({failure("a", "A.")}, true, "One."), group_of({failure("b", "B.")}, true, "Two."), true, "One.", 2},
    };
    for (auto const& row : rows) {
        MappingStatusGroup group = row.first;
        group += row.second;
        EXPECT_EQ(group.failed, row.failed);
        EXPECT_EQ(group.message, row.message);
        EXPECT_EQ(group.statuses.size(), row.statuses);
    }

    MappingStatusGroup group = group_of({failure("a", "A.")}, true, "One.");
    group += group_of({failure("b", "B."), failure("c", "C.")}, true, "Two.");
    ASSERT_EQ(group.statuses.size(), 3u);
    EXPECT_EQ(group.statuses[0].layer_name, "a");
    EXPECT_EQ(group.statuses[1].layer_name, "b");
    EXPECT_EQ(group.statuses[2].layer_name, "c");

    group += group;  // a group added to itself doubles its statuses
    ASSERT_EQ(group.statuses.size(), 6u);
    EXPECT_EQ(group.statuses[3].layer_name, "a");
    EXPECT_EQ(group.statuses[5].layer_name, "c");
}

TEST(HwMappingStatusGroup, AddsEachDistinctStatusOnce) {
    MappingStatusGroup group;
    add_unique_status(group, failure("a", "A."));
    EXPECT_TRUE(group.failed);
    EXPECT_EQ(group.message, "Success.");  // the group's message does not change
    add_unique_status(group, failure("a", "A."));
    EXPECT_EQ(group.statuses.size(), 1u);
    add_unique_status(group, failure("b", "A."));
    add_unique_status(group, failure("a", "B."));
    MappingStatus not_failed = failure("a", "A.");
    not_failed.failed = false;
    add_unique_status(group, not_failed);
    ASSERT_EQ(group.statuses.size(), 4u);
    EXPECT_EQ(group.statuses[3], not_failed);
    add_unique_status(group, failure("b", "A."));
    EXPECT_EQ(group.statuses.size(), 4u);
}

}  // namespace
}  // namespace nuvra
