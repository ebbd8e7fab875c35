// Text that reaches Python as str: the UTF-8 check and the escaping of bytes that are not text.
#include <gtest/gtest.h>

#include <string>

#include "hw/text.h"

namespace nuvra {
namespace {

TEST(Text, BytesThatAreNotUtf8AreEscapedAndTextIsKept) {
    struct Row { std::string given; bool utf8; std::string escaped; };
    Row const rows[] = {
        {"pad", true, "pad"},
        {"pad\xff", false, "pad\\xff"},
        {"\xc3\xa9t\xc3\xa9", true, "\xc3\xa9t\xc3\xa9"},              // two-byte sequences kept
        {"\xc3", false, "\\xc3"},                                       // a lead byte without its continuation
        {"\xe2\x82\xac\x80", false, "\xe2\x82\xac\\x80"},               // a stray continuation after a whole one
        {"\xc0\xaf", false, "\\xc0\\xaf"},                              // an overlong '/'
        {"\xed\xa0\x80", false, "\\xed\\xa0\\x80"},                     // a surrogate
        {std::string("a\0b", 3), true, std::string("a\0b", 3)},
    };
    for (auto const& r : rows) {
        EXPECT_EQ(is_utf8(r.given), r.utf8) << r.escaped;
        EXPECT_EQ(escaped_utf8(r.given), r.escaped);
    }
}

}  // namespace
}  // namespace nuvra
