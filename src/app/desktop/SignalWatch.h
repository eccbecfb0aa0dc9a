#pragma once

#include <QObject>

#include <functional>

class QSocketNotifier;

namespace tallyvox::desktop {

// SIGTERM, SIGINT and SIGHUP become calls on the GUI thread: the handler only writes a byte
// to a pipe, which Qt's event loop watches.
class SignalWatch : public QObject {
    Q_OBJECT
public:
    explicit SignalWatch(std::function<void(int signal)> onSignal);
    ~SignalWatch() override;

private:
    std::function<void(int)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace tallyvox::desktop
