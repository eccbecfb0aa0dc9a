#include "audio/AccessibilityMuteWatcher.h"

#include "base/Log.h"
#include "base/SerialQueue.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <set>

namespace tallyvox {

namespace {

constexpr std::chrono::milliseconds requestTimeout{200};
constexpr std::size_t nearbyLength = 40;

const char* stateText(std::optional<bool> state) {
    if (!state)
        return "unknown";
    return *state ? "muted" : "unmuted";
}

// Cuts at most `bytes` bytes without splitting a UTF-8 sequence.
std::string cut(const std::string& text, std::size_t bytes) {
    if (text.size() <= bytes)
        return text;
    auto end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

} // namespace

// MARK: MuteFollower

MuteFollower::MuteFollower(std::unique_ptr<AccessibilityTree> tree, std::int32_t pid,
                           std::optional<Platform> page, UrlPlatform urlPlatform,
                           MuteWatcher::OnChange onChange,
                           std::shared_ptr<const std::atomic<bool>> cancelled)
    : tree_(std::move(tree))
    , pid_(pid)
    , onChange_(std::move(onChange))
    , page_(page)
    , urlPlatform_(std::move(urlPlatform))
    , tracker_(page.has_value())
    , cancelled_(std::move(cancelled)) {
    // An app that hangs must not stall the queue for the default 25 s per request.
    tree_->setTimeout(requestTimeout);
    app_ = tree_->application(pid_);
}

// The elements belong to the tree; they go first.
MuteFollower::~MuteFollower() {
    button_.reset();
    app_.reset();
    tree_.reset();
}

void MuteFollower::tick() {
    ++ticks_;
    std::optional<bool> reading;
    if (button_) {
        button_->refresh();
        reading = state(*button_);
    }
    if (!reading) {
        button_.reset();
        // After the first seconds without any answer, the costly walk runs every tenth tick.
        bool searching = tracker_.state.has_value() || ticks_ < 6 || ticks_ % searchEvery == 1;
        if (searching) {
            button_ = search();
            if (button_)
                reading = state(*button_);
        }
    }
    if (tracker_.update(reading)) {
        Log::info("Meeting mute state: {}", stateText(tracker_.state));
        if (onChange_)
            onChange_(tracker_.state);
    }
}

std::shared_ptr<AccessibleElement> MuteFollower::search() {
    ++searches_;
    if (!app_)
        app_ = tree_->application(pid_);
    if (!app_) {
        if (ticks_ == 5)
            Log::info("No mute button in {} items. Near: {}", 0, "");
        return nullptr;
    }
    app_->refresh();

    struct Queued {
        std::shared_ptr<AccessibleElement> element;
        bool trusted;
    };
    std::deque<Queued> queue;
    queue.push_back({app_, false});
    std::size_t queued = 1;
    std::size_t visited = 0;
    std::set<std::string> nearby;

    while (!queue.empty() && visited < searchLimit) {
        // A watcher being destroyed waits for this walk; it need not wait for all of it.
        if (cancelled_ && cancelled_->load())
            return nullptr;
        auto [element, trusted] = std::move(queue.front());
        queue.pop_front();
        ++visited;

        if (!trusted && page_) {
            auto role = element->role();
            bool webArea = role == AccessibleElement::Role::webArea;
            std::optional<Platform> platform;
            if (webArea) {
                auto url = element->url();
                if (url && urlPlatform_)
                    platform = urlPlatform_(*url);
            }
            auto scope = MuteScope::trusted(false, webArea, platform, page_);
            // Another tab or page: nothing under it is the meeting's.
            if (!scope)
                continue;
            trusted = *scope;
        } else if (!page_) {
            trusted = true;
        }

        if (trusted) {
            auto texts = labels(*element);
            if (!texts.empty() && isControl(*element)) {
                auto number = value(*element);
                for (const auto& text : texts) {
                    if (MuteLabel::muted(text, number)) {
                        Log::info("Found mute button: {}", texts.front());
                        return element;
                    }
                }
                if (nearby.size() < nearbyLimit)
                    nearby.insert(cut(texts.front(), nearbyLength));
            }
        }

        // Children past the walk's bound would never be visited; they are not even fetched.
        if (queued >= searchLimit)
            continue;
        if (auto children = element->children(searchLimit - queued)) {
            for (auto& child : *children) {
                if (!child)
                    continue;
                queue.push_back({std::move(child), trusted});
                ++queued;
            }
        }
    }

    if (ticks_ == 5) {
        std::string near;
        for (const auto& label : nearby) {
            if (!near.empty())
                near.append(" | ");
            near.append(label);
        }
        Log::info("No mute button in {} items. Near: {}", static_cast<long>(visited), near);
    }
    return nullptr;
}

std::vector<std::string> MuteFollower::labels(AccessibleElement& element) {
    std::vector<std::string> out;
    for (auto text : {element.name(), element.description(), element.helpText()}) {
        if (text && MuteLabel::isLabel(*text))
            out.push_back(std::move(*text));
    }
    return out;
}

std::optional<bool> MuteFollower::state(AccessibleElement& element) {
    auto texts = labels(element);
    if (texts.empty())
        return std::nullopt;
    auto number = value(element);
    for (const auto& text : texts) {
        if (auto answer = MuteLabel::muted(text, number))
            return answer;
    }
    return std::nullopt;
}

bool MuteFollower::isControl(AccessibleElement& element) {
    const auto role = element.role();
    return role == AccessibleElement::Role::button || role == AccessibleElement::Role::toggle;
}

std::optional<long> MuteFollower::value(AccessibleElement& element) {
    if (auto number = element.value()) {
        if (std::isfinite(*number))
            return std::lround(*number);
    }
    // A toggle shows its value as its state: checked or pressed is on.
    auto states = element.states();
    if (!states)
        return std::nullopt;
    if (states->checked || states->pressed)
        return 1;
    if (states->checkable || element.role() == AccessibleElement::Role::toggle)
        return 0;
    return std::nullopt;
}

// MARK: AccessibilityMuteWatcher

AccessibilityMuteWatcher::AccessibilityMuteWatcher(TreeMaker makeTree, std::int32_t pid,
                                                   std::optional<Platform> page,
                                                   UrlPlatform urlPlatform, OnChange onChange,
                                                   std::shared_ptr<Executor> queue)
    : queue_(queue ? std::move(queue) : std::make_shared<SerialQueue>("com.tallyvox.mute")) {
    // Queued before any tick, so the first tick finds it.
    queue_->post([shared = shared_, makeTree = std::move(makeTree), pid, page,
                  urlPlatform = std::move(urlPlatform), onChange = std::move(onChange)] {
        if (shared->ended->load())
            return;
        shared->follower = std::make_shared<MuteFollower>(makeTree(), pid, page, urlPlatform,
                                                          onChange, shared->ended);
    });
}

AccessibilityMuteWatcher::~AccessibilityMuteWatcher() {
    timer_.cancel();
    shared_->ended->store(true);
    // The tree's elements are released on the thread that used them.
    onQueue([shared = shared_] { shared->follower.reset(); });
}

void AccessibilityMuteWatcher::start() {
    if (timer_.isActive())
        return;
    std::weak_ptr<Shared> weak = shared_;
    timer_ = queue_->repeating(
        Executor::Duration(interval),
        [weak] {
            auto shared = weak.lock();
            if (shared && shared->follower)
                shared->follower->tick();
        },
        Executor::Duration::zero());
}

void AccessibilityMuteWatcher::stop() {
    timer_.cancel();
    timer_ = TaskHandle();
}

void AccessibilityMuteWatcher::onQueue(const std::function<void()>& task) {
    if (auto serial = std::dynamic_pointer_cast<SerialQueue>(queue_)) {
        serial->sync(task);
        return;
    }
    // Any other executor (a test's) runs on the caller's thread.
    task();
}

} // namespace tallyvox
