#pragma once

#include "audio/MicInput.h"
#include "audio/linux/HandlerGate.h"
#include "audio/linux/PulseClient.h"

#include <memory>

namespace tallyvox {

class Executor;
class MicCaptureService;

// Records a named source, or the default source (reopened when the default changes). The
// monitor of an output is refused: it records what the computer plays, and its speech
// would be transcribed a second time as the user's.
class PulseMicInput final : public MicInput {
public:
    static constexpr double fragmentSeconds = 0.15;

    // `client`: the process's sound-server client; without one, a connection of its own.
    explicit PulseMicInput(std::shared_ptr<PulseClient> client = nullptr);
    ~PulseMicInput() override;
    void open(const std::optional<std::string>& source, Handlers handlers) override;
    void close() override;

    // The text of the refusal of `description`'s monitor source.
    static std::string monitorRefused(const std::string& description);

private:
    std::shared_ptr<PulseClient> client_;
    std::shared_ptr<HandlerGate> gate_;
    // Only touched on the client's thread.
    std::shared_ptr<PulseConnection::Stream> stream_ = std::make_shared<PulseConnection::Stream>();
};

// The real service, run with `main` as its main thread, on `client` (without one, a
// connection of its own).
std::shared_ptr<MicCaptureService> makePulseMic(Executor& main,
                                                std::shared_ptr<PulseClient> client = nullptr);

} // namespace tallyvox
