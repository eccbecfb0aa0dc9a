// The meeting roster from the desktop's calendar service: a real Evolution Data Server (source
// registry and calendar factory, started by a private session bus from the system's service
// files) over calendars written into a temporary home; and a registry that never answers.
#include "desktop_bus_fakes.h"

#include "app/linux/EdsCalendar.h"
#include "app/linux/LinuxPlatformServices.h"
#include "base/Log.h"
#include "fakes/ManualExecutor.h"
#include "fakes/TempDir.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <unistd.h>

using namespace tallyvox;
using namespace tallyvox::linux_services;
using tallyvox::testing::BusDaemon;
using tallyvox::testing::FakeService;
using tallyvox::testing::ManualClock;
using tallyvox::testing::ManualExecutor;
using tallyvox::testing::ScopedEnv;
using tallyvox::testing::TempDir;
using tallyvox::testing::waitUntil;

namespace {

namespace fs = std::filesystem;

constexpr const char* registryExecutable = "/usr/libexec/evolution-source-registry";
constexpr const char* factoryExecutable = "/usr/libexec/evolution-calendar-factory";

// Generous: the first question starts the registry, the factory and a backend process.
const EdsCalendar::Limits patient{std::chrono::milliseconds(20000),
                                  std::chrono::milliseconds(40000)};

std::string utc(SystemTime time) {
    std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    ::gmtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &parts);
    return text;
}

std::string floating(SystemTime time) {
    std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm parts{};
    ::localtime_r(&t, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &parts);
    return text;
}

std::string localDate(SystemTime time, int days = 0) {
    std::time_t t = std::chrono::system_clock::to_time_t(time) + days * 86400;
    std::tm parts{};
    ::localtime_r(&t, &parts);
    char text[16];
    std::strftime(text, sizeof text, "%Y%m%d", &parts);
    return text;
}

// Local time in another zone for one test (set before the bus starts its services).
class ScopedZone {
public:
    explicit ScopedZone(const std::string& name)
        : env_("TZ", name) {
        ::tzset();
    }

private:
    struct Reread {
        ~Reread() { ::tzset(); }
    } reread_; // after the variable is put back
    ScopedEnv env_;
};

// A home of the test's own: the calendar service keeps its sources under the configuration
// folder and a local calendar's events under the data folder. The bus starts after the
// folders are set, so the services it starts read them.
class CalendarHome {
public:
    CalendarHome()
        : home_("HOME", dir_.path().string())
        , config_("XDG_CONFIG_HOME", (dir_ / "config").string())
        , data_("XDG_DATA_HOME", (dir_ / "data").string())
        , cache_("XDG_CACHE_HOME", (dir_ / "cache").string())
        , runtime_("XDG_RUNTIME_DIR", (dir_ / "run").string())
        , settings_("GSETTINGS_BACKEND", "memory") {
        fs::create_directories(dir_ / "config" / "evolution" / "sources");
        fs::create_directories(dir_ / "run");
        fs::permissions(dir_ / "run", fs::perms::owner_all, fs::perm_options::replace);
    }

    // A local calendar: its source key file and its iCalendar file. Written before the
    // registry starts, which reads the sources folder once.
    void addCalendar(const std::string& uid, const std::string& name, bool enabled,
                     const std::string& events) {
        std::ofstream(dir_ / "config" / "evolution" / "sources" / (uid + ".source"))
            << "[Data Source]\nDisplayName=" << name << "\nEnabled=" << (enabled ? "true" : "false")
            << "\nParent=local-stub\n\n[Calendar]\nBackendName=local\n";
        auto folder = dir_ / "data" / "evolution" / "calendar" / uid;
        fs::create_directories(folder);
        std::ofstream(folder / "calendar.ics")
            << "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Tallyvox tests//EN\r\n"
            << events << "END:VCALENDAR\r\n";
    }

    // Starts the private bus; its services start on first use.
    bool startBus() {
        daemon_ = std::make_unique<BusDaemon>();
        if (!daemon_->ok())
            return false;
        bus_ = std::make_unique<ScopedEnv>("DBUS_SESSION_BUS_ADDRESS", daemon_->address());
        return true;
    }

private:
    TempDir dir_;
    ScopedEnv home_, config_, data_, cache_, runtime_, settings_;
    std::unique_ptr<BusDaemon> daemon_;
    std::unique_ptr<ScopedEnv> bus_;
};

