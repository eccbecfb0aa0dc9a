#pragma once

#include "base/Clock.h"
#include "base/Executor.h"
#include "base/Observable.h"
#include "session/PlatformServices.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tallyvox {

// Why the user's own voice is not, or no longer, recorded.
enum class MicProblem {
    accessOff,     // the desktop's privacy setting denies the microphone
    accessRefused, // the user said no when asked
    unavailable,   // the device could not be opened
    stopped,       // it could not be opened again after a pause
};

// The user's text for it; `detail` is the system's description, where there is one.
std::string text(MicProblem problem, const std::string& detail = {});

// The user's microphone through one session after another: opened once access allows it,
// watched for giving no audio, muted with the meeting app's own mute button, paused with
// the session. One lives as long as the app, so the prompt for reading the meeting's mute
// button is shown once per run. Main thread only.
class SessionMicrophone : public std::enable_shared_from_this<SessionMicrophone> {
public:
    static constexpr double checkInterval = 5;     // seconds between silence checks
    static constexpr double muteRetryInterval = 2; // seconds between asks for mute reading

    // What views watch; they belong to the owner and outlive this.
    struct Outlets {
        Observable<bool>& userMuted;
        Observable<std::optional<bool>>& meetingMuted;
        Observable<bool>& silent;
        std::function<void(MicProblem, const std::string& detail)> problem;
    };

    struct Session {
        DetectedMeeting meeting;
        // The user's setting; off, the session runs on meeting audio alone.
        bool use = true;
        bool followMute = false;
        // The meeting app's input, asked at each start of the device.
        std::function<std::optional<MicCaptureService::Device>()> meetingDevice;
        // Seconds of the session so far without its pauses; nothing while the user paused
        // it, so a paused microphone is not taken for a silent one.
        std::function<std::optional<double>(SystemTime now)> liveSeconds;
    };

    // What the finish needs of a session's microphone.
    struct Closed {
        // Paused, not stopped: the engine drains it a last time first.
        std::shared_ptr<MicCaptureService> service;
        bool muteWatched = false;
    };

    static std::shared_ptr<SessionMicrophone>
    make(Executor& main, Clock& clock, const PlatformServices& services, Outlets outlets);
    ~SessionMicrophone();
    SessionMicrophone(const SessionMicrophone&) = delete;
    SessionMicrophone& operator=(const SessionMicrophone&) = delete;

    // Starts over for a new session (both mutes off) and opens the microphone as far as
    // access allows: nothing when it is off, a device that opens once the user answers when
    // not asked yet. The session before must have ended.
    std::shared_ptr<MicCaptureService> begin(Session session);
    // Stops watching and pauses the device; the mutes stay as they were for the views.
    Closed end();

    void pause();
    void resume();
    void toggleUserMute();
    // Asks for access now when it was never asked, so a session started by itself later
    // need not wait for the user's answer.
    void askAccessAhead();

    bool ignored() const { return outlets_.userMuted.get() || outlets_.meetingMuted.get() == true; }
    const std::shared_ptr<MicCaptureService>& service() const { return service_; }
    bool isFollowingMute() const { return muteWatcher_ != nullptr; }

private:
    SessionMicrophone(Executor& main, Clock& clock, const PlatformServices& services,
                      Outlets outlets);

    MicAuthorization authorization() const;
    void report(MicProblem problem, const std::string& detail = {});
    void open(MicAuthorization status);
    void askMutePermission();
    void scheduleSilenceCheck(const TaskHandle& handle);
    void checkSilence(const TaskHandle& handle);
    void followMute();

    Executor& main_;
    Clock& clock_;
    const PlatformServices& services_;
    Outlets outlets_;

    Session session_;
    std::shared_ptr<MicCaptureService> service_;
    std::unique_ptr<MuteWatcher> muteWatcher_;
    TaskHandle silenceCheck_;
    bool warned_ = false;
    // Paused by the user or for sleep: nothing may open the device until it resumes.
    bool paused_ = false;
    bool askedMutePermission_ = false;
    // Changes at every begin and end, so late answers and retries of a closed session are
    // told apart even when the next one uses the same meeting.
    std::uint64_t turn_ = 0;
};

} // namespace tallyvox
