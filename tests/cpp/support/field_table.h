// Checks of a generation's field table, and register images compared field by field.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "hw/register.h"

namespace nuvra::testing {

// The pairs of fields of `table` that share bits, by name, except the pairs of `intended` (in
// either order). Two rows that name the same field (an alias) also count as an overlap.
inline std::vector<std::string> unintended_overlaps(std::span<NamedField const> table,
                                                    std::set<std::pair<std::string_view, std::string_view>> const& intended) {
    std::vector<std::string> found;
    for (size_t i = 0; i < table.size(); ++i)
        for (size_t j = i + 1; j < table.size(); ++j) {
            auto const& a = table[i];
            auto const& b = table[j];
            if (!overlaps(a.field, b.field)) continue;
            if (intended.count({a.name, b.name}) != 0 || intended.count({b.name, a.name}) != 0) continue;
            found.push_back(std::string(a.name) + " ~ " + std::string(b.name));
        }
    return found;
}

// The named fields whose values differ between two images ("NAME (word W bits L-H): actual
// != expected", one a line), then the words that differ in bits no field of `table` names.
inline std::string field_differences(std::span<uint32_t const> actual, std::span<uint32_t const> expected,
                                     std::span<NamedField const> table) {
    std::ostringstream out;
    if (actual.size() != expected.size())
        out << "image sizes differ: " << actual.size() << " != " << expected.size() << "\n";
    size_t const words = std::min(actual.size(), expected.size());
    std::vector<uint32_t> named(words, 0);
    for (auto const& row : table) {
        auto const& f = row.field;
        if (f.word >= words) continue;
        uint32_t const mask = f.bits.width >= 32 ? 0xFFFFFFFFu : ((uint32_t{1} << f.bits.width) - 1) << f.bits.offset;
        named[f.word] |= mask;
        uint32_t const a = get(actual, f);
        uint32_t const e = get(expected, f);
        if (a != e)
            out << row.name << " (word " << f.word << " bits " << f.bits.offset << "-"
                << f.bits.offset + f.bits.width - 1 << "): " << a << " != " << e << "\n";
    }
    for (size_t w = 0; w < words; ++w) {
        uint32_t const unnamed = (actual[w] ^ expected[w]) & ~named[w];
        if (unnamed != 0)
            out << "word " << w << " differs in unnamed bits 0x" << std::hex << unnamed << std::dec << ": 0x"
                << std::hex << actual[w] << " != 0x" << expected[w] << std::dec << "\n";
    }
    return out.str();
}

// EXPECT that two register images are equal, printing the named fields that differ.
#define EXPECT_SAME_IMAGE(actual, expected, table)                                                        \
    do {                                                                                                 \
        std::vector<uint32_t> const nuvra_actual_(std::begin(actual), std::end(actual));                  \
        std::vector<uint32_t> const nuvra_expected_(std::begin(expected), std::end(expected));            \
        EXPECT_TRUE(nuvra_actual_ == nuvra_expected_)                                                     \
            << ::nuvra::testing::field_differences(nuvra_actual_, nuvra_expected_, (table));              \
    } while (false)

}  // namespace nuvra::testing
