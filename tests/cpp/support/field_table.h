// Checks of a generation's field table, and register images compared field by field.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
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

// The pairs of fields of one image of `table` that share bits, by name, except the pairs of
// `intended` (in either order). Two rows that name the same field (an alias) also count as an
// overlap.
inline std::vector<std::string> unintended_overlaps(std::span<NamedField const> table,
                                                    std::set<std::pair<std::string_view, std::string_view>> const& intended) {
    std::vector<std::string> found;
    for (size_t i = 0; i < table.size(); ++i)
        for (size_t j = i + 1; j < table.size(); ++j) {
            auto const& a = table[i];
            auto const& b = table[j];
            if (a.image != b.image || !overlaps(a.field, b.field)) continue;
            if (intended.count({a.name, b.name}) != 0 || intended.count({b.name, a.name}) != 0) continue;
            found.push_back(std::string(a.name) + " ~ " + std::string(b.name));
        }
    return found;
}

// The rows of `table` that belong to `image`.
inline std::vector<NamedField> image_fields(std::span<NamedField const> table, std::string_view image) {
    std::vector<NamedField> rows;
    for (auto const& row : table)
        if (row.image == image) rows.push_back(row);
    return rows;
}

// Every field of `table` lies inside its image, whose size `image_words` gives by image name: the
// names of the fields outside it, and of the images it does not know ("NAME: word W of N").
inline std::vector<std::string> fields_outside_images(
    std::span<NamedField const> table, std::vector<std::pair<std::string_view, size_t>> const& image_words) {
    std::vector<std::string> found;
    for (auto const& row : table) {
        size_t words = 0;
        for (auto const& [image, size] : image_words)
            if (image == row.image) words = size;
        if (!is_valid(row.field.bits) || row.field.word >= words)
            found.push_back(std::string(row.name) + ": word " + std::to_string(row.field.word) + " of " +
                            std::to_string(words));
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

// Whether two register images are equal; when not, the named fields that differ.
inline ::testing::AssertionResult same_image(char const* actual_text, char const* expected_text, char const*,
                                             std::span<uint32_t const> actual, std::span<uint32_t const> expected,
                                             std::span<NamedField const> table) {
    if (std::equal(actual.begin(), actual.end(), expected.begin(), expected.end()))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actual_text << " differs from " << expected_text << ":\n"
                                         << field_differences(actual, expected, table);
}

// EXPECT that two register images are equal, printing the named fields that differ (a message may
// follow with <<).
#define EXPECT_SAME_IMAGE(actual, expected, table) \
    EXPECT_PRED_FORMAT3(::nuvra::testing::same_image, actual, expected, table)

}  // namespace nuvra::testing
