#pragma once

#include "base/Clock.h"
#include "base/Executor.h"
#include "detection/ProcessInfo.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// Who installed a file, asked of the package database on a worker and remembered. Asking may
// take seconds (dpkg waits for its database during an upgrade), so the main thread never
// waits: until the answer is in, there is none. Only answers are remembered; a failed
// question is asked again after `retrySeconds`.
class PackageOwners {
public:
    // Blocking; nothing when the database could not answer.
    using Query = std::function<std::optional<std::vector<std::string>>(const std::string& path)>;

    static constexpr double retrySeconds = 30;

    // `main` is the caller's thread; `worker` runs the queries.
    PackageOwners(Executor& main, Executor& worker, Clock& clock, Query query);
    ~PackageOwners();
    PackageOwners(const PackageOwners&) = delete;
    PackageOwners& operator=(const PackageOwners&) = delete;

    // The owners of the file at `path` (whose identity is `file`, so that a replaced file is
    // asked about afresh), or nothing while they are not known; then a question is under way
    // or waits for its retry.
    std::optional<std::vector<std::string>> owners(const std::string& path,
                                                   const ProcessInfo::FileFacts& file);

    // Called on the main thread after an answer came in.
    std::function<void()> onAnswer;

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace tallyvox
