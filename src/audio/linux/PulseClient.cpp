#include "audio/linux/PulseClient.h"

#include "base/EventLoop.h"

#include <pthread.h>
#include <thread>

namespace tallyvox {

struct PulseClient::State {
    EventLoop loop;
    std::unique_ptr<PulseConnection> connection;
};

PulseClient::PulseClient(std::string clientName, double timeoutSeconds)
    : state_(std::make_shared<State>()) {
    state_->connection = std::make_unique<PulseConnection>(std::move(clientName), timeoutSeconds);
    // The thread keeps the state alive, so a step stuck on a hung server never makes the
    // owner wait when it lets go.
    std::thread([state = state_] {
        pthread_setname_np(pthread_self(), "tallyvox-pulse");
        state->loop.run();
        state->connection.reset();
    }).detach();
}

PulseClient::~PulseClient() {
    state_->loop.quit();
}

void PulseClient::post(Work work) {
    std::weak_ptr<State> weak = state_;
    state_->loop.post([weak, work = std::move(work)] {
        if (auto state = weak.lock())
            work(*state->connection);
    });
}

PulseConnection& PulseClient::connection() {
    return *state_->connection;
}

} // namespace tallyvox
