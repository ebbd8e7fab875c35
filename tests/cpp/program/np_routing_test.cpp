// The routing words both NP generations write, and what each option of a generation's format
// changes in them (word 49 is tested through each generation's writer).
#include "program/np_routing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program/register_fields.h"
#include "support/error_text.h"

namespace nuvra {
namespace {

using namespace fields;
using testing::error_text;
using List = std::vector<hw::Component>;

hw::Component unit(hw::Type type, uint8_t col, uint8_t row = 0, uint8_t id = 0) {
    hw::Component c;
    c.type = type;
    c.ident = {col, row, id, 0};
    return c;
}
hw::Component cnp(uint8_t col, uint8_t row = 0, uint8_t id = 0) { return unit(hw::Type::CNP1, col, row, id); }

TEST(NpRouting, ColumnSpanAndNpSelect) {
    struct { List list; ColumnSpan span; } const spans[] = {
        {{cnp(3), cnp(1), cnp(2)}, {1, 3}},
        {{unit(hw::Type::HRC, 0)}, {1, 1}},
        {{unit(hw::Type::HRC, 0), cnp(5)}, {0, 5}},
    };
    for (auto const& row : spans) EXPECT_EQ(column_span(row.list), row.span) << row.list.size();
    EXPECT_EQ(error_text<std::invalid_argument>([] { column_span({}); }),
              "Cannot take the column span of an empty component list.");

    for (auto [id, select] : {std::pair<uint8_t, uint32_t>{3, 8}, {31, 0x80000000u}, {32, 0xFFFFFFFFu}})
        EXPECT_EQ(np_select(id), select) << int(id);
}

Field const extra_44{44, 3, 1};
Field const top_46{46, 30, 2};
Field const top_47{47, 16, 16};

// A format without any of the options: only the last source bit cleared.
RoutingFormat plain() { return {.source_cleared = Field{46, 31, 1}, .p2p_out_refusal = "out", .p2p_in_refusal = "in"}; }

struct Route {
    List sources{cnp(1)};
    List own{cnp(2), cnp(4)};
    List destinations{cnp(3)};
    uint8_t link_index = 5;
    bool p2p_in = false, p2p_out = false, ends_pass = false;
    AlternateBranch const* alternate = nullptr;

