// The routing words both NP generations write: what each option of a generation's format changes,
// against a format without it, the order of a source's fields and the shared helpers (each
// generation's routing tests hold its own words and refusals; word 49 is tested there too).
#include "program/np_routing.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "program/register_fields.h"
#include "support/error_text.h"

namespace nuvra {
namespace {

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
    EXPECT_EQ(column_span({cnp(3), cnp(1), cnp(2)}), (ColumnSpan{1, 3}));
    EXPECT_EQ(error_text<std::invalid_argument>([] { column_span({}); }),
              "Cannot take the column span of an empty component list.");
    for (auto [id, select] : {std::pair<uint8_t, uint32_t>{3, 8}, {31, 0x80000000u}, {32, 0xFFFFFFFFu}})
        EXPECT_EQ(np_select(id), select) << int(id);
}

// A format without any of the options: only the last source bit cleared.
RoutingFormat plain() { return {.source_cleared = Field{46, 31, 1}, .p2p_out_refusal = "out", .p2p_in_refusal = "in"}; }

struct Route {
    List sources{cnp(1)};
    List own{cnp(2), cnp(4)};
    List destinations{cnp(3)};
    uint8_t link_index = 5;
    bool p2p_in = false;
    AlternateBranch const* alternate = nullptr;

    void write(RoutingFormat const& format, std::vector<uint32_t>& image) const {
        format_routing_words(image,
                             {.sources = sources, .layer_nps = own, .destinations = destinations,
                              .link_index = link_index, .p2p_in = p2p_in, .alternate = alternate},
                             format);
    }
};

// Words 44 and 45 over an image of ones (but word 44 bit 3): the link options apply only with the
// link or the destination they name.
TEST(NpRouting, EachOptionOfTheFormat) {
    struct { char const* what; void (*change)(RoutingFormat*, Route*); uint32_t w44, w45; } const rows[] = {
        // 44: bits 3-15 kept, link mode 0xFF; 45: columns 3-3, link 5, bits 16-23 kept.
        {"plain", [](RoutingFormat*, Route*) {}, 0xFF08FFF0, 0x05FF0303},
        {"no link at 0xFF, link 0xFF",
         [](RoutingFormat* f, Route* r) {
             f->no_link_at_0xff = true;
             r->link_index = 0xFF;
         },
         0x0608FFF0, 0xFFFF0303},
        {"no link at 0xFF, link 5", [](RoutingFormat* f, Route*) { f->no_link_at_0xff = true; }, 0xFF08FFF0,
         0x05FF0303},
        {"link 0xFF without the option", [](RoutingFormat*, Route* r) { r->link_index = 0xFF; }, 0xFF08FFF0,
         0xFFFF0303},
        {"TNP-B one lower",
         [](RoutingFormat* f, Route* r) {
             f->tnp_b_link_one_lower = true;
             r->destinations = {unit(hw::Type::TNP_B, 3)};
         },
         0xFF08FFF0, 0x04FF0303},
        {"TNP-B without the option", [](RoutingFormat*, Route* r) { r->destinations = {unit(hw::Type::TNP_B, 3)}; },
         0xFF08FFF0, 0x05FF0303},
    };
    for (auto const& row : rows) {
        RoutingFormat format = plain();
        Route route;
        row.change(&format, &route);
        std::vector<uint32_t> image(64, 0xFFFFFFFF);
        image[44] = 0xFFFFFFF7;
        route.write(format, image);
        EXPECT_EQ(image[44], row.w44) << row.what;
        EXPECT_EQ(image[45], row.w45) << row.what;
        EXPECT_EQ(image[46], 0x7FFF0101u) << row.what;
        EXPECT_EQ(image[47], 0xFFFF0402u) << row.what;
    }
}

TEST(NpRouting, Refusals) {
    // A source's select goes first: when it does not fit, word 46 stays as it was.
    Route route;
    route.p2p_in = true;
    route.sources = {cnp(1, 2, 4)};
    std::vector<uint32_t> image(64, 0u);
    EXPECT_EQ(error_text<std::runtime_error>([&] { route.write(plain(), image); }),
              "Attempted to write value 16 into a 4-bit field, which will cause an overflow.");
    EXPECT_EQ(image[46], 0u);

    // A generation without the alternate-branch set-up is never given one.
    AlternateBranch const branch{.np_count = 6};
    Route alternate;
    alternate.alternate = &branch;
    EXPECT_EQ(error_text<std::logic_error>([&] { alternate.write(plain(), image); }),
              "This NP image has no alternate-branch fields.");
}

}  // namespace
}  // namespace nuvra
