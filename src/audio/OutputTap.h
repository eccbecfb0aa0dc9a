#pragma once

#include <cstddef>
#include <cstdint>
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

// A record stream on the monitor of an output: everything the computer plays to it. The
// stream is built on the tap's own thread; handlers run there (or on the sound server's
// thread) and must return quickly.
class OutputTap {
public:
    // The stream that runs: its format and the output (sound-server sink index) it records.
    struct Opened {
        StreamFormat format;
        std::uint32_t output = 0;
    };

    struct Handlers {
        // The stream runs; called once, before any of its audio.
        std::function<void(const Opened&)> opened;
        // The stream could not be built: the user-facing description.
        std::function<void(const std::string& error)> failed;
        // One buffer of interleaved float frames in the opened format.
        std::function<void(std::vector<float>&& interleaved)> audio;
        // The server ended the stream (its output went away, or the server itself).
        std::function<void(const std::string& reason)> lost;
        // The default output changed while the stream records it.
        std::function<void()> outputChanged;
    };

    virtual ~OutputTap() = default;

    // Closes any open stream and starts building a new one on `output` (nothing, or an
    // output that no longer exists: the default output). Never waits for the sound server;
    // exactly one of opened and failed follows.
    virtual void open(std::optional<std::uint32_t> output, Handlers handlers) = 0;
    // No handler of the closed stream runs once this returns.
    virtual void close() = 0;
    // Whether the recorded output was playing anything when last asked, without waiting
    // for the server. An idle or suspended output may deliver nothing at all, which is no
    // fault of the stream. True when it cannot be told.
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
