#pragma once

#include "audio/linux/PulseConnection.h"

#include <functional>
#include <memory>
#include <string>

namespace tallyvox {

// The sound-server connection with a thread of its own. Every step that waits for the
// server runs there, so a server that hangs holds up only that thread, never the caller's.
// Work is done in the order posted. One client serves the whole process: meeting audio,
// microphone, the output check and detection's stream list share it.
class PulseClient {
public:
    using Work = std::function<void(PulseConnection&)>;

    explicit PulseClient(std::string clientName, double timeoutSeconds = 3);
    // Pending work is dropped. A step already running finishes on its own thread, which then
    // releases the connection; the destructor does not wait for it.
    ~PulseClient();
    PulseClient(const PulseClient&) = delete;
    PulseClient& operator=(const PulseClient&) = delete;

    void post(Work work);

    // For what never waits for the server (watches): they may be made from any thread.
    PulseConnection& connection();

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace tallyvox
