#include "audio/AccessibilityMuteWatcher.h"
#include "base/Log.h"
#include "base/SerialQueue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace tallyvox;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// An element of a made-up app; counts how often its controls were asked for.
struct FakeElement : AccessibleElement {
    std::optional<std::string> nameText;
    std::optional<std::string> descriptionText;
    Role kind = Role::other;
    std::optional<std::string> address;
    std::optional<double> number;
    States flags;
    std::vector<std::shared_ptr<FakeElement>> kids;
    bool answers = true;
    std::atomic<int> reads = 0;

    std::optional<std::string> name() override {
        ++reads;
        return answers ? nameText : std::nullopt;
    }
    std::optional<std::string> description() override {
        return answers ? descriptionText : std::nullopt;
    }
    std::optional<std::string> helpText() override { return std::nullopt; }
    std::optional<Role> role() override {
        return answers ? std::optional<Role>(kind) : std::nullopt;
    }
    std::optional<std::string> url() override { return answers ? address : std::nullopt; }
    std::optional<double> value() override { return answers ? number : std::nullopt; }
    std::optional<States> states() override {
        return answers ? std::optional<States>(flags) : std::nullopt;
    }
    std::optional<std::vector<std::shared_ptr<AccessibleElement>>>
    children(std::size_t limit) override {
        if (!answers)
            return std::nullopt;
        std::vector<std::shared_ptr<AccessibleElement>> out;
        for (const auto& kid : kids) {
            if (out.size() == limit)
                break;
            out.push_back(kid);
        }
        return out;
    }
};

// A push button by default, as the meeting apps' controls are.
std::shared_ptr<FakeElement> element(std::optional<std::string> name = std::nullopt) {
    auto e = std::make_shared<FakeElement>();
    e->nameText = std::move(name);
    e->kind = AccessibleElement::Role::button;
    return e;
}

std::shared_ptr<FakeElement> text(std::string words) {
    auto e = element(std::move(words));
    e->kind = AccessibleElement::Role::other;
    return e;
}

std::shared_ptr<FakeElement> page(std::string url) {
    auto e = element();
    e->kind = AccessibleElement::Role::webArea;
    e->address = std::move(url);
    return e;
}

std::shared_ptr<FakeElement> with(std::shared_ptr<FakeElement> parent,
                                  std::vector<std::shared_ptr<FakeElement>> kids) {
    parent->kids = std::move(kids);
    return parent;
}

struct FakeTree : AccessibilityTree {
    std::shared_ptr<FakeElement> app;
    std::chrono::milliseconds timeout{0};
    std::chrono::milliseconds* timeoutSeen = nullptr;

    void setTimeout(std::chrono::milliseconds t) override {
        timeout = t;
        if (timeoutSeen)
            *timeoutSeen = t;
    }
    std::shared_ptr<AccessibleElement> application(std::int32_t) override { return app; }
};

std::optional<Platform> urlPlatform(std::string_view url) {
    if (url.find("meet.example") != std::string_view::npos)
        return Platform::meet;
    if (url.find("teams.example") != std::string_view::npos)
        return Platform::teams;
    return std::nullopt;
}

struct Follower {
    std::vector<std::optional<bool>> reported;
    std::unique_ptr<MuteFollower> follower;

    Follower(std::shared_ptr<FakeElement> app, std::optional<Platform> meeting = std::nullopt) {
        auto tree = std::make_unique<FakeTree>();
        tree->app = std::move(app);
        follower = std::make_unique<MuteFollower>(
            std::move(tree), 42, meeting, urlPlatform,
            [this](std::optional<bool> state) { reported.push_back(state); });
    }
    void ticks(int n) {
        for (int i = 0; i < n; ++i)
            follower->tick();
    }
};

} // namespace

TEST(MuteFollower, FollowsTheButtonOfANativeApp) {
    auto button = element("Mute (Ctrl+Alt+A)");
    auto app = with(
        element(), {with(element("Main window"), {element("Leave"), element("Mute all"), button})});
    Follower f(app);
    Log::Capture log;
    f.ticks(1);
    EXPECT_THAT(f.reported, ElementsAre(false));
    EXPECT_TRUE(log.contains("Found mute button: Mute (Ctrl+Alt+A)"));
    EXPECT_TRUE(log.contains("Meeting mute state: unmuted"));

    // The cached button is read again; no new walk while it answers.
    button->nameText = "Unmute (Ctrl+Alt+A)";
    f.ticks(3);
    EXPECT_THAT(f.reported, ElementsAre(false, true));
    EXPECT_EQ(f.follower->searches(), 1);
    EXPECT_TRUE(log.contains("Meeting mute state: muted"));
}

