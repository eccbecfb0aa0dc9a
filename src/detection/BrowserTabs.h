#pragma once

#include "detection/Browsers.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// The addresses of a running browser's open tabs.
class BrowserTabs {
public:
    struct Read {
        std::vector<std::string> urls;
        // Set when the tabs cannot be read, worded for the log and the user.
        std::optional<std::string> unreadable;
        // No session file exists yet: a browser writes its first a few seconds after it
        // starts, so this is a wait, not a failure.
        bool notWrittenYet = false;
    };

    virtual ~BrowserTabs() = default;
    // `pid` is the browser's main process. May read files: called at most once per browser
    // every 10 seconds, in the app on a queue of its own rather than the main thread.
    virtual Read read(const Browser& browser, std::int32_t pid) = 0;
};

} // namespace tallyvox
