#include "SoundServer.h"

#include <gtest/gtest.h>

namespace tallyvox {
namespace {

using namespace testing;

TEST(CaptureIntegration, MicFallsBackToTheDefaultInputWhenItsSourceDisappears) {
    REQUIRE_SOUND_SERVER();
    auto module = run("pactl load-module module-remap-source master=tallyvox_speakers.monitor "
                      "source_name=tallyvox_meeting_mic "
                      "source_properties=device.description=MeetingHeadset");
    ASSERT_FALSE(module.empty());

    MainThread main;
    auto mic = main.sync([&] {
        auto made = MicCapture::make(std::make_shared<PulseMicInput>(), main.loop);
        made->meetingDevice = [] { return std::optional<std::string>("tallyvox_meeting_mic"); };
        made->start(std::nullopt);
        return made;
    });
    EXPECT_TRUE(waitForServer(15, [&] { return main.sync([&] { return mic->isRunning(); }); }));
    EXPECT_EQ(main.sync([&] { return *mic->deviceDescription(); }),
              "MeetingHeadset (the one the meeting uses)");
    testing::TempDir dir;
    Tone tone(dir.path(), 30);
    EXPECT_TRUE(waitForServer(15, [&] { return mic->counts().received > 0.2; }));
    std::system(("pactl unload-module " + module).c_str());

    EXPECT_TRUE(waitForServer(
        15, [&] { return main.sync([&] { return mic->isRunning() && !mic->device(); }); }));
    mic->drain();
    std::size_t drained = 0;
    EXPECT_TRUE(waitForServer(15, [&] {
        drained += mic->drain().size();
        return drained > 8000;
    }));
    EXPECT_EQ(main.sync([&] { return *mic->deviceDescription(); }),
              "Microphone (system default input)");
    main.sync([&] { mic->stop(); });
}

// With no real input the server offers an output's monitor as the default source; the
// microphone refuses it instead of transcribing the meeting a second time as the user.
TEST(CaptureIntegration, MicRefusesAnOutputsMonitor) {
    REQUIRE_SOUND_SERVER();
    auto original = run("pactl get-default-source");
    ASSERT_EQ(std::system("pactl set-default-source tallyvox_speakers.monitor"), 0);
    struct Restore {
        std::string source;
        ~Restore() { std::system(("pactl set-default-source '" + source + "'").c_str()); }
    } restore{original};

    MainThread main;
    std::promise<std::string> failure;
    auto mic = main.sync([&] {
        auto made = MicCapture::make(std::make_shared<PulseMicInput>(), main.loop);
        made->onFailure = [&failure](const Error& e) { failure.set_value(e.what()); };
        made->start(std::nullopt);
        return made;
    });
    auto answer = failure.get_future();
    ASSERT_EQ(answer.wait_for(std::chrono::seconds(15)), std::future_status::ready);
    EXPECT_EQ(answer.get(), PulseMicInput::monitorRefused("Monitor of Speakers"));
    EXPECT_FALSE(main.sync([&] { return mic->isRunning(); }));
    main.sync([&] { mic->stop(); });
}

// A server that hangs (stopped, not dead) never holds up the main thread: the stream is
// built on the connection's thread and comes up once the server answers again.
TEST(CaptureIntegration, HungServerNeverHoldsUpTheMainThread) {
    REQUIRE_SOUND_SERVER();
    testing::TempDir dir;
    PrivateServer server(dir.path());
    ASSERT_TRUE(server.start()) << server.log();
    testing::ScopedEnv env("PULSE_SERVER", server.address());
    server.pause(true);

    MainThread main;
    std::vector<std::string> failures;
    auto capture = main.sync([&] {
        auto made = TapCapture::make(std::make_shared<PulseOutputTap>(), main.loop);
        made->onFailure = [&failures](const Error& e) { failures.push_back(e.what()); };
        made->start(consent());
        return made;
    });
    // Had start() waited for the server, it would have failed by now.
    EXPECT_TRUE(main.sync([&] { return capture->isStarting(); }));
    EXPECT_TRUE(main.sync([&] { return capture->stats().format.empty(); }));
    server.pause(false);

    EXPECT_TRUE(waitForServer(
        15, [&] { return main.sync([&] { return capture->recordedOutput().has_value(); }); }));
    Tone tone(dir.path(), 30);
    EXPECT_TRUE(waitForServer(15, [&] { return capture->stats().receivedSeconds > 0.5; }));
    main.sync([&] { capture->stop(); });
    EXPECT_TRUE(main.sync([&] { return failures; }).empty());
}

// The platform services make one connection to the server for meeting audio, microphone,
// detection and the output check, with one record stream each for the tap and the
// microphone. Closing the microphone's stream leaves the tap recording.
TEST(CaptureIntegration, PlatformServicesShareOneConnectionAndTheMicClosesAlone) {
    REQUIRE_SOUND_SERVER();
    testing::TempDir dir;
    MainThread main;
    auto services = linux_services::linuxPlatformServices(main.loop, Clock::system(), "/bin/true");
    DetectionChoices everything{.enabled = [] { return true; },
                                .watches = [](Platform) { return true; },
                                .observe = [](std::function<void()>) { return Subscription(); },
                                .web = [] { return true; }};
    auto detection = main.sync([&] { return services.makeDetection(everything); });
    auto capture = main.sync([&] {
        auto made = services.makeCapture();
        made->start(consent());
        return made;
    });
    auto mic = main.sync([&] {
        auto made = services.makeMic();
        made->start(std::nullopt);
        return made;
    });
    services.outputIsBuiltInSpeakers();
    Tone tone(dir.path(), 30);
    EXPECT_TRUE(waitForServer(15, [&] {
        return capture->stats().receivedSeconds > 0.3 && mic->counts().received > 0.3;
    }));
    EXPECT_TRUE(
        waitForServer(15, [] { return ours("clients") == 1 && ours("source-outputs") == 2; }))
        << ours("clients") << " clients, " << ours("source-outputs") << " record streams";

    main.sync([&] { mic->stop(); });
    EXPECT_TRUE(waitForServer(15, [] { return ours("source-outputs") == 1; }));
    const double before = capture->stats().receivedSeconds;
    EXPECT_TRUE(waitForServer(15, [&] { return capture->stats().receivedSeconds > before + 1; }));
    EXPECT_EQ(ours("clients"), 1);
    main.sync([&] {
        capture->stop();
        detection.reset();
    });
}

// The server goes away and comes back: the one connection is made again in one place, and
// the list, meeting audio and the microphone all run on it once more.
TEST(CaptureIntegration, SharedConnectionComesBackWholeAfterTheServerRestarts) {
    REQUIRE_SOUND_SERVER();
    testing::TempDir dir;
    PrivateServer server(dir.path());
    ASSERT_TRUE(server.start()) << server.log();
    testing::ScopedEnv env("PULSE_SERVER", server.address());
    MainThread main;
    OneClient client(main);
    ASSERT_TRUE(waitForServer(15, [&] { return client.running() && client.streams.isConnected(); }))
        << server.log();

    server.kill();
    EXPECT_TRUE(waitForServer(10, [&] { return !client.streams.isConnected(); }));
    EXPECT_TRUE(client.streams.streams().empty());
    ASSERT_TRUE(server.start()) << server.log();
    Tone tone(dir.path(), 30);
    EXPECT_TRUE(waitForServer(15, [&] { return lists(client.streams, "paplay"); }));
    const double tapBefore = client.capture->stats().receivedSeconds;
    const double micBefore = client.mic->counts().received;
    EXPECT_TRUE(waitForServer(20, [&] {
        return client.capture->stats().receivedSeconds > tapBefore + 0.5 &&
               client.mic->counts().received > micBefore + 0.5;
    })) << server.log();
    client.speakers(); // asks on the same connection
    EXPECT_EQ(ours("clients"), 1);
    EXPECT_EQ(ours("source-outputs"), 2);
}

} // namespace
} // namespace tallyvox
