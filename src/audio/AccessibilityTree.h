#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// One control or container of another application, as its accessibility interface shows it.
// Every read may fail (nothing): the element is gone, or its app did not answer in time.
class AccessibleElement {
public:
    // button: a push button or menu item; toggle: a toggle button, check box or check menu item.
    // Only these may be the microphone's control: a participant or chat line that reads
    // "Unmute" is text, not a button.
    enum class Role { webArea, button, toggle, other };
    struct States {
        bool checkable = false;
        bool checked = false;
        bool pressed = false;
    };

    virtual ~AccessibleElement() = default;

    virtual std::optional<std::string> name() = 0;
    virtual std::optional<std::string> description() = 0;
    virtual std::optional<std::string> helpText() = 0;
    virtual std::optional<Role> role() = 0;
    // The address of the page, for a web area.
    virtual std::optional<std::string> url() = 0;
    // The current value of an element that has one (a slider, a switch).
    virtual std::optional<double> value() = 0;
    virtual std::optional<States> states() = 0;
    // The first `limit` children.
    virtual std::optional<std::vector<std::shared_ptr<AccessibleElement>>>
    children(std::size_t limit) = 0;
    // Forgets what was remembered of this element and those under it, so the next reads
    // ask its app again.
    virtual void refresh() {}
};

// The accessibility interface of the desktop. Used from one thread only.
class AccessibilityTree {
public:
    virtual ~AccessibilityTree() = default;

    // How long one request to an app may take before it counts as failed.
    virtual void setTimeout(std::chrono::milliseconds timeout) = 0;
    // The application element of process `pid`; nothing while it has not joined the bus.
    virtual std::shared_ptr<AccessibleElement> application(std::int32_t pid) = 0;
};

} // namespace tallyvox
