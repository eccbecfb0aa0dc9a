#include "transcripts/PastSearch.h"

#include "base/SerialQueue.h"

#include <mutex>

namespace tallyvox::PastSearch {

namespace fs = std::filesystem;

// Everything the worker's tasks and the deliveries share: they may outlive the Searcher.
struct Searcher::State {
    explicit State(Executor& m)
        : main(m) {}
    Executor& main;
    // Held while a finished search hands over its hits and while one is cancelled, so that
    // nothing is posted to `main` once cancel() has returned.
    std::mutex mutex;
    std::stop_source stopper;
    // Main thread only: which search may still deliver.
    std::uint64_t generation = 0;
    bool running = false;
};

Searcher::Searcher(Executor& deliverOn)
    : state_(std::make_shared<State>(deliverOn))
    , queue_(std::make_unique<SerialQueue>("com.tallyvox.past-search")) {}

Searcher::~Searcher() {
    cancel();
    queue_.reset(); // waits for a running search, which stops before its next file
}

void Searcher::cancel() {
    std::lock_guard lock(state_->mutex);
    ++state_->generation;
    state_->stopper.request_stop();
    state_->running = false;
}

bool Searcher::isRunning() const {
    return state_->running;
}

void Searcher::start(fs::path root, std::string query, Done done) {
    cancel();
    std::stop_token stop;
    {
        std::lock_guard lock(state_->mutex);
        state_->stopper = std::stop_source();
        stop = state_->stopper.get_token();
        state_->running = true;
    }
    queue_->post([state = state_, generation = state_->generation, stop, root = std::move(root),
                  query = std::move(query), done = std::move(done)]() mutable {
        if (stop.stop_requested())
            return;
        auto hits = run(root, query, stop);
        std::lock_guard lock(state->mutex);
        if (stop.stop_requested())
            return;
        state->main.post(
            [state, generation, hits = std::move(hits), done = std::move(done)]() mutable {
                // A search started or cancelled since then owns the results now.
                if (state->generation != generation)
                    return;
                state->running = false;
                done(std::move(hits));
            });
    });
}

} // namespace tallyvox::PastSearch