// Names of people and chat lines are text the meeting shows, not its controls: a participant
// called "Unmute" or a chat line "Mute" met first in the walk must not be taken for the button.
TEST(MuteFollower, OnlyButtonsTogglesAndMenuItemsAreTakenForTheMicrophoneControl) {
    {
        auto roster = with(text("Participants"), {text("Unmute"), text("Sam")});
        auto button = element("Turn off microphone");
        Follower f(with(element(), {roster, button}));
        f.ticks(1);
        EXPECT_THAT(f.reported, ElementsAre(false)) << "the real button says the mic is on";
    }
    {
        auto chat = with(text("Chat"), {text("Mute")});
        auto item = element("Turn on microphone");
        item->kind = AccessibleElement::Role::toggle;
        Follower f(with(element(), {chat, item}));
        f.ticks(1);
        EXPECT_THAT(f.reported, ElementsAre(true));
    }
    {
        Follower f(with(element(), {text("Mute"), text("Unmute")}));
        f.ticks(MuteTracker::patience);
        EXPECT_THAT(f.reported, ElementsAre(std::nullopt)) << "no control at all: unknown";
    }
}

TEST(MuteFollower, AMicrophoneToggleIsReadFromItsState) {
    auto toggle = element("Microphone");
    toggle->kind = AccessibleElement::Role::toggle;
    toggle->flags.pressed = true;
    Follower f(with(element(), {toggle}));
    f.ticks(1);
    toggle->flags.pressed = false;
    f.ticks(1);
    toggle->flags = {.checkable = true, .checked = true, .pressed = false};
    f.ticks(1);
    // A numeric value wins over the states.
    toggle->number = 0.0;
    f.ticks(1);
    EXPECT_THAT(f.reported, ElementsAre(false, true, false, true));
}

TEST(MuteFollower, ANativeAppWhoseButtonGoesTurnsUnknownAfterFiveTicks) {
    auto button = element("Unmute");
    auto window = with(element(), {button});
    Follower f(with(element(), {window}));
    f.ticks(1);
    // Gone, as when the meeting window is rebuilt.
    button->answers = false;
    window->kids.clear();
    f.ticks(4);
    EXPECT_THAT(f.reported, ElementsAre(true));
    EXPECT_EQ(f.follower->searches(), 5);
    f.ticks(1);
    EXPECT_THAT(f.reported, ElementsAre(true, std::nullopt));
    // Without a state, the walk is back to every tenth tick.
    window->kids = {element("Mute")};
    f.ticks(4);
    EXPECT_THAT(f.reported, ElementsAre(true, std::nullopt));
    f.ticks(1);
    EXPECT_THAT(f.reported, ElementsAre(true, std::nullopt, false));
}

TEST(MuteFollower, AWebMeetingKeepsItsStateWhenTheButtonGoes) {
    auto button = element("Turn on microphone");
    auto tab = with(page("https://meet.example/abc-defg-hij"), {button});
    Follower f(with(element(), {with(element("Browser window"), {tab})}), Platform::meet);
    f.ticks(1);
    button->answers = false;
    tab->kids.clear();
    f.ticks(12);
    EXPECT_THAT(f.reported, ElementsAre(true));
}

TEST(MuteFollower, SearchesOnTicksOneToFiveThenEveryTenth) {
    Follower f(with(element(), {element("Leave"), element("Chat")}));
    std::vector<int> searchedOn;
    for (int tick = 1; tick <= 31; ++tick) {
        int before = f.follower->searches();
        f.ticks(1);
        if (f.follower->searches() > before)
            searchedOn.push_back(tick);
    }
    EXPECT_THAT(searchedOn, ElementsAre(1, 2, 3, 4, 5, 11, 21, 31));
    // Unknown, said once at the fifth tick.
    EXPECT_THAT(f.reported, ElementsAre(std::nullopt));
}

TEST(MuteFollower, SaysWhatItSawWhenNothingIsFoundByTheFifthTick) {
    std::vector<std::shared_ptr<FakeElement>> kids;
    kids.push_back(element("Microphone settings"));
    kids.push_back(element("Mute notifications for thread number 0 of the channel again"));
    for (int i = 0; i < 20; ++i)
        kids.push_back(element("Mute notifications for thread number " + std::to_string(i) +
                               " of the channel"));
    Follower f(with(element(), kids));
    Log::Capture log;
    f.ticks(4);
    EXPECT_TRUE(log.texts().empty());
    f.ticks(1);
    auto texts = log.texts();
    ASSERT_FALSE(texts.empty());
    const auto& line = texts.front();
    EXPECT_THAT(line, HasSubstr("No mute button in 23 items. Near: "));
    // At most twelve labels, each cut to 40 bytes, sorted, without repeats.
    EXPECT_THAT(line, HasSubstr("Near: Microphone settings | Mute notifications for thread "
                                "number 0 o | Mute notifications for thread number 1 o | "));
    EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 11);
}

