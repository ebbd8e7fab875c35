#include <gtest/gtest.h>

#include "python/version_check.h"

namespace {

using nuvra::python::python_version_mismatch;

TEST(PythonVersionCheck, AcceptsOnly312SeriesAndQuotesTheRefusedVersion) {
    const char* const accepted[] = {"3.12.0", "3.12", "3.12.4 (main, Jan  1 2026, 00:00:00) [GCC 12.2.0]", "3.12+"};
    for (const char* version : accepted) EXPECT_EQ(python_version_mismatch(version), std::nullopt) << version;
    for (std::string version : {"3.120", "3.11.9", "3.13.0", "3.1", ""}) {
        EXPECT_EQ(python_version_mismatch(version.c_str()),
                  "Python version mismatch: module was compiled for Python 3.12, but the interpreter version is "
                  "incompatible: " + version + ".");
    }
}

}  // namespace
