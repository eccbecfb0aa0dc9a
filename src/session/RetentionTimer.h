#pragma once

#include "base/Clock.h"
#include "base/Executor.h"
#include "transcripts/TranscriptManager.h"

#include <filesystem>
#include <functional>

namespace tallyvox {

// Old transcripts to the Trash, at launch and every six hours, with the settings of the
// moment; leftovers of interrupted writes go whatever the setting. Main thread only.
class RetentionTimer {
public:
    static constexpr double interval = 21600; // seconds

    struct Settings {
        std::function<std::filesystem::path()> root;
        // 0 (or less) is "never".
        std::function<int()> days;
    };

    // An empty `trash` never removes a transcript.
    RetentionTimer(Executor& main, Clock& clock, Settings settings,
                   TranscriptManager::TrashOperation trash);
    ~RetentionTimer();
    RetentionTimer(const RetentionTimer&) = delete;
    RetentionTimer& operator=(const RetentionTimer&) = delete;

    // Runs now, then every `interval`.
    void start();
    void runNow();

private:
    Executor& main_;
    Clock& clock_;
    Settings settings_;
    TranscriptManager::TrashOperation trash_;
    TaskHandle timer_;
};

} // namespace tallyvox
