// The desktop app's windows as a screen reader meets them: a separate process on a virtual X
// display whose accessibility tree is read here over a private session's AT-SPI2 bus. Every
// control a user can operate must say what it is and take keyboard focus.
#include "app/linux/AccessibilityBus.h"
#include "fakes/AccessibleDesktop.h"
#include "fakes/PipedChild.h"
#include "fakes/TempDir.h"

#include <atspi/atspi.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <set>
#include <thread>
#include <unistd.h>

namespace tallyvox::testing {
namespace {

using namespace std::chrono_literals;

std::string take(gchar* text, GError* error) {
    if (error)
        g_error_free(error);
    std::string out = text ? text : "";
    g_free(text);
    return out;
}

std::string nameOf(AtspiAccessible* object) {
    GError* error = nullptr;
    return take(atspi_accessible_get_name(object, &error), error);
}

AtspiRole roleOf(AtspiAccessible* object) {
    GError* error = nullptr;
    AtspiRole role = atspi_accessible_get_role(object, &error);
    if (error) {
        g_error_free(error);
        return ATSPI_ROLE_INVALID;
    }
    return role;
}

std::set<AtspiStateType> statesOf(AtspiAccessible* object) {
    std::set<AtspiStateType> out;
    AtspiStateSet* set = atspi_accessible_get_state_set(object);
    if (!set)
        return out;
    GArray* states = atspi_state_set_get_states(set);
    for (guint i = 0; states && i < states->len; ++i)
        out.insert(g_array_index(states, AtspiStateType, i));
    if (states)
        g_array_free(states, TRUE);
    g_object_unref(set);
    return out;
}

// Owned references to an object's children.
std::vector<AtspiAccessible*> childrenOf(AtspiAccessible* object) {
    std::vector<AtspiAccessible*> out;
    GError* error = nullptr;
    gint count = atspi_accessible_get_child_count(object, &error);
    if (error) {
        g_error_free(error);
        return out;
    }
    for (gint i = 0; i < count && i < 1000; ++i) {
        GError* failed = nullptr;
        AtspiAccessible* child = atspi_accessible_get_child_at_index(object, i, &failed);
        if (failed)
            g_error_free(failed);
        if (child)
            out.push_back(child);
    }
    return out;
}

void release(std::vector<AtspiAccessible*>& objects) {
    for (auto* object : objects)
        if (object)
            g_object_unref(object);
    objects.clear();
}

// The roles of what a user operates. Text counts only where it can be typed into: labels and
// read-only text are read out, not operated.
bool isControl(AtspiRole role, const std::set<AtspiStateType>& states) {
    switch (role) {
    case ATSPI_ROLE_PUSH_BUTTON:
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
    case ATSPI_ROLE_TOGGLE_BUTTON:
    case ATSPI_ROLE_CHECK_BOX:
    case ATSPI_ROLE_RADIO_BUTTON:
    case ATSPI_ROLE_COMBO_BOX:
    case ATSPI_ROLE_SLIDER:
    case ATSPI_ROLE_SPIN_BUTTON:
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
    case ATSPI_ROLE_TREE:
    case ATSPI_ROLE_TABLE:
    case ATSPI_ROLE_PAGE_TAB:
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_PASSWORD_TEXT:
        return true;
    case ATSPI_ROLE_TEXT:
        return states.contains(ATSPI_STATE_EDITABLE);
    default:
        return false;
    }
}

// Walks the controls shown under `object`: what is hidden cannot be reached, and a combo
// box's closed list is not shown.
using Visit =
    std::function<void(AtspiAccessible* object, AtspiAccessible* parent, const std::string& where)>;
void walk(AtspiAccessible* object, const std::string& where, const Visit& visit, int depth = 0) {
    auto children = childrenOf(object);
    for (auto* child : children) {
        auto states = statesOf(child);
        if (!states.contains(ATSPI_STATE_SHOWING))
            continue;
        const std::string name = nameOf(child);
        const std::string here = where + " › " +
                                 take(atspi_accessible_get_role_name(child, nullptr), nullptr) +
                                 (name.empty() ? "" : " “" + name + "”");
        visit(child, object, here);
        if (depth < 40)
            walk(child, here, visit, depth + 1);
    }
    release(children);
}

// What is wrong with each control shown in a window, one line each; the names of those
// checked go to `seen`.
std::vector<std::string> faults(AtspiAccessible* window, const std::string& title,
                                std::set<std::string>& seen) {
    std::vector<std::string> out;
    atspi_accessible_clear_cache(window);
    walk(window, title,
         [&](AtspiAccessible* object, AtspiAccessible* parent, const std::string& where) {
             auto states = statesOf(object);
             if (!isControl(roleOf(object), states))
                 return;
             std::string name = nameOf(object);
             seen.insert(name);
             if (name.find_first_not_of(" \t\n") == std::string::npos)
                 out.push_back(where + ": no accessible name");
             // A disabled control takes no focus until it is enabled, and a button inside a field
             // (its clear button) does what the field's own keys do.
             const bool inField = statesOf(parent).contains(ATSPI_STATE_EDITABLE);
             if (states.contains(ATSPI_STATE_ENABLED) && !inField &&
                 !states.contains(ATSPI_STATE_FOCUSABLE))
                 out.push_back(where + ": cannot take keyboard focus");
         });
    return out;
}

// The application object of `pid` on the bus, once it has shown `windows` windows (owned);
// null when it did not in time. The client joins the bus a while after it starts.
AtspiAccessible* application(pid_t pid, std::size_t windows, std::chrono::seconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (std::chrono::steady_clock::now() < deadline) {
        AtspiAccessible* desktop = atspi_get_desktop(0);
        atspi_accessible_clear_cache(desktop);
        auto apps = childrenOf(desktop);
        g_object_unref(desktop);
        AtspiAccessible* found = nullptr;
        for (auto*& app : apps) {
            GError* error = nullptr;
            guint appPid = atspi_accessible_get_process_id(app, &error);
            if (error)
                g_error_free(error);
            else if (static_cast<pid_t>(appPid) == pid)
                std::swap(found, app);
        }
        release(apps);
        if (found) {
            auto shown = childrenOf(found);
            const bool all = shown.size() >= windows;
            release(shown);
            if (all)
                return found;
            g_object_unref(found);
        }
        std::this_thread::sleep_for(100ms);
    }
    return nullptr;
}

// Qt marks the current tab focused rather than selected.
bool current(AtspiAccessible* tab) {
    auto states = statesOf(tab);
    return states.contains(ATSPI_STATE_SELECTED) || states.contains(ATSPI_STATE_FOCUSED);
}

TEST(AccessibilityBus, EveryControlShownHasANameAndTakesKeyboardFocus) {
    AccessibleDesktop desktop("1600x1200x24", 60s);
    if (!desktop.missing.empty())
        GTEST_SKIP() << desktop.missing << " is not installed";
    ASSERT_TRUE(desktop.failed.empty()) << desktop.failed;
    auto env = desktop.env;
    ASSERT_TRUE(linux_services::AccessibilityBus::enable());

    env["QT_QPA_PLATFORM"] = "xcb";
    env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1";
    env["QT_ACCESSIBILITY"] = "1";
    PipedChild scene({TALLYVOX_ACCESSIBILITY_SCENE}, env);
    ASSERT_EQ(scene.line(120s), std::optional<std::string>("ready"));

    ASSERT_LE(atspi_init(), 1) << "no accessibility bus";
    atspi_set_timeout(20000, 20000);
    // The panel, the live transcript, the settings and the past search. Popups are not
    // windows of the application on the bus (screen readers meet them through focus): the
    // in-process test covers the Fix a Word popover.
    AtspiAccessible* app = application(scene.pid(), 4, 120s);
    ASSERT_NE(app, nullptr) << "the app's windows did not appear on the accessibility bus";

    std::set<std::string> problems;
    std::set<std::string> titles, controls;
    auto windows = childrenOf(app);
    for (auto* window : windows) {
        const std::string title = nameOf(window);
        titles.insert(title);
        for (auto& problem : faults(window, title, controls))
            problems.insert(problem);
        // Each settings tab in turn, chosen as a screen reader user does: the tab's action.
        std::vector<AtspiAccessible*> tabs;
        walk(window, title, [&](AtspiAccessible* object, AtspiAccessible*, const std::string&) {
            if (roleOf(object) == ATSPI_ROLE_PAGE_TAB)
                tabs.push_back(static_cast<AtspiAccessible*>(g_object_ref(object)));
        });
        for (auto* tab : tabs) {
            if (current(tab))
                continue;
            AtspiAction* action = atspi_accessible_get_action_iface(tab);
            ASSERT_NE(action, nullptr) << nameOf(tab) << " has no action";
            GError* error = nullptr;
            EXPECT_TRUE(atspi_action_do_action(action, 0, &error)) << nameOf(tab);
            if (error)
                g_error_free(error);
            g_object_unref(action);
            const auto deadline = std::chrono::steady_clock::now() + 30s;
            while (!current(tab) && std::chrono::steady_clock::now() < deadline) {
                atspi_accessible_clear_cache(tab);
                std::this_thread::sleep_for(50ms);
            }
            EXPECT_TRUE(current(tab)) << nameOf(tab) << " was not chosen";
            for (auto& problem : faults(window, title, controls))
                problems.insert(problem);
        }
        release(tabs);
    }
    release(windows);

    // The panel once the meeting is over: the saved transcript and its export menu.
    scene.write("stop\n");
    ASSERT_EQ(scene.line(60s), std::optional<std::string>("ready"));
    windows = childrenOf(app);
    for (auto* window : windows) {
        if (nameOf(window) != "Tallyvox")
            continue;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        std::vector<std::string> found;
        do {
            found = faults(window, "Tallyvox (saved)", controls);
            if (!controls.contains("Export"))
                std::this_thread::sleep_for(100ms);
        } while (!controls.contains("Export") && std::chrono::steady_clock::now() < deadline);
        problems.insert(found.begin(), found.end());
    }
    release(windows);
    g_object_unref(app);

    for (const char* title :
         {"Tallyvox", "Tallyvox Settings", "Live Transcript", "Past Transcripts"})
        EXPECT_TRUE(titles.contains(title)) << "no window " << title;
    // One control of each window and settings tab, so a walk that missed one fails.
    for (const char* name : {"Stop", "Search transcript", "Search past transcripts", "My name",
                             "Update text every", "Transcribe meetings automatically", "Export"})
        EXPECT_TRUE(controls.contains(name)) << "no control " << name << " was checked";
    std::string report;
    for (auto& problem : problems)
        report += problem + "\n";
    EXPECT_TRUE(problems.empty()) << report;
    scene.write("quit\n");
}

} // namespace
} // namespace tallyvox::testing
