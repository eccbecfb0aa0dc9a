#pragma once

#include "audio/AccessibilityTree.h"

namespace tallyvox {

// The desktop's accessibility tree through libatspi (the AT-SPI2 bus).
//
// libatspi keeps one connection and one cache for the whole process and is not thread-safe:
// every call goes through one lock, and the connection's messages are handled on a GLib
// context of its own, pumped before reads, never on the application's main loop. Values
// that can change (names, states) are read afresh: `refresh()` drops libatspi's cache, since
// its updates arrive as events that may still be queued.
class AtspiTree : public AccessibilityTree {
public:
    // Connects to the accessibility bus on first use in the process.
    AtspiTree();
    ~AtspiTree() override;

    // Whether the accessibility bus could be reached.
    bool connected() const { return connected_; }

    void setTimeout(std::chrono::milliseconds timeout) override;
    std::shared_ptr<AccessibleElement> application(std::int32_t pid) override;

private:
    bool connected_ = false;
};

} // namespace tallyvox
