#include "transcription/WhisperManager.h"

#include "base/Log.h"
#include "base/SerialQueue.h"
#include "transcription/ModelDownload.h"
#include "types/SpeakerModels.h"

#include <atomic>
#include <system_error>

namespace tallyvox {

namespace {

// Files pinned by digest and a minimum size: each is within a seventh above its minimum, so
// a quarter more never stops a good download, and stops an endless one early.
std::int64_t sizeBound(std::int64_t minimumBytes) {
    return minimumBytes + minimumBytes / 4;
}

// The speaker-embedding network joins the list when speakers are on and it is missing.
std::vector<DownloadItem> speakerDownloads() {
    if (SpeakerModels::isDownloaded())
        return {};
    return {{SpeakerModels::remoteURL(), SpeakerModels::localPath(),
             std::string(SpeakerModels::sha256), SpeakerModels::bytes}};
}
std::optional<std::string> speakerSizeLabel() {
    if (SpeakerModels::isDownloaded())
        return std::nullopt;
    return std::string(SpeakerModels::sizeLabel);
}

// The transfer runs on its own thread; cancelling stops it when the manager goes away.
struct CurlFetcher {
    Executor& main;
    std::atomic<bool> cancelled{false};
    SerialQueue queue{"com.tallyvox.download"};

    explicit CurlFetcher(Executor& main)
        : main(main) {}
    ~CurlFetcher() { cancelled = true; }
};

WhisperManager::Fetcher curlFetcher(Executor& main) {
    auto fetcher = std::make_shared<CurlFetcher>(main);
    return [fetcher](const DownloadItem& item, std::function<void(double)> progress,
                     std::function<void(std::optional<std::string>)> done) {
        CurlFetcher* self = fetcher.get(); // the queue lives as long as the fetcher
        self->queue.post([self, item, progress = std::move(progress), done = std::move(done)] {
            std::optional<std::string> failure;
            try {
                ModelDownload::fetch(
                    item.remote, item.local, item.sha256, {.maxBytes = item.maxBytes},
                    [self, &progress](double fraction) {
                        self->main.post([progress, fraction] { progress(fraction); });
                    },
                    &self->cancelled);
            } catch (const std::exception& error) {
                failure = error.what();
            }
            if (!self->cancelled)
                self->main.post([done, failure] { done(failure); });
        });
    };
}

} // namespace

struct WhisperManager::State {
    WhisperManager* owner;
    Executor& main;
    Fetcher fetcher;
};

WhisperManager::WhisperManager(Executor& main, Fetcher fetcher)
    : state_(std::make_shared<State>(
          State{this, main, fetcher ? std::move(fetcher) : curlFetcher(main)})) {}

WhisperManager::~WhisperManager() {
    // Dropping the fetcher stops a running transfer and waits for its thread.
    state_->fetcher = nullptr;
    state_.reset();
}

std::optional<std::string> WhisperManager::missingLabel(WhisperModel model, bool speakers) {
    std::vector<std::string> labels;
    if (!model.isDownloaded())
        labels.emplace_back(model.sizeLabel());
    if (speakers)
        if (auto label = speakerSizeLabel())
            labels.push_back(*label);
    if (!VADModel::isDownloaded())
        labels.emplace_back(VADModel::sizeLabel);
    if (labels.empty())
        return std::nullopt;
    std::string joined;
    for (const auto& label : labels)
        joined += (joined.empty() ? "" : " + ") + label;
    return joined;
}

namespace {

struct Run {
    WhisperModel model;
    std::vector<DownloadItem> items;
    std::vector<double> shares;
    size_t next = 0;
    double startedAt = 0;
};

} // namespace

void WhisperManager::download(WhisperModel model, bool speakers) {
    if (downloading.get())
        return;

    auto run = std::make_shared<Run>();
    run->model = model;
    if (!model.isDownloaded())
        run->items.push_back({model.remoteURL(), model.localPath(), std::string(model.sha256()),
                              sizeBound(model.minimumBytes())});
    if (speakers)
        for (auto& item : speakerDownloads())
            run->items.push_back(std::move(item));
    if (!VADModel::isDownloaded())
        run->items.push_back({VADModel::remoteURL(), VADModel::localPath(),
                              std::string(VADModel::sha256), sizeBound(VADModel::minimumBytes)});
    if (run->items.empty())
        return;

    size_t n = run->items.size();
    bool modelFirst = !model.isDownloaded();
    for (size_t i = 0; i < n; ++i) {
        double share;
        if (i == 0)
            share = n == 1 ? 1.0 : modelFirst ? 0.95 : 1.0 / static_cast<double>(n);
        else
            share = modelFirst ? 0.05 / static_cast<double>(n - 1) : 1.0 / static_cast<double>(n);
        run->shares.push_back(share);
    }

    downloading.set(true);
    progress.set(0.0);
    downloadError.set(std::nullopt);
    Log::info("Downloading {} model files", n);

    std::weak_ptr<State> weak = state_;
    auto fail = [weak](const std::string& description) {
        if (auto state = weak.lock()) {
            Log::error("Model download failed: {}", description);
            state->owner->downloadError.set("Model download failed: " + description);
            state->owner->downloading.set(false);
        }
    };
    // Each step fetches one item and, when it lands, starts the next. Only the pending
    // completion holds the step, so nothing is kept once the fetcher drops it.
    auto step = std::make_shared<std::function<void()>>();
    std::weak_ptr<std::function<void()>> weakStep = step;
    *step = [weak, run, fail, weakStep]() {
        auto state = weak.lock();
        if (!state)
            return;
        WhisperManager& self = *state->owner;
        if (run->next == run->items.size()) {
            if (run->model.isDownloaded()) {
                Log::info("Models ready");
                self.downloading.set(false);
            } else {
                std::error_code ignored;
                std::filesystem::remove(run->model.localPath(), ignored);
                fail("The downloaded " + run->model.fileName() + " is incomplete.");
            }
            return;
        }
        size_t index = run->next;
        run->startedAt = self.progress.get();
        double share = run->shares[index];
        state->fetcher(
            run->items[index],
            [weak, run, share](double fraction) {
                if (auto state = weak.lock())
                    state->owner->progress.set(run->startedAt + fraction * share);
            },
            [weak, run, fail, step = weakStep.lock()](std::optional<std::string> failure) {
                if (!weak.lock())
                    return;
                if (failure) {
                    fail(*failure);
                    return;
                }
                ++run->next;
                (*step)();
            });
    };
    (*step)();
}

} // namespace tallyvox
