// A software run's threads follow the CPUs the process may run on, not the CPUs the machine has.
#include <sched.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "engine/inference.h"
#include "support/child_process.h"

namespace nuvra {
namespace {

// Each row narrows the affinity of a child process to its first `cpus` allowed CPUs (as
// `taskset -c 0,1` does for two) and reads usable_cpus() there.
TEST(EngineThreads, UsableCpusFollowTheAffinity) {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(sched_getaffinity(0, sizeof allowed, &allowed), 0);
    std::vector<int> cpus;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &allowed)) cpus.push_back(cpu);
    unsigned const machine = std::max(1u, std::thread::hardware_concurrency());
    struct Row {
        char const* what;
        size_t cpus;
    };
    Row const rows[] = {
        {"one CPU", 1},
        {"two CPUs", 2},
        {"every CPU allowed now", cpus.size()},
    };
    std::string unchecked;  // rows that need more CPUs than this process may run on
    for (Row const& r : rows) {
        if (r.cpus > cpus.size()) {
            unchecked += std::string(unchecked.empty() ? "" : ", ") + r.what;
            continue;
        }
        std::string const result = testing::in_child([&] {
            cpu_set_t narrowed;
            CPU_ZERO(&narrowed);
            for (size_t i = 0; i < r.cpus; ++i) CPU_SET(cpus[i], &narrowed);
            if (sched_setaffinity(0, sizeof narrowed, &narrowed) != 0) return std::string("no affinity set");
            return std::to_string(usable_cpus());
        });
        EXPECT_EQ(result, std::to_string(std::min<size_t>(r.cpus, machine))) << r.what;
    }
    if (!unchecked.empty()) GTEST_SKIP() << "not checked with " << cpus.size() << " CPU(s): " << unchecked;
}

}  // namespace
}  // namespace nuvra
