// How long save() takes for a long meeting: the whole transcript text is rebuilt and written
// atomically after every batch of lines.
#include "base/Uuid.h"
#include "session/AppLifecycleManager.h"
#include "settings/ConsentManager.h"
#include "settings/SettingsManager.h"
#include <fstream>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

using namespace tallyvox;
namespace fs = std::filesystem;

namespace {

class QuietDetection : public MeetingDetectionService {
public:
    void start() override {}
    void evaluate() override {}
    std::optional<std::string> inputDevice(const DetectedMeeting&) const override { return {}; }
};

class SilentCapture : public AudioCaptureService {
public:
    void start(const ConsentRecord&) override {}
    void pause() override {}
    void resume() override {}
    void stop() override {}
    std::vector<float> drain() override { return {}; }
    Stats stats() const override { return {}; }
};

class ImmediateExecutor : public Executor {
protected:
    // The model load and ticks never run: the benchmark only saves.
    void schedule(Duration, Task) override {}
};

std::vector<TranscriptSegment> meetingLines(int count) {
    static const char* sentences[] = {
        "Let us go through the roadmap for the next quarter before we talk about hiring.",
        "I think the prototype needs another round of user testing.",
        "Agreed, and the API changes should land before the design review.",
        "Can someone share the wireframe link in the chat please?"};
    std::vector<TranscriptSegment> lines;
    lines.reserve(count);
    for (int i = 0; i < count; ++i) {
        TranscriptSegment line;
        line.start = i * 4.0;
        line.end = i * 4.0 + 3.5;
        line.text = sentences[i % 4];
        line.speaker =
            (i % 3 == 0) ? std::optional<int>(TranscriptSegment::you) : std::optional<int>(i % 5);
        lines.push_back(std::move(line));
    }
    return lines;
}

void Save(benchmark::State& state) {
    auto root = fs::temp_directory_path() / ("tallyvox-save-bench-" + Uuid::random().toString());
    ::setenv("HOME", root.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
    WhisperModel model(WhisperModel::tiny);
    fs::create_directories(model.localPath().parent_path());
    { std::ofstream(model.localPath()).put('\0'); }
    fs::resize_file(model.localPath(), model.minimumBytes());

    UserDefaults defaults(root / "config/preferences.plist");
    SettingsStores stores{defaults, root / "Documents/Tallyvox/.settings.plist"};
    defaults.set(SettingsManager::Key::model, "tiny");
    defaults.set(SettingsManager::Key::accuracyDefaultsApplied, true);

    PlatformServices services;
    services.makeDetection = [](DetectionChoices) { return std::make_unique<QuietDetection>(); };
    services.modelFetcher = [](auto&, auto, auto) {};
    services.makeCapture = [] { return std::make_shared<SilentCapture>(); };
    ImmediateExecutor main;
    {
        auto manager = AppLifecycleManager::make(main, Clock::system(), services, stores);
        DetectedMeeting meeting{Platform::teams, 4242, "Microsoft Teams", false};
        manager->start(meeting, *ConsentManager::confirm(meeting, true));
        manager->live().segments.set(meetingLines(static_cast<int>(state.range(0))));
        for (auto _ : state)
            manager->live().save();
        state.counters["bytes"] =
            static_cast<double>(fs::file_size(manager->live().record.get()->filePath));
        state.SetComplexityN(state.range(0));
    }
    fs::remove_all(root);
}

} // namespace

BENCHMARK(Save)
    ->Arg(500)
    ->Arg(1000)
    ->Arg(5000)
    ->Arg(10000)
    ->Arg(20000)
    ->Unit(benchmark::kMillisecond)
    ->Complexity();

BENCHMARK_MAIN();
