// The desktop app as a real process against the real sound server: a copy of pacat named
// "zoom" records and plays, `tallyvox` transcribes it under standing consent, and quitting
// (SIGTERM, or logind announcing a shutdown) must leave the transcript and its diagnostics
// on disk before the process ends. Run through scripts/with-sound-server.
#include "ChildProcess.h"
#include "SoundServerRequired.h"
#include "desktop_bus_fakes.h"

#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <map>
#include <optional>
#include <regex>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace tallyvox {
namespace {

namespace fs = std::filesystem;
using testing::BusDaemon;
using testing::closedByPeer;
using testing::FakeLogind;
using testing::FakeStatusNotifierWatcher;
using testing::ScopedEnv;
using testing::TempDir;
using testing::waitUntil;

using Process = testing::ChildProcess;
using testing::readText;
using testing::runToEnd;

struct DesktopProcess : ::testing::Test {
    TempDir dir;
    ScopedEnv home{"HOME", dir.path().string()};
    ScopedEnv config{"XDG_CONFIG_HOME", (dir / "config").string()};
    ScopedEnv data{"XDG_DATA_HOME", (dir / "data").string()};
    // No display needed; no desktop's session bus (notifications are not under test here).
    ScopedEnv platform{"QT_QPA_PLATFORM", "offscreen"};
    ScopedEnv sessionBus{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/session_bus"};
    fs::path zoom = dir / "zoom";
    fs::path out = dir / "app.out";
    fs::path err = dir / "app.err";
    fs::path speech = dir / "speech48.wav";

    void SetUp() override {
        REQUIRE_SOUND_SERVER();
        testing::prepareMeetingHome(dir.path(), zoom);
        if (HasFatalFailure())
            return;
        auto raw = (dir / "speech.wav").string();
        ASSERT_EQ(runToEnd({"espeak-ng", "-w", raw,
                            "Hello everyone, thanks for joining. Today we review the roadmap."}),
                  0);
        ASSERT_EQ(runToEnd({"sox", raw, "-r", "48000", "-c", "2", speech.string()}), 0);
    }

    std::unique_ptr<Process> startApp() {
        return std::make_unique<Process>(
            std::vector<std::string>{TALLYVOX_DESKTOP, "--trust-zoom", zoom.string()}, "/dev/null",
            out, err);
    }
    std::string log() const { return readText(err); }
    std::string report() const { return "\n--- stdout\n" + readText(out) + "\n--- log\n" + log(); }
    bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }

    // A meeting app that records and plays; returns once the app transcribes it and has
    // heard some speech.
    struct Meeting {
        std::unique_ptr<Process> recorder, silence;
        bool started = false;
    };
    Meeting startMeetingWithSpeech() {
        Meeting meeting;
        meeting.recorder = std::make_unique<Process>(
            std::vector<std::string>{zoom.string(), "--record"}, "/dev/null", "/dev/null");
        meeting.silence = std::make_unique<Process>(
            std::vector<std::string>{zoom.string(), "--playback"}, "/dev/zero");
        meeting.started = waitUntil(
            [&] {
                return logged("Transcribing Zoom-" + std::to_string(meeting.recorder->pid())) &&
                       !saved(false, false).empty();
            },
            60);
        if (meeting.started) {
            meeting.silence.reset();
            Process player({zoom.string(), "--playback", speech.string(), "--file-format=wav"});
            meeting.started = player.exitStatus(60) == 0;
        }
        return meeting;
    }

    // The transcript (or its diagnostics) in the transcripts folder; empty when there is none.
    fs::path saved(bool diagnostics, bool expectOne = true) const {
        std::vector<fs::path> found;
        auto root = dir / "Documents/Tallyvox";
        std::error_code error;
        if (fs::exists(root, error))
            for (const auto& entry : fs::recursive_directory_iterator(root, error)) {
                auto name = entry.path().filename().string();
                if (name.ends_with(".txt") && name.ends_with(".diagnostics.txt") == diagnostics)
                    found.push_back(entry.path());
            }
        if (expectOne) {
            EXPECT_EQ(found.size(), 1u) << (diagnostics ? "diagnostics" : "transcripts");
        }
        return found.empty() ? fs::path() : found.front();
    }

