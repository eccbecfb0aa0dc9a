#include "audio/linux/PulseOutputTap.h"

#include "audio/AudioCaptureService.h"
#include "audio/MicCapture.h"
#include "audio/TapCapture.h"
#include "base/Log.h"

#include <algorithm>

namespace tallyvox {

namespace {
AudioCaptureService::CaptureError failed(const PulseConnection::Failure& failure) {
    Log::error("Sound server {} failed: {}", failure.step, failure.code);
    return AudioCaptureService::CaptureError::step(failure.step, failure.code);
}
} // namespace

PulseOutputTap::PulseOutputTap()
    : connection_("Tallyvox meeting audio") {}

StreamFormat PulseOutputTap::open(Handlers handlers) {
    try {
        close();
        auto defaults = connection_.defaults();
        if (defaults.sink.empty())
            throw PulseConnection::Failure{"find output device", -1};
        auto sink = connection_.sink(defaults.sink);
        if (sink.monitor.empty())
            throw PulseConnection::Failure{"read output device", -1};
        StreamFormat format{sink.sampleRate, sink.channels};

        PulseConnection::StreamHandlers stream;
        stream.audio = std::move(handlers.audio);
        stream.ended = std::move(handlers.lost);
        std::string recorded = sink.name;
        stream.defaultsChanged = [recorded, changed = std::move(handlers.outputChanged)](
                                     const PulseConnection::Defaults& now) {
            if (!now.sink.empty() && now.sink != recorded && changed)
                changed();
        };
        connection_.record(sink.monitor, format.sampleRate, format.channels, std::move(stream));
        sink_ = sink.name;
        Log::info("Recording {} ({} Hz, {} ch)", sink.monitor, format.sampleRate, format.channels);
        return format;
    } catch (const PulseConnection::Failure& failure) {
        throw failed(failure);
    }
}

void PulseOutputTap::close() {
    connection_.closeStream();
    sink_.clear();
}

bool PulseOutputTap::isPlaying() {
    if (sink_.empty())
        return true;
    try {
        return connection_.sink(sink_).running;
    } catch (const PulseConnection::Failure&) {
        // The server or the sink went away: whatever the stream does now is a fault.
        return true;
    }
}

bool PulseOutputTap::outputIsBuiltInSpeakers() {
    try {
        PulseConnection connection("Tallyvox output check", 2);
        auto defaults = connection.defaults();
        if (defaults.sink.empty())
            return true;
        return OutputDeviceInfo::isBuiltInSpeakers(connection.sink(defaults.sink).device);
    } catch (const PulseConnection::Failure&) {
        return OutputDeviceInfo::isBuiltInSpeakers(std::nullopt);
    }
}

PulseMicInput::PulseMicInput()
    : connection_("Tallyvox microphone") {}

StreamFormat PulseMicInput::open(const std::optional<std::string>& source, Handlers handlers) {
    try {
        connection_.closeStream();
        std::string name;
        if (source) {
            name = *source;
        } else {
            name = connection_.defaults().source;
            if (name.empty())
                throw PulseConnection::Failure{"find input device", -1};
        }
        auto info = connection_.source(name);
        if (!info)
            throw Error("No input named " + name + ".");
        // Speech needs no more than two channels; the server mixes the rest down.
        StreamFormat format{info->sampleRate, std::clamp(info->channels, 1, 2)};

        PulseConnection::StreamHandlers stream;
        stream.audio = [audio = std::move(handlers.audio), format](std::vector<float>&& buffer) {
            if (audio)
                audio(std::move(buffer), format);
        };
        auto changed = std::make_shared<std::function<void()>>(std::move(handlers.changed));
        stream.ended = [changed](const std::string&) {
            if (*changed)
                (*changed)();
        };
        const bool followDefault = !source.has_value();
        stream.defaultsChanged = [changed, followDefault,
                                  name](const PulseConnection::Defaults& now) {
            if (followDefault && !now.source.empty() && now.source != name && *changed)
                (*changed)();
        };
        connection_.record(name, format.sampleRate, format.channels, std::move(stream));
        return format;
    } catch (const PulseConnection::Failure& failure) {
        Log::error("Sound server {} failed: {}", failure.step, failure.code);
        throw Error("The sound server refused the input (" + failure.step + ", error " +
                    std::to_string(failure.code) + ").");
    }
}

void PulseMicInput::close() {
    connection_.closeStream();
}

std::optional<std::string> PulseMicInput::describe(const std::optional<std::string>& source) {
    try {
        std::string name = source ? *source : connection_.defaults().source;
        if (name.empty())
            return std::nullopt;
        auto info = connection_.source(name);
        if (!info)
            return std::nullopt;
        return info->description;
    } catch (const PulseConnection::Failure&) {
        return std::nullopt;
    }
}

std::shared_ptr<AudioCaptureService> makePulseCapture(Executor& main) {
    return TapCapture::make(std::make_shared<PulseOutputTap>(), main);
}

std::shared_ptr<MicCaptureService> makePulseMic(Executor& main) {
    return MicCapture::make(std::make_shared<PulseMicInput>(), main);
}

} // namespace tallyvox
