#include "Signals.h"

#include <csignal>
#include <pthread.h>
#include <thread>

namespace tallyvox::cli {

namespace {

sigset_t quitSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

void blockQuitSignals() {
    sigset_t set = quitSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void watchQuitSignals(std::shared_ptr<EventLoop> loop, std::function<void(int)> onSignal) {
    // The thread keeps the loop alive: a late signal only queues a task nobody runs.
    std::thread([loop = std::move(loop), onSignal = std::move(onSignal)] {
        sigset_t set = quitSignals();
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0)
                continue;
            loop->post([onSignal, signal] { onSignal(signal); });
        }
    }).detach();
}

} // namespace tallyvox::cli