    // What quitting during a meeting must leave: a finished transcript and its report.
    void expectSavedOnQuit() {
        EXPECT_TRUE(logged("Transcription stopped: app quitting")) << report();
        auto transcript = readText(saved(false));
        EXPECT_TRUE(transcript.starts_with("Meeting: Zoom Meeting\nPlatform: Zoom\n"))
            << transcript;
        EXPECT_NE(transcript.find("\nEnd: "), std::string::npos) << "not finished:\n" << transcript;
        auto numbers = readText(saved(true));
        EXPECT_NE(numbers.find("\n3. Transcript\n"), std::string::npos) << numbers;
    }
};

// Tools the display tests need, installed by scripts/bootstrap: their absence fails where
// the suite must run everything, and skips elsewhere.
bool haveTools(std::initializer_list<const char*> tools, std::string& missing) {
    for (const char* tool : tools)
        if (::access(tool, X_OK) != 0)
            missing = tool;
    return missing.empty();
}

// A call on the test's own connection to the session bus; nullptr (and a failure) when it
// fails.
GVariant* call(GDBusConnection* bus, const std::string& service, const char* path,
               const char* interface, const char* method, GVariant* args, const char* reply) {
    GError* error = nullptr;
    GVariant* result = g_dbus_connection_call_sync(bus, service.c_str(), path, interface, method,
                                                   args, G_VARIANT_TYPE(reply),
                                                   G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, &error);
    if (!result) {
        ADD_FAILURE() << method << ": " << (error ? error->message : "failed");
        g_clear_error(&error);
    }
    return result;
}

// The labels and ids of a dbusmenu layout's top-level items.
std::map<std::string, std::int32_t> menuItems(GVariant* layout) {
    std::map<std::string, std::int32_t> items;
    GVariant* root = g_variant_get_child_value(layout, 1); // (ia{sv}av)
    GVariant* children = g_variant_get_child_value(root, 2);
    for (gsize i = 0; i < g_variant_n_children(children); ++i) {
        GVariant* boxed = g_variant_get_child_value(children, i);
        GVariant* item = g_variant_get_variant(boxed);
        std::int32_t id = 0;
        GVariant* properties = nullptr;
        g_variant_get_child(item, 0, "i", &id);
        properties = g_variant_get_child_value(item, 1);
        const gchar* label = nullptr;
        if (g_variant_lookup(properties, "label", "&s", &label))
            items[label] = id;
        g_variant_unref(properties);
        g_variant_unref(item);
        g_variant_unref(boxed);
    }
    g_variant_unref(children);
    g_variant_unref(root);
    return items;
}

} // namespace

TEST_F(DesktopProcess, TermDuringAMeetingSavesTheTranscriptThenExits) {
    auto app = startApp();
    auto meeting = startMeetingWithSpeech();
    ASSERT_TRUE(meeting.started) << report();

    app->signal(SIGTERM);
    EXPECT_EQ(app->exitStatus(180), 0) << report();
    expectSavedOnQuit();
    // The meeting app is still in the call: only the quit ended the session.
    EXPECT_EQ(::kill(meeting.recorder->pid(), 0), 0);
}

TEST_F(DesktopProcess, ShutdownWaitsForTheSavedTranscriptThenTheAppQuits) {
    BusDaemon daemon;
    ASSERT_TRUE(daemon.ok()) << "dbus-daemon did not start";
    ScopedEnv systemBus("DBUS_SYSTEM_BUS_ADDRESS", daemon.address());
    FakeLogind logind;

    auto app = startApp();
    ASSERT_TRUE(waitUntil([&] { return logind.count("shutdown/delay") == 1; }, 30))
        << "no shutdown inhibitor taken" << report();
    auto meeting = startMeetingWithSpeech();
    ASSERT_TRUE(meeting.started) << report();

    int inhibitor = logind.readEnd("shutdown/delay");
    EXPECT_FALSE(closedByPeer(inhibitor));
    logind.prepareForShutdown(true);
    // The system may go on only once everything is on disk.
    ASSERT_TRUE(waitUntil([&] { return closedByPeer(inhibitor); }, 180)) << report();
    EXPECT_FALSE(saved(true, false).empty()) << "released before the diagnostics were written";
    EXPECT_NE(readText(saved(false)).find("\nEnd: "), std::string::npos)
        << "released before the transcript was finished";
    EXPECT_EQ(app->exitStatus(60), 0) << report();
    EXPECT_TRUE(logged("The system is shutting down")) << report();
    expectSavedOnQuit();
}

