#pragma once

#include "detection/AudioProcessList.h"

#include <memory>

namespace tallyvox {

class PulseClient;

// The sound server's sink inputs and source outputs, kept up to date from its change
// events on libpulse's own thread. Works with PulseAudio and with PipeWire's pulse server.
// When the server goes away the list empties until the connection is back (it is retried
// every second).
class PulseProcessList : public AudioProcessList {
public:
    // `client`: the process's sound-server client; without one, a connection of its own.
    explicit PulseProcessList(std::shared_ptr<PulseClient> client = nullptr);
    ~PulseProcessList() override;
    PulseProcessList(const PulseProcessList&) = delete;
    PulseProcessList& operator=(const PulseProcessList&) = delete;

    std::vector<Stream> streams() const override;
    [[nodiscard]] Subscription observe(OnChange onChange) override;

    bool isConnected() const;
    // Waits until a list newer than `after` lists arrived; answers the lists received so far.
    std::uint64_t waitForList(std::uint64_t after, double seconds) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace tallyvox
