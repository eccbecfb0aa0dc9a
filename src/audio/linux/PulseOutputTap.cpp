#include "audio/linux/PulseOutputTap.h"

#include "audio/AudioCaptureService.h"
#include "audio/TapCapture.h"
#include "base/Log.h"

#include <algorithm>

namespace tallyvox {

namespace {
std::string failed(const PulseConnection::Failure& failure) {
    Log::error("Sound server {} failed: {}", failure.step(), failure.code());
    return failure.what();
}

// The sink to record: the one asked for while it exists, else the default one.
PulseConnection::SinkInfo chooseSink(PulseConnection& connection,
                                     std::optional<std::uint32_t> output, bool& followsDefault) {
    followsDefault = true;
    if (output) {
        if (auto sink = connection.sink(*output)) {
            followsDefault = false;
            return *sink;
        }
        Log::info("The meeting's output is gone; recording the default output");
    }
    auto defaults = connection.defaults();
    if (defaults.sink.empty())
        throw PulseConnection::Failure("find output device", -1);
    return connection.sink(defaults.sink);
}
} // namespace

PulseOutputTap::PulseOutputTap(std::shared_ptr<PulseClient> client)
    : client_(client ? std::move(client)
                     : std::make_shared<PulseClient>("Tallyvox meeting audio")) {}

PulseOutputTap::~PulseOutputTap() {
    close();
}

void PulseOutputTap::open(std::optional<std::uint32_t> output, Handlers handlers) {
    close();
    auto gate = std::make_shared<HandlerGate>();
    gate_ = gate;
    auto shared = shared_;
    client_->post([gate, shared, output, handlers = std::move(handlers)](PulseConnection& c) {
        if (!gate->isOpen())
            return;
        // The stream of an earlier open goes first: it may hold the output asked for now.
        shared->stream.close();
        try {
            bool followsDefault = true;
            auto sink = chooseSink(c, output, followsDefault);
            if (sink.monitor.empty())
                throw PulseConnection::Failure("read output device", -1);
            Opened opened{{sink.sampleRate, std::clamp(sink.channels, 1, 2)}, sink.index};

            PulseConnection::StreamHandlers stream;
            stream.ready = [gate, opened, onOpened = handlers.opened] {
                gate->run([&] { onOpened(opened); });
            };
            stream.audio = [gate, audio = handlers.audio](std::vector<float>&& buffer) {
                gate->run([&] { audio(std::move(buffer)); });
            };
            stream.ended = [gate, lost = handlers.lost](const std::string& reason) {
                gate->run([&] { lost(reason); });
            };
            if (followsDefault)
                stream.defaultsChanged =
                    [gate, recorded = sink.name,
                     changed = handlers.outputChanged](const PulseConnection::Defaults& now) {
                        if (!now.sink.empty() && now.sink != recorded)
                            gate->run([&] { changed(); });
                    };
            shared->stream =
                c.record(sink.monitor, "Tallyvox meeting audio", opened.format.sampleRate,
                         opened.format.channels, fragmentSeconds, std::move(stream));
            {
                std::lock_guard lock(shared->mutex);
                shared->recorded = sink.index;
            }
            shared->playing = true;
            Log::info("Recording {} ({} Hz, {} ch)", sink.monitor, opened.format.sampleRate,
                      opened.format.channels);
        } catch (const PulseConnection::Failure& failure) {
            std::string error = failed(failure);
            gate->run([&] { handlers.failed(error); });
        }
    });
}

void PulseOutputTap::close() {
    if (!gate_)
        return;
    gate_->shut();
    gate_.reset();
    {
        std::lock_guard lock(shared_->mutex);
        shared_->recorded.reset();
    }
    client_->post([shared = shared_](PulseConnection&) { shared->stream.close(); });
}

bool PulseOutputTap::isPlaying() {
    if (!shared_->asking.exchange(true))
        client_->post([shared = shared_](PulseConnection& c) {
            std::optional<std::uint32_t> recorded;
            {
                std::lock_guard lock(shared->mutex);
                recorded = shared->recorded;
            }
            bool playing = true;
            try {
                if (recorded)
                    if (auto sink = c.sink(*recorded))
                        playing = sink->running;
            } catch (const PulseConnection::Failure&) {
                // The server went away: whatever the stream does now is a fault.
            }
            shared->playing = playing;
            shared->asking = false;
        });
    return shared_->playing;
}

PulseSpeakersCheck::PulseSpeakersCheck(std::shared_ptr<PulseClient> client)
    : client_(client ? std::move(client)
                     : std::make_shared<PulseClient>("Tallyvox output check", 2)) {
    refresh();
}

bool PulseSpeakersCheck::operator()() {
    refresh();
    return shared_->speakers;
}

void PulseSpeakersCheck::refresh() {
    if (shared_->asking.exchange(true))
        return;
    client_->post([shared = shared_](PulseConnection& c) {
        std::optional<OutputDeviceInfo> device;
        try {
            auto defaults = c.defaults();
            if (!defaults.sink.empty())
                device = c.sink(defaults.sink).device;
        } catch (const PulseConnection::Failure&) {
        }
        shared->speakers = OutputDeviceInfo::isBuiltInSpeakers(device);
        shared->asking = false;
    });
}

std::shared_ptr<AudioCaptureService> makePulseCapture(Executor& main,
                                                      std::shared_ptr<PulseClient> client) {
    return TapCapture::make(std::make_shared<PulseOutputTap>(std::move(client)), main);
}

} // namespace tallyvox
