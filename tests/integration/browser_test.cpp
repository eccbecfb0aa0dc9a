// Web meetings in the real browsers, as Debian packages them (chromium, firefox-esr): each
// opens a Meet address in a fresh profile under Xvfb, the page plays speech and opens the
// microphone, and `tallyvox-cli run` under standing consent must find the tab in the session
// file the browser writes and transcribe the browser. The site is served on loopback through
// a proxy of the test's own (MeetingPageServer.h). Run through scripts/with-sound-server; a
// browser that is not installed or cannot start here skips its test.
#include "ChildProcess.h"
#include "MeetingPageServer.h"
#include "SoundServerRequired.h"
#include "Waiting.h"
#include "fakes/TempDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

namespace tallyvox {
namespace {

namespace fs = std::filesystem;
using Child = testing::ChildProcess;
using testing::readText;
using testing::runToEnd;
using testing::ScopedEnv;
using testing::since;
using testing::Steady;
using testing::TempDir;
using testing::waitFor;

constexpr const char* meetingURL = "https://meet.google.com/abc-defg-hij";

// The full path of `name` on PATH; empty when it is not there.
fs::path onPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
        if (!folder.empty() && ::access((fs::path(folder) / name).c_str(), X_OK) == 0)
            return fs::path(folder) / name;
    return {};
}

// The last `count` lines of `text`, for reports.
std::string lastLines(const std::string& text, size_t count) {
    size_t start = text.size();
    while (count-- > 0 && start > 0) {
        start = text.rfind('\n', start - 1);
        if (start == std::string::npos)
            return text;
    }
    return text.substr(start);
}

// Speech on a loop, and the microphone; what happens is reported to the server by address.
constexpr const char* page = R"(<!doctype html><title>Meeting</title>
<audio id="speech" src="/speech.wav" loop></audio>
<script>
const report = (what, detail) => fetch('/' + what + (detail ? '?' + encodeURIComponent(detail) : ''));
navigator.mediaDevices.getUserMedia({audio: true}).then(
  stream => { window.microphone = stream; report('microphone-open'); },
  error => report('microphone-refused', error.name + ': ' + error.message));
document.getElementById('speech').play().then(
  () => report('playing'), error => report('play-refused', error.name + ': ' + error.message));
</script>
)";

struct BrowserMeeting : ::testing::Test {
    TempDir dir;
    ScopedEnv home{"HOME", dir.path().string()};
    ScopedEnv config{"XDG_CONFIG_HOME", (dir / "config").string()};
    ScopedEnv data{"XDG_DATA_HOME", (dir / "data").string()};
    // Never the user's bus or compositor: the browsers draw on the test's Xvfb.
    ScopedEnv bus{"DBUS_SESSION_BUS_ADDRESS", std::nullopt};
    ScopedEnv wayland{"WAYLAND_DISPLAY", std::nullopt};
    fs::path out = dir / "run.out";
    fs::path err = dir / "run.err";
    std::unique_ptr<Child> xvfb;
    std::unique_ptr<ScopedEnv> display;
    std::unique_ptr<testing::MeetingPageServer> server;

    void SetUp() override { REQUIRE_SOUND_SERVER(); }

    // The first of `tools` that is not installed; empty when all are.
    static std::string missing(const std::vector<std::string>& tools) {
        for (const auto& tool : tools)
            if (onPath(tool).empty())
                return tool;
        return {};
    }

