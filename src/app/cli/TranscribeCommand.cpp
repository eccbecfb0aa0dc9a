// tallyvox-cli transcribe: an audio file through the same engine a live session uses.

#include "AudioFile.h"
#include "Commands.h"
#include "app/linux/LinuxPlatformServices.h"

#include "base/AtomicFile.h"
#include "base/Error.h"
#include "base/Log.h"
#include "base/SerialQueue.h"
#include "speakers/SpeakerDiarizationService.h"
#include "speakers/SpeakerEmbedder.h"
#include "speakers/SpeakerLabel.h"
#include "transcription/ModelQuantiser.h"
#include "transcription/TranscriptionEngine.h"
#include "transcription/WhisperContext.h"
#include "transcription/WhisperManager.h"
#include "transcripts/TranscriptFormat.h"
#include "transcripts/TranscriptManager.h"
#include "types/SpeakerModels.h"

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <iostream>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace tallyvox::cli {
namespace {
double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Times the recognition calls themselves, so the cost around them can be measured.
class TimedRecognizer : public Recognizer {
public:
    TimedRecognizer(std::unique_ptr<Recognizer> inner, std::atomic<double>& spent)
        : inner_(std::move(inner))
        , spent_(spent) {}
    std::optional<std::vector<SpeechRange>> speech(std::span<const float> samples) override {
        return inner_->speech(samples);
    }
    std::vector<WhisperSegment> transcribe(std::span<const float> samples,
                                           const std::string& language,
                                           const std::string& prompt) override {
        double start = now();
        auto result = inner_->transcribe(samples, language, prompt);
        spent_ = spent_ + (now() - start);
        return result;
    }
    std::map<std::string, float>
    languageProbabilities(std::span<const float> samples,
                          const std::vector<std::string>& among) override {
        return inner_->languageProbabilities(samples, among);
    }
    std::string device() const override { return inner_->device(); }
    std::optional<WhisperModel> model() const override { return inner_->model(); }

private:
    std::unique_ptr<Recognizer> inner_;
    std::atomic<double>& spent_;
};

// "Speaker B: " for a line with a speaker, nothing otherwise.
std::string who(const TranscriptSegment& line) {
    return line.speaker ? SpeakerLabel::unidentified(*line.speaker) + ": " : std::string();
}

std::string render(const std::vector<TranscriptSegment>& lines, const std::string& format) {
    // Subtitles are the same as a meeting's export.
    if (format == "srt")
        return TranscriptManager::srt(lines, [](int s) { return SpeakerLabel::unidentified(s); });
    std::string out;
    for (const auto& line : lines) {
        std::string text = who(line) + TranscriptFormat::oneLine(line.text);
        if (format == "md")
            out.append("**").append(TranscriptFormat::timestamp(line.start)).append("** ");
        else
            out.append(TranscriptFormat::bracketedTimestamp(line.start)).append(" ");
        out.append(text).append(format == "md" ? "\n\n" : "\n");
    }
    return out;
}

struct TranscribeOptions {
    std::filesystem::path input;
    std::string model = "small";
    std::optional<std::filesystem::path> vad;
    std::string language = "en";
    double chunk = EngineOptions::defaultChunkSeconds;
    bool realtime = false;
    std::optional<std::filesystem::path> output;
    std::string format = "txt";
    bool speakers = false;
    std::optional<std::filesystem::path> speakerModel;
};

// How to get the pinned speaker model. Its download comes with a Whisper model's (and fetches
// that one too when it is missing), so the hint names the model this run uses, or for a
// model given as a file one already downloaded, so that nothing more than asked is fetched.
std::string speakerModelHint(const std::filesystem::path& modelFile, WhisperModel model) {
    auto download = [](WhisperModel with) {
        return "run tallyvox-cli models download " + std::string(with.rawValue()) + " --speakers";
    };
    const std::string orFile = ", or give a speaker model file with --speaker-model FILE";
    if (modelFile == model.localPath())
        return download(model);
    for (auto present : WhisperModel::all())
        if (present.isDownloaded())
            return download(present) + " (the Whisper " + std::string(present.title()) +
                   " model is already here, so only the speaker model is fetched)" + orFile;
    const WhisperModel smallest = WhisperModel::tiny;
    return download(smallest) + " (it fetches the Whisper " + std::string(smallest.title()) +
           " model too, " + std::string(smallest.sizeLabel()) + ", as none is downloaded)" + orFile;
}

int transcribe(const TranscribeOptions& given) {
    const auto& input = given.input;
    const auto& modelArg = given.model;
    const auto& vadFile = given.vad;
    const auto& language = given.language;
    const auto& output = given.output;
    const auto& format = given.format;
    const double chunk = given.chunk;
    const bool realtime = given.realtime;

    // A known name means the models folder; anything else is a path, used as it is.
    WhisperModel model = WhisperModel::tiny;
    std::filesystem::path modelFile;
    if (auto named = WhisperModel::fromRaw(modelArg)) {
        model = *named;
        modelFile = model.localPath();
        if (!model.isDownloaded()) {
            std::cerr << "The Whisper " << model.title() << " model is not downloaded; run "
                      << "tallyvox-cli models download " << model.rawValue() << "\n";
            return missingFile;
        }
        if (model.isVariant()) {
            if (auto problem = ModelQuantiser::copyProblem(model))
                std::cerr << "The " << WhisperModel::variantName(model.variant())
                          << " copy of the Whisper " << model.original().title() << " model "
                          << *problem << "; using the original.\n";
            else
                modelFile = model.copyPath();
        }
    } else if (modelArg.find('/') != std::string::npos || modelArg.ends_with(".bin")) {
        modelFile = modelArg;
        if (!std::filesystem::is_regular_file(modelFile)) {
            std::cerr << "No model file at " << modelFile.string() << "\n";
            return missingFile;
        }
    } else {
        std::cerr << "Unknown model \"" << modelArg << "\"; known models:";
        for (auto known : WhisperModel::all())
            std::cerr << " " << known.rawValue();
        std::cerr << "\n";
        return unknownModel;
    }
    // Speakers: the downloaded (pinned) model, or a file given for trying one out.
    const bool speakers = given.speakers || given.speakerModel;
    if (given.speakerModel && !std::filesystem::is_regular_file(*given.speakerModel)) {
        std::cerr << "No speaker model file at " << given.speakerModel->string() << "\n";
        return missingFile;
    }
    if (speakers && !given.speakerModel && !SpeakerModels::isDownloaded()) {
        std::cerr << "The speaker model is not downloaded; " << speakerModelHint(modelFile, model)
                  << "\n";
        return missingFile;
    }
    if (!std::filesystem::exists(input)) {
        std::cerr << "No such file: " << input.string() << "\n";
        return missingFile;
    }

    double wallStart = now();
    // Read as the engine asks for it, so a long file costs no more memory than a short one.
    std::unique_ptr<AudioFile::Reader> reader;
    try {
        reader = std::make_unique<AudioFile::Reader>(input);
    } catch (const Error& error) {
        std::cerr << error.what() << "\n";
        return failed;
    }
    const double claimed = reader->claimedSeconds();

    std::atomic<size_t> fed{0};
    std::atomic<bool> allFed{false};
    std::atomic<double> whisperSeconds{0};
    std::mutex linesMutex;
    std::vector<TranscriptSegment> lines;
    bool progressShown = ::isatty(STDERR_FILENO) && claimed > 60;

    EngineOptions options;
    options.model = model;
    options.language = language;
    options.chunkSeconds = chunk;
    options.diarize = speakers;
    TranscriptionEngine::Dependencies deps;
    auto loader = whisperLoader(modelFile, vadFile ? *vadFile : VADModel::localPath(),
                                linux_services::useGPUSetting);
    deps.loadRecognizer = [loader, &whisperSeconds](WhisperModel m) -> std::unique_ptr<Recognizer> {
        return std::make_unique<TimedRecognizer>(loader(m), whisperSeconds);
    };
    deps.stopwatch = now;
    if (speakers) {
        // A model named here is what was asked for: one that does not load ends the command
        // rather than a transcript without speakers. So it is loaded before any audio is.
        auto file = given.speakerModel;
        auto loaded = std::make_shared<std::unique_ptr<Embedder>>();
        if (file) {
            try {
                *loaded = SpeakerEmbedder::loadUnpinned(*file);
            } catch (const std::exception& error) {
                std::cerr << "Couldn't load the speaker model " << file->string() << ": "
                          << error.what() << "\n";
                return failed;
            }
        }
        deps.loadDiarizer = diarizerLoader([file, loaded]() -> std::unique_ptr<Embedder> {
            if (*loaded)
                return std::move(*loaded);
            if (file)
                return SpeakerEmbedder::loadUnpinned(*file);
            return SpeakerEmbedder::load(SpeakerModels::localPath());
        });
    }

    // The engine pulls audio every second as in a live session; without --realtime its
    // seconds pass as fast as recognition allows.
    if (!realtime)
        deps.queue = std::make_shared<SerialQueue>("com.tallyvox.transcription",
                                                   EventLoop::Pace::fastForward);
    double feedStart = now();
    auto drain = [&]() -> std::vector<float> {
        size_t from = fed.load();
        size_t to = realtime ? static_cast<size_t>((now() - feedStart) * 16000.0) : from + 16000;
        if (to <= from || allFed.load())
            return {};
        auto samples = reader->read(to - from);
        fed = from + samples.size();
        if (reader->finished())
            allFed = true;
        return samples;
    };
    auto engine = TranscriptionEngine::make(
        drain, options, [&] { return static_cast<double>(fed.load()) / 16000.0; },
        [&](std::vector<TranscriptSegment> committed) {
            std::lock_guard lock(linesMutex);
            for (auto& line : committed) {
                std::cout << "[" << TranscriptFormat::timestamp(line.start) << "] " << who(line)
                          << TranscriptFormat::oneLine(line.text) << std::endl;
                lines.push_back(std::move(line));
            }
        },
        deps);

    std::promise<std::exception_ptr> started;
    engine->start([&](const std::exception_ptr& error) { started.set_value(error); });
    if (auto error = started.get_future().get()) {
        try {
            std::rethrow_exception(error);
        } catch (const std::exception& e) {
            std::cerr << e.what() << "\n";
        }
        return failed;
    }
    feedStart = now();
    while (!allFed.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (progressShown)
            std::fprintf(stderr, "\r%.0f of %.0f s", static_cast<double>(fed.load()) / 16000.0,
                         claimed);
    }
    if (progressShown)
        std::fprintf(stderr, "\n");

    std::promise<TranscriptionEngine::StopResult> stopped;
    engine->stop(
        [&](TranscriptionEngine::StopResult result) { stopped.set_value(std::move(result)); });
    auto result = stopped.get_future().get();
    double wall = now() - wallStart;
    const double total = static_cast<double>(fed.load()) / 16000.0;
    // What was read is transcribed and written; the exit status says it was not all.
    const bool complete = reader->error().empty();
    if (!complete)
        std::cerr << reader->error() << "\n";

    for (const auto& [name, stats] : result.stats)
        std::fprintf(
            stderr,
            "%s: audio %.2f s, received %.2f s, processed %.2f s, speech %.2f s, windows %d, "
            "segments %d, phantoms dropped %d\n",
            name.c_str(), total, stats.receivedSeconds, stats.processedSeconds, stats.speechSeconds,
            stats.windows, stats.segments, stats.phantomDropped);
    if (!result.device.empty())
        std::fprintf(stderr, "device %s\n", result.device.c_str());
    std::fprintf(stderr, "wall %.3f s, whisper %.3f s, ratio %.4f\n", wall, whisperSeconds.load(),
                 whisperSeconds.load() > 0 ? wall / whisperSeconds.load() : 0.0);

    if (output) {
        // Owner-only, and a link planted at the name is replaced rather than written through.
        try {
            writeFileAtomically(*output, render(lines, format));
        } catch (const std::exception& error) {
            std::cerr << "Couldn't write " << output->string() << ": " << error.what() << "\n";
            return failed;
        }
    }
    return complete ? ok : failed;
}

// The window length's one range, for CLI11.
std::string checkChunk(const std::string& text) {
    EngineOptions options;
    try {
        options.chunkSeconds = std::stod(text);
        options.validate();
    } catch (const Error& error) {
        return error.what();
    } catch (const std::exception&) {
        return "a number of seconds";
    }
    return {};
}

} // namespace

void addTranscribeCommand(CLI::App& app, int& exitCode) {
    auto options = std::make_shared<TranscribeOptions>();
    auto* command = app.add_subcommand(
        "transcribe", "Transcribe an audio file with the engine a live meeting uses");
    command->add_option("FILE", options->input, "Audio file (any format libsndfile reads)")
        ->required();
    command
        ->add_option("--model", options->model,
                     "A model name (tiny, base, small, medium, turbo) or a model file")
        ->capture_default_str();
    command->add_option("--vad", options->vad, "Speech detector model file");
    command
        ->add_option("--language", options->language,
                     "Language code, \"auto\", or codes joined by +")
        ->capture_default_str();
    command->add_option("--chunk", options->chunk, "Seconds of new audio per window")
        ->check(CLI::Validator(checkChunk, "SECONDS", "window length"))
        ->capture_default_str();
    command->add_flag("--realtime", options->realtime, "Feed the audio at its own pace");
    command->add_option("--output", options->output, "Write the transcript to this file");
    command->add_option("--format", options->format, "Output format")
        ->check(CLI::IsMember({"txt", "md", "srt"}))
        ->capture_default_str();
    command->add_flag("--speakers", options->speakers,
                      "Tell voices apart with the downloaded speaker model");
    command->add_option("--speaker-model", options->speakerModel,
                        "Tell voices apart with this speaker model file (implies --speakers)");
    command->callback([options, &exitCode] { exitCode = transcribe(*options); });
}

} // namespace tallyvox::cli
