// tallyvox-cli models: what is on disk, downloading with a progress bar, and making quantised
// copies.

#include "Commands.h"
#include "Signals.h"

#include "base/EventLoop.h"
#include "settings/SettingsManager.h"
#include "transcription/ModelHash.h"
#include "transcription/ModelQuantiser.h"
#include "transcription/SpeedProbe.h"
#include "transcription/WhisperManager.h"
#include "types/SpeakerModels.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

namespace tallyvox::cli {
namespace {
// As a shell reports a command ended by Ctrl-C.
constexpr int interruptedExit = 130;

std::string megabytes(std::int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

int listModels(const SettingsStores& stores) {
    std::cout << "Models folder: " << WhisperModel::directory().string() << "\n";
    const WhisperModel recommended = SettingsManager::recommendedModel(
        stores, SpeedProbe::machineSpeed(MachineSpeed::cacheFile(), {},
                                         ComputeDevices::choose(SettingsManager::useGPU(stores))));
    auto row = [](std::string_view name, const std::filesystem::path& file, std::string_view sha256,
                  bool present, std::string_view note = {}) {
        std::int64_t size = fileSizeOrZero(file);
        std::string state = size == 0                          ? "missing"
                            : !present                         ? "too small"
                            : ModelHash::matches(file, sha256) ? "ok"
                                                               : "digest differs";
        std::printf("%-22s %10s  %s%s\n", std::string(name).c_str(),
                    size ? megabytes(size).c_str() : "-", state.c_str(), std::string(note).c_str());
    };
    // The one this computer keeps up with, by its memory, its measured speed and what the
    // settings have on.
    for (auto model : WhisperModel::all()) {
        row(model.rawValue(), model.localPath(), model.sha256(), model.isDownloaded(),
            model == recommended ? "  (recommended)" : "");
        // The copies made here, as faster variants of their model; the digest checked is the
        // one recorded when the copy was made.
        for (auto variant : model.variants()) {
            if (fileSizeOrZero(variant.copyPath()) == 0)
                continue;
            auto problem = ModelQuantiser::copyProblem(variant);
            std::printf("%-22s %10s  %s\n", std::string(variant.rawValue()).c_str(),
                        megabytes(fileSizeOrZero(variant.copyPath())).c_str(),
                        problem ? ("not used: it " + *problem).c_str() : "ok, faster");
        }
    }
    row("vad", VADModel::localPath(), VADModel::sha256, VADModel::isDownloaded());
    row("speakers", SpeakerModels::localPath(), SpeakerModels::sha256,
        SpeakerModels::isDownloaded());
    return ok;
}

int downloadModel(const std::string& name, bool speakers) {
    auto model = WhisperModel::fromRaw(name);
    if (!model) {
        std::cerr << "Unknown model \"" << name << "\"\n";
        return unknownModel;
    }
    if (!WhisperManager::missingLabel(*model, speakers)) {
        std::cout << "Already downloaded.\n";
        return ok;
    }
    // Ctrl-C stops the transfer and its partial file goes with it, rather than waiting for
    // the next download to clear it away.
    blockQuitSignals();
    auto sharedLoop = std::make_shared<EventLoop>();
    EventLoop& loop = *sharedLoop;
    auto manager = std::make_unique<WhisperManager>(loop);
    bool interrupted = false;
    watchQuitSignals(sharedLoop, [&](int) {
        interrupted = true;
        loop.quit();
    });
    auto bar = manager->progress.observe([](double value) {
        int filled = static_cast<int>(value * 40);
        std::fprintf(stderr, "\r[%s%s] %3.0f%%",
                     std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(40 - filled), ' ').c_str(), value * 100);
    });
    auto done = manager->downloading.observe([&](bool running) {
        if (!running)
            loop.quit();
    });
    manager->download(*model, speakers);
    if (manager->downloading.get())
        loop.run();
    std::fprintf(stderr, "\n");
    if (interrupted) {
        bar = {};
        done = {};
        // Going away cancels the transfer and waits for it to remove its file.
        manager.reset();
        std::cerr << "Download cancelled.\n";
        return interruptedExit;
    }
    if (auto error = manager->downloadError.get()) {
        std::cerr << *error << "\n";
        return failed;
    }
    return ok;
}

int quantizeModel(const std::string& name, const std::string& variantName) {
    auto model = WhisperModel::fromRaw(name);
    if (!model || model->isVariant()) {
        std::cerr << "Unknown model \"" << name << "\"\n";
        return unknownModel;
    }
    auto variant = WhisperModel::variantFromName(variantName);
    if (!variant) {
        std::cerr << "Unknown quantisation \"" << variantName << "\"; known: q8_0 q5_1\n";
        return failed;
    }
    if (model->variants().empty()) {
        std::cerr << "The Whisper " << model->title() << " model is quantised already.\n";
        return failed;
    }
    const WhisperModel copy(model->kind(), *variant);
    std::cerr << "Making " << copy.copyPath().filename().string() << "...\n";
    try {
        auto made = ModelQuantiser::makeCopy(copy);
        std::cout << "Made " << copy.copyPath().string() << " (" << megabytes(made.bytes)
                  << "). Use it with: tallyvox-cli settings set whisperModel " << copy.rawValue()
                  << "\n";
    } catch (const Error& error) {
        std::cerr << error.what() << "\n";
        return failed;
    }
    return ok;
}

} // namespace

void addModelsCommand(CLI::App& app, const SettingsStores& stores, int& exitCode) {
    auto* command = app.add_subcommand("models", "List the models or download one");
    command->callback([command, &exitCode, &stores] {
        if (command->get_subcommands().empty())
            exitCode = listModels(stores);
    });
    command->add_subcommand("list", "Models on disk and whether their digests match")
        ->callback([&exitCode, &stores] { exitCode = listModels(stores); });
    auto name = std::make_shared<std::string>();
    auto* download =
        command->add_subcommand("download", "Download a model, checked against its SHA-256");
    download->add_option("NAME", *name, "tiny, base, small, medium or turbo")->required();
    auto speakers = std::make_shared<bool>(false);
    download->add_flag("--speakers", *speakers, "Also the speaker model that tells voices apart");
    download->callback([name, speakers, &exitCode] { exitCode = downloadModel(*name, *speakers); });
    auto variant = std::make_shared<std::string>();
    auto* quantize = command->add_subcommand(
        "quantize", "Make a smaller, faster copy of a downloaded model, beside it");
    quantize->add_option("NAME", *name, "tiny, base, small or medium")->required();
    quantize->add_option("TYPE", *variant, "q8_0 (closest to the original) or q5_1 (smallest)")
        ->required();
    quantize->callback([name, variant, &exitCode] { exitCode = quantizeModel(*name, *variant); });
}

} // namespace tallyvox::cli
