#include "audio/linux/PulseMicInput.h"

#include "audio/MicCapture.h"
#include "base/Log.h"

#include <algorithm>

namespace tallyvox {

PulseMicInput::PulseMicInput(std::shared_ptr<PulseClient> client)
    : client_(client ? std::move(client) : std::make_shared<PulseClient>("Tallyvox microphone")) {}

PulseMicInput::~PulseMicInput() {
    close();
}

std::string PulseMicInput::monitorRefused(const std::string& description) {
    return "\"" + description +
           "\" only hears what the computer plays, not a microphone. Connect a microphone or "
           "choose one as the input in the sound settings.";
}

void PulseMicInput::open(const std::optional<std::string>& source, Handlers handlers) {
    close();
    auto gate = std::make_shared<HandlerGate>();
    gate_ = gate;
    client_->post([gate, stream = stream_, source,
                   handlers = std::move(handlers)](PulseConnection& c) {
        if (!gate->isOpen())
            return;
        // The stream of an earlier open goes first: it may hold the source asked for now.
        stream->close();
        std::string error;
        try {
            std::string name = source ? *source : c.defaults().source;
            if (name.empty())
                throw PulseConnection::Failure("find input device", -1);
            auto info = c.source(name);
            if (!info) {
                error = "No input named " + name + ".";
            } else if (info->isMonitor) {
                Log::error("Refused to record {} as the microphone: it is an output's monitor",
                           name);
                error = monitorRefused(info->description);
            } else {
                // Speech needs no more than two channels; the server mixes the rest down.
                Opened opened{{info->sampleRate, std::clamp(info->channels, 1, 2)},
                              info->description.empty()
                                  ? std::nullopt
                                  : std::optional<std::string>(info->description)};
                PulseConnection::StreamHandlers streamHandlers;
                streamHandlers.ready = [gate, opened, onOpened = handlers.opened] {
                    gate->run([&] { onOpened(opened); });
                };
                streamHandlers.audio = [gate, audio = handlers.audio,
                                        format = opened.format](std::vector<float>&& buffer) {
                    gate->run([&] { audio(std::move(buffer), format); });
                };
                streamHandlers.ended = [gate, changed = handlers.changed](const std::string&) {
                    gate->run([&] { changed(); });
                };
                if (!source)
                    streamHandlers.defaultsChanged = [gate, name, changed = handlers.changed](
                                                         const PulseConnection::Defaults& now) {
                        if (!now.source.empty() && now.source != name)
                            gate->run([&] { changed(); });
                    };
                *stream =
                    c.record(name, "Tallyvox microphone", opened.format.sampleRate,
                             opened.format.channels, fragmentSeconds, std::move(streamHandlers));
                return;
            }
        } catch (const PulseConnection::Failure& failure) {
            Log::error("Sound server {} failed: {}", failure.step(), failure.code());
            error = "The sound server refused the input (" + failure.step() + ", error " +
                    std::to_string(failure.code()) + ").";
        }
        gate->run([&] { handlers.failed(error); });
    });
}

void PulseMicInput::close() {
    if (!gate_)
        return;
    gate_->shut();
    gate_.reset();
    client_->post([stream = stream_](PulseConnection&) { stream->close(); });
}

std::shared_ptr<MicCaptureService> makePulseMic(Executor& main,
                                                std::shared_ptr<PulseClient> client) {
    return MicCapture::make(std::make_shared<PulseMicInput>(std::move(client)), main);
}

} // namespace tallyvox