    // What every browser needs: the home, the site, the display. False (with a failure) when
    // something went wrong.
    bool prepare() {
        testing::prepareMeetingHome(dir.path());
        if (::testing::Test::HasFatalFailure())
            return false;
        // A throwaway authority and the meeting host's certificate signed by it: Chromium is
        // told to take any certificate, Firefox is given the authority in its profile.
        const auto ca = dir / "ca.pem", caKey = dir / "ca.key", key = dir / "host.key",
                   request = dir / "host.csr", certificate = dir / "host.pem",
                   extensions = dir / "host.ext";
        std::ofstream(extensions) << "subjectAltName=DNS:meet.google.com\n"
                                     "extendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n";
        for (std::vector<std::string> args :
             {std::vector<std::string>{
                  "openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", caKey,
                  "-out", ca, "-days", "2", "-subj", "/CN=Tallyvox test authority", "-addext",
                  "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign"},
              {"openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", request,
               "-subj", "/CN=meet.google.com"},
              {"openssl", "x509", "-req", "-in", request, "-CA", ca, "-CAkey", caKey,
               "-CAcreateserial", "-days", "2", "-out", certificate, "-extfile", extensions},
              {"espeak-ng", "-w", (dir / "speech.wav").string(),
               "Hello everyone, thanks for joining. Today we review the roadmap."}}) {
            if (runToEnd(args) != 0) {
                ADD_FAILURE() << args[0] << " " << args[1] << " failed";
                return false;
            }
        }
        server = std::make_unique<testing::MeetingPageServer>(
            "meet.google.com:443",
            std::map<std::string, testing::MeetingPageServer::Page>{
                {"/abc-defg-hij", {"text/html; charset=utf-8", page}},
                {"/speech.wav", {"audio/wav", readText(dir / "speech.wav")}}},
            certificate, key);
        if (server->port() == 0) {
            ADD_FAILURE() << "the meeting site did not start";
            return false;
        }

        const auto displayFile = dir / "display";
        xvfb =
            std::make_unique<Child>(std::vector<std::string>{"Xvfb", "-displayfd", "1", "-nolisten",
                                                             "tcp", "-screen", "0", "1280x800x24"},
                                    "/dev/null", displayFile, dir / "xvfb.err");
        if (!waitFor(30, [&] { return readText(displayFile).find('\n') != std::string::npos; })) {
            ADD_FAILURE() << "Xvfb did not start: " << readText(dir / "xvfb.err");
            return false;
        }
        auto number = readText(displayFile);
        display = std::make_unique<ScopedEnv>("DISPLAY", ":" + number.substr(0, number.find('\n')));
        return true;
    }

    std::string output() const { return readText(out); }
    std::string log() const { return readText(err); }
    // The browser's standard output and error.
    fs::path browserOut = dir / "browser.out";
    fs::path browserLog = dir / "browser.log";
    std::string browserSaid() const {
        return lastLines(readText(browserOut), 10) + lastLines(readText(browserLog), 20);
    }
    std::string report() const {
        std::string asked;
        for (const auto& line : server->proxied())
            asked += "  " + line + "\n";
        for (const auto& path : server->requested())
            asked += "  GET " + path + "\n";
        return "\n--- the site was asked\n" + asked + "--- tallyvox-cli stdout\n" + output() +
               "\n--- tallyvox-cli stderr\n" + lastLines(log(), 40) + "\n--- browser\n" +
               browserSaid();
    }

    // Holds the meeting in the browser `argv` starts (the executable first), which the log
    // calls `name`. Skips when the browser goes before it asks for the page.
    void meetIn(const std::string& name, std::vector<std::string> argv, double bound) {
        auto run = std::make_unique<Child>(std::vector<std::string>{TALLYVOX_CLI, "run"},
                                           "/dev/null", out, err);
        ASSERT_TRUE(waitFor(60, [&] { return output().find("is watching") != std::string::npos; }))
            << report();

        auto launched = Steady::now();
        Child browser(std::move(argv), "/dev/null", browserOut, browserLog, true);
        const std::string started =
            "Meeting started: Meet in " + name + " pid " + std::to_string(browser.pid()) + "\n";
        bool seen = waitFor(bound + 60, [&] {
            return log().find(started) != std::string::npos ||
                   (!server->wasRequested("/abc-defg-hij") && browser.exitStatus(0));
        });
        const double delay = since(launched);
        if (!server->wasRequested("/abc-defg-hij") && browser.exitStatus(0))
            GTEST_SKIP() << name << " cannot start here (exit " << *browser.exitStatus(0) << "):\n"
                         << browserSaid();
        ASSERT_TRUE(seen) << "never noticed in " << delay << " s" << report();
        std::cout << name << ": meeting started " << delay << " s after the browser was launched"
                  << std::endl;
        EXPECT_LT(delay, bound) << report();
        EXPECT_TRUE(server->wasRequested("/microphone-open")) << report();
        EXPECT_TRUE(server->wasRequested("/playing")) << report();
        const std::string id = "Meet-" + std::to_string(browser.pid());
        EXPECT_TRUE(waitFor(60, [&] {
            return output().find("Transcribing " + id + "\n") != std::string::npos;
        })) << report();
        // The browser's own output is what is recorded.
        EXPECT_TRUE(waitFor(60, [&] {
            return log().find("Recording tallyvox_speakers.monitor") != std::string::npos;
        })) << report();
        EXPECT_EQ(log().find("The meeting's output is gone"), std::string::npos) << report();
        EXPECT_EQ(output().find("Meeting ended: "), std::string::npos)
            << "the call ended on its own" << report();

        // Closing the browser hangs up.
        browser.kill(SIGTERM);
        EXPECT_TRUE(waitFor(30, [&] {
            return output().find("Meeting ended: " + id + "\n") != std::string::npos;
        })) << report();
        run->signal(SIGINT);
        EXPECT_EQ(run->exitStatus(180), 0) << report();
        EXPECT_NE(output().find("\nSaved: "), std::string::npos) << report();
    }
};

