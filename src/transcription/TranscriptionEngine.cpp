#include "transcription/TranscriptionEngine.h"

#include "base/Error.h"
#include "base/Log.h"
#include "base/SerialQueue.h"
#include "transcription/ChunkCommitter.h"
#include "transcription/LineCleanup.h"
#include "transcription/MicLevels.h"
#include "transcription/TurnJoining.h"
#include "transcription/WindowRecognizer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <set>
#include <stdexcept>
#include <thread>

namespace tallyvox {

namespace {

constexpr double sampleRate = 16000;
constexpr size_t windowSamples = static_cast<size_t>(ChunkCommitter::window * sampleRate);
// Past this backlog the engine skips the optional work (line cutting, language detection).
constexpr double behindSeconds = 45;
constexpr double recentSeconds = 60;

double seconds(size_t samples) {
    return static_cast<double>(samples) / sampleRate;
}

// Counts the detected speech before the cut: what of it the window consumed.
void countSpeech(EngineStats& stats, const std::optional<std::vector<SpeechRange>>& speech,
                 double cut) {
    if (speech)
        for (const auto& range : *speech)
            stats.speechSeconds += std::max(std::min(range.end, cut) - range.start, 0.0);
}

double steadySeconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

struct TranscriptionEngine::Channel {
    Source source;
    std::vector<float> pending;
    double pendingStart = 0;
    size_t newSamples = 0;
    int quietTicks = 0;
    std::optional<TranscriptSegment> lastCommitted;
    WindowRecognizer::ChannelLanguage language;
    Stats stats;
};

// The front of a channel's pending audio, recognised as one.
struct TranscriptionEngine::Window {
    std::span<const float> audio;
    double duration = 0;
    // The last window of everything pending: nothing is kept back to be heard again.
    bool whole = false;
    // Far behind the audio: the optional work (line cutting, language detection) is skipped.
    bool behind = false;
};

std::shared_ptr<TranscriptionEngine> TranscriptionEngine::make(std::vector<Source> sources,
                                                               Options options, SessionClock clock,
                                                               SegmentsCallback onSegments,
                                                               Dependencies dependencies) {
    std::set<std::string> names;
    for (const auto& source : sources)
        if (!names.insert(source.name).second)
            throw std::invalid_argument("two engine sources are named " + source.name);
    return std::shared_ptr<TranscriptionEngine>(
        new TranscriptionEngine(std::move(sources), std::move(options), std::move(clock),
                                std::move(onSegments), std::move(dependencies)));
}

std::shared_ptr<TranscriptionEngine>
TranscriptionEngine::make(std::function<std::vector<float>()> drain, Options options,
                          SessionClock clock, SegmentsCallback onSegments,
                          Dependencies dependencies) {
    Source source;
    source.name = "meeting";
    source.drain = std::move(drain);
    return make({std::move(source)}, std::move(options), std::move(clock), std::move(onSegments),
                std::move(dependencies));
}

TranscriptionEngine::TranscriptionEngine(std::vector<Source> sources, Options options,
                                         SessionClock clock, SegmentsCallback onSegments,
                                         Dependencies dependencies)
    : options_(std::move(options))
    , clock_(std::move(clock))
    , onSegments_(std::move(onSegments))
    , deps_(std::move(dependencies)) {
    if (!deps_.queue)
        deps_.queue = std::make_shared<SerialQueue>("com.tallyvox.transcription");
    if (!deps_.stopwatch)
        deps_.stopwatch = steadySeconds;
    channels_.reserve(sources.size());
    for (auto& source : sources) {
        Channel channel;
        channel.source = std::move(source);
        channels_.push_back(std::move(channel));
    }
}

TranscriptionEngine::~TranscriptionEngine() {
    timer_.cancel();
    // The last owner may let go inside one of the queue's own tasks; a queue cannot join
    // its own thread, so another thread ends it once that task is over.
    auto queue = std::dynamic_pointer_cast<SerialQueue>(deps_.queue);
    if (queue && queue->isCurrent()) {
        deps_.queue.reset();
        std::thread([queue = std::move(queue)]() mutable { queue.reset(); }).detach();
    }
}

void TranscriptionEngine::start(std::function<void(std::exception_ptr)> done) {
    deps_.queue->post([self = shared_from_this(), done = std::move(done)] { self->load(done); });
}

void TranscriptionEngine::load(const std::function<void(std::exception_ptr)>& done) {
    auto answer = [&](const std::exception_ptr& error) {
        if (done)
            done(error);
    };
    if (stopped_ || recognizer_) // an engine starts once
        return answer(nullptr);
    try {
        if (!deps_.loadRecognizer)
            throw std::invalid_argument("the engine has no recogniser loader");
        auto loaded = deps_.loadRecognizer(options_.model);
        if (!loaded)
            throw Error("Couldn't load the Whisper " + std::string(options_.model.title()) +
                        " model. Try downloading it again.");
        device_ = loaded->device();
        loadedModel_ = loaded->model();
        recognizer_ = std::make_unique<WindowRecognizer>(std::move(loaded), options_);
    } catch (...) {
        recognizer_.reset();
        return answer(std::current_exception());
    }
    if (options_.diarize && deps_.loadDiarizer) {
        try {
            diarizer_ = deps_.loadDiarizer();
        } catch (const std::exception& e) {
            Log::error("Speaker models failed to load; continuing without speakers: {}", e.what());
        }
    }
    std::weak_ptr<TranscriptionEngine> weak = weak_from_this();
    timer_ = deps_.queue->repeating(
        std::chrono::seconds(1),
        [weak] {
            if (auto self = weak.lock())
                self->tick();
        },
        std::chrono::seconds(1));
    answer(nullptr);
}

void TranscriptionEngine::flush() {
    deps_.queue->post([self = shared_from_this()] {
        if (self->stopped_)
            return;
        for (auto& channel : self->channels_) {
            self->pull(channel);
            self->drainAll(channel);
        }
    });
}

void TranscriptionEngine::stop(std::function<void(StopResult)> done) {
    deps_.queue->post([self = shared_from_this(), done = std::move(done)] {
        StopResult result;
        if (!self->stopped_) {
            self->timer_.cancel();
            self->timer_ = {};
            for (auto& channel : self->channels_) {
                self->pull(channel);
                self->drainAll(channel);
            }
            self->recognizer_.reset();
            self->diarizer_.reset();
            self->stopped_ = true;
            self->waiting_.store(0);
        }
        for (auto& channel : self->channels_) {
            result.stats[channel.source.name] = channel.stats;
            channel.pending.clear();
            channel.pending.shrink_to_fit();
        }
        result.segments = self->emitted_;
        result.device = self->device_;
        result.model = self->loadedModel_;
        if (done)
            done(std::move(result));
    });
}

void TranscriptionEngine::tick() {
    if (stopped_)
        return;
    for (auto& channel : channels_) {
        double received = channel.stats.receivedSeconds;
        pull(channel);
        if (channel.stats.receivedSeconds == received)
            ++channel.quietTicks;
        else
            channel.quietTicks = 0;
        if (channel.quietTicks > 1 && !channel.pending.empty())
            drainAll(channel);
        else if (seconds(channel.newSamples) >= options_.chunkSeconds ||
                 channel.pending.size() >= windowSamples)
            run(channel, false);
    }
    double waiting = 0;
    for (const auto& channel : channels_)
        waiting += seconds(channel.pending.size());
    waiting_.store(waiting);
}

void TranscriptionEngine::pull(Channel& channel) {
    std::vector<float> samples;
    if (channel.source.drain)
        samples = channel.source.drain();
    if (samples.empty() && channel.pending.empty()) {
        channel.pendingStart = clock_();
        return;
    }
    if (channel.pending.empty())
        channel.pendingStart = std::max(clock_() - seconds(samples.size()), 0.0);
    channel.pending.insert(channel.pending.end(), samples.begin(), samples.end());
    channel.newSamples += samples.size();
    channel.stats.receivedSeconds += seconds(samples.size());
    channel.stats.maxPendingSeconds =
        std::max(channel.stats.maxPendingSeconds, seconds(channel.pending.size()));
}

void TranscriptionEngine::drainAll(Channel& channel) {
    if (!recognizer_)
        return;
    while (!channel.pending.empty()) {
        size_t before = channel.pending.size();
        run(channel, before <= windowSamples);
        if (recognizer_ && channel.pending.size() == before) {
            run(channel, true);
            // A full window always moves (see settle), so this only guards against spinning.
            if (channel.pending.size() == before)
                return;
        }
        if (!recognizer_)
            return;
    }
}

size_t TranscriptionEngine::wholeSamples(double time) {
    // Rounded, not truncated: truncating `time * rate` left one sample behind for some
    // window lengths, and that sample cost a window of its own.
    double position = std::round(time * sampleRate);
    return position > 0 ? static_cast<size_t>(std::min(position, 1e15)) : 0;
}

void TranscriptionEngine::drop(Channel& channel, double time) {
    size_t n = std::min(channel.pending.size(), wholeSamples(time));
    channel.pending.erase(channel.pending.begin(),
                          channel.pending.begin() + static_cast<std::ptrdiff_t>(n));
    channel.pendingStart += seconds(n);
    channel.stats.processedSeconds += seconds(n);
}

// MARK: One window

void TranscriptionEngine::run(Channel& channel, bool final) {
    if (!recognizer_ || channel.pending.empty())
        return;
    const Window window = nextWindow(channel, final);
    auto heard = recognizer_->speech(window.audio);
    if (heard && heard->empty()) {
        skipSilence(channel, window);
        return;
    }
    auto lines = recognise(channel, window, heard);
    auto split = settle(channel, window, lines, heard);
    countSpeech(channel.stats, heard, split.cut);
    auto labelled = label(channel, window, std::move(split.commit), heard);
    auto cleaned =
        LineCleanup::clean(candidates(channel, window, std::move(labelled), heard),
                           {.start = channel.pendingStart,
                            .duration = window.duration,
                            .dropEcho = channel.source.isMic ? channel.source.dropEcho : nullptr},
                           recent_, channel.lastCommitted, channel.stats);
    handOut(channel, joinTurns(cleaned), window, split.cut);
}

TranscriptionEngine::Window TranscriptionEngine::nextWindow(Channel& channel, bool final) {
    Window window;
    window.audio = std::span<const float>(channel.pending.data(),
                                          std::min(channel.pending.size(), windowSamples));
    window.whole = final && window.audio.size() == channel.pending.size();
    window.duration = seconds(window.audio.size());
    window.behind = seconds(channel.pending.size()) > behindSeconds;
    channel.newSamples = 0;
    ++channel.stats.windows;
    return window;
}

// A window without speech goes, all but its last half second (speech may begin there), or
// all of it when nothing follows.
void TranscriptionEngine::skipSilence(Channel& channel, const Window& window) {
    drop(channel, window.whole ? window.duration
                               : std::max(window.duration - ChunkCommitter::keepTail, 0.0));
}

std::vector<WhisperSegment>
TranscriptionEngine::recognise(Channel& channel, const Window& window,
                               const std::optional<std::vector<SpeechRange>>& speech) {
    double started = deps_.stopwatch();
    std::optional<std::string_view> lastLine;
    if (channel.lastCommitted)
        lastLine = channel.lastCommitted->text;
    auto lines = recognizer_->recognise({.audio = window.audio,
                                         .speech = speech,
                                         .lastLine = lastLine,
                                         .behind = window.behind,
                                         .channel = channel.source.name},
                                        channel.language, channel.stats);
    channel.stats.whisperSeconds += deps_.stopwatch() - started;
    return lines;
}

// Which lines are final and where the window is cut.
ChunkCommitter::Split
TranscriptionEngine::settle(Channel& channel, const Window& window,
                            const std::vector<WhisperSegment>& lines,
                            const std::optional<std::vector<SpeechRange>>& speech) {
    auto split = ChunkCommitter::split(lines, speech, window.duration, window.whole);
    if (!window.whole && window.audio.size() == windowSamples && wholeSamples(split.cut) == 0) {
        // A line that never settles would hold a full window in place and have it heard
        // again every second: the window is committed and cut in full instead.
        Log::info("{}: window made no progress; committing all of it", channel.source.name);
        split = ChunkCommitter::split(lines, speech, window.duration, true);
    }
    return split;
}

Diarizer::Labelled
TranscriptionEngine::label(Channel& channel, const Window& window,
                           std::vector<WhisperSegment> commit,
                           const std::optional<std::vector<SpeechRange>>& speech) {
    Diarizer::Labelled labelled;
    if (channel.source.speaker) {
        for (auto& segment : commit)
            labelled.emplace_back(std::move(segment), channel.source.speaker);
    } else if (diarizer_) {
        double began = deps_.stopwatch();
        try {
            labelled = diarizer_->label(commit, window.audio, speech, !window.behind);
        } catch (const std::exception& e) {
            Log::error("Diarization failed: {}", e.what());
            labelled.clear();
            for (auto& segment : commit)
                labelled.emplace_back(segment, std::nullopt);
        }
        channel.stats.speakerSeconds += deps_.stopwatch() - began;
    } else {
        for (auto& segment : commit)
            labelled.emplace_back(std::move(segment), std::nullopt);
    }
    return labelled;
}

// A microphone line becomes runs of even loudness, so a leak stays apart from the voice.
std::vector<LineCleanup::Candidate>
TranscriptionEngine::candidates(const Channel& channel, const Window& window,
                                const Diarizer::Labelled& labelled,
                                const std::optional<std::vector<SpeechRange>>& speech) {
    std::vector<LineCleanup::Candidate> out;
    out.reserve(labelled.size());
    for (auto& [segment, speaker] : labelled) {
        if (channel.source.isMic) {
            for (auto& [piece, level] : MicLevels::micRuns(segment, window.audio, speech))
                out.push_back({std::move(piece), speaker, level});
        } else {
            out.push_back({std::move(segment), speaker, std::nullopt});
        }
    }
    return out;
}

void TranscriptionEngine::handOut(Channel& channel, std::vector<TranscriptSegment> lines,
                                  const Window& window, double cut) {
    if (!lines.empty())
        channel.lastCommitted = lines.back();
    drop(channel, cut);

    channel.stats.segments += static_cast<int>(lines.size());
    recent_.insert(recent_.end(), lines.begin(), lines.end());
    // Kept on the audio's own timeline: however far behind the engine runs, a line is
    // needed while some source may still bring words from its time.
    double oldestPending = channel.pendingStart;
    for (const auto& other : channels_)
        oldestPending = std::min(oldestPending, other.pendingStart);
    std::erase_if(recent_,
                  [&](const auto& line) { return !(line.end > oldestPending - recentSeconds); });
    emitted_ += static_cast<int>(lines.size());
    size_t count = lines.size();
    if (!lines.empty() && onSegments_)
        onSegments_(std::move(lines));
    Log::debug("{}: {:.1f} s window, {} lines, cut {:.1f} s", channel.source.name, window.duration,
               count, cut);
}

} // namespace tallyvox
