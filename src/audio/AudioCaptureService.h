#pragma once

#include "base/Error.h"
#include "types/CaptureStats.h"
#include "types/ConsentRecord.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// Records what the computer plays on the meeting's output (every application's sound there
// but ours) as 16 kHz mono float samples held in a bounded buffer until the engine drains
// them.
class AudioCaptureService {
public:
    using Stats = CaptureStats;

    static constexpr int sampleRate = 16000;
    static constexpr double maxBufferedSeconds = 1800;

    class CaptureError : public Error {
    public:
        using Error::Error;
        // A step of setting up the sound server's record stream failed.
        static CaptureError step(const std::string& step, int code) {
            return CaptureError("Audio capture failed (" + step + ", error " +
                                std::to_string(code) + ").");
        }
        static CaptureError badFormat() {
            return CaptureError("Unsupported audio format from the meeting app.");
        }
    };

    virtual ~AudioCaptureService() = default;

    // Called on the main thread when capture fails, also when the stream that start() or
    // resume() began building cannot be built. Set before start().
    std::function<void(const Error&)> onFailure;
    // The output (sound-server sink index) the meeting plays to, when it plays at all; asked
    // at each build and every second while capturing. Empty or nothing: the default output.
    std::function<std::optional<std::uint32_t>()> meetingOutput;

    // Begins building the stream; may throw Error when recording cannot begin at all.
    virtual void start(const ConsentRecord& consent) = 0;
    // Stops taking audio; what is buffered stays drainable.
    virtual void pause() = 0;
    virtual void resume() = 0; // like start()
    // Releases the record stream and the buffered audio.
    virtual void stop() = 0;
    // Every sample received since the last call; safe from any thread, never blocks long.
    virtual std::vector<float> drain() = 0;
    virtual Stats stats() const = 0;
};

} // namespace tallyvox
