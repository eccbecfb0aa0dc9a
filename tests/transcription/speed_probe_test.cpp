#include "transcription/SpeedProbe.h"

#include "base/AtomicFile.h"
#include "base/UsableProcessors.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <filesystem>
#include <locale>
#include <map>

namespace tallyvox {
namespace {

using testing::TempDir;

TEST(SpeedProbe, MeasuresOnceAndThenReadsTheKeptFigure) {
    TempDir dir;
    const auto cache = dir / "cache/Tallyvox/machine-speed";
    int measured = 0;
    auto measurement = [&](int threads) {
        ++measured;
        return MachineSpeed{42.5, threads, "ignored"};
    };
    auto first = SpeedProbe::machineSpeed(cache, measurement);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->gflops, 42.5);
    EXPECT_EQ(first->cpu, MachineSpeed::processorName()) << "kept under this processor's name";
    EXPECT_EQ(SpeedProbe::machineSpeed(cache, measurement), first);
    EXPECT_EQ(measured, 1);

    // A day later it is measured again and the better figure stays: a busy moment only ever
    // makes the machine look slower.
    auto dayOld = [&] {
        std::filesystem::last_write_time(cache, std::filesystem::file_time_type::clock::now() -
                                                    std::chrono::hours(25));
    };
    dayOld();
    auto busy = [&](int threads) {
        ++measured;
        return MachineSpeed{20, threads, ""};
    };
    EXPECT_EQ(SpeedProbe::machineSpeed(cache, busy)->gflops, 42.5);
    EXPECT_EQ(measured, 2);
    EXPECT_EQ(SpeedProbe::machineSpeed(cache, busy)->gflops, 42.5) << "and is a day young again";
    EXPECT_EQ(measured, 2);
    dayOld();
    EXPECT_EQ(SpeedProbe::machineSpeed(cache,
                                       [&](int threads) {
                                           ++measured;
                                           return MachineSpeed{50, threads, ""};
                                       })
                  ->gflops,
              50);
    auto failing = [](int) -> MachineSpeed { throw std::runtime_error("no backend"); };
    dayOld();
    EXPECT_EQ(SpeedProbe::machineSpeed(cache, failing)->gflops, 50)
        << "a failed new measurement keeps the old figure";

