// Every register field the project exports must lie inside one 32-bit word.
#include <gtest/gtest.h>

#include "engine/dma.h"
#include "hw/register.h"

namespace {

using nuvra::RegDetail;

struct NamedField {
    const char* name;
    RegDetail field;
};

TEST(HwRegisterConstants, EveryExportedFieldFitsAWord) {
    const NamedField fields[] = {
        {"dma::header_col", nuvra::dma::header_col},
        {"dma::header_row", nuvra::dma::header_row},
        {"dma::header_channel", nuvra::dma::header_channel},
        {"dma::header_id", nuvra::dma::header_id},
        {"dma::header_target", nuvra::dma::header_target},
        {"dma::header_address", nuvra::dma::header_address},
        {"dma::header_size", nuvra::dma::header_size},
        {"dma::header_xl", nuvra::dma::header_xl},
        {"dma::header_reserved", nuvra::dma::header_reserved},
    };
    for (auto const& f : fields) EXPECT_TRUE(nuvra::is_valid(f.field)) << f.name;
}

}  // namespace
