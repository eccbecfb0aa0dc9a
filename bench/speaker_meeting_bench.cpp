// A meeting through SpeakerDiarizationService::label, 20 s window by window, twice in one run:
// with every voice-change window a looped 10 s row of its own (exact) and with the windows of a
// line pooled from one pass over the line (fast). Prints the compute per second of audio of
// each, then how far the fast windows are from the exact ones: the cosine of their
// embeddings, the similarities at each candidate time, the change times and cuts.
//
// The meeting is espeak-ng speech (resampled by sox, voiced part only), turns of 2 to 12 s by three
// voices in a seeded random order, every sixth turn joined with the next into one line as a
// recogniser that misses the turn gives. Word times are spread over each turn by letters.
//
//   speaker_meeting_bench [--seconds N] [--model FILE | --narrow] [--wav FILE]
//
// Without --model or --narrow the network is $TALLYVOX_SPEAKER_MODEL, else the published file
// in the models folder, else the narrow centred network (tests/speakers/fixtures/
// speaker_centred.onnx, whose similarities spread as a trained network's do; see
// tools/make_speaker_fixture.py).
// Exact windows are the service's default; the fast path is asked for explicitly. --wav writes the
// meeting audio (16 kHz) so that the recogniser can be timed on the same speech.
#include "speakers/SpeakerDiarizationService.h"
#include "speakers/SpeakerEmbedder.h"
#include "transcription/OwnAudio.h"
#include "types/SpeakerModels.h"

#include "speakers/SpeakerFixtures.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace tallyvox;

constexpr double rate = 16000;
constexpr double windowSeconds = 20;
constexpr double gapSeconds = 0.3;

const char* const voices[] = {"en-us+m3", "en+f3", "en-gb-scotland+m1"};
const char* const vocabulary[] = {
    "the",      "meeting", "starts",  "with",   "a",        "short",    "review",  "of",
    "last",     "week",    "and",     "then",   "we",       "talk",     "about",   "budget",
    "for",      "next",    "quarter", "while",  "everyone", "shares",   "their",   "notes",
    "customer", "numbers", "look",    "better", "than",     "expected", "so",      "plan",
    "hiring",   "two",     "more",    "people", "before",   "summer",   "release", "date"};

struct Turn {
    int voice = 0;
    double start = 0, end = 0; // meeting seconds
    std::vector<WhisperWord> words;
};

struct Meeting {
    std::vector<float> audio;
    std::vector<Turn> turns;
    std::vector<WhisperSegment> lines; // meeting seconds
    std::vector<std::vector<int>> lineVoices;
};

Meeting makeMeeting(double seconds) {
    Meeting m;
    std::mt19937 random(20261208);
    int voice = 0;
    while (static_cast<double>(m.audio.size()) / rate < seconds) {
        voice = (voice + 1 + static_cast<int>(random() % 2)) % 3;
        const double target = 2.0 + static_cast<double>(random() % 1000) / 100.0; // 2 to 12 s
        std::vector<std::string> words;
        std::vector<float> samples;
        for (auto count = static_cast<std::size_t>(std::lround(target * 3.3)); count > 0;
             count = count * 9 / 10) {
            words.clear();
            std::string text;
            for (std::size_t k = 0; k < count; ++k) {
                words.emplace_back(vocabulary[random() % std::size(vocabulary)]);
                text += (k ? " " : "") + words.back();
            }
            samples = testing::espeak(voices[voice], text);
            if (static_cast<double>(samples.size()) / rate <= 12.0)
                break;
        }
        if (samples.size() < 2 * static_cast<std::size_t>(rate))
            continue;
        Turn turn;
        turn.voice = voice;
        turn.start = static_cast<double>(m.audio.size()) / rate;
        turn.end = turn.start + static_cast<double>(samples.size()) / rate;
        std::size_t letters = 0;
        for (const auto& w : words)
            letters += w.size() + 1;
        double at = turn.start;
        for (const auto& w : words) {
            const double length =
                (turn.end - turn.start) * static_cast<double>(w.size() + 1) / letters;
            turn.words.push_back({at, at + length * 0.9, " " + w});
            at += length;
        }
        m.audio.insert(m.audio.end(), samples.begin(), samples.end());
        m.audio.insert(m.audio.end(), static_cast<std::size_t>(gapSeconds * rate), 0.0f);
        m.turns.push_back(std::move(turn));
    }
    for (std::size_t i = 0; i < m.turns.size(); ++i) {
        WhisperSegment line{m.turns[i].start, m.turns[i].end, "", m.turns[i].words};
        std::vector<int> lineVoices{m.turns[i].voice};
        const bool join =
            i % 6 == 5 && i + 1 < m.turns.size() && m.turns[i + 1].end - m.turns[i].start <= 12.0;
        if (join) {
            ++i;
            line.end = m.turns[i].end;
            line.words.insert(line.words.end(), m.turns[i].words.begin(), m.turns[i].words.end());
            lineVoices.push_back(m.turns[i].voice);
        }
        for (const auto& w : line.words)
            line.text += w.text;
        line.text.erase(0, 1);
        m.lines.push_back(std::move(line));
        m.lineVoices.push_back(std::move(lineVoices));
    }
    return m;
}