    // Another processor or thread count (a moved home folder, a new container) measures anew.
    MachineSpeed{10, first->threads, "Another CPU"}.store(cache);
    EXPECT_EQ(SpeedProbe::machineSpeed(cache, measurement)->gflops, 42.5);
    MachineSpeed{10, first->threads + 1, first->cpu}.store(cache);
    EXPECT_EQ(SpeedProbe::machineSpeed(cache, measurement)->gflops, 42.5);
    EXPECT_EQ(measured, 5);
}

TEST(SpeedProbe, DamagedCacheMeansMeasuringAgainAndAFailureMeansUnknown) {
    TempDir dir;
    const auto cache = dir / "machine-speed";
    const std::string cpu = MachineSpeed::processorName();
    for (const std::string& damaged : std::vector<std::string>{
             "", "fast\n2\n" + cpu + "\n", "12.5x\n2\n" + cpu + "\n", "-3\n2\n" + cpu + "\n",
             "nan\n2\n" + cpu + "\n", "12.5\n2\n", "12.5\ntwo\n" + cpu + "\n"}) {
        writeFileAtomically(cache, damaged);
        EXPECT_FALSE(MachineSpeed::cached(cpu, 2, cache)) << damaged;
    }
    writeFileAtomically(cache, "12.5\n2\n" + cpu + "\n" + std::string(8192, '#'));
    EXPECT_FALSE(MachineSpeed::cached(cpu, 2, cache)) << "far longer than the cache we write";
    writeFileAtomically(cache, "12.5\n2\n" + cpu + "\n");
    EXPECT_EQ(MachineSpeed::cached(cpu, 2, cache)->gflops, 12.5);

    auto failing = [](int) -> MachineSpeed { throw std::runtime_error("no backend"); };
    EXPECT_FALSE(SpeedProbe::machineSpeed(dir / "none", failing)) << "no figure at all";

    // A cache that cannot be written (a file where its folder should be) still answers with
    // the measurement.
    writeFileAtomically(dir / "blocker", "");
    auto unkept = SpeedProbe::machineSpeed(dir / "blocker/machine-speed", [](int threads) {
        return MachineSpeed{7, threads, ""};
    });
    ASSERT_TRUE(unkept);
    EXPECT_EQ(unkept->gflops, 7);
}

// The desktop app runs in the user's locale; with a decimal comma the figure written with a
// point must still be read back, or the probe runs at every launch and replaces the better
// figure it should keep.
TEST(MachineSpeed, KeptFiguresReadTheSameInADecimalCommaLocale) {
    std::locale german;
    try {
        german = std::locale("de_DE.UTF-8");
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "the de_DE.UTF-8 locale is not installed (scripts/bootstrap makes it)";
    }
    const std::locale before = std::locale::global(german);
    struct Restore {
        std::locale locale;
        ~Restore() { std::locale::global(locale); }
    } restore{before};
    ASSERT_STREQ(localeconv()->decimal_point, ",");

    TempDir dir;
    const auto cache = dir / "machine-speed";
    const std::string cpu = MachineSpeed::processorName();
    MachineSpeed speed{62.5, 2, cpu, {{"base", 0.3125}, {"small", 1.25e-3}}, 0.29};
    speed.store(cache);
    EXPECT_EQ(*readWholeFile(cache),
              "62.5\n2\n" + cpu + "\nbase 0.3125\nsmall 0.00125\nspeakers 0.29\n");
    EXPECT_EQ(MachineSpeed::cached(cpu, 2, cache), speed);

    // Kept by a day-old cache: measured again, the sessions' figures stay beside the better one.
    std::filesystem::last_write_time(cache, std::filesystem::file_time_type::clock::now() -
                                                std::chrono::hours(25));
    int measured = 0;
    auto busy = [&](int threads) {
        ++measured;
        return MachineSpeed{30, threads, ""};
    };
    const int threads = MachineSpeed::recognizerThreads(UsableProcessors::count());
    MachineSpeed{62.5, threads, cpu, {{"base", 0.3125}}, 0.29}.store(cache);
    std::filesystem::last_write_time(cache, std::filesystem::file_time_type::clock::now() -
                                                std::chrono::hours(25));
    auto again = SpeedProbe::machineSpeed(cache, busy);
    EXPECT_EQ(measured, 1);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->gflops, 62.5);
    EXPECT_EQ(again->recognition, (std::map<std::string, double>{{"base", 0.3125}}));
    EXPECT_EQ(again->speakers, 0.29);
    EXPECT_EQ(SpeedProbe::machineSpeed(cache, busy), again) << "and read back, not measured";
    EXPECT_EQ(measured, 1);

    // A cache is only a cache: lines it does not understand are passed over.
    writeFileAtomically(cache, "62.5\n2\n" + cpu + "\nbase 0,3\nsmall -1\nlarge\nturbo 2.5\n");
    EXPECT_EQ(MachineSpeed::cached(cpu, 2, cache)->recognition,
              (std::map<std::string, double>{{"turbo", 2.5}}));
    writeFileAtomically(cache, "62,5\n2\n" + cpu + "\n");
    EXPECT_FALSE(MachineSpeed::cached(cpu, 2, cache));
}

TEST(SpeedProbe, TheFigureIsTheMedianOfItsRuns) {
    EXPECT_EQ(SpeedProbe::median({0.30, 0.11, 0.12, 0.10, 0.13}), 0.12)
        << "one run slowed by another program, or one lucky one, does not decide";
    EXPECT_EQ(SpeedProbe::median({0.4, 0.1, 0.3, 0.2}), 0.25);
    EXPECT_EQ(SpeedProbe::median({}), 0);
}

TEST(SpeedProbe, RealMeasurementIsAPositiveFigure) {
    auto speed = SpeedProbe::measure(1);
    EXPECT_GT(speed.gflops, 0.1);
    EXPECT_EQ(speed.threads, 1);
}

TEST(MachineSpeed, ProcessorNameFromCpuinfo) {
    TempDir dir;
    writeFileAtomically(dir / "cpuinfo", "processor\t: 0\nvendor_id\t: AuthenticAMD\n"
                                         "model name\t: AMD EPYC 7B13 \nflags\t: fpu\n");
    EXPECT_EQ(MachineSpeed::processorName(dir / "cpuinfo"), "AMD EPYC 7B13");
    writeFileAtomically(dir / "arm", "processor\t: 0\nBogoMIPS\t: 48.00\n");
    EXPECT_EQ(MachineSpeed::processorName(dir / "arm"), "unknown");
}

} // namespace
} // namespace tallyvox