std::string event(const std::string& uid, const std::string& lines) {
    return "BEGIN:VEVENT\r\nUID:" + uid + "\r\nDTSTAMP:20260101T000000Z\r\n" + lines +
           "END:VEVENT\r\n";
}

std::string timed(SystemTime start, SystemTime end) {
    return "DTSTART:" + utc(start) + "\r\nDTEND:" + utc(end) + "\r\n";
}

// The registry's object manager, answering nothing until told to.
constexpr const char* objectManagerXml = R"(<node>
  <interface name="org.freedesktop.DBus.ObjectManager">
    <method name="GetManagedObjects">
      <arg type="a{oa{sa{sv}}}" direction="out"/>
    </method>
  </interface>
</node>)";

} // namespace

TEST(EdsCalendar, TheMeetingNowComesBackFromTheDesktopCalendarService) {
    for (const char* tool : {"/usr/bin/dbus-daemon", registryExecutable, factoryExecutable})
        if (::access(tool, X_OK) != 0)
            GTEST_SKIP() << tool
                         << " is not installed (Debian: dbus-daemon, evolution-data-server)";

    // Far from UTC, so a time without a zone read as UTC would miss the meeting.
    ScopedZone zone("America/New_York");
    CalendarHome home;
    auto now = std::chrono::system_clock::now();
    auto at = [&](double seconds) { return addSeconds(now, seconds); };
    home.addCalendar(
        "work", "Work", true,
        // Listed first by start: all day, and one that ended a minute ago.
        event("offsite", "DTSTART;VALUE=DATE:" + localDate(now, -1) +
                             "\r\nDTEND;VALUE=DATE:" + localDate(now, 2) +
                             "\r\nSUMMARY:Offsite\r\nLOCATION:https://zoom.us/j/1\r\n") +
            event("earlier", timed(at(-3000), at(-60)) +
                                 "SUMMARY:Earlier call\r\nURL:https://zoom.us/j/2\r\n") +
            // Written in local time without a zone, as some calendars store their events.
            event("teams", "DTSTART:" + floating(at(-900)) + "\r\nDTEND:" + floating(at(900)) +
                               "\r\nSUMMARY:Teams review\r\nDESCRIPTION:Join: "
                               "https://teams.microsoft.com/l/meetup-join/3\r\n") +
            event("sync", timed(at(-600), at(1800)) +
                              "SUMMARY:Weekly sync\r\nURL:https://US02WEB.zoom.us/j/812\r\n"
                              "ATTENDEE;CN=Ann Bell:mailto:ann@example.com\r\n"
                              "ATTENDEE:mailto:nobody@example.com\r\n"
                              "ATTENDEE;CN=\"Lee, Sam\":mailto:sam@example.com\r\n") +
            // A daily meeting first held a week ago: only its occurrence today is now.
            event("standup", timed(at(-7 * 86400 - 300), at(-7 * 86400 + 600)) +
                                 "RRULE:FREQ=DAILY\r\nSUMMARY:Stand-up\r\n"
                                 "LOCATION:meet.google.com/abc-defg-hij\r\n"));
    // Named to come first; switched off, so never read.
    home.addCalendar(
        "old", "Archive", false,
        event("hidden", timed(at(-60), at(600)) + "SUMMARY:Hidden\r\nURL:https://zoom.us/j/9\r\n"));
    ASSERT_TRUE(home.startBus()) << "dbus-daemon did not start";

    Log::Capture log;
    EdsCalendar calendar(patient);
    EXPECT_TRUE(calendar.isAllowed());

    auto zoom = calendar.current(Platform::zoom, now);
    ASSERT_TRUE(zoom) << "the Zoom meeting now was not found; the log: "
                      << ::testing::PrintToString(log.texts());
    EXPECT_EQ(zoom->title, "Weekly sync");
    EXPECT_EQ(zoom->names, (std::vector<std::string>{"Ann Bell", "Lee, Sam"}));

    auto teams = calendar.current(Platform::teams, now);
    ASSERT_TRUE(teams);
    EXPECT_EQ(teams->title, "Teams review");
    EXPECT_TRUE(teams->names.empty());

    auto meet = calendar.current(Platform::meet, now);
    ASSERT_TRUE(meet) << "a repeating meeting is found by its occurrence today";
    EXPECT_EQ(meet->title, "Stand-up");

    EXPECT_FALSE(calendar.current(Platform::zoom, at(4 * 3600)))
        << "hours later, nothing is running";

    // The product's own wiring asks the same service.
    ManualClock clock;
    ManualExecutor main(clock);
    auto services = linuxPlatformServices(main, clock, "/usr/bin/true");
    ASSERT_TRUE(services.calendarRoster);
    auto roster = services.calendarRoster(Platform::zoom, now);
    ASSERT_TRUE(roster);
    EXPECT_EQ(roster->title, "Weekly sync");
    EXPECT_EQ(roster->names, zoom->names);
}

