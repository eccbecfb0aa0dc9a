#pragma once

#include "audio/AccessibilityTree.h"
#include "audio/MuteLabel.h"
#include "audio/MuteWatcher.h"
#include "base/Executor.h"
#include "types/DetectedMeeting.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallyvox {

// The platform of a meeting address, nothing for any other address.
using UrlPlatform = std::function<std::optional<Platform>(std::string_view url)>;

// The watcher's work on its queue: finds the mute button in the app's tree, reads it each
// tick and reports changes. Not thread-safe; every call is made on the queue.
class MuteFollower {
public:
    static constexpr std::size_t searchLimit = 15000;
    static constexpr int searchEvery = 10;
    static constexpr std::size_t nearbyLimit = 12;

    // A walk ends early once `cancelled` is set (from any thread).
    MuteFollower(std::unique_ptr<AccessibilityTree> tree, std::int32_t pid,
                 std::optional<Platform> page, UrlPlatform urlPlatform,
                 MuteWatcher::OnChange onChange,
                 std::shared_ptr<const std::atomic<bool>> cancelled = nullptr);
    ~MuteFollower();

    void tick();
    // Breadth-first walk of the app's tree for the mute button.
    std::shared_ptr<AccessibleElement> search();

    // The texts of the element that may belong to a mute control, in order.
    static std::vector<std::string> labels(AccessibleElement& element);
    // What the element's labels (and value) say; nothing when it is no mute button.
    static std::optional<bool> state(AccessibleElement& element);
    // Whether the element is a kind of control a microphone button is made of.
    static bool isControl(AccessibleElement& element);
    // The element's numeric value: its own, or its toggle state as 1 (on) or 0 (off).
    static std::optional<long> value(AccessibleElement& element);

    int ticks() const { return ticks_; }
    int searches() const { return searches_; }
    const MuteTracker& tracker() const { return tracker_; }

private:
    std::unique_ptr<AccessibilityTree> tree_;
    std::int32_t pid_;
    std::shared_ptr<AccessibleElement> app_;
    MuteWatcher::OnChange onChange_;
    std::shared_ptr<AccessibleElement> button_;
    int ticks_ = 0;
    int searches_ = 0;
    std::optional<Platform> page_;
    UrlPlatform urlPlatform_;
    MuteTracker tracker_;
    std::shared_ptr<const std::atomic<bool>> cancelled_;
};

// A MuteWatcher over an accessibility tree, ticking every second on its own queue.
class AccessibilityMuteWatcher : public MuteWatcher {
public:
    using TreeMaker = std::function<std::unique_ptr<AccessibilityTree>()>;
    static constexpr double interval = 1.0;

    // The tree is made, used and destroyed on `queue` (by default a serial queue of its own);
    // making it, which may wait for the bus, does not hold up the caller.
    AccessibilityMuteWatcher(TreeMaker makeTree, std::int32_t pid, std::optional<Platform> page,
                             UrlPlatform urlPlatform, OnChange onChange,
                             std::shared_ptr<Executor> queue = nullptr);
    ~AccessibilityMuteWatcher() override;

    void start() override;
    void stop() override;

private:
    void onQueue(const std::function<void()>& task);

    // Touched only on the queue, but for `ended`.
    struct Shared {
        std::shared_ptr<MuteFollower> follower;
        std::shared_ptr<std::atomic<bool>> ended = std::make_shared<std::atomic<bool>>(false);
    };

    std::shared_ptr<Executor> queue_;
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
    TaskHandle timer_;
};

} // namespace tallyvox
