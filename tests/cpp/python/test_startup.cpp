#include <gtest/gtest.h>

#include "python/aliases.h"
#include "python/version_check.h"

namespace {

using nuvra::python::python_version_mismatch;

struct VersionRow {
    const char* version;
    bool accepted;
};

TEST(PythonVersionCheck, AcceptsOnly312Series) {
    const VersionRow rows[] = {
        {"3.12.0", true},
        {"3.12", true},
        {"3.12.4 (main, Jan  1 2026, 00:00:00) [GCC 12.2.0]", true},
        {"3.12+", true},
        {"3.120", false},
        {"3.11.9", false},
        {"3.13.0", false},
        {"3.1", false},
        {"", false},
    };
    for (auto const& row : rows) {
        EXPECT_EQ(!python_version_mismatch(row.version).has_value(), row.accepted) << row.version;
    }
}

TEST(PythonVersionCheck, RefusalMessageQuotesTheInterpreterVersion) {
    EXPECT_EQ(python_version_mismatch("3.120").value(),
              "Python version mismatch: module was compiled for Python 3.12, but the interpreter "
              "version is incompatible: 3.120.");
}

TEST(LayerParamAliases, HoldsTheFourPerAxisPairs) {
    auto const& aliases = nuvra::python::layer_param_aliases;
    ASSERT_EQ(aliases.size(), 4u);
    EXPECT_EQ(aliases.at("kernel_stride"), (std::vector<std::string>{"stride_x", "stride_y"}));
    EXPECT_EQ(aliases.at("kernel_size"), (std::vector<std::string>{"kernel_width", "kernel_height"}));
    EXPECT_EQ(aliases.at("pool_size"), (std::vector<std::string>{"pooling_width", "pooling_height"}));
    EXPECT_EQ(aliases.at("pool_stride"),
              (std::vector<std::string>{"pooling_stride_x", "pooling_stride_y"}));
}

}  // namespace
