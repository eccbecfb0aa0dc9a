#include "detection/PackageOwners.h"

#include <map>
#include <tuple>

namespace tallyvox {

namespace {

using Key = std::tuple<std::string, std::uint64_t, std::uint64_t>;

struct Entry {
    bool asking = false;
    std::optional<double> failedAt;
    std::optional<std::vector<std::string>> owners;
};

// Enough for every executable of every meeting app; a bound all the same.
constexpr size_t maximumEntries = 256;

} // namespace

struct PackageOwners::State {
    Executor& main;
    Executor& worker;
    Clock& clock;
    Query query;
    PackageOwners* owner;
    std::map<Key, Entry> entries; // main thread only
};

PackageOwners::PackageOwners(Executor& main, Executor& worker, Clock& clock, Query query)
    : state_(std::make_shared<State>(State{main, worker, clock, std::move(query), this, {}})) {}

PackageOwners::~PackageOwners() = default;

std::optional<std::vector<std::string>> PackageOwners::owners(const std::string& path,
                                                              const ProcessInfo::FileFacts& file) {
    Key key{path, file.device, file.inode};
    auto& entries = state_->entries;
    if (auto it = entries.find(key); it != entries.end()) {
        auto& entry = it->second;
        if (entry.owners || entry.asking)
            return entry.owners;
        if (entry.failedAt && state_->clock.uptime() - *entry.failedAt < retrySeconds)
            return std::nullopt;
    } else if (entries.size() >= maximumEntries) {
        std::erase_if(entries, [](const auto& item) { return !item.second.asking; });
    }

    entries[key].asking = true;
    std::weak_ptr<State> weak = state_;
    // The worker holds only the query and the executor, never the state: a question that
    // outlives us answers into nothing.
    state_->worker.post([query = state_->query, &main = state_->main, weak, path, key] {
        auto answer = query(path);
        main.post([weak, key, answer = std::move(answer)] {
            auto state = weak.lock();
            if (!state)
                return;
            auto& entry = state->entries[key];
            entry.asking = false;
            entry.owners = answer;
            entry.failedAt = answer ? std::nullopt : std::optional(state->clock.uptime());
            if (answer && state->owner->onAnswer)
                state->owner->onAnswer();
        });
    });
    return std::nullopt;
}

} // namespace tallyvox
