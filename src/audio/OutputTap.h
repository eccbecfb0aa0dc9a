#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallyvox {

// Float interleaved audio as a stream delivers it.
struct StreamFormat {
    double sampleRate = 0;
    int channels = 0;
};

// A record stream on the monitor of the current default output: everything the computer
// plays. Handlers run on the tap's own thread and must return quickly.
class OutputTap {
public:
    struct Handlers {
        // One buffer of interleaved float frames in the format open() answered.
        std::function<void(std::vector<float>&& interleaved)> audio;
        // The server ended the stream (its output went away, or the server itself).
        std::function<void(const std::string& reason)> lost;
        // The default output is no longer the one this stream records.
        std::function<void()> outputChanged;
    };

    virtual ~OutputTap() = default;

    // Closes any open stream, then opens a new one. Throws AudioCaptureService::CaptureError.
    virtual StreamFormat open(Handlers handlers) = 0;
    // No handler of the closed stream runs once this returns.
    virtual void close() = 0;
    // Whether the output the stream records is playing anything. An idle or suspended
    // output may deliver nothing at all, which is no fault of the stream. True when it
    // cannot be told.
    virtual bool isPlaying() { return true; }
};

// What can be read about the default output device; empty fields were not reported.
struct OutputDeviceInfo {
    std::string bus;        // "usb", "bluetooth", "pci", ...
    std::string api;        // "alsa", "bluez", ...
    std::string formFactor; // "internal", "speaker", "headphone", "headset", ...
    std::string activePort; // the active port's name
    bool activePortIsHeadphones = false;
    bool activePortIsExternalDisplay = false;

    // Whether the microphone would hear the far side: true unless the sound plainly goes
    // elsewhere. An output that cannot be read (nothing) counts as speakers, and so does a
    // virtual output that reports no hardware at all.
    static bool isBuiltInSpeakers(const std::optional<OutputDeviceInfo>& info);
};

} // namespace tallyvox