// One window of the engine: its samples, its lines and speech in window seconds.
struct Window {
    std::vector<float> audio;
    std::vector<WhisperSegment> lines;
    std::vector<SpeechRange> speech;
};

std::vector<Window> windows(const Meeting& m) {
    std::vector<Window> out;
    std::size_t line = 0;
    while (line < m.lines.size()) {
        const double from = std::max(0.0, m.lines[line].start - gapSeconds / 2);
        double to = from;
        Window w;
        while (line < m.lines.size() && (w.lines.empty() || to - from < windowSeconds)) {
            w.lines.push_back(m.lines[line].shifted(-from));
            to = m.lines[line].end + gapSeconds / 2;
            ++line;
        }
        w.audio.assign(m.audio.begin() + static_cast<std::ptrdiff_t>(from * rate),
                       m.audio.begin() + static_cast<std::ptrdiff_t>(
                                             std::min(to * rate, double(m.audio.size()))));
        for (const auto& turn : m.turns)
            if (turn.end > from && turn.start < to)
                w.speech.push_back({std::max(0.0, turn.start - from), turn.end - from});
        out.push_back(std::move(w));
    }
    return out;
}

// Hands every call to one shared network and counts what it was asked.
class Counting : public Embedder {
public:
    explicit Counting(SpeakerEmbedder& model)
        : model_(model) {}
    std::vector<std::vector<float>> embed(const std::vector<std::vector<float>>& rows) override {
        rowCount += rows.size();
        auto out = model_.embed(rows);
        last.insert(last.end(), out.begin(), out.end());
        return out;
    }
    std::vector<std::vector<float>> embedRanges(std::span<const float> clip,
                                                const std::vector<Range>& ranges) override {
        clipSeconds += static_cast<double>(clip.size()) / rate;
        rangeCount += ranges.size();
        auto out = model_.embedRanges(clip, ranges);
        last.insert(last.end(), out.begin(), out.end());
        return out;
    }
    std::size_t rowCount = 0, rangeCount = 0;
    double clipSeconds = 0;
    std::vector<std::vector<float>> last;

private:
    SpeakerEmbedder& model_;
};

double seconds(clockid_t clock) {
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Run {
    double wall = 0, cpu = 0;
    std::size_t rows = 0;
    double clipSeconds = 0;
    std::vector<Diarizer::Labelled> labelled;
};

Run label(SpeakerEmbedder& model, const std::vector<Window>& ws, bool exact) {
    auto counting = std::make_unique<Counting>(model);
    auto* counts = counting.get();
    SpeakerDiarizationService service(std::move(counting));
    service.setExactChangeWindows(exact);
    Run run;
    const double wall0 = seconds(CLOCK_MONOTONIC), cpu0 = seconds(CLOCK_PROCESS_CPUTIME_ID);
    for (const auto& w : ws)
        run.labelled.push_back(service.label(w.lines, w.audio, w.speech, true));
    run.wall = seconds(CLOCK_MONOTONIC) - wall0;
    run.cpu = seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    run.rows = counts->rowCount;
    run.clipSeconds = counts->clipSeconds;
    return run;
}

std::string times(const std::vector<double>& ts) {
    std::ostringstream out;
    out.precision(3);
    out << "[";
    for (std::size_t i = 0; i < ts.size(); ++i)
        out << (i ? " " : "") << ts[i];
    out << "]";
    return out.str();
}

} // namespace

