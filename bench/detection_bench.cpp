// One detection pass with 50 streams: listing, /proc of real processes, genuineness (cached
// after the first pass, as in the product) and debounce.
#include "detection/NativeMeetingDetection.h"
#include "detection/linux/ProcFs.h"

#include "detection/DetectionFakes.h"
#include "fakes/TempDir.h"
#include "session/DetectionSettings.h"

#include <benchmark/benchmark.h>

#include <csignal>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace {

using namespace tallyvox;
using tallyvox::testing::FakeProcessList;
using tallyvox::testing::TempDir;

// Timers are never due during a pass.
class DroppingExecutor : public Executor {
protected:
    void schedule(Duration, Task) override {}
};

struct Sleepers {
    std::vector<pid_t> pids;
    explicit Sleepers(int count) {
        for (int i = 0; i < count; ++i) {
            pid_t pid = 0;
            std::string program = "/usr/bin/sleep", arg = "600";
            char* argv[] = {program.data(), arg.data(), nullptr};
            if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) == 0)
                pids.push_back(pid);
        }
        ::usleep(100000); // let them exec
    }
    ~Sleepers() {
        for (pid_t pid : pids) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
};

// `appProcesses` real processes taken for Zoom, each recording and playing; the rest of the
// 50 streams belong to other programs.
void detectionPass(benchmark::State& state) {
    int appProcesses = static_cast<int>(state.range(0));
    Sleepers sleepers(appProcesses + 2);
    TempDir dir;
    UserDefaults defaults(dir / "preferences.plist");
    SettingsStores stores{defaults, dir / ".settings.plist"};
    SettingsManager::registerDefaults(stores, "Ada");

    auto list = std::make_shared<FakeProcessList>();
    for (int i = 0; i < appProcesses; ++i) {
        list->list.push_back(testing::recording(sleepers.pids[i], "zoom"));
        list->list.push_back(testing::playing(sleepers.pids[i], "zoom"));
    }
    for (int i = static_cast<int>(list->list.size()); i < 50; ++i)
        list->list.push_back(i % 2
                                 ? testing::playing(sleepers.pids[appProcesses], "firefox")
                                 : testing::recording(sleepers.pids[appProcesses + 1], "arecord"));

    DroppingExecutor main;
    NativeMeetingDetection detection(main, Clock::system(), list, std::make_shared<ProcFs>(),
                                     {{.platform = Platform::zoom,
                                       .packages = {},
                                       .snaps = {},
                                       .flatpaks = {},
                                       .exactPaths = {"/usr/bin/sleep"}}},
                                     SessionSettings::detectionChoices(stores));
    detection.evaluate(); // the one-time genuineness checks
    if (appProcesses > 0 && detection.debouncer().entries.size() != size_t(appProcesses))
        state.SkipWithError("the processes were not seen as meetings");
    for (auto _ : state)
        detection.evaluate();
    state.counters["streams"] = double(list->list.size());
}
BENCHMARK(detectionPass)->Arg(0)->Arg(1)->Arg(10)->Arg(25)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
