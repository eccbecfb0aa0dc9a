#include "session/UnsavedTranscripts.h"

#include "base/Log.h"
#include "transcripts/TranscriptManager.h"

namespace tallyvox {

UnsavedTranscripts::UnsavedTranscripts(Executor& main, Handlers handlers)
    : main_(main)
    , handlers_(std::move(handlers)) {}

UnsavedTranscripts::~UnsavedTranscripts() {
    timer_.cancel();
}

void UnsavedTranscripts::keep(std::filesystem::path path, std::string text) {
    forget(path);
    files_.push_back({std::move(path), std::move(text)});
    if (timer_.isActive())
        return;
    // The timer dies with this object (its owner cancels it), so it may point here.
    timer_ = main_.repeating(Executor::Duration(retryInterval), [this] { retry(); });
}

void UnsavedTranscripts::forget(const std::filesystem::path& path) {
    std::erase_if(files_, [&](const File& file) { return file.path == path; });
}

void UnsavedTranscripts::retry() {
    for (auto file = files_.begin(); file != files_.end();) {
        try {
            TranscriptManager::write(file->text, file->path);
        } catch (const std::exception& error) {
            Log::error("Saving transcript failed: {}", error.what());
            if (handlers_.failed)
                handlers_.failed(error.what());
            ++file;
            continue;
        }
        Log::info("Transcript saved: {}", file->path.string());
        auto path = file->path;
        file = files_.erase(file);
        if (handlers_.saved)
            handlers_.saved(path);
    }
    if (files_.empty()) {
        timer_.cancel();
        timer_ = {};
    }
}

} // namespace tallyvox