int main(int argc, char** argv) {
    double meetingSeconds = 120;
    std::string file, wav;
    bool narrow = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc)
            meetingSeconds = std::atof(argv[++i]);
        else if (arg == "--model" && i + 1 < argc)
            file = argv[++i];
        else if (arg == "--wav" && i + 1 < argc)
            wav = argv[++i];
        else if (arg == "--narrow")
            narrow = true;
        else {
            std::cerr << "usage: speaker_meeting_bench [--seconds N] [--model FILE | --narrow] "
                         "[--wav FILE]\n";
            return 2;
        }
    }
    if (file.empty() && !narrow) {
        if (const char* given = std::getenv("TALLYVOX_SPEAKER_MODEL"))
            file = given;
        else if (SpeakerModels::isDownloaded())
            file = SpeakerModels::localPath().string();
    }
    std::unique_ptr<SpeakerEmbedder> model;
    if (file.empty())
        model = SpeakerEmbedder::loadUnpinned(testing::speakerFixture("speaker_centred.onnx"));
    else if (SpeakerModels::isDownloaded(file))
        model = SpeakerEmbedder::load(file);
    else
        model = SpeakerEmbedder::loadUnpinned(file);

    const auto meeting = makeMeeting(meetingSeconds);
    const auto ws = windows(meeting);
    const double audioSeconds = static_cast<double>(meeting.audio.size()) / rate;
    if (!wav.empty()) {
        const std::string raw = wav + ".f32";
        std::ofstream(raw, std::ios::binary)
            .write(reinterpret_cast<const char*>(meeting.audio.data()),
                   static_cast<std::streamsize>(meeting.audio.size() * sizeof(float)));
        std::string command = "sox -q -t f32 -r 16000 -c 1 " + raw + " -b 16 " + wav;
        if (std::system(command.c_str()) != 0)
            std::cerr << "could not write " << wav << "\n";
        std::remove(raw.c_str());
    }

    std::size_t long_ = 0, joined = 0;
    double lineSeconds = 0;
    for (std::size_t i = 0; i < meeting.lines.size(); ++i) {
        const auto& l = meeting.lines[i];
        lineSeconds += l.end - l.start;
        long_ += l.end - l.start > SpeakerDiarizationService::longLine;
        joined += meeting.lineVoices[i].size() > 1;
    }
    std::printf("network: %d channels wide, %d values out (%s)\n", model->width(),
                model->embeddingSize(), file.empty() ? "narrow centred network" : file.c_str());
    std::printf("meeting: %.1f s of audio, %zu lines (%.1f s mean, %zu over 4 s, %zu of two "
                "voices), %zu windows\n",
                audioSeconds, meeting.lines.size(), lineSeconds / double(meeting.lines.size()),
                long_, joined, ws.size());

    auto fast = label(*model, ws, false);
    auto exact = label(*model, ws, true);
    std::printf("\n| path | rows of 10 s | line audio heard once | wall | wall / audio | "
                "CPU (all threads) / audio |\n|---|---|---|---|---|---|\n");
    for (const auto& [name, run] : std::initializer_list<std::pair<const char*, const Run*>>{
             {"exact", &exact}, {"fast", &fast}})
        std::printf("| %s | %zu | %.1f s | %.1f s | %.3f | %.3f |\n", name, run->rows,
                    run->clipSeconds, run->wall, run->wall / audioSeconds, run->cpu / audioSeconds);

    // The same windows again, line by line, each path's embeddings kept.
    auto exactCounting = std::make_unique<Counting>(*model);
    auto fastCounting = std::make_unique<Counting>(*model);
    auto* exactSeen = exactCounting.get();
    auto* fastSeen = fastCounting.get();
    SpeakerDiarizationService exactService(std::move(exactCounting));
    SpeakerDiarizationService fastService(std::move(fastCounting));
    fastService.setExactChangeWindows(false);
    std::vector<std::pair<std::vector<float>, std::vector<float>>> pairs;
    std::vector<double> simDiffs, exactSims;
    std::size_t examined = 0, sameCuts = 0, twoVoice = 0, exactFound = 0, fastFound = 0;
    std::size_t lineIndex = 0, windowRows = 0, heardAgain = 0, pooledRanges = 0;
    for (const auto& w : ws) {
        for (const auto& line : w.lines) {
            const auto& lineVoices = meeting.lineVoices[lineIndex++];
            if (line.end - line.start <= SpeakerDiarizationService::longLine)
                continue;
            exactSeen->last.clear();
            fastSeen->last.clear();
            const auto rows0 = exactSeen->rowCount, again0 = fastSeen->rowCount,
                       ranges0 = fastSeen->rangeCount;
            auto e = exactService.changePoints(line, w.audio, w.speech);
            auto f = fastService.changePoints(line, w.audio, w.speech);
            windowRows += exactSeen->rowCount - rows0;
            heardAgain += fastSeen->rowCount - again0;
            pooledRanges += fastSeen->rangeCount - ranges0;
            for (std::size_t k = 0; k < exactSeen->last.size() && k < fastSeen->last.size(); ++k)
                pairs.emplace_back(exactSeen->last[k], fastSeen->last[k]);
            for (std::size_t k = 0; k < e.size() && k < f.size(); ++k) {
                simDiffs.push_back(std::abs(double(e[k].sim) - f[k].sim));
                exactSims.push_back(e[k].sim);
            }
            auto et = SpeakerDiarizationService::changes(e);
            auto ft = SpeakerDiarizationService::changes(f);
            ++examined;
            sameCuts += SpeakerDiarizationService::cut(line, et) ==
                        SpeakerDiarizationService::cut(line, ft);
            if (lineVoices.size() > 1) {
                ++twoVoice;
                // The turn changes at the first word of the second voice.
                double turn = 0;
                for (std::size_t k = 1; k < line.words.size(); ++k)
                    if (line.words[k].start - line.words[k - 1].end > gapSeconds / 2)
                        turn = line.words[k].start;
                auto near = [&](const std::vector<double>& ts) {
                    return std::any_of(ts.begin(), ts.end(),
                                       [&](double t) { return std::abs(t - turn) < 0.75; });
                };
                exactFound += near(et);
                fastFound += near(ft);
                std::printf("two voices, turn at %.2f s of %.2f..%.2f: exact changes %s, fast "
                            "changes %s\n",
                            turn, line.start, line.end, times(et).c_str(), times(ft).c_str());
            }
        }
    }
    // A network with random weights gives every embedding a large common part, which makes
    // any two look alike; the centred figures take the mean exact window away first.
    std::vector<float> mean(pairs.empty() ? 0 : pairs.front().first.size());
    for (const auto& [e, f] : pairs)
        for (std::size_t k = 0; k < mean.size(); ++k)
            mean[k] += e[k] / static_cast<float>(pairs.size());
    std::vector<double> cosines, centred;
    for (auto [e, f] : pairs) {
        cosines.push_back(testing::cosine(e, f));
        for (std::size_t k = 0; k < mean.size(); ++k) {
            e[k] -= mean[k];
            f[k] -= mean[k];
        }
        centred.push_back(testing::cosine(e, f));
    }
    std::sort(cosines.begin(), cosines.end());
    std::sort(centred.begin(), centred.end());
    std::sort(simDiffs.begin(), simDiffs.end());
    std::sort(exactSims.begin(), exactSims.end());
    auto at = [](const std::vector<double>& v, double q) {
        return v.empty() ? NAN : v[static_cast<std::size_t>(q * double(v.size() - 1))];
    };
    auto average = [](const std::vector<double>& v) {
        double sum = 0;
        for (double x : v)
            sum += x;
        return v.empty() ? NAN : sum / double(v.size());
    };
    std::printf("\nchange windows compared: %zu in %zu lines over 4 s\n", cosines.size(), examined);
    std::printf("rows for change windows: exact %zu; fast %zu pooled, %zu heard again as rows "
                "(%.0f %% of the exact path's)\n",
                windowRows, pooledRanges, heardAgain,
                windowRows ? 100.0 * double(heardAgain) / double(windowRows) : 0.0);
    std::printf("cosine(exact, fast): mean %.4f, median %.4f, 5th percentile %.4f, worst %.4f\n",
                average(cosines), at(cosines, 0.5), at(cosines, 0.05), at(cosines, 0));
    std::printf("centred cosine(exact, fast): mean %.4f, median %.4f, 5th percentile %.4f, "
                "worst %.4f\n",
                average(centred), at(centred, 0.5), at(centred, 0.05), at(centred, 0));
    std::printf("exact similarities at candidate times: from %.4f to %.4f, median %.4f\n",
                at(exactSims, 0), at(exactSims, 1), at(exactSims, 0.5));
    std::printf("|similarity difference| at candidate times: median %.4f, 95th percentile "
                "%.4f, worst %.4f\n",
                at(simDiffs, 0.5), at(simDiffs, 0.95), at(simDiffs, 1));
    std::printf("lines cut the same way: %zu of %zu; two-voice lines with a change within "
                "0.75 s of the turn: exact %zu, fast %zu of %zu\n",
                sameCuts, examined, exactFound, fastFound, twoVoice);

    std::size_t sameWindows = 0;
    for (std::size_t i = 0; i < ws.size(); ++i)
        sameWindows += exact.labelled[i] == fast.labelled[i];
    std::printf("windows labelled identically (pieces and speakers): %zu of %zu\n", sameWindows,
                ws.size());
    return 0;
}
