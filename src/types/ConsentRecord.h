#pragma once

#include "base/Clock.h"

#include <string>

namespace tallyvox {

// The consent a session runs under; it travels with the session into the transcript header.
struct ConsentRecord {
    std::string meetingID;
    std::string statement;
    SystemTime confirmedAt;
    bool automatic = false; // derived from standing consent

    bool operator==(const ConsentRecord&) const = default;
};

} // namespace tallyvox
