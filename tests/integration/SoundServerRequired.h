#pragma once

#include "ChildProcess.h"

#include <cstdlib>
#include <string>

// In a test or its SetUp: skips where no sound server answers, and fails there instead where
// the run promises one (TALLYVOX_REQUIRE_SOUND_SERVER=1, as scripts/test sets), so a server
// that failed to start never passes as skipped tests.
#define REQUIRE_SOUND_SERVER()                                                                     \
    do {                                                                                           \
        if (::tallyvox::testing::runToEnd({"pactl", "info"}) != 0) {                               \
            const char* required = std::getenv("TALLYVOX_REQUIRE_SOUND_SERVER");                   \
            if (required && std::string(required) == "1")                                          \
                FAIL() << "no sound server answers";                                               \
            GTEST_SKIP() << "no sound server; run through scripts/with-sound-server";              \
        }                                                                                          \
    } while (0)
