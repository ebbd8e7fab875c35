#include <gtest/gtest.h>

#include "hw/mapping_status.h"
#include "support/error_text.h"
#include "support/fake_layer.h"

namespace nuvra {
namespace {

MappingStatus failure(std::string layer, std::string message) {
    MappingStatus status;
    status.failed = true;
    status.message = std::move(message);
    status.layer_name = std::move(layer);
    return status;
}

MappingStatusGroup group_of(std::vector<MappingStatus> statuses, bool failed = true, std::string message = "Failed.") {
    MappingStatusGroup group;
    group.failed = failed;
    group.message = std::move(message);
    group.statuses = std::move(statuses);
    return group;
}

template <class Status>
std::string thrown_text(Status const& status) {
    return testing::error_text<std::runtime_error>([&] { status.throw_exception(); });
}

TEST(HwMappingStatus, TextAndGathering) {
    EXPECT_EQ(MappingStatusGroup().to_string(), "Success.");
    MappingStatus const of_layer(testing::FakeLayer("dense_3"), "Too many neurons.");
    EXPECT_EQ(of_layer, failure("dense_3", "Too many neurons."));
    EXPECT_EQ(of_layer.to_string(), "Cannot map layer 'dense_3'. Too many neurons.");
    EXPECT_EQ(failure("", "Too many filters.").to_string(), "Too many filters.");
    EXPECT_EQ(thrown_text(failure("conv", "No NP.")), "Cannot map layer 'conv'. No NP.");
    MappingStatus status = MappingStatus::success();
    status += failure("a", "A.");
    EXPECT_EQ(status, failure("a", "A."));
    status += failure("b", "B.");
    EXPECT_EQ(status, failure("a", "A. B."));  // the first layer name stays
}

TEST(HwMappingStatusGroup, Text) {
    struct Row { MappingStatusGroup group; const char* text; };
    Row const rows[] = {
        {group_of({}, true, "Model is too big."), "Model is too big."},
        {group_of({failure("a", "A.")}), "Cannot map layer 'a'. A."},
        {group_of({failure("a", "A."), failure("", "B.")}), "Cannot map layer 'a':\n  * Layer 'a': A.\n  * B."},
        {group_of({failure("", "A."), failure("b", "B.")}), "Cannot map layer '':\n  * A.\n  * Layer 'b': B."},
    };
    for (auto const& row : rows) EXPECT_EQ(row.group.to_string(), row.text);
    EXPECT_EQ(thrown_text(rows[2].group), rows[2].text);
}

TEST(HwMappingStatusGroup, GathersOtherGroups) {
    struct Row { MappingStatusGroup first, second; bool failed; std::string message; std::vector<std::string> layers; };
    Row const rows[] = {
        // A successful group is ignored, statuses included.
        {group_of({}, false, "Success."), group_of({failure("a", "A.")}, false, "Success."), false, "Success.", {}},
        {group_of({}, false, "Success."), group_of({failure("a", "A.")}, true, "One."), true, "One.", {"a"}},
        // Into a failed group: the message stays; statuses appended in order.
        {group_of({failure("a", "A.")}, true, "One."), group_of({failure("b", "B."), failure("c", "C.")}, true, "Two."),
         true, "One.", {"a", "b", "c"}},
    };
    for (auto const& row : rows) {
        MappingStatusGroup group = row.first;
        group += row.second;
        EXPECT_EQ(group.failed, row.failed);
        EXPECT_EQ(group.message, row.message);
        std::vector<std::string> layers;
        for (auto const& status : group.statuses) layers.push_back(status.layer_name);
        EXPECT_EQ(layers, row.layers);
    }
}

TEST(HwMappingStatusGroup, AddsEachDistinctStatusOnce) {
    MappingStatusGroup group;
    MappingStatus not_failed = failure("a", "A.");
    not_failed.failed = false;
    for (auto const& status : {failure("a", "A."), failure("a", "A."), failure("b", "A."), failure("a", "B."),
                               not_failed, failure("b", "A.")})
        add_unique_status(group, status);
    EXPECT_TRUE(group.failed);
    EXPECT_EQ(group.message, "Success.");  // the group's message does not change
    ASSERT_EQ(group.statuses.size(), 4u);
    EXPECT_EQ(group.statuses[3], not_failed);
}

}  // namespace
}  // namespace nuvra
