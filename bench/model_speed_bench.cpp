// What one 20 s window of speech costs each recogniser model on this machine, through the
// product's recogniser (its thread rule, beam search of 5, the speech detector first), with
// the decoder made to write as many tokens as real speech would. One model per process, so
// the peak memory is that model's. bench/model_speed.sh runs every model side by side.
//
// With --quantise it makes a quantised copy of the model instead, as the product does, and
// says how long that took; --words writes the words recognised, one a line, for comparing.
//
//   model_speed_bench --probe
//   model_speed_bench --model FILE --vad FILE --audio SPEECH.wav [--windows N] [--words FILE]
//   model_speed_bench --model FILE --quantise q8_0|q5_1 --out FILE
#include "transcription/ModelQuantiser.h"
#include "transcription/SpeedProbe.h"
#include "transcription/WhisperContext.h"
#include "types/ModelSpeed.h"

#include "base/UsableProcessors.h"
#include "fakes/TestAudio.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

using namespace tallyvox;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double peakMegabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

int usage() {
    std::fprintf(stderr, "usage: model_speed_bench --probe | --model FILE --vad FILE --audio "
                         "SPEECH.wav [--windows N] [--words FILE] | --model FILE --quantise "
                         "q8_0|q5_1 --out FILE\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string model, vad, audio, quantise, out, wordsFile;
    int windows = 2;
    bool probe = false;
    for (int i = 1; i < argc; ++i) {
        std::string key = argv[i];
        if (key == "--probe") {
            probe = true;
            continue;
        }
        if (i + 1 >= argc)
            return usage();
        std::string value = argv[++i];
        if (key == "--model")
            model = value;
        else if (key == "--vad")
            vad = value;
        else if (key == "--audio")
            audio = value;
        else if (key == "--quantise")
            quantise = value;
        else if (key == "--out")
            out = value;
        else if (key == "--words")
            wordsFile = value;
        else if (key == "--windows")
            windows = std::max(1, std::stoi(value));
        else
            return usage();
    }
    const int threads = WhisperContext::threadCount(UsableProcessors::count());
    if (probe) {
        MachineSpeed speed = SpeedProbe::measure(threads);
        std::printf("probe threads=%d gflops=%.2f\n", threads, speed.gflops);
        return 0;
    }
    if (!quantise.empty()) {
        auto variant = WhisperModel::variantFromName(quantise);
        if (model.empty() || out.empty() || !variant)
            return usage();
        double start = now();
        auto made = ModelQuantiser::quantise(model, out, *variant);
        std::printf("quantised=%s seconds=%.2f bytes=%lld\n", out.c_str(), now() - start,
                    static_cast<long long>(made.bytes));
        return 0;
    }
    if (model.empty() || audio.empty())
        return usage();

    std::vector<float> samples = testing::readPcm16Wav(audio);
    const auto window = static_cast<size_t>(ModelSpeed::windowSeconds * 16000);
    if (samples.size() < window) {
        std::fprintf(stderr, "model_speed_bench: %s holds less than one window\n", audio.c_str());
        return 1;
    }
    samples.resize(window);

    double loadStart = now();
    WhisperContext recognizer(WhisperModel::small, model, vad);
    double load = now() - loadStart;
    const int tokens =
        static_cast<int>(ModelSpeed::tokensPerSecond * ModelSpeed::windowSeconds + 0.5);
    recognizer.forceDecodedTokens(tokens);

    double total = 0, encoder = 0, detector = 0;
    size_t words = 0;
    std::ofstream wordLines;
    if (!wordsFile.empty())
        wordLines.open(wordsFile, std::ios::trunc);
    for (int w = 0; w < windows; ++w) {
        recognizer.resetTimings();
        double start = now();
        auto speech = recognizer.speech(samples);
        double heard = now();
        auto lines = recognizer.transcribe(samples, "en", "");
        double end = now();
        detector += heard - start;
        total += end - start;
        encoder += recognizer.encoderPassSeconds();
        for (const auto& line : lines) {
            words += line.words.size();
            // Every window hears the same audio.
            std::istringstream text(w == 0 ? line.text : "");
            for (std::string word; text >> word;)
                wordLines << word << "\n";
        }
        (void)speech;
    }
    const double perWindow = total / windows;
    const double encoderPerWindow = encoder / windows;
    const double detectorPerWindow = detector / windows;
    std::printf("model=%s threads=%d load=%.2f window=%.2f encoder=%.2f decoder=%.2f vad=%.2f "
                "words=%.1f factor1=%.3f factor2=%.3f peakMB=%.0f\n",
                model.c_str(), threads, load, perWindow, encoderPerWindow,
                perWindow - encoderPerWindow - detectorPerWindow, detectorPerWindow,
                static_cast<double>(words) / windows, perWindow / ModelSpeed::windowSeconds,
                2 * perWindow / ModelSpeed::windowSeconds, peakMegabytes());
    return 0;
}
