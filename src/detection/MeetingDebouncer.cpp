#include "detection/MeetingDebouncer.h"

#include <algorithm>
#include <set>

namespace tallyvox {

MeetingDebouncer::Result
MeetingDebouncer::update(const std::vector<DetectedMeeting>& seen,
                         const std::function<bool(std::int32_t pid)>& isRunning, double now) {
    std::set<std::string> seenIDs;
    for (const auto& meeting : seen) {
        auto id = meeting.id();
        seenIDs.insert(id);
        if (!entries.count(id))
            entries.emplace(id, Entry{meeting, now, std::nullopt});
    }

    Result result;
    std::vector<const Entry*> active;
    auto candidate = [&](double at) {
        if (!result.recheckAt || at < *result.recheckAt)
            result.recheckAt = at;
    };
    for (auto it = entries.begin(); it != entries.end();) {
        Entry& entry = it->second;
        bool confirmed = now - entry.firstSeen >= startDelay;
        bool remove = false;
        // The exited process and the unconfirmed sighting are removed for different reasons;
        // the order of the tests is what matters.
        if (!isRunning(entry.meeting.pid)) { // NOLINT(bugprone-branch-clone)
            remove = true;
        } else if (seenIDs.count(it->first)) {
            entry.offSince.reset();
            if (confirmed)
                active.push_back(&entry);
            else
                candidate(entry.firstSeen + startDelay);
        } else if (!confirmed) {
            remove = true;
        } else {
            if (!entry.offSince)
                entry.offSince = now;
            if (now - *entry.offSince >= endDelay) {
                remove = true;
            } else {
                active.push_back(&entry);
                candidate(*entry.offSince + endDelay);
            }
        }
        it = remove ? entries.erase(it) : std::next(it);
    }

    std::stable_sort(active.begin(), active.end(),
                     [](const Entry* a, const Entry* b) { return a->firstSeen < b->firstSeen; });
    for (const Entry* entry : active)
        result.active.push_back(entry->meeting);
    return result;
}

} // namespace tallyvox
