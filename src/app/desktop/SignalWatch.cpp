#include "SignalWatch.h"

#include "base/Log.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tallyvox::desktop {

namespace {

int signalPipe[2] = {-1, -1};

void onSignalArrived(int signal) {
    const auto byte = static_cast<unsigned char>(signal);
    // Nothing else is safe in a handler; a full pipe means one is already waiting.
    [[maybe_unused]] auto written = ::write(signalPipe[1], &byte, 1);
}

} // namespace

SignalWatch::SignalWatch(std::function<void(int)> onSignal)
    : onSignal_(std::move(onSignal)) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signalPipe) != 0) {
        Log::error("Cannot watch for termination signals");
        return;
    }
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        unsigned char byte = 0;
        while (::read(signalPipe[0], &byte, 1) == 1)
            onSignal_(byte);
    });
    struct sigaction action = {};
    action.sa_handler = onSignalArrived;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

SignalWatch::~SignalWatch() {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
}

} // namespace tallyvox::desktop