TEST(EdsCalendar, AHungCalendarServiceCostsTheSessionStartOnlyTheWait) {
    if (::access("/usr/bin/dbus-daemon", X_OK) != 0)
        GTEST_SKIP() << "dbus-daemon is not installed";
    ASSERT_TRUE(waitUntil([] { return EdsCalendar::unanswered() == 0; }, 30));
    TempDir home;
    ScopedEnv runtime("XDG_RUNTIME_DIR", home.path().string());
    BusDaemon daemon;
    ASSERT_TRUE(daemon.ok()) << "dbus-daemon did not start";
    ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", daemon.address());

    std::mutex mutex;
    std::vector<GDBusMethodInvocation*> pending;
    auto registry = std::make_unique<FakeService>(
        G_BUS_TYPE_SESSION, "org.gnome.evolution.dataserver.Sources5",
        "/org/gnome/evolution/dataserver/SourceManager", objectManagerXml,
        [&](const std::string&, GVariant*, GDBusMethodInvocation* invocation) {
            std::lock_guard lock(mutex);
            pending.push_back(static_cast<GDBusMethodInvocation*>(g_object_ref(invocation)));
        });

    Log::Capture log;
    EdsCalendar calendar; // the product's waits
    auto began = std::chrono::steady_clock::now();
    EXPECT_FALSE(calendar.current(Platform::zoom, std::chrono::system_clock::now()));
    double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 2.5) << "the session start waited " << waited << " s for the calendar";
    EXPECT_TRUE(log.contains("Calendar service did not answer within 1000 ms"));

    // While that question hangs, the next one does not wait at all.
    began = std::chrono::steady_clock::now();
    EXPECT_FALSE(calendar.isAllowed());
    EXPECT_FALSE(
        calendar.events(std::chrono::system_clock::now(), std::chrono::system_clock::now()));
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), 0.5);
    EXPECT_TRUE(log.contains(
        "Calendar not read: the calendar service has not answered an earlier question"));

    // Once the service answers (here: refuses), the stuck thread ends.
    {
        std::lock_guard lock(mutex);
        for (auto* invocation : pending)
            g_dbus_method_invocation_return_dbus_error(
                invocation, "org.freedesktop.DBus.Error.Failed", "shutting down");
        pending.clear();
    }
    registry.reset();
    EXPECT_TRUE(waitUntil([] { return EdsCalendar::unanswered() == 0; }, 30));
}

TEST(EdsCalendar, WithoutASessionBusThereIsNoRosterAndALogLine) {
    ASSERT_TRUE(waitUntil([] { return EdsCalendar::unanswered() == 0; }, 30));
    Log::Capture log;
    {
        ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", std::nullopt);
        ScopedEnv runtime("XDG_RUNTIME_DIR", std::nullopt);
        EdsCalendar calendar;
        EXPECT_FALSE(calendar.isAllowed());
        EXPECT_FALSE(calendar.current(Platform::zoom, std::chrono::system_clock::now()));
        EXPECT_TRUE(log.contains("Calendar not read: no session bus"));
    }
    {
        TempDir nowhere;
        ScopedEnv bus("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (nowhere / "bus").string());
        EdsCalendar calendar;
        EXPECT_FALSE(calendar.isAllowed());
        EXPECT_FALSE(calendar.current(Platform::zoom, std::chrono::system_clock::now()));
        auto said = log.texts();
        EXPECT_TRUE(std::any_of(said.begin(), said.end(), [](const std::string& line) {
            return line.starts_with("Calendar service unavailable: ");
        })) << ::testing::PrintToString(said);
    }
}
