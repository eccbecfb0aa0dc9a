#pragma once

#include "base/Executor.h"
#include "transcription/Diarizer.h"
#include "transcription/Recognizer.h"
#include "types/EngineTypes.h"
#include "types/TranscriptSegment.h"

#include <atomic>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tallyvox {

class WindowRecognizer;
namespace ChunkCommitter {
struct Split;
}
namespace LineCleanup {
struct Candidate;
}

// Turns the live audio of one session into transcript lines: one channel per audio source,
// drained every second on the engine's own queue, recognised in windows of at most 30 s.
class TranscriptionEngine : public std::enable_shared_from_this<TranscriptionEngine> {
public:
    using Options = EngineOptions;
    using Stats = EngineStats;

    struct Source {
        std::string name; // unique among one engine's sources
        // Every sample (16 kHz mono) received since the last call; called only on the
        // engine queue and must not block.
        std::function<std::vector<float>()> drain;
        std::optional<int> speaker; // fixed speaker of every line; no labelling then
        bool isMic = false;
        // Asked for each microphone line whether echo dropping is wanted now.
        std::function<bool()> dropEcho = [] { return true; };
    };

    struct StopResult {
        int segments = 0;
        std::map<std::string, Stats> stats;
        std::string device; // what the recogniser computed on; empty when it never loaded
        // What the recogniser loaded, when it says; the options' model may be a quantised
        // copy that fell back to its original.
        std::optional<WhisperModel> model;
    };

    // The services the engine runs on; tests replace them with scripted fakes and a manual
    // executor so windows run deterministically.
    struct Dependencies {
        std::shared_ptr<Executor> queue; // null: a SerialQueue "com.tallyvox.transcription"
        RecognizerLoader loadRecognizer; // required: the product passes whisper.cpp's
        DiarizerLoader loadDiarizer;     // null: speakers are not labelled
        // Seconds of a monotonic clock, for the time spent recognising.
        std::function<double()> stopwatch;
    };

    using SessionClock = std::function<double()>;
    using SegmentsCallback = std::function<void(std::vector<TranscriptSegment>)>;

    static std::shared_ptr<TranscriptionEngine> make(std::vector<Source> sources, Options options,
                                                     SessionClock clock,
                                                     SegmentsCallback onSegments,
                                                     Dependencies dependencies = {});
    // One source named "meeting" with no fixed speaker.
    static std::shared_ptr<TranscriptionEngine> make(std::function<std::vector<float>()> drain,
                                                     Options options, SessionClock clock,
                                                     SegmentsCallback onSegments,
                                                     Dependencies dependencies = {});

    ~TranscriptionEngine();

    // Loads the recogniser (and the diarizer when wanted) on the engine queue, then starts
    // the one-second tick. `done` runs on the engine queue with the load error, if any.
    void start(std::function<void(std::exception_ptr)> done);
    // Seconds of audio taken from the sources and not yet recognised, as of the last tick;
    // safe to read from any thread. With what the sources still hold, it tells whether
    // recognition keeps up.
    double waitingSeconds() const { return waiting_.load(); }
    // Gets every pending word out now; returns at once.
    void flush();
    // Stops the tick, recognises everything still pending, releases the recogniser and
    // answers on the engine queue.
    void stop(std::function<void(StopResult)> done);

    const Options& options() const { return options_; }

private:
    struct Channel;
    struct Window;
    TranscriptionEngine(std::vector<Source> sources, Options options, SessionClock clock,
                        SegmentsCallback onSegments, Dependencies dependencies);

    void load(const std::function<void(std::exception_ptr)>& done);
    void tick();
    void pull(Channel& channel);
    void drainAll(Channel& channel);
    void drop(Channel& channel, double seconds);
    static size_t wholeSamples(double seconds);

    // One window of a channel, in the steps below.
    void run(Channel& channel, bool final);
    Window nextWindow(Channel& channel, bool final);
    void skipSilence(Channel& channel, const Window& window);
    std::vector<WhisperSegment> recognise(Channel& channel, const Window& window,
                                          const std::optional<std::vector<SpeechRange>>& speech);
    ChunkCommitter::Split settle(Channel& channel, const Window& window,
                                 const std::vector<WhisperSegment>& lines,
                                 const std::optional<std::vector<SpeechRange>>& speech);
    Diarizer::Labelled label(Channel& channel, const Window& window,
                             std::vector<WhisperSegment> commit,
                             const std::optional<std::vector<SpeechRange>>& speech);
    std::vector<LineCleanup::Candidate>
    candidates(const Channel& channel, const Window& window, const Diarizer::Labelled& labelled,
               const std::optional<std::vector<SpeechRange>>& speech);
    void handOut(Channel& channel, std::vector<TranscriptSegment> lines, const Window& window,
                 double cut);

    Options options_;
    SessionClock clock_;
    SegmentsCallback onSegments_;
    Dependencies deps_;
    std::vector<Channel> channels_;
    std::unique_ptr<WindowRecognizer> recognizer_;
    std::string device_;
    std::optional<WhisperModel> loadedModel_;
    std::unique_ptr<Diarizer> diarizer_;
    std::atomic<double> waiting_{0};
    TaskHandle timer_;
    std::vector<TranscriptSegment> recent_;
    int emitted_ = 0;
    bool stopped_ = false;
};

} // namespace tallyvox
