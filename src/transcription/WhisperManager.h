#pragma once

#include "base/Executor.h"
#include "base/Observable.h"
#include "types/WhisperModel.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// One file to fetch: where from, where to, the digest it must have and a bound on its size.
struct DownloadItem {
    std::string remote;
    std::filesystem::path local;
    std::string sha256;
    std::int64_t maxBytes = 0; // the download stops beyond this
};

// Downloads the model files the user chose, one download at a time, with progress. Used on
// the main thread; the transfer and hashing run elsewhere and report back through `main`.
class WhisperManager {
public:
    // Fetches one item; calls `progress` (0...1) and finally `done` with an error description
    // (nothing on success). Both are called on the main executor.
    using Fetcher =
        std::function<void(const DownloadItem& item, std::function<void(double)> progress,
                           std::function<void(std::optional<std::string>)> done)>;

    // `fetcher` null: HTTPS through libcurl, checked with SHA-256, moved into place.
    explicit WhisperManager(Executor& main, Fetcher fetcher = nullptr);
    ~WhisperManager();

    Observable<bool> downloading{false};
    Observable<double> progress{0.0};
    Observable<std::optional<std::string>> downloadError;

    // Size labels of what is missing, e.g. "466 MB + 2 MB"; nothing when all is present.
    static std::optional<std::string> missingLabel(WhisperModel model, bool speakers);
    // Starts downloading what is missing; does nothing while a download runs.
    void download(WhisperModel model, bool speakers);

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace tallyvox