// Chromium saves its session file a few seconds after a tab changes.
TEST_F(BrowserMeeting, AMeetTabInChromiumIsFoundAndTranscribed) {
    if (auto tool = missing({"chromium", "openssl", "espeak-ng", "Xvfb"}); !tool.empty())
        GTEST_SKIP() << tool << " is not installed (scripts/bootstrap installs it)";
    if (!prepare())
        return;
    std::vector<std::string> argv{"chromium", "--no-first-run", "--no-default-browser-check",
                                  "--password-store=basic", "--disable-gpu",
                                  // Allows the microphone without asking, on the real device.
                                  "--use-fake-ui-for-media-stream",
                                  "--autoplay-policy=no-user-gesture-required",
                                  "--proxy-server=127.0.0.1:" + std::to_string(server->port()),
                                  "--ignore-certificate-errors", meetingURL};
    // Its sandbox refuses to run as root.
    if (::geteuid() == 0)
        argv.insert(argv.begin() + 1, "--no-sandbox");
    meetIn("Chromium", argv, 45);
}

// Firefox saves its session file every 15 s (browser.sessionstore.interval, left as shipped).
TEST_F(BrowserMeeting, AMeetTabInFirefoxIsFoundAndTranscribed) {
    if (auto tool = missing({"firefox-esr", "certutil", "openssl", "espeak-ng", "Xvfb"});
        !tool.empty())
        GTEST_SKIP() << tool << " is not installed (scripts/bootstrap installs it)";
    if (!prepare())
        return;
    // A profile where Tallyvox looks for them, trusting the test's authority.
    const auto profile = dir / ".mozilla/firefox/test.default";
    fs::create_directories(profile);
    const std::string database = "sql:" + profile.string();
    ASSERT_EQ(runToEnd({"certutil", "-N", "-d", database, "--empty-password"}), 0);
    ASSERT_EQ(runToEnd({"certutil", "-A", "-d", database, "-n", "Tallyvox test authority", "-t",
                        "C,,", "-i", (dir / "ca.pem").string()}),
              0);
    std::ofstream(profile / "user.js")
        << "user_pref(\"media.navigator.permission.disabled\", true);\n"
           "user_pref(\"media.autoplay.default\", 0);\n"
           "user_pref(\"network.proxy.type\", 1);\n"
           "user_pref(\"network.proxy.ssl\", \"127.0.0.1\");\n"
           "user_pref(\"network.proxy.ssl_port\", "
        << server->port()
        << ");\n"
           "user_pref(\"network.proxy.no_proxies_on\", \"\");\n"
           "user_pref(\"browser.shell.checkDefaultBrowser\", false);\n"
           "user_pref(\"browser.aboutwelcome.enabled\", false);\n"
           "user_pref(\"browser.startup.homepage_override.mstone\", \"ignore\");\n"
           "user_pref(\"datareporting.policy.dataSubmissionEnabled\", false);\n"
           "user_pref(\"toolkit.telemetry.reportingpolicy.firstRun\", false);\n";
    meetIn("Firefox", {"firefox-esr", "--profile", profile.string(), "--no-remote", meetingURL},
           90);
}

} // namespace
} // namespace tallyvox