TEST_F(DesktopProcess, ASecondLaunchShowsTheRunningAppAndEnds) {
    auto app = startApp();
    ASSERT_TRUE(waitUntil([&] { return logged("Tallyvox ") && logged(" started"); }, 60))
        << report();
    fs::path secondOut = dir / "second.out";
    Process second({TALLYVOX_DESKTOP}, "/dev/null", secondOut, dir / "second.err");
    EXPECT_EQ(second.exitStatus(60), 0);
    EXPECT_NE(readText(secondOut).find("already running"), std::string::npos)
        << readText(secondOut);
    EXPECT_EQ(::kill(app->pid(), 0), 0) << "the first one runs on";
    app->signal(SIGTERM);
    EXPECT_EQ(app->exitStatus(60), 0) << report();
}

TEST_F(DesktopProcess, UnderWaylandThePanelIsAWindowWithTheMeetingAndTermSaves) {
    std::string missing;
    if (!haveTools({"/usr/bin/weston", "/usr/bin/weston-screenshooter"}, missing)) {
        const char* required = std::getenv("TALLYVOX_REQUIRE_SOUND_SERVER");
        if (required && std::string(required) == "1")
            FAIL() << missing << " is not installed";
        GTEST_SKIP() << missing << " is not installed";
    }
    // Weston's headless back-end: a real compositor that shows nothing. Privileged
    // protocols (--debug) let the screenshot tool in.
    const auto runtime = dir / "runtime";
    fs::create_directory(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    ScopedEnv runtimeDir("XDG_RUNTIME_DIR", runtime.string());
    Process weston({"weston", "--backend=headless-backend.so", "--socket=wayland-tallyvox",
                    "--use-pixman", "--width=900", "--height=700", "--idle-time=0", "--debug",
                    "--no-config"},
                   "/dev/null", dir / "weston.out", dir / "weston.err");
    ASSERT_TRUE(waitUntil([&] { return fs::exists(runtime / "wayland-tallyvox"); }, 30))
        << readText(dir / "weston.err");
    ScopedEnv display("WAYLAND_DISPLAY", "wayland-tallyvox");
    ScopedEnv noX("DISPLAY", "");
    ScopedEnv platform("QT_QPA_PLATFORM", "wayland");

    auto app = startApp();
    // No tray host on this bus: the panel is a window at once, and says how to get a tray.
    ASSERT_TRUE(
        waitUntil([&] { return logged("No system tray: the panel is shown as a window"); }, 60))
        << report();
    EXPECT_TRUE(logged("Panel shown")) << report();
    EXPECT_FALSE(logged("Could not load the Qt platform plugin")) << report();
    auto meeting = startMeetingWithSpeech();
    ASSERT_TRUE(meeting.started) << report();
    // The call goes on, quietly, while its lines are awaited.
    Process stillInCall({zoom.string(), "--playback"}, "/dev/zero");
    // A line of the meeting is on screen in the panel once it is in the file.
    ASSERT_TRUE(waitUntil(
        [&] {
            return std::regex_search(readText(saved(false, false)),
                                     std::regex("\n\n\\[[0-9:]{8}\\][^\n]*\n\\S"));
        },
        180))
        << report() << readText(saved(false, false));

    const char* keep = std::getenv("TALLYVOX_SCREENSHOTS");
    const fs::path shots = keep ? fs::path(keep) : dir / "shots";
    fs::create_directories(shots);
    Process shooter({"sh", "-c", "cd \"$0\" && exec weston-screenshooter", shots.string()},
                    "/dev/null", dir / "shot.out", dir / "shot.err");
    ASSERT_EQ(shooter.exitStatus(30), 0) << readText(dir / "shot.err");
    for (const auto& entry : fs::directory_iterator(shots)) {
        const auto name = entry.path().filename().string();
        if (!name.starts_with("wayland-screenshot-"))
            continue;
        EXPECT_GT(fs::file_size(entry.path()), 10000u) << "an empty screen";
        fs::rename(entry.path(), shots / "panel-wayland.png");
    }
    EXPECT_TRUE(fs::exists(shots / "panel-wayland.png"));

    app->signal(SIGTERM);
    EXPECT_EQ(app->exitStatus(180), 0) << report();
    expectSavedOnQuit();
}

TEST_F(DesktopProcess, TheTrayItemRegistersWithTheTrayHostWhoseMenuOpensThePanel) {
    std::string missing;
    if (!haveTools({"/usr/bin/Xvfb"}, missing)) {
        const char* required = std::getenv("TALLYVOX_REQUIRE_SOUND_SERVER");
        if (required && std::string(required) == "1")
            FAIL() << missing << " is not installed";
        GTEST_SKIP() << missing << " is not installed";
    }
    const auto displayFile = dir / "display";
    Process xvfb({"Xvfb", "-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "800x600x24"},
                 "/dev/null", displayFile, dir / "xvfb.err");
    ASSERT_TRUE(
        waitUntil([&] { return readText(displayFile).find('\n') != std::string::npos; }, 30))
        << readText(dir / "xvfb.err");
    auto number = readText(displayFile);
    ScopedEnv display("DISPLAY", ":" + number.substr(0, number.find('\n')));
    ScopedEnv noWayland("WAYLAND_DISPLAY", "");
    ScopedEnv platform("QT_QPA_PLATFORM", "xcb");
    BusDaemon daemon;
    ASSERT_TRUE(daemon.ok()) << "dbus-daemon did not start";
    ScopedEnv session("DBUS_SESSION_BUS_ADDRESS", daemon.address());
    FakeStatusNotifierWatcher host;

    auto app = startApp();
    ASSERT_TRUE(waitUntil([&] { return !host.items().empty(); }, 60))
        << "the item never registered" << report();
    EXPECT_FALSE(logged("No system tray")) << report();
    EXPECT_FALSE(logged("Panel shown")) << "a tray app opens its panel when asked" << report();

    GError* error = nullptr;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        daemon.address().c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    ASSERT_TRUE(bus) << (error ? error->message : "");
    const std::string item = host.items().front();
    GVariant* menuPath =
        call(bus, item, "/StatusNotifierItem", "org.freedesktop.DBus.Properties", "Get",
             g_variant_new("(ss)", "org.kde.StatusNotifierItem", "Menu"), "(v)");
    ASSERT_TRUE(menuPath);
    GVariant* path = g_variant_get_child_value(menuPath, 0);
    GVariant* boxed = g_variant_get_variant(path);
    const std::string menu = g_variant_get_string(boxed, nullptr);
    g_variant_unref(boxed);
    g_variant_unref(path);
    g_variant_unref(menuPath);

    GVariant* layout =
        call(bus, item, menu.c_str(), "com.canonical.dbusmenu", "GetLayout",
             g_variant_new("(ii@as)", 0, -1, g_variant_new_strv(nullptr, 0)), "(u(ia{sv}av))");
    ASSERT_TRUE(layout);
    auto items = menuItems(layout);
    g_variant_unref(layout);
    for (const char* label : {"Open Tallyvox", "Show Live Transcript", "Search Past Transcripts…",
                              "Settings…", "Quit Tallyvox"})
        EXPECT_TRUE(items.count(label)) << label;

    auto click = [&](const std::string& label) {
        GVariant* done = call(
            bus, item, menu.c_str(), "com.canonical.dbusmenu", "Event",
            g_variant_new("(isvu)", items[label], "clicked", g_variant_new_int32(0), 0u), "()");
        if (done)
            g_variant_unref(done);
    };
    click("Open Tallyvox");
    EXPECT_TRUE(waitUntil([&] { return logged("Panel shown"); }, 30)) << report();
    click("Quit Tallyvox");
    EXPECT_EQ(app->exitStatus(60), 0) << report();
    g_object_unref(bus);
}

} // namespace tallyvox