TEST(MuteFollower, NeverReadsAButtonInAnotherPlatformsPageOrAnotherPage) {
    auto elsewhere = element("Unmute");
    auto inTeams = element("Mute");
    auto inMeet = element("Turn off microphone");
    auto chrome =
        with(element("Browser window"),
             {element("Mute site"), with(page("https://teams.example/meeting"), {inTeams}),
              with(page("https://news.example/"), {elsewhere}),
              with(element("Tab strip"),
                   {with(page("https://meet.example/x"), {with(element(), {inMeet})})})});
    Follower f(with(element(), {chrome}), Platform::meet);
    f.ticks(1);
    EXPECT_THAT(f.reported, ElementsAre(false));
    EXPECT_EQ(inTeams->reads, 0);
    EXPECT_EQ(elsewhere->reads, 0);

    // With only the other pages left, no button is ever found.
    Follower g(with(element(), {with(element("Browser window"),
                                     {with(page("https://teams.example/m"), {element("Mute")}),
                                      with(page("https://news.example/"), {element("Unmute")})})}),
               Platform::meet);
    g.ticks(12);
    EXPECT_THAT(g.reported, ElementsAre(std::nullopt));
}

TEST(MuteFollower, VisitsAtMostFifteenThousandElements) {
    // A wide list first, the button beyond the bound.
    std::vector<std::shared_ptr<FakeElement>> rows;
    for (int i = 0; i < 20000; ++i)
        rows.push_back(element());
    auto list = with(element(), rows);
    auto button = element("Mute");
    auto app = with(element(), {list, with(element(), {button})});
    Follower f(app);
    Log::Capture log;
    f.ticks(5);
    EXPECT_THAT(f.reported, ElementsAre(std::nullopt));
    EXPECT_TRUE(log.contains("No mute button in 15000 items. Near: "));
    // The last within the bound was read by each of the five walks; the next never.
    EXPECT_EQ(rows[14996]->reads, 5);
    EXPECT_EQ(rows[14997]->reads, 0);
    EXPECT_EQ(button->reads, 0);

    // Within the bound it is found.
    rows.resize(14990);
    list->kids = rows;
    f.ticks(6);
    EXPECT_THAT(f.reported, ElementsAre(std::nullopt, false));
}

TEST(MuteFollower, AnAppThatDoesNotAnswerGivesNoAnswer) {
    auto button = element("Mute");
    auto app = with(element(), {button});
    Follower f(app);
    f.ticks(1);
    button->answers = false;
    app->answers = false;
    f.ticks(5);
    EXPECT_THAT(f.reported, ElementsAre(false, std::nullopt));
}

TEST(AccessibilityMuteWatcher, TicksOnItsOwnQueueFromTheStart) {
    auto button = element("Unmute");
    auto app = with(element(), {button});
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::optional<bool>> reported;
    std::chrono::milliseconds timeout{0};
    std::thread::id reportedOn;
    auto queue = std::make_shared<SerialQueue>("com.tallyvox.mute");
    {
        AccessibilityMuteWatcher watcher(
            [&] {
                auto tree = std::make_unique<FakeTree>();
                tree->app = app;
                tree->timeoutSeen = &timeout;
                return tree;
            },
            7, std::nullopt, urlPlatform,
            [&](std::optional<bool> state) {
                std::lock_guard hold(lock);
                reported.push_back(state);
                reportedOn = std::this_thread::get_id();
                changed.notify_all();
            },
            queue);
        watcher.start();
        std::unique_lock wait(lock);
        ASSERT_TRUE(
            changed.wait_for(wait, std::chrono::seconds(5), [&] { return !reported.empty(); }));
        wait.unlock();
        watcher.stop();
    }
    EXPECT_EQ(timeout, std::chrono::milliseconds(200));
    EXPECT_THAT(reported, ElementsAre(true));
    EXPECT_NE(reportedOn, std::this_thread::get_id());
    // Stopped and gone: nothing more runs.
    button->nameText = "Mute";
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    std::lock_guard hold(lock);
    EXPECT_THAT(reported, ElementsAre(true));
}

TEST(MuteFollower, AWalkEndsOnceCancelled) {
    auto button = element("Mute");
    auto app = with(element(), {with(element(), {button})});
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    auto tree = std::make_unique<FakeTree>();
    tree->app = app;
    std::vector<std::optional<bool>> reported;
    MuteFollower follower(
        std::move(tree), 1, std::nullopt, urlPlatform,
        [&](std::optional<bool> state) { reported.push_back(state); }, cancelled);
    cancelled->store(true);
    EXPECT_EQ(follower.search(), nullptr);
    EXPECT_EQ(button->reads, 0);
    cancelled->store(false);
    EXPECT_EQ(follower.search(), button);
}
