#pragma once

#include "fakes/ManualExecutor.h"
#include "fakes/ScriptedRecognizer.h"
#include "transcription/TranscriptionEngine.h"

#include <gtest/gtest.h>

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox::testing {

// An engine over scripted audio and a scripted recogniser, on a queue and clock the test runs.
class EngineTest : public ::testing::Test {
protected:
    EngineTest() {
        options.language = "en";
        options.chunkSeconds = 20;
        options.diarize = false;
    }

    TranscriptionEngine::Source meetingSource() {
        return {"meeting audio", meeting.drain(), std::nullopt, false};
    }
    TranscriptionEngine::Source micSource() {
        TranscriptionEngine::Source source{"your microphone", mic.drain(), TranscriptSegment::you,
                                           true};
        source.dropEcho = [this] { return dropEcho; };
        return source;
    }

    void make(std::vector<TranscriptionEngine::Source> sources, DiarizerLoader diarizer = nullptr,
              RecognizerLoader loader = nullptr) {
        TranscriptionEngine::Dependencies deps;
        deps.queue = queue;
        deps.loadRecognizer = loader ? loader : testing::recognizerLoader(script);
        deps.loadDiarizer = std::move(diarizer);
        deps.stopwatch = [] { return 0.0; };
        engine = TranscriptionEngine::make(
            std::move(sources), options, [this] { return clock.elapsed(); },
            [this](std::vector<TranscriptSegment> out) {
                ++batches;
                lines.insert(lines.end(), out.begin(), out.end());
            },
            deps);
    }

    std::exception_ptr start() {
        std::exception_ptr error;
        bool answered = false;
        engine->start([&](std::exception_ptr e) {
            error = e;
            answered = true;
        });
        queue->runUntilIdle();
        EXPECT_TRUE(answered);
        return error;
    }

    TranscriptionEngine::StopResult stop() {
        std::optional<TranscriptionEngine::StopResult> result;
        engine->stop([&](TranscriptionEngine::StopResult r) { result = std::move(r); });
        queue->runUntilIdle();
        EXPECT_TRUE(result);
        return result.value_or(TranscriptionEngine::StopResult{});
    }

    void flush() {
        engine->flush();
        queue->runUntilIdle();
    }

    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto& line : lines)
            out.push_back(line.text);
        return out;
    }

    ManualClock clock;
    std::shared_ptr<ManualExecutor> queue = std::make_shared<ManualExecutor>(clock);
    std::shared_ptr<RecognizerScript> script = std::make_shared<RecognizerScript>();
    ScriptedAudio meeting, mic;
    bool dropEcho = true;
    EngineOptions options;
    std::shared_ptr<TranscriptionEngine> engine;
    std::vector<TranscriptSegment> lines;
    int batches = 0;
};

} // namespace tallyvox::testing