    void write(RoutingFormat const& format, std::vector<uint32_t>& image) const {
        format_routing_words(image,
                             {.sources = sources, .layer_nps = own, .destinations = destinations,
                              .link_index = link_index, .p2p_in = p2p_in, .p2p_out = p2p_out, .ends_pass = ends_pass,
                              .alternate = alternate},
                             format);
    }
};

// Words 44 to 47 over an image of ones (but word 44 bit 3): what each option of the format changes.
TEST(NpRouting, EachOptionOfTheFormat) {
    struct { char const* what; void (*change)(RoutingFormat*, Route*); uint32_t w44, w45, w46, w47; } const rows[] = {
        // 44: bits 3-15 kept, link mode 0xFF; 45: columns 3-3, link 5, bits 16-23 kept; 46: bit 31
        // cleared; 47: own 2-4 with destination 3, bits 16-31 kept.
        {"plain", [](RoutingFormat*, Route*) {}, 0xFF08FFF0, 0x05FF0303, 0x7FFF0101, 0xFFFF0402},
        {"ends a pass", [](RoutingFormat*, Route* r) { r->ends_pass = true; }, 0xFF08FFF4, 0x05FF0303, 0x7FFF0101,
         0xFFFF0402},
        {"routing-on bit", [](RoutingFormat* f, Route*) { f->routing_on = &extra_44; }, 0xFF08FFF8, 0x05FF0303,
         0x7FFF0101, 0xFFFF0402},
        {"wider source clear", [](RoutingFormat* f, Route*) { f->source_cleared = top_46; }, 0xFF08FFF0, 0x05FF0303,
         0x3FFF0101, 0xFFFF0402},
        {"span clear", [](RoutingFormat* f, Route*) { f->span_cleared = &top_47; }, 0xFF08FFF0, 0x05FF0303, 0x7FFF0101,
         0x00000402},
        {"no link at 0xFF, link 0xFF",
         [](RoutingFormat* f, Route* r) {
             f->no_link_at_0xff = true;
             r->link_index = 0xFF;
         },
         0x0608FFF0, 0xFFFF0303, 0x7FFF0101, 0xFFFF0402},
        {"no link at 0xFF, link 5", [](RoutingFormat* f, Route*) { f->no_link_at_0xff = true; }, 0xFF08FFF0, 0x05FF0303,
         0x7FFF0101, 0xFFFF0402},
        {"link 0xFF without the option", [](RoutingFormat*, Route* r) { r->link_index = 0xFF; }, 0xFF08FFF0, 0xFFFF0303,
         0x7FFF0101, 0xFFFF0402},
        {"TNP-B one lower", [](RoutingFormat* f, Route* r) {
             f->tnp_b_link_one_lower = true;
             r->destinations = {unit(hw::Type::TNP_B, 3)};
         }, 0xFF08FFF0, 0x04FF0303, 0x7FFF0101, 0xFFFF0402},
        {"TNP-B without the option", [](RoutingFormat*, Route* r) { r->destinations = {unit(hw::Type::TNP_B, 3)}; },
         0xFF08FFF0, 0x05FF0303, 0x7FFF0101, 0xFFFF0402},
        {"point to point", [](RoutingFormat*, Route* r) {
             r->p2p_in = true;
             r->p2p_out = true;
             r->sources = {cnp(6, 1, 2)};
             r->destinations = {cnp(5, 2, 3)};
         }, 0xFF08FFF1, 0x058F0502, 0x7F4F0601, 0xFFFF0502},
    };
    for (auto const& row : rows) {
        RoutingFormat format = plain();
        Route route;
        row.change(&format, &route);
        std::vector<uint32_t> image(64, 0xFFFFFFFF);
        image[44] = 0xFFFFFFF7;
        route.write(format, image);
        EXPECT_EQ(std::vector<uint32_t>(image.begin() + 44, image.begin() + 48),
                  (std::vector<uint32_t>{row.w44, row.w45, row.w46, row.w47})) << row.what;
    }
}

TEST(NpRouting, Refusals) {
    // word44: what word 44 holds after the failure (an image of zeros); word 46 stays 0.
    struct { char const* what; void (*change)(RoutingFormat*, Route*); std::string message; uint32_t word44; }
    const rows[] = {
        {"P2P out to two", [](RoutingFormat*, Route* r) { r->p2p_out = true; r->destinations = {cnp(3), cnp(4)}; },
         "out", 0xFF080001},
        {"P2P in from two", [](RoutingFormat*, Route* r) { r->p2p_in = true; r->sources = {cnp(1), cnp(2)}; }, "in",
         0xFF080000},
        // The source's select goes first: when it does not fit, word 46 stays as it was.
        {"P2P in from id 4", [](RoutingFormat*, Route* r) { r->p2p_in = true; r->sources = {cnp(1, 2, 4)}; },
         "Attempted to write value 16 into a 4-bit field, which will cause an overflow.", 0xFF080000},
        {"no sources", [](RoutingFormat*, Route* r) { r->sources.clear(); }, "Cannot route an NP without sources.", 0},
        {"no own NPs", [](RoutingFormat*, Route* r) { r->own.clear(); }, "Cannot route an NP without layer components.",
         0},
        {"no destinations", [](RoutingFormat*, Route* r) { r->destinations.clear(); },
         "Cannot route an NP without destinations.", 0},
        {"link 0 to a TNP-B has no value one lower: refused, not wrapped",
         [](RoutingFormat* f, Route* r) {
             f->tnp_b_link_one_lower = true;
             r->link_index = 0;
             r->destinations = {unit(hw::Type::TNP_B, 3)};
         },
         "Attempted to write value 4294967295 into a 8-bit field, which will cause an overflow.", 0xFF080000},
    };
    for (auto const& row : rows) {
        RoutingFormat format = plain();
        Route route;
        row.change(&format, &route);
        std::vector<uint32_t> image(64, 0u);
        EXPECT_EQ(error_text<std::runtime_error>([&] { route.write(format, image); }), row.message) << row.what;
        EXPECT_EQ(image[44], row.word44) << row.what;
        EXPECT_EQ(image[46], 0u) << row.what;
    }
}

// The alternate-branch set-up goes to the fields the format names, after the sources and before the
// span: an NP count too wide for its field leaves word 47 unwritten.
TEST(NpRouting, AlternateBranch) {
    AlternateFields const alternate{Field{46, 19, 1}, Field{52, 24, 8}, Field{52, 4, 1}, Field{52, 16, 8}};
    RoutingFormat format = plain();
    format.alternate = &alternate;
    AlternateBranch const skip_branch{.np_count = 6, .has_peer = true, .peer_index = 3};
    Route route;
    route.alternate = &skip_branch;

    std::vector<uint32_t> image(64, 0u);
    image[52] = 0x80;  // bits of word 52 outside the set-up stay
    route.write(format, image);
    EXPECT_EQ(image[46], 0x00080101u);
    EXPECT_EQ(image[52], 0x06030090u);
    EXPECT_EQ(image[47], 0x0402u);
    // A generation without the set-up is never given one.
    EXPECT_EQ(error_text<std::logic_error>([&] { route.write(plain(), image); }),
              "This NP image has no alternate-branch fields.");

    AlternateBranch const too_many{.np_count = 256};
    route.alternate = &too_many;
    image.assign(64, 0u);
    EXPECT_EQ(error_text<std::runtime_error>([&] { route.write(format, image); }),
              "Attempted to write value 256 into a 8-bit field, which will cause an overflow.");
    EXPECT_EQ(image[47], 0u);
}

}  // namespace
}  // namespace nuvra
