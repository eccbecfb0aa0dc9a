#include "base/AtomicFile.h"
#include "base/UsableProcessors.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <future>
#include <pthread.h>
#include <sched.h>
#include <thread>

using namespace tallyvox;
using tallyvox::testing::TempDir;

TEST(UsableProcessors, QuotaOfTheCgroupTreeLimitsTheCount) {
    EXPECT_EQ(UsableProcessors::quotaProcessors("150000 100000\n"), 2);
    EXPECT_EQ(UsableProcessors::quotaProcessors("50000 100000"), 1) << "half a CPU runs one";
    EXPECT_FALSE(UsableProcessors::quotaProcessors("max 100000\n"));
    EXPECT_FALSE(UsableProcessors::quotaProcessors("garbage"));

    // A limit on an ancestor holds for everything below it.
    TempDir dir;
    writeFileAtomically(dir / "cgroup", "0::/user.slice/app.scope\n");
    writeFileAtomically(dir / "root/user.slice/cpu.max", "100000 100000\n");
    writeFileAtomically(dir / "root/user.slice/app.scope/cpu.max", "max 100000\n");
    EXPECT_EQ(UsableProcessors::count(dir / "cgroup", dir / "root"), 1);
    EXPECT_GE(UsableProcessors::count(dir / "missing", dir / "root"), 1);
}

TEST(UsableProcessors, AffinityMaskIsWhatThisProcessMayUse) {
    // A thread pinned to one CPU, as taskset or a cpuset would pin the process.
    auto counted = std::async(std::launch::async, [] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(static_cast<int>(sched_getcpu()), &one);
        if (pthread_setaffinity_np(pthread_self(), sizeof one, &one) != 0)
            return -1;
        return UsableProcessors::count("/nonexistent", "/nonexistent");
    });
    EXPECT_EQ(counted.get(), 1);
}
